#include "app/PortListDelegate.h"

#include <QApplication>
#include <QPainter>

PortListDelegate::PortListDelegate(LookOf look, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_Look(std::move(look))
{
}

void PortListDelegate::paint(
    QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const bool enabled = option.state & QStyle::State_Enabled;
    const bool selected = option.state & (QStyle::State_Selected | QStyle::State_HasFocus);
    PortClaim::ItemLook look = m_Look(index.row(), enabled);
    // The normal colours are the application's: the list inherits the
    // closed box's palette, which shows a grey selection in grey.
    const QPalette normal = QApplication::palette();
    QColor background = normal.color(QPalette::Base);
    QColor text = normal.color(QPalette::Text);
    if (look.grey) {
        text = QColor(128, 128, 128);
        if (selected)
            background = Qt::white;
    } else if (selected) {
        background = normal.color(QPalette::Highlight);
        text = normal.color(QPalette::HighlightedText);
    }
    painter->save();
    painter->fillRect(option.rect, background);
    painter->setPen(text);
    painter->setClipRect(option.rect);
    painter->drawText(option.rect, Qt::AlignLeft | Qt::AlignTop, index.data().toString());
    painter->restore();
}
