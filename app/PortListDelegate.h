#pragma once

#include <QStyledItemDelegate>

#include <functional>

#include "workflow/PortClaim.h"

// Draws the port list's items: a port that did not open at the last scan,
// and every item while the list is disabled, in grey (RGB 128, 128, 128),
// the selected grey item on white; present ports in the list's normal and
// highlight colours.
class PortListDelegate : public QStyledItemDelegate {
public:
    // `look` tells how item `index` is drawn given whether the list is enabled.
    using LookOf = std::function<PortClaim::ItemLook(int index, bool listEnabled)>;
    PortListDelegate(LookOf look, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
        const QModelIndex& index) const override;

private:
    LookOf m_Look;
};
