#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The About box of the Help menu.
class TAboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit TAboutDialog(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* NameLabel = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* CopyrightLabel = nullptr;
    QPushButton* OKButton = nullptr;
};
