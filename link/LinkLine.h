#pragma once

#include <cstdint>

#include "platform/SerialLine.h"

// What a line may ask of the link session while it waits for its output to
// leave: one idle pass (pumping the window's queue), the session's wait time
// and a stop of its wait timer.
class ILineWaits {
public:
    virtual void IdlePass(int maxMs) = 0;
    virtual int WaitTimeMs() const = 0;
    virtual void StopWaitTimer() = 0;

protected:
    ~ILineWaits() = default;
};

// One way to the radio as the link session sees it: the direct serial device
// (DeviceLine) or the window's serial-port component (ComponentLine). The
// session frames, traces and waits; the line moves the bytes and says what
// differs between the ways.
class ILinkLine {
public:
    virtual ~ILinkLine() = default;

    virtual bool IsOpen() const = 0;
    virtual void Close(ILineWaits& waits) = 0;
    // Sets the local side to a baud rate.
    virtual void SetBaudRate(int baudRate) = 0;

    // Waits (through `waits`) until a frame of `length` bytes may be
    // written; false when the line does not get ready.
    virtual bool ReadyToSend(int length, ILineWaits& waits) = 0;
    // Writes a whole frame: the session's send result.
    virtual int Write(const uint8_t* bytes, int count) = 0;

    // True when a received byte is waiting; ReadByte takes it (false when
    // none could be read).
    virtual bool ByteReady() = 0;
    virtual bool ReadByte(uint8_t& byte) = 0;

    // A descriptor that becomes readable when a byte arrives, or -1.
    virtual int WaitHandle() const = 0;
    // Whether the line hung up or its device went away.
    virtual platform::LineLoss Loss() const = 0;

    // Whether a wait that ends on a silent line is a communication problem
    // rather than a time-out.
    virtual bool SilenceIsProblem() const = 0;
    // Pause after telling the radio a new rate, while the radio switches.
    virtual int RateSwitchPauseMs() const = 0;
};
