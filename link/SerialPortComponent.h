#pragma once

#include "platform/SerialLine.h"

#include <cstdint>

// The serial-port component of the main window: the second way to the radio,
// used for a mobile radio behind an RS-485 box. The link session relies on
// these operations only. Left at its own defaults apart from what is set
// here: 19200 baud, 8 data bits, no parity, 1 stop bit, no flow control apart
// from its RS-485 mode, input and output buffers of 4096 bytes.
class ISerialPortComponent {
public:
    // Open error: the port is held by another program, absent or not
    // permitted.
    static constexpr int kErrorPortInUse = -2008;
    static constexpr int kBufferSize = 4096;

    virtual ~ISerialPortComponent() = default;

    // Set before opening.
    virtual void SetPortNumber(int portNumber) = 0;
    virtual void SetRs485Mode(bool on) = 0;
    virtual bool Rs485Mode() const = 0;

    // Opens the port: 0 on success, else a negative error code
    // (kErrorPortInUse when the port is in use or not available).
    virtual int Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    virtual void EmptyInputBuffer() = 0;
    virtual void EmptyOutputBuffer() = 0;
    virtual void SetBaudRate(int baudRate) = 0;

    // True when a received byte is waiting; GetByte takes it.
    virtual bool ByteReady() = 0;
    virtual uint8_t GetByte() = 0;

    // Free space in the output buffer (4096 minus the bytes waiting to be
    // written) and the bytes waiting to be written.
    virtual int OutputFree() = 0;
    virtual int OutputUsed() = 0;

    // The CTS input line.
    virtual bool Cts() = 0;

    // Writes a block of bytes: 0 on success, else an error code.
    virtual int WriteBlock(const uint8_t* bytes, int count) = 0;

    // Waits `ticks` ticks of 55 ms while yielding to the message queue.
    virtual void DelayTicks(int ticks) = 0;

    // A descriptor that becomes readable when a byte arrives (for idle
    // waits), or -1.
    virtual int WaitHandle() const = 0;

    // Whether the open line hung up or its device went away (a pulled
    // adapter).
    virtual platform::LineLoss Loss() const { return platform::LineLoss::None; }
};
