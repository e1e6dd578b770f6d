#include "app/TCodeDownPassDispDlg.h"

#include "app/DialogPanel.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

std::string TrimBlanksAndControls(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}

TCodeDownPassDispDlg::TCodeDownPassDispDlg(QWidget* parent)
    : QDialog(parent)
{
    QFrame* panel = FixedDialogPanel(this, QStringLiteral("Radio Code Update - Enter Password"),
        QSize(387, 107), QRect(8, 8, 371, 56));
    auto* label = new QLabel(QStringLiteral("Please enter your password:"), panel);
    label->setGeometry(10, 6, 350, 18);
    m_PasswordEdit = new QLineEdit(panel);
    m_PasswordEdit->setEchoMode(QLineEdit::Password);
    // Every typed character shows as "*".
    m_PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    m_PasswordEdit->setGeometry(10, 26, 350, 22);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn1->setGeometry(110, 72, 80, 27);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(QStringLiteral("Cancel"), this);
    BitBtn2->setGeometry(198, 72, 80, 27);
    connect(BitBtn1, &QPushButton::clicked, this, [this] {
        m_Ok = true;
        accept();
    });
    connect(BitBtn2, &QPushButton::clicked, this, [this] {
        m_Ok = false;
        reject();
    });
}

void TCodeDownPassDispDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    m_PasswordEdit->setFocus();
}

std::string TCodeDownPassDispDlg::EnteredCode() const
{
    return TrimBlanksAndControls(m_PasswordEdit->text().toStdString());
}
