#include "app/PortListDelegate.h"

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
    QColor background = option.palette.color(QPalette::Base);
    QColor text = option.palette.color(QPalette::Text);
    if (look.grey) {
        text = QColor(128, 128, 128);
        if (selected)
            background = Qt::white;
    } else if (selected) {
        background = option.palette.color(QPalette::Highlight);
        text = option.palette.color(QPalette::HighlightedText);
    }
    painter->save();
    painter->fillRect(option.rect, background);
    painter->setPen(text);
    painter->setClipRect(option.rect);
    painter->drawText(option.rect, Qt::AlignLeft | Qt::AlignTop, index.data().toString());
    painter->restore();
}
