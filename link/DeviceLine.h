#pragma once

#include <memory>

#include "link/LinkLine.h"
#include "link/QUVCommDevice.h"

class QUVCommDeviceSerial;

// The direct path: a QUVCommDevice (the serial device, or a scripted one in
// tests). Received bytes are taken from the device in one read and handed
// out one at a time.
class DeviceLine : public ILinkLine {
public:
    // Pause after telling the radio a new rate, while the radio switches.
    static constexpr int kRateSwitchPauseMs = 100;

    // `serial` is `device` when it is the serial device (its rate can then
    // be set), else null. A null device is a line that is not there.
    DeviceLine(std::unique_ptr<QUVCommDevice> device, QUVCommDeviceSerial* serial);

    bool IsOpen() const override;
    void Close(ILineWaits& waits) override;
    void SetBaudRate(int baudRate) override;
    bool ReadyToSend(int, ILineWaits&) override { return true; }
    int Write(const uint8_t* bytes, int count) override;
    bool ByteReady() override;
    bool ReadByte(uint8_t& byte) override;
    int WaitHandle() const override;
    platform::LineLoss Loss() const override;
    bool SilenceIsProblem() const override { return false; }
    int RateSwitchPauseMs() const override { return kRateSwitchPauseMs; }

private:
    void DropReadAhead() { m_ReadAheadPos = m_ReadAheadLength = 0; }

    std::unique_ptr<QUVCommDevice> m_Device;
    QUVCommDeviceSerial* m_Serial = nullptr;
    static constexpr int kReadAheadSize = 256;
    uint8_t m_ReadAhead[kReadAheadSize] = {};
    int m_ReadAheadPos = 0;
    int m_ReadAheadLength = 0;
};
