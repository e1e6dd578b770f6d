#pragma once

#include <QRect>
#include <QSize>
#include <QString>

class QDialog;
class QFrame;

// Gives a dialog its title and fixed size, and returns the sunken panel its
// contents sit in (owned by the dialog).
QFrame* FixedDialogPanel(QDialog* dialog, const QString& title, QSize size, const QRect& panel);
