#pragma once

#include "link/LinkLine.h"
#include "link/SerialPortComponent.h"

// The component path: the window's serial-port component (not owned), used
// for a radio behind an RS-485 box. A frame is written only when the
// component's output buffer has room for it and, in RS-485 mode, the line is
// free; closing lets the last frame leave first.
class ComponentLine : public ILinkLine {
public:
    // A null component is a line that never opens.
    explicit ComponentLine(ISerialPortComponent* component)
        : m_Component(component)
    {
    }

    bool IsOpen() const override;
    void Close(ILineWaits& waits) override;
    void SetBaudRate(int baudRate) override;
    bool ReadyToSend(int length, ILineWaits& waits) override;
    // 1 when the block write succeeded, -1 otherwise.
    int Write(const uint8_t* bytes, int count) override;
    bool ByteReady() override;
    bool ReadByte(uint8_t& byte) override;
    int WaitHandle() const override;
    platform::LineLoss Loss() const override;
    // Behind the box a radio that does not answer leaves the line silent.
    bool SilenceIsProblem() const override { return true; }
    int RateSwitchPauseMs() const override { return 0; }

private:
    ISerialPortComponent* m_Component;
};
