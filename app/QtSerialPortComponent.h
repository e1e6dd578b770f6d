#pragma once

#include <QSerialPort>

#include "link/SerialPortComponent.h"
#include "platform/PortLock.h"

// The window's serial-port component on QSerialPort: the RS-485 way to a
// mobile radio. The port number names a device through the COM namespace.
// RS-485 mode uses the driver's RS-485 support (RTS raised while sending);
// where the driver refuses it, RTS is raised for the duration of each write.
class QtSerialPortComponent : public ISerialPortComponent {
public:
    QtSerialPortComponent();
    ~QtSerialPortComponent() override;
    QtSerialPortComponent(const QtSerialPortComponent&) = delete;
    QtSerialPortComponent& operator=(const QtSerialPortComponent&) = delete;

    void SetPortNumber(int portNumber) override { m_PortNumber = portNumber; }
    void SetRs485Mode(bool on) override;
    bool Rs485Mode() const override { return m_Rs485; }

    int Open() override;
    void Close() override;
    bool IsOpen() const override { return m_Port.isOpen(); }

    void EmptyInputBuffer() override;
    void EmptyOutputBuffer() override;
    void SetBaudRate(int baudRate) override;

    bool ByteReady() override;
    uint8_t GetByte() override;

    int OutputFree() override;
    int OutputUsed() override;
    bool Cts() override;
    int WriteBlock(const uint8_t* bytes, int count) override;
    void DelayTicks(int ticks) override;
    // The port's readiness reaches the Qt event loop through QSerialPort's
    // own notifier, so an idle wait needs no descriptor of its own.
    int WaitHandle() const override { return -1; }
    // The port reports a resource error once the device is gone or hung up.
    platform::LineLoss Loss() const override;

    int PortNumber() const { return m_PortNumber; }
    // True while the driver itself switches RTS for RS-485.
    bool KernelRs485() const { return m_KernelRs485; }

private:
    void ApplyRs485();
    void DrainOutput();

    QSerialPort m_Port;
    std::string m_Path; // the device the port was opened on
    int m_PortNumber = 0;
    int m_BaudRate = 19200;
    bool m_Rs485 = false;
    bool m_KernelRs485 = false;
    platform::PortLock m_Lock;
};
