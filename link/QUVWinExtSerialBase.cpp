#include "link/QUVWinExtSerialBase.h"

namespace serialcode {

uint32_t BaudRateOfCode(uint8_t code)
{
    static constexpr uint32_t kRates[] = {
        110, 110, 110, 110, 110, 110, // 0-5
        300, 600, 1200, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, // 6-16
        57600, 57600, 115200, 128000, 256000, // 17-21
    };
    static_assert(sizeof kRates / sizeof kRates[0] == kLastBaudCode + 1);
    return code <= kLastBaudCode ? kRates[code] : 0;
}

uint8_t BaudCodeOfRate(uint32_t rate)
{
    for (uint8_t code = 0; code <= kLastBaudCode; ++code) {
        uint8_t normal = NormaliseBaudCode(code);
        if (normal == code && BaudRateOfCode(code) == rate)
            return code;
    }
    return 0xFF;
}

uint8_t NormaliseBaudCode(uint8_t code)
{
    switch (code) {
    case 0:
    case 1:
    case 3:
    case 4:
    case 5:
        return kBaud110;
    case 9:
        return kBaud1200;
    case 18:
        return kBaud57600;
    default:
        return code;
    }
}

} // namespace serialcode

QUVWinExtSerialBase::QUVWinExtSerialBase()
    : m_PortName("COM1")
{
    // Not virtual dispatch: the base defaults are meant here.
    QUVWinExtSerialBase::ResetSettings();
}

void QUVWinExtSerialBase::ResetSettings()
{
    m_IsOpen = false;
    m_BaudCode = serialcode::kBaud19200;
    m_DataBitsCode = serialcode::kData8;
    m_ParityCode = serialcode::kParityNone;
    m_StopBitsCode = serialcode::kStop1;
    m_FlowControlCode = serialcode::kFlowNone;
    m_TimeoutSeconds = 0;
    m_TimeoutMilliseconds = 500;
}

int QUVWinExtSerialBase::ReadLine(uint8_t* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return 0;
    int available = BytesAvailable();
    if (available < 1)
        return 0;
    int read = 0;
    int stored = 0;
    while (read < available && stored < size - 1) {
        uint8_t byte = 0;
        if (Read(&byte, 1) != 1)
            break;
        ++read;
        buffer[stored++] = byte;
        if (byte == 0x0A)
            break;
    }
    buffer[stored] = 0;
    return stored + 1;
}

int QUVWinExtSerialBase::LastError() const
{
    return m_LastError;
}
