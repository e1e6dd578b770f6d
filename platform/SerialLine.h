#pragma once

#include "platform/NonCopyable.h"
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class LineParity { None, Odd, Even, Mark, Space };
enum class LineStopBits { One, OneAndHalf, Two };
enum class LineFlow {
    None, // no handshake
    Hardware, // RTS/CTS
    Software, // XON/XOFF both ways
    RS485, // RTS raised only while sending
};

// Line-error bits collected from the driver's counters since the last call of
// TakeLineErrors.
constexpr uint32_t kLineErrBreak = 0x01;
constexpr uint32_t kLineErrFraming = 0x02;
constexpr uint32_t kLineErrOverrun = 0x04;
constexpr uint32_t kLineErrParity = 0x08;
constexpr uint32_t kLineErrBufferOverrun = 0x10;

// Modem input lines.
struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool carrier = false;
    bool ring = false;
};

// What the driver reports the line to be set to (read back after a change).
struct LineReadBack {
    uint32_t baudRate = 0;
    int dataBits = 0;
    LineParity parity = LineParity::None;
    bool twoStopBits = false;
    bool rtsCts = false;
    bool xonXoff = false;
    bool raw = false; // no input or output processing, no echo, no signals
};

// Why a line is gone for good.
enum class LineLoss {
    None,
    HungUp, // the line hung up: the other end or the driver ended it
    Removed, // the device itself went away (adapter pulled out)
};

// The driver's serial flags word, which holds the low-latency bit. The
// real access talks to the driver; tests put a recorder in its place.
class SerialFlagsAccess {
public:
    virtual ~SerialFlagsAccess() = default;
    // False when the driver has no such word (pseudo-terminals, most USB
    // CDC devices) or refuses the change.
    virtual bool Get(int fd, int& flags) = 0;
    virtual bool Set(int fd, int flags) = 0;
};

// The low-latency bit of the flags word.
constexpr int kSerialLowLatency = 1 << 13;

// One serial line on a tty device. The port is polled: reads never block and
// are only worth issuing when InputCount reports bytes; Descriptor() can be
// waited on for readability.
class SerialLine : private platform::NonCopyable {
public:
    SerialLine();
    // A line whose low-latency requests go through `flags` (not owned).
    explicit SerialLine(SerialFlagsAccess* flags);
    ~SerialLine();

    // Opens the device for exclusive use: no controlling terminal, no wait
    // for carrier, exclusive-open flag, UUCP lock file, raw mode. A line held
    // by another program (exclusive open or live lock file) does not open.
    bool Open(const std::string& devicePath);
    void Close();
    bool IsOpen() const;

    // errno of the last failed operation and a readable description.
    int LastErrno() const;
    const std::string& LastErrorText() const;

    // Each setter applies the value to the open line; false when the line is
    // closed, the value is out of range or the driver refuses it.
    bool SetBaudRate(uint32_t rate);
    bool SetDataBits(int bits); // 5..8
    bool SetParity(LineParity parity);
    bool SetStopBits(LineStopBits stopBits);
    bool SetFlowControl(LineFlow flow);
    // Per-byte write time-out in milliseconds (a write of n bytes may take up
    // to n times this); 0 waits as long as it takes.
    void SetWriteTimeout(uint32_t perByteMs);

    // Bytes waiting in the input queue; -1 on failure (or closed).
    int InputCount();
    // Reads at most `count` bytes that are already queued; never waits.
    // Returns the bytes read, 0 when none were queued, -1 on failure.
    int Read(uint8_t* buffer, int count);
    // Writes all bytes within the write time-out. Returns the bytes written
    // (fewer on a time-out) or -1 on failure. With RS-485 flow and no kernel
    // support, RTS is raised before and dropped after the drained write.
    int Write(const uint8_t* buffer, int count);
    // Waits until everything written has left the line.
    bool Drain();
    // Discards what is queued in both directions.
    bool Purge();

    // Line errors since the last call (kLineErr... bits); 0 when the driver
    // keeps no counters.
    uint32_t TakeLineErrors();

    bool SetDTR(bool on);
    bool SetRTS(bool on);
    std::optional<ModemLines> GetModemLines();

    // True when RS-485 flow is handled by the driver, false when the line
    // falls back to switching RTS around each write.
    bool KernelRS485() const;

    // The line settings as the driver holds them now.
    std::optional<LineReadBack> ReadBack();

    // Whether the line has gone. InputCount, Read and Write notice a hang-up
    // or a vanished device and then fail; the loss stays until Close.
    LineLoss Loss() const;

    // Asks the driver to hand on received bytes at once instead of holding
    // them for its latency timer (USB serial adapters). True when the driver
    // took the request; a driver or pseudo-terminal without the setting
    // refuses, which leaves the line as it is. Close puts the old setting
    // back.
    bool RequestLowLatency();

    // Descriptor for waiting on input; -1 while closed.
    int Descriptor() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
};

} // namespace platform
