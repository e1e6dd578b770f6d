#include "app/TAppReturnCodeDispForm.h"

TAppReturnCodeDispForm* AppReturnCodeDispForm = nullptr;

TAppReturnCodeDispForm::TAppReturnCodeDispForm(int& returnCode, QWidget* parent)
    : QWidget(parent)
    , m_ReturnCode(returnCode)
{
    setWindowTitle(QStringLiteral("For App's Return Code Only"));
}

void TAppReturnCodeDispForm::SetReturnCode(int value)
{
    m_ReturnCode = value;
}
