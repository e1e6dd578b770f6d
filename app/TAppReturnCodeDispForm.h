#pragma once

#include <QWidget>

// Holds the process return code for the whole run. Created before the main
// window and never shown; the process entry returns the variable it refers to.
class TAppReturnCodeDispForm : public QWidget {
    Q_OBJECT
public:
    explicit TAppReturnCodeDispForm(int& returnCode, QWidget* parent = nullptr);
    void SetReturnCode(int value);
    int ReturnCode() const { return m_ReturnCode; }

private:
    int& m_ReturnCode;
};

extern TAppReturnCodeDispForm* AppReturnCodeDispForm;
