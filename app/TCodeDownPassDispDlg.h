#pragma once

#include <QDialog>

#include <string>

class QLineEdit;
class QPushButton;

// The access-code dialog of Start, also the prompt for a radio's codeplug
// password. The OK flag is set only by the OK button; Cancel, Escape and the
// title bar leave it cleared.
class TCodeDownPassDispDlg : public QDialog {
    Q_OBJECT
public:
    explicit TCodeDownPassDispDlg(QWidget* parent = nullptr);

    // The edit's text without leading and trailing blanks and control characters.
    std::string EnteredCode() const;
    bool OkPressed() const { return m_Ok; }

    QLineEdit* m_PasswordEdit = nullptr;
    QPushButton* BitBtn1 = nullptr; // OK
    QPushButton* BitBtn2 = nullptr; // Cancel

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool m_Ok = false;
};

// Trims blanks and control characters from both ends.
std::string TrimBlanksAndControls(const std::string& text);
