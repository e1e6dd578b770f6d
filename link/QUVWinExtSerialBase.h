#pragma once

#include <cstdint>
#include <string>

// Setting codes of the serial port classes.
namespace serialcode {

// Baud codes (0..21). Codes 0-5 mean 110, 8 and 9 mean 1200, 17 and 18 mean
// 57600; the port stores the normalised code.
constexpr uint8_t kBaud110 = 2;
constexpr uint8_t kBaud300 = 6;
constexpr uint8_t kBaud600 = 7;
constexpr uint8_t kBaud1200 = 8;
constexpr uint8_t kBaud2400 = 10;
constexpr uint8_t kBaud4800 = 11;
constexpr uint8_t kBaud9600 = 12;
constexpr uint8_t kBaud14400 = 13;
constexpr uint8_t kBaud19200 = 14;
constexpr uint8_t kBaud38400 = 15;
constexpr uint8_t kBaud56000 = 16;
constexpr uint8_t kBaud57600 = 17;
constexpr uint8_t kBaud115200 = 19;
constexpr uint8_t kBaud128000 = 20;
constexpr uint8_t kBaud256000 = 21;
constexpr uint8_t kLastBaudCode = 21;

// Data-bits codes: 0 = 5 bits .. 3 = 8 bits.
constexpr uint8_t kData5 = 0;
constexpr uint8_t kData6 = 1;
constexpr uint8_t kData7 = 2;
constexpr uint8_t kData8 = 3;

// Parity codes.
constexpr uint8_t kParityNone = 0;
constexpr uint8_t kParityOdd = 1;
constexpr uint8_t kParityEven = 2;
constexpr uint8_t kParityMark = 3;
constexpr uint8_t kParitySpace = 4;

// Stop-bits codes.
constexpr uint8_t kStop1 = 0;
constexpr uint8_t kStop1Half = 1;
constexpr uint8_t kStop2 = 2;

// Flow-control codes.
constexpr uint8_t kFlowNone = 0;
constexpr uint8_t kFlowHardware = 1; // RTS/CTS
constexpr uint8_t kFlowSoftware = 2; // XON/XOFF
constexpr uint8_t kFlowRS485 = 3; // RTS raised only while sending

// Last-error codes.
constexpr int kErrNone = 0;
constexpr int kErrMode = 1;
constexpr int kErrBreak = 6;
constexpr int kErrFraming = 7;
constexpr int kErrIO = 8;
constexpr int kErrOverrun = 9;
constexpr int kErrInputOverflow = 10;
constexpr int kErrParity = 11;
constexpr int kErrOutputFull = 12;
constexpr int kErrReadFailed = 13;
constexpr int kErrWriteFailed = 14;

// Line-error flags handed to SetErrorFromFlags.
constexpr uint32_t kLineBreak = 0x01;
constexpr uint32_t kLineFraming = 0x02;
constexpr uint32_t kLineIO = 0x04;
constexpr uint32_t kLineMode = 0x08;
constexpr uint32_t kLineOverrun = 0x10;
constexpr uint32_t kLineParity = 0x20;
constexpr uint32_t kLineInputOverflow = 0x40;
constexpr uint32_t kLineOutputFull = 0x80;

// Modem status bits returned by ModemStatus.
constexpr uint32_t kModemCTS = 0x01;
constexpr uint32_t kModemDSR = 0x02;
constexpr uint32_t kModemCarrier = 0x04;
constexpr uint32_t kModemRing = 0x08;

// Bit rate of a baud code; 0 for codes above 21.
uint32_t BaudRateOfCode(uint8_t code);
// The code whose rate is `rate`, or 0xFF when no code has that rate.
uint8_t BaudCodeOfRate(uint32_t rate);
// The code as the port stores it (0,1,3,4,5 -> 2; 9 -> 8; 18 -> 17).
uint8_t NormaliseBaudCode(uint8_t code);

} // namespace serialcode

// Abstract serial port: holds the port name and the line settings; the port
// class does the work on the line.
class QUVWinExtSerialBase {
public:
    QUVWinExtSerialBase();
    virtual ~QUVWinExtSerialBase() = default;
    QUVWinExtSerialBase(const QUVWinExtSerialBase&) = delete;
    QUVWinExtSerialBase& operator=(const QUVWinExtSerialBase&) = delete;

    // Default settings: 19200 baud, 8 data bits, no parity, 1 stop bit, no
    // flow control, time-out 0 s + 500 ms; clears the open flag.
    virtual void ResetSettings();
    virtual void SetPortName(const std::string& name) { m_PortName = name; }
    virtual std::string GetPortName() const { return m_PortName; }
    virtual void SetBaudRate(uint8_t code) = 0;
    virtual uint8_t GetBaudRate() const { return m_BaudCode; }
    virtual void SetDataBits(uint8_t code) = 0;
    virtual uint8_t GetDataBits() const { return m_DataBitsCode; }
    virtual void SetParity(uint8_t code) = 0;
    virtual uint8_t GetParity() const { return m_ParityCode; }
    virtual void SetStopBits(uint8_t code) = 0;
    virtual uint8_t GetStopBits() const { return m_StopBitsCode; }
    virtual void SetFlowControl(uint8_t code) = 0;
    virtual uint8_t GetFlowControl() const { return m_FlowControlCode; }
    virtual void SetTimeouts(uint32_t seconds, uint32_t milliseconds) = 0;
    virtual bool Open() = 0;
    virtual bool IsOpen() const { return m_IsOpen; }
    virtual void Close() = 0;
    virtual void Flush() = 0;
    virtual int InputCount() = 0;
    virtual int BytesAvailable() = 0;
    virtual bool HasInput() { return InputCount() != 0; }
    virtual bool ReadByte(uint8_t& byte) = 0;
    virtual bool WriteByte(uint8_t byte) = 0;
    // Reads at most one line (up to and including a line feed) of what is
    // queued now into `buffer` and terminates it with a 0 byte. Returns the
    // bytes stored plus one, or 0 when nothing is queued (or size < 1).
    virtual int ReadLine(uint8_t* buffer, int size);
    virtual int LastError() const;
    virtual void SetErrorFromFlags(uint32_t flags) = 0;
    virtual void SetDTR(bool on) = 0;
    virtual void SetRTS(bool on) = 0;
    virtual uint32_t ModemStatus() = 0;
    virtual int Read(uint8_t* buffer, int count) = 0;
    virtual int Write(const uint8_t* buffer, int count) = 0;

protected:
    std::string m_PortName;
    bool m_IsOpen = false;
    uint8_t m_BaudCode = serialcode::kBaud19200;
    uint8_t m_DataBitsCode = serialcode::kData8;
    uint8_t m_ParityCode = serialcode::kParityNone;
    uint8_t m_StopBitsCode = serialcode::kStop1;
    uint8_t m_FlowControlCode = serialcode::kFlowNone;
    uint32_t m_TimeoutSeconds = 0;
    uint32_t m_TimeoutMilliseconds = 500;
    int m_LastError = 0;
};
