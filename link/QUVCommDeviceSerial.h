#pragma once

#include "link/QUVCommDevice.h"

#include <cstdint>
#include <memory>

class QUVWinExtSerialPort;

// The serial communication device of the direct path: a QUVWinExtSerialPort
// behind the QUVCommDevice operations.
class QUVCommDeviceSerial : public QUVCommDevice {
public:
    QUVCommDeviceSerial();
    ~QUVCommDeviceSerial() override;

    // Opens COM<portNumber> (through the COM namespace) and sets the line to
    // `baudCode`, 8 data bits, 1 stop bit, no parity, the RS-485 mode and a
    // time-out of 2 s. False when the port does not open; the device then
    // stays closed.
    bool Connect(int portNumber, uint8_t baudCode, bool rs485);
    // Passes a baud code (serialcode::kBaud...) to the port.
    void SetBaudRate(uint8_t code);
    // Stores the flag and selects RS-485 flow control (code 3) or none.
    void SetRS485(bool on);
    bool RS485() const { return m_RS485 != 0; }

    // 1 when the port opened (it is then flushed), else -1.
    int Open() override;
    // Flushes and closes the port; always 1.
    int Close() override;
    bool IsOpen() override;
    // True when the port reports at least one byte queued.
    bool CharReady() override;
    // Reads one byte: 1 read, 0 nothing queued or closed, -1 read failure.
    int GetChar(uint8_t& ch) override;
    int Read(uint8_t* buffer, int count) override;
    int Write(const uint8_t* buffer, int count) override;
    int LastError() override;
    // The line's descriptor while open, else -1.
    int WaitHandle() const override;
    platform::LineLoss Loss() const override;

    QUVWinExtSerialPort& Port() { return *m_Port; }

private:
    std::unique_ptr<QUVWinExtSerialPort> m_Port;
    uint8_t m_RS485 = 0;
};
