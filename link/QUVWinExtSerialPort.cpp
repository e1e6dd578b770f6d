#include "link/QUVWinExtSerialPort.h"

#include "platform/ComNamespace.h"

#include <charconv>
#include <iterator>

using namespace serialcode;

namespace {

// "COM<n>" or "\\.\COM<n>" -> n; 0 when the name is not of that form.
int PortNumberOfName(const std::string& name)
{
    std::string_view text = name;
    const std::string_view prefix = "\\\\.\\";
    if (text.substr(0, prefix.size()) == prefix)
        text.remove_prefix(prefix.size());
    if (text.size() < 4 || text.size() > 8 || text.substr(0, 3) != "COM")
        return 0;
    text.remove_prefix(3);
    int number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return 0;
    return number;
}

// Stop bits allowed with the data bits: 1.5 only with 5 data bits, 2 only
// with 6 to 8.
bool Allowed(uint8_t dataBitsCode, uint8_t stopBitsCode)
{
    if (dataBitsCode == kData5 && stopBitsCode == kStop2)
        return false;
    if (dataBitsCode >= kData6 && dataBitsCode <= kData8 && stopBitsCode == kStop1Half)
        return false;
    return true;
}

// The line settings the parity and flow-control codes stand for.
constexpr platform::LineParity kParities[] = {
    platform::LineParity::None,
    platform::LineParity::Odd,
    platform::LineParity::Even,
    platform::LineParity::Mark,
    platform::LineParity::Space,
};
constexpr platform::LineFlow kFlows[] = {
    platform::LineFlow::None,
    platform::LineFlow::Hardware,
    platform::LineFlow::Software,
    platform::LineFlow::RS485,
};
static_assert(std::size(kParities) == kParitySpace + 1 && std::size(kFlows) == kFlowRS485 + 1);

} // namespace

QUVWinExtSerialPort::~QUVWinExtSerialPort()
{
    if (m_IsOpen)
        QUVWinExtSerialPort::Close();
}

std::optional<std::string> QUVWinExtSerialPort::DevicePath() const
{
    if (!m_PortName.empty() && m_PortName[0] == '/')
        return m_PortName;
    int number = PortNumberOfName(m_PortName);
    if (number == 0)
        return std::nullopt;
    return platform::ComDevicePath(number);
}

bool QUVWinExtSerialPort::Open()
{
    if (m_IsOpen)
        return true;
    std::optional<std::string> path = DevicePath();
    if (!path || !m_Line.Open(*path))
        return false;
    m_IsOpen = true;
    m_Line.RequestLowLatency();
    // The stored settings go onto the fresh line.
    ApplyBaudRate(m_BaudCode);
    ApplyDataBits();
    ApplyStopBits();
    SetParity(m_ParityCode);
    SetFlowControl(m_FlowControlCode);
    SetTimeouts(m_TimeoutSeconds, m_TimeoutMilliseconds);
    return m_IsOpen;
}

void QUVWinExtSerialPort::Close()
{
    m_Line.Close();
    m_IsOpen = false;
}

void QUVWinExtSerialPort::Flush()
{
    if (m_IsOpen)
        m_Line.Drain();
}

void QUVWinExtSerialPort::ApplyBaudRate(uint8_t code)
{
    uint32_t rate = BaudRateOfCode(code);
    if (m_IsOpen && rate != 0)
        m_Line.SetBaudRate(rate);
}

void QUVWinExtSerialPort::ApplyDataBits()
{
    if (m_IsOpen && m_DataBitsCode <= kData8)
        m_Line.SetDataBits(5 + m_DataBitsCode);
}

void QUVWinExtSerialPort::ApplyStopBits()
{
    if (!m_IsOpen || m_StopBitsCode > kStop2)
        return;
    m_Line.SetStopBits(m_StopBitsCode == kStop1 ? platform::LineStopBits::One
            : m_StopBitsCode == kStop1Half      ? platform::LineStopBits::OneAndHalf
                                                : platform::LineStopBits::Two);
}

void QUVWinExtSerialPort::SetBaudRate(uint8_t code)
{
    if (code != m_BaudCode)
        m_BaudCode = NormaliseBaudCode(code);
    ApplyBaudRate(code);
}

void QUVWinExtSerialPort::SetDataBits(uint8_t code)
{
    if (!Allowed(code, m_StopBitsCode))
        return;
    m_DataBitsCode = code;
    ApplyDataBits();
}

void QUVWinExtSerialPort::SetStopBits(uint8_t code)
{
    if (!Allowed(m_DataBitsCode, code))
        return;
    m_StopBitsCode = code;
    ApplyStopBits();
}

