#pragma once

#include "link/QUVWinExtSerialBase.h"
#include "platform/SerialLine.h"

#include <optional>
#include <string>

// The serial port on a tty line. The port name is "COM<n>" (also accepted
// with the "\\.\" prefix), looked up in the COM namespace when the port
// opens; a name starting with '/' is taken as the device path itself.
//
// Every operation that touches the line does nothing and returns 0 or false
// while the port is closed, unless said otherwise.
class QUVWinExtSerialPort : public QUVWinExtSerialBase {
public:
    QUVWinExtSerialPort() = default;
    // A port whose low-latency requests go through `flags` (tests).
    explicit QUVWinExtSerialPort(platform::SerialFlagsAccess* flags)
        : m_Line(flags)
    {
    }
    ~QUVWinExtSerialPort() override;

    // Opens the line for exclusive use, puts it in raw mode, asks the driver
    // for low latency (a USB adapter then hands on each reply at once; a
    // refusal is no failure) and applies the stored settings. True when open
    // (also when it already was).
    bool Open() override;
    void Close() override;
    // Waits until everything written has left the line.
    void Flush() override;

    // Stores the code normalised (0,1,3,4,5 -> 2; 9 -> 8; 18 -> 17) and sets
    // the line's rate; codes above 21 leave the rate unchanged.
    void SetBaudRate(uint8_t code) override;
    // 5 data bits with 2 stop bits, and 6-8 data bits with 1.5 stop bits,
    // are refused: neither the stored code nor the line changes.
    void SetDataBits(uint8_t code) override;
    void SetStopBits(uint8_t code) override;
    void SetParity(uint8_t code) override;
    void SetFlowControl(uint8_t code) override;
    // A write of n bytes may take n x (seconds x 1000 + milliseconds) ms.
    void SetTimeouts(uint32_t seconds, uint32_t milliseconds) override;

    // Bytes in the input queue (0 when closed or unknown).
    int InputCount() override;
    // Bytes in the input queue; -1 when the line cannot be asked (e.g. the
    // device went away). Clears the last error on success.
    int BytesAvailable() override;
    bool ReadByte(uint8_t& byte) override;
    bool WriteByte(uint8_t byte) override;
    void SetErrorFromFlags(uint32_t flags) override;
    void SetDTR(bool on) override;
    void SetRTS(bool on) override;
    // serialcode::kModem... bits.
    uint32_t ModemStatus() override;
    // Reads queued bytes only: 0 when closed or nothing is queued, -1 with
    // last error 13 when the read fails or returns nothing.
    int Read(uint8_t* buffer, int count) override;
    // Writes and then drains the line; -1 with last error 14 on failure, 0
    // when closed.
    int Write(const uint8_t* buffer, int count) override;

    // Whether the open line hung up or its device went away.
    platform::LineLoss Loss() const { return m_IsOpen ? m_Line.Loss() : platform::LineLoss::None; }

    // The device path the port name stands for; nullopt when absent.
    std::optional<std::string> DevicePath() const;
    // Descriptor of the open line for waiting on input; -1 while closed.
    int Descriptor() const { return m_Line.Descriptor(); }
    // The line itself (settings read-back, error text).
    platform::SerialLine& Line() { return m_Line; }

private:
    void ApplyBaudRate(uint8_t code);
    void ApplyDataBits();
    void ApplyStopBits();

    platform::SerialLine m_Line;
};
