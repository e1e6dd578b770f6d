#pragma once

#include "platform/SerialLine.h"

#include <cstdint>

// Abstract communication device of the direct serial path. The link session
// talks to the radio only through these operations, so tests can put a
// scripted device in its place.
class QUVCommDevice {
public:
    QUVCommDevice() = default;
    virtual ~QUVCommDevice() = default;
    QUVCommDevice(const QUVCommDevice&) = delete;
    QUVCommDevice& operator=(const QUVCommDevice&) = delete;

    virtual int Open() { return -1; }
    virtual int Close() { return -1; }
    virtual bool IsOpen() { return false; }
    virtual bool CharReady() { return false; }
    virtual int GetChar(uint8_t& ch)
    {
        (void)ch;
        return -1;
    }
    virtual int Read(uint8_t* buffer, int count)
    {
        (void)buffer;
        (void)count;
        return -1;
    }
    virtual int Write(const uint8_t* buffer, int count)
    {
        (void)buffer;
        (void)count;
        return -1;
    }
    virtual int LastError() { return 0; }

    // Not a wire operation: a descriptor that becomes readable when a byte
    // arrives, so that an idle wait can sleep on it instead of spinning.
    // -1 when the device has none.
    virtual int WaitHandle() const { return -1; }

    // Not a wire operation: whether the line hung up or its device went
    // away. A lost line stays lost until it is opened again.
    virtual platform::LineLoss Loss() const { return platform::LineLoss::None; }

    uint8_t DeviceKind() const { return m_DeviceKind; }

protected:
    uint8_t m_DeviceKind = 0;
};