void QUVWinExtSerialPort::SetParity(uint8_t code)
{
    m_ParityCode = code;
    if (m_IsOpen && code <= kParitySpace)
        m_Line.SetParity(kParities[code]);
}

void QUVWinExtSerialPort::SetFlowControl(uint8_t code)
{
    m_FlowControlCode = code;
    if (m_IsOpen && code <= kFlowRS485)
        m_Line.SetFlowControl(kFlows[code]);
}

void QUVWinExtSerialPort::SetTimeouts(uint32_t seconds, uint32_t milliseconds)
{
    m_TimeoutSeconds = seconds;
    m_TimeoutMilliseconds = milliseconds;
    if (!m_IsOpen)
        return;
    uint64_t total = static_cast<uint64_t>(seconds) * 1000 + milliseconds;
    m_Line.SetWriteTimeout(total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total));
}

int QUVWinExtSerialPort::InputCount()
{
    if (!m_IsOpen)
        return 0;
    int count = m_Line.InputCount();
    return count > 0 ? count : 0;
}

int QUVWinExtSerialPort::BytesAvailable()
{
    if (!m_IsOpen)
        return 0;
    int count = m_Line.InputCount();
    uint32_t lineErrors = m_Line.TakeLineErrors();
    uint32_t flags = 0;
    if (lineErrors & platform::kLineErrBreak)
        flags |= kLineBreak;
    if (lineErrors & platform::kLineErrFraming)
        flags |= kLineFraming;
    if (lineErrors & platform::kLineErrOverrun)
        flags |= kLineOverrun;
    if (lineErrors & platform::kLineErrParity)
        flags |= kLineParity;
    if (lineErrors & platform::kLineErrBufferOverrun)
        flags |= kLineInputOverflow;
    SetErrorFromFlags(flags);
    if (count < 0)
        return -1;
    m_LastError = kErrNone;
    return count;
}

void QUVWinExtSerialPort::SetErrorFromFlags(uint32_t flags)
{
    static constexpr struct {
        uint32_t flag;
        int error;
    } kOrder[] = {
        { kLineBreak, kErrBreak },
        { kLineFraming, kErrFraming },
        { kLineIO, kErrIO },
        { kLineMode, kErrMode },
        { kLineOverrun, kErrOverrun },
        { kLineParity, kErrParity },
        { kLineInputOverflow, kErrInputOverflow },
        { kLineOutputFull, kErrOutputFull },
    };
    for (const auto& entry : kOrder) {
        if (flags & entry.flag) {
            m_LastError = entry.error;
            return;
        }
    }
}

int QUVWinExtSerialPort::Read(uint8_t* buffer, int count)
{
    if (!m_IsOpen)
        return 0;
    if (m_Line.InputCount() <= 0)
        return 0;
    int n = buffer != nullptr && count > 0 ? m_Line.Read(buffer, count) : 0;
    if (n <= 0) {
        m_LastError = kErrReadFailed;
        return -1;
    }
    return n;
}

int QUVWinExtSerialPort::Write(const uint8_t* buffer, int count)
{
    int result = 0;
    if (m_IsOpen) {
        int n = buffer != nullptr && count > 0 ? m_Line.Write(buffer, count) : 0;
        if (n < 0) {
            m_LastError = kErrWriteFailed;
            result = -1;
        } else {
            result = n;
        }
    }
    Flush();
    return result;
}

bool QUVWinExtSerialPort::ReadByte(uint8_t& byte)
{
    return Read(&byte, 1) == 1;
}

bool QUVWinExtSerialPort::WriteByte(uint8_t byte)
{
    return Write(&byte, 1) == 1;
}

void QUVWinExtSerialPort::SetDTR(bool on)
{
    if (m_IsOpen)
        m_Line.SetDTR(on);
}

void QUVWinExtSerialPort::SetRTS(bool on)
{
    if (m_IsOpen)
        m_Line.SetRTS(on);
}

uint32_t QUVWinExtSerialPort::ModemStatus()
{
    if (!m_IsOpen)
        return 0;
    std::optional<platform::ModemLines> lines = m_Line.GetModemLines();
    if (!lines)
        return 0;
    uint32_t bits = 0;
    if (lines->cts)
        bits |= kModemCTS;
    if (lines->dsr)
        bits |= kModemDSR;
    if (lines->carrier)
        bits |= kModemCarrier;
    if (lines->ring)
        bits |= kModemRing;
    return bits;
}
