// Draws the window's radio pictures and the About logo and writes them as
// JPEG files with libjpeg. Run by hand when a picture changes:
//   corvel-make-pictures app/pictures
// The JPEG files are committed and compiled into the updater.

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <jpeglib.h>
#include <string>

namespace {

bool WriteJpeg(const QImage& source, const std::string& path)
{
    QImage image = source.convertToFormat(QImage::Format_RGB888);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct info {};
    jpeg_error_mgr error {};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(image.width());
    info.image_height = static_cast<JDIMENSION>(image.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row
            = const_cast<JSAMPROW>(image.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
    return true;
}

struct Scheme {
    QColor body;
    QColor bodyEdge;
    QColor accent;
    QColor display;
    QColor displayText;
    QString badge;
};

// Both radio pictures share their size and backdrop.
constexpr int kRadioWidth = 300;
constexpr int kRadioHeight = 268;

using DrawRadio = void (*)(QPainter& p, const Scheme& s);

QImage RadioPicture(DrawRadio draw, const Scheme& s)
{
    QImage image(kRadioWidth, kRadioHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, kRadioHeight);
    bg.setColorAt(0, QColor(250, 251, 253));
    bg.setColorAt(1, QColor(222, 228, 236));
    p.fillRect(0, 0, kRadioWidth, kRadioHeight, bg);
    draw(p, s);
    return image;
}

void Badge(QPainter& p, const QRectF& where, const QString& badge)
{
    p.setPen(QColor(60, 60, 64));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 13, QFont::Bold));
    p.drawText(where, Qt::AlignCenter, badge);
}

// Three-stop shading from a lighter to a darker shade of `base`.
QLinearGradient Shading(
    QPointF from, QPointF to, const QColor& base, qreal middle, int lighter, int darker)
{
    QLinearGradient g(from, to);
    g.setColorAt(0, base.lighter(lighter));
    g.setColorAt(middle, base);
    g.setColorAt(1, base.darker(darker));
    return g;
}

// The radio's housing and its display with the text it shows.
void BodyAndDisplay(QPainter& p, const Scheme& s, const QLinearGradient& shading,
    const QRectF& body, qreal radius, const QRectF& display, const QString& text)
{
    p.setBrush(shading);
    p.setPen(QPen(s.bodyEdge, 2));
    p.drawRoundedRect(body, radius, radius);
    p.setPen(QPen(QColor(20, 20, 20), 2));
    p.setBrush(s.display);
    p.drawRoundedRect(display, 5, 5);
    p.setPen(s.displayText);
    p.setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 11, QFont::Bold));
    p.drawText(display, Qt::AlignCenter, text);
}

void DrawPortable(QPainter& p, const Scheme& s)
{
    // Shadow, antenna and knobs.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawEllipse(QRectF(92, 246, 130, 14));
    p.setBrush(QColor(40, 40, 44));
    p.drawRoundedRect(QRectF(100, 8, 16, 70), 7, 7);
    p.setBrush(s.accent);
    p.drawRoundedRect(QRectF(152, 30, 26, 22), 4, 4);
    p.setBrush(QColor(70, 70, 76));
    p.drawRoundedRect(QRectF(186, 34, 20, 18), 4, 4);

    BodyAndDisplay(p, s, Shading(QPointF(96, 0), QPointF(218, 0), s.body, 0.5, 125, 135),
        QRectF(94, 50, 126, 200), 18, QRectF(112, 68, 90, 40), QStringLiteral("CH 01"));

    // Speaker grille.
    p.setPen(Qt::NoPen);
    p.setBrush(s.body.darker(170));
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 7; ++col)
            p.drawEllipse(QRectF(118 + col * 11, 124 + row * 11, 6, 6));

    // Keypad.
    p.setBrush(QColor(225, 226, 230));
    p.setPen(QPen(s.bodyEdge, 1));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRoundedRect(QRectF(120 + col * 26, 184 + row * 19, 20, 13), 3, 3);

    // Side button and badge.
    p.setBrush(s.accent);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(86, 112, 10, 40), 3, 3);
    Badge(p, QRectF(0, 224, 88, 30), s.badge);
}

void DrawMobile(QPainter& p, const Scheme& s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawEllipse(QRectF(24, 190, 252, 20));

    // Heat sink fins behind the body.
    p.setBrush(QColor(90, 92, 98));
    for (int i = 0; i < 9; ++i)
        p.drawRect(QRectF(40 + i * 26, 84, 12, 28));

    BodyAndDisplay(p, s, Shading(QPointF(0, 100), QPointF(0, 196), s.body, 0.45, 130, 140),
        QRectF(20, 104, 260, 92), 14, QRectF(86, 118, 128, 34), QStringLiteral("ZONE 1  CH 12"));

    // Buttons.
    p.setPen(QPen(s.bodyEdge, 1));
    p.setBrush(QColor(225, 226, 230));
    for (int i = 0; i < 5; ++i)
        p.drawRoundedRect(QRectF(90 + i * 25, 162, 20, 14), 3, 3);

    // Knobs.
    for (double x : { 50.0, 250.0 }) {
        QRadialGradient knob(x - 4, 146, 22);
        knob.setColorAt(0, QColor(120, 120, 126));
        knob.setColorAt(1, QColor(30, 30, 34));
        p.setBrush(knob);
        p.setPen(QPen(QColor(20, 20, 20), 1));
        p.drawEllipse(QPointF(x, 150), 20, 20);
        p.setPen(QPen(s.accent, 3));
        p.drawLine(QPointF(x, 150), QPointF(x, 134));
    }

    Badge(p, QRectF(0, 218, kRadioWidth, 30), s.badge);
}

QImage Logo()
{
    const int w = 384, h = 104;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, w, 0);
    bg.setColorAt(0, QColor(16, 52, 96));
    bg.setColorAt(1, QColor(34, 98, 160));
    p.fillRect(0, 0, w, h, bg);
    // Radio waves.
    p.setPen(QPen(QColor(255, 170, 40), 6, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) {
        QRectF r(52 - 18 * (i + 1), 52 - 18 * (i + 1), 36 * (i + 1), 36 * (i + 1));
        p.drawArc(r, -45 * 16, 90 * 16);
    }
    p.setBrush(QColor(255, 170, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(52, 52), 7, 7);
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 38, QFont::Bold));
    p.drawText(
        QRectF(120, 0, w - 130, h), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("CORVEL"));
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvel-make-pictures OUTPUT_DIR\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const std::string dir = argv[1];
    const Scheme x { QColor(66, 70, 78), QColor(30, 32, 36), QColor(232, 120, 30),
        QColor(150, 190, 120), QColor(20, 40, 20), QStringLiteral("X") };
    const Scheme g { QColor(28, 30, 34), QColor(10, 10, 12), QColor(40, 170, 90),
        QColor(40, 60, 90), QColor(160, 220, 255), QStringLiteral("G") };
    bool ok = WriteJpeg(RadioPicture(DrawPortable, x), dir + "/PortableX.jpg")
        && WriteJpeg(RadioPicture(DrawPortable, g), dir + "/PortableG.jpg")
        && WriteJpeg(RadioPicture(DrawMobile, x), dir + "/MobileX.jpg")
        && WriteJpeg(RadioPicture(DrawMobile, g), dir + "/MobileG.jpg")
        && WriteJpeg(Logo(), dir + "/Logo.jpg");
    return ok ? 0 : 1;
}
