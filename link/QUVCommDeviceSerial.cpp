#include "link/QUVCommDeviceSerial.h"

#include "link/QUVWinExtSerialPort.h"
#include "platform/ComNamespace.h"

using namespace serialcode;

QUVCommDeviceSerial::QUVCommDeviceSerial()
    : m_Port(std::make_unique<QUVWinExtSerialPort>())
{
    m_DeviceKind = 2;
}

QUVCommDeviceSerial::~QUVCommDeviceSerial() = default;

bool QUVCommDeviceSerial::Connect(int portNumber, uint8_t baudCode, bool rs485)
{
    m_Port->SetPortName(platform::ComPortName(portNumber));
    if (Open() == -1)
        return false;
    m_Port->SetBaudRate(baudCode);
    m_Port->SetDataBits(kData8);
    m_Port->SetStopBits(kStop1);
    m_Port->SetParity(kParityNone);
    SetRS485(rs485);
    m_Port->SetTimeouts(2, 0);
    return true;
}

void QUVCommDeviceSerial::SetBaudRate(uint8_t code)
{
    m_Port->SetBaudRate(code);
}

void QUVCommDeviceSerial::SetRS485(bool on)
{
    m_RS485 = on ? 1 : 0;
    m_Port->SetFlowControl(on ? kFlowRS485 : kFlowNone);
}

int QUVCommDeviceSerial::Open()
{
    if (!m_Port->Open())
        return -1;
    m_Port->Flush();
    return 1;
}

int QUVCommDeviceSerial::Close()
{
    m_Port->Flush();
    m_Port->Close();
    return 1;
}

bool QUVCommDeviceSerial::IsOpen()
{
    return m_Port->IsOpen();
}

bool QUVCommDeviceSerial::CharReady()
{
    return m_Port->BytesAvailable() > 0;
}

int QUVCommDeviceSerial::GetChar(uint8_t& ch)
{
    return m_Port->Read(&ch, 1);
}

int QUVCommDeviceSerial::Read(uint8_t* buffer, int count)
{
    return m_Port->Read(buffer, count);
}

int QUVCommDeviceSerial::Write(const uint8_t* buffer, int count)
{
    return m_Port->Write(buffer, count);
}

int QUVCommDeviceSerial::LastError()
{
    return m_Port->LastError();
}

int QUVCommDeviceSerial::WaitHandle() const
{
    return m_Port->Descriptor();
}

platform::LineLoss QUVCommDeviceSerial::Loss() const
{
    return m_Port->Loss();
}
