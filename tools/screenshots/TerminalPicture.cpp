#include "tools/screenshots/TerminalPicture.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

// The eight colours of a dark terminal, and their bright forms.
const QColor kPalette[16]
    = { { 0x2e, 0x34, 0x36 }, { 0xcc, 0x00, 0x00 }, { 0x4e, 0x9a, 0x06 }, { 0xc4, 0xa0, 0x00 },
          { 0x34, 0x65, 0xa4 }, { 0x75, 0x50, 0x7b }, { 0x06, 0x98, 0x9a }, { 0xd3, 0xd7, 0xcf },
          { 0x55, 0x57, 0x53 }, { 0xef, 0x29, 0x29 }, { 0x8a, 0xe2, 0x34 }, { 0xfc, 0xe9, 0x4f },
          { 0x72, 0x9f, 0xcf }, { 0xad, 0x7f, 0xa8 }, { 0x34, 0xe2, 0xe2 }, { 0xee, 0xee, 0xec } };
const QColor kBackground(0x1e, 0x1e, 0x1e);
const QColor kForeground(0xd3, 0xd7, 0xcf);
constexpr int kMargin = 12;

struct Style {
    int foreground = -1; // palette index, -1 for the default
    int background = -1;
    bool bold = false;
    bool underline = false;
    bool reverse = false;
};

// Attributes switched on and off by a pair of SGR numbers.
struct Switch {
    int on;
    int off;
    bool Style::*flag;
};
const Switch kSwitches[]
    = { { 1, 22, &Style::bold }, { 4, 24, &Style::underline }, { 7, 27, &Style::reverse } };

// Applies the parameters of one SGR sequence ("ESC [ ... m").
void ApplySgr(const QString& parameters, Style& style)
{
    const QStringList numbers = parameters.split(QLatin1Char(';'));
    for (qsizetype i = 0; i < numbers.size(); ++i) {
        const int n = numbers[i].isEmpty() ? 0 : numbers[i].toInt();
        if (n == 0) {
            style = Style {};
        }
        for (const Switch& attribute : kSwitches) {
            if (n == attribute.on || n == attribute.off) {
                style.*attribute.flag = n == attribute.on;
            }
        }
        if ((n >= 30 && n <= 37) || n == 39) {
            style.foreground = n == 39 ? -1 : n - 30;
        } else if (n >= 90 && n <= 97) {
            style.foreground = n - 90 + 8;
        } else if ((n >= 40 && n <= 47) || n == 49) {
            style.background = n == 49 ? -1 : n - 40;
        } else if (n == 38 || n == 48) {
            // 256 colours or RGB: not used by the station; skip the values.
            i += i + 1 < numbers.size() && numbers[i + 1] == QLatin1String("2") ? 4 : 2;
        }
    }
}

} // namespace

bool SaveTerminalPicture(const std::string& capturePath, const std::string& pngPath)
{
    std::ifstream in(capturePath, std::ios::binary);
    if (!in) {
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QStringList lines = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()))
                            .split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty()) {
        lines.removeLast();
    }

    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(14);
    const QFontMetrics metrics(font);
    const int cell = metrics.horizontalAdvance(QLatin1Char('M'));
    const int lineHeight = metrics.height() + 2;

    // The widest line without its escape sequences gives the width.
    qsizetype columns = 0;
    for (const QString& line : lines) {
        QString plain = line;
        plain.remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;?]*[@-~]")));
        columns = std::max(columns, plain.size());
    }
    QImage image(static_cast<int>(columns) * cell + 2 * kMargin,
        static_cast<int>(lines.size()) * lineHeight + 2 * kMargin, QImage::Format_RGB32);
    image.fill(kBackground);
    QPainter painter(&image);

    for (qsizetype row = 0; row < lines.size(); ++row) {
        const QString& line = lines[row];
        Style style;
        int column = 0;
        const int top = kMargin + static_cast<int>(row) * lineHeight;
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line[i] == QLatin1Char('\x1b') && i + 1 < line.size()
                && line[i + 1] == QLatin1Char('[')) {
                qsizetype end = i + 2;
                while (end < line.size()
                    && (line[end] < QLatin1Char('@') || line[end] > QLatin1Char('~'))) {
                    ++end;
                }
                if (end < line.size() && line[end] == QLatin1Char('m')) {
                    ApplySgr(line.mid(i + 2, end - i - 2), style);
                }
                i = end;
                continue;
            }
            if (line[i] == QLatin1Char('\r')) {
                continue;
            }
            QColor foreground = style.foreground < 0
                ? kForeground
                : kPalette[style.foreground + (style.bold && style.foreground < 8 ? 8 : 0)];
            QColor background = style.background < 0 ? kBackground : kPalette[style.background];
            if (style.reverse) {
                std::swap(foreground, background);
            }
            const QRect box(kMargin + column * cell, top, cell, lineHeight);
            if (background != kBackground) {
                painter.fillRect(box, background);
            }
            QFont face = font;
            face.setBold(style.bold);
            face.setUnderline(style.underline);
            painter.setFont(face);
            painter.setPen(foreground);
            painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, QString(line[i]));
            ++column;
        }
    }
    painter.end();
    return image.save(QString::fromStdString(pngPath));
}
