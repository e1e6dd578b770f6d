#include "app/DialogPanel.h"

#include <QDialog>
#include <QFrame>

QFrame* FixedDialogPanel(QDialog* dialog, const QString& title, QSize size, const QRect& panel)
{
    dialog->setWindowTitle(title);
    dialog->setFixedSize(size);
    auto* frame = new QFrame(dialog);
    frame->setFrameShape(QFrame::Panel);
    frame->setFrameShadow(QFrame::Sunken);
    frame->setGeometry(panel);
    return frame;
}
