#include "tests/serial/SerialFixture.h"

#include "link/QUVCommDeviceSerial.h"
#include "link/QUVWinExtSerialPort.h"
#include "platform/PortLock.h"

#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace serialcode;

using SerialPortTest = SerialFixture;
using CommDeviceSerialTest = SerialFixture;

namespace {

uint32_t LineRate(QUVWinExtSerialPort& port)
{
    auto back = port.Line().ReadBack();
    return back ? back->baudRate : 0;
}

// Waits until the port reports `count` queued bytes (a pseudo-terminal hands
// bytes over asynchronously).
bool WaitForQueued(QUVWinExtSerialBase& port, int count)
{
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (port.BytesAvailable() >= count)
            return true;
        usleep(1000);
    }
    return false;
}

} // namespace

TEST_F(SerialPortTest, DefaultsAndRefusedStopAndDataBitCombinations)
{
    QUVWinExtSerialPort port;
    EXPECT_EQ(port.GetPortName(), "COM1");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetBaudRate(), kBaud19200);
    EXPECT_EQ(port.GetDataBits(), kData8);
    EXPECT_EQ(port.GetParity(), kParityNone);
    EXPECT_EQ(port.GetStopBits(), kStop1);
    EXPECT_EQ(port.GetFlowControl(), kFlowNone);

    // 8 data bits refuse 1.5 stop bits; 5 data bits refuse 2.
    port.SetStopBits(kStop1Half);
    EXPECT_EQ(port.GetStopBits(), kStop1);
    port.SetDataBits(kData5);
    port.SetStopBits(kStop2);
    EXPECT_EQ(port.GetStopBits(), kStop1);
    port.SetStopBits(kStop1Half);
    EXPECT_EQ(port.GetStopBits(), kStop1Half);
    for (uint8_t wider : { kData6, kData7, kData8 }) {
        port.SetDataBits(wider);
        EXPECT_EQ(port.GetDataBits(), kData5) << int(wider);
    }

    // The same on an open line, which must not change either.
    AddPty(1);
    port.ResetSettings();
    ASSERT_TRUE(port.Open());
    // (A pseudo-terminal always reports 8 data bits and no parity, so only
    // the stop bits can be watched on the line.)
    port.SetDataBits(kData5);
    port.SetStopBits(kStop2);
    EXPECT_EQ(port.GetStopBits(), kStop1);
    EXPECT_FALSE(port.Line().ReadBack()->twoStopBits);
    port.SetDataBits(kData7);
    port.SetStopBits(kStop2);
    EXPECT_EQ(port.GetStopBits(), kStop2);
    EXPECT_TRUE(port.Line().ReadBack()->twoStopBits);

    // Codes outside the tables are kept but leave the line alone.
    port.SetStopBits(5);
    EXPECT_EQ(port.GetStopBits(), 5);
    EXPECT_TRUE(port.Line().ReadBack()->twoStopBits);
    port.SetParity(7);
    EXPECT_EQ(port.GetParity(), 7);
    port.SetFlowControl(kFlowHardware);
    EXPECT_TRUE(port.Line().ReadBack()->rtsCts);
    port.SetFlowControl(9);
    EXPECT_EQ(port.GetFlowControl(), 9);
    EXPECT_TRUE(port.Line().ReadBack()->rtsCts);

    // Settings stored while closed are applied by the next open.
    port.Close();
    port.ResetSettings();
    port.SetBaudRate(kBaud38400);
    port.SetStopBits(kStop2);
    port.SetFlowControl(kFlowSoftware);
    ASSERT_TRUE(port.Open());
    auto back = port.Line().ReadBack();
    EXPECT_EQ(back->baudRate, 38400u);
    EXPECT_TRUE(back->twoStopBits);
    EXPECT_TRUE(back->xonXoff);
    EXPECT_FALSE(back->rtsCts);
}

TEST_F(SerialPortTest, BaudCodesAreNormalisedAndReachTheLine)
{
    const uint8_t stored[22]
        = { 2, 2, 2, 2, 2, 2, 6, 7, 8, 8, 10, 11, 12, 13, 14, 15, 16, 17, 17, 19, 20, 21 };
    const uint32_t rate[22] = { 110, 110, 110, 110, 110, 110, 300, 600, 1200, 1200, 2400, 4800,
        9600, 14400, 19200, 38400, 56000, 57600, 57600, 115200, 128000, 256000 };
    AddPty(1);
    QUVWinExtSerialPort port;
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(LineRate(port), 19200u);
    for (uint8_t code = 0; code <= 21; ++code) {
        port.SetBaudRate(code);
        EXPECT_EQ(port.GetBaudRate(), stored[code]) << "code " << int(code);
        EXPECT_EQ(LineRate(port), rate[code]) << "code " << int(code);
    }
    // Unknown codes are stored but leave the rate alone.
    port.SetBaudRate(kBaud9600);
    port.SetBaudRate(22);
    EXPECT_EQ(port.GetBaudRate(), 22);
    EXPECT_EQ(LineRate(port), 9600u);

    // The case the link relies on: code 18 gives 57600 and is kept as 17.
    port.SetBaudRate(kBaud19200);
    port.SetBaudRate(18);
    EXPECT_EQ(port.GetBaudRate(), kBaud57600);
    EXPECT_EQ(LineRate(port), 57600u);

    for (uint8_t code = 0; code <= kLastBaudCode; ++code)
        EXPECT_EQ(BaudCodeOfRate(BaudRateOfCode(code)), NormaliseBaudCode(code));
    EXPECT_EQ(BaudCodeOfRate(12345), 0xFF);
}

TEST_F(SerialPortTest, ReadsAndWritesOnlyWhenTheyCan)
{
    auto& pty = AddPty(1);
    QUVWinExtSerialPort port;
    uint8_t buffer[16] = { 0xAA };
    const uint8_t data[3] = { 1, 2, 3 };

    // Closed: nothing touches a line.
    EXPECT_EQ(port.Write(data, 3), 0);
    EXPECT_FALSE(port.WriteByte(1));
    EXPECT_EQ(port.Read(buffer, 3), 0);
    EXPECT_EQ(port.BytesAvailable(), 0);
    EXPECT_EQ(port.InputCount(), 0);
    EXPECT_EQ(port.ModemStatus(), 0u);
    EXPECT_EQ(port.LastError(), kErrNone);

    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.Open()); // already open

    // Empty queue: 0, no error, nothing consumed.
    EXPECT_EQ(port.Read(buffer, 3), 0);
    EXPECT_FALSE(port.ReadByte(buffer[0]));
    EXPECT_EQ(port.LastError(), kErrNone);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_FALSE(port.HasInput());

    EXPECT_EQ(port.Write(data, 3), 3);
    EXPECT_TRUE(port.WriteByte(4));
    EXPECT_EQ(pty.Read(4, 2s), (std::vector<uint8_t> { 1, 2, 3, 4 }));

    pty.Write({ 9, 8, 7 });
    ASSERT_TRUE(WaitForQueued(port, 3));
    EXPECT_TRUE(port.HasInput());
    EXPECT_EQ(port.InputCount(), 3);
    uint8_t one = 0;
    EXPECT_TRUE(port.ReadByte(one));
    EXPECT_EQ(one, 9);
    // Asking for more than is queued returns what is there, at once.
    EXPECT_EQ(port.Read(buffer, 16), 2);
    EXPECT_EQ(buffer[0], 8);
    EXPECT_EQ(buffer[1], 7);

    // Read and write failures once the far end is gone.
    pty.CloseMaster();
    EXPECT_EQ(port.BytesAvailable(), -1);
    EXPECT_EQ(port.Write(data, 3), -1);
    EXPECT_EQ(port.LastError(), kErrWriteFailed);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Write(data, 3), 0);
    EXPECT_EQ(port.Descriptor(), -1);
}

TEST_F(SerialPortTest, ReadLineStopsAtLineFeedOrBufferEnd)
{
    auto& pty = AddPty(1);
    QUVWinExtSerialPort port;
    uint8_t line[8];
    EXPECT_EQ(port.ReadLine(line, sizeof line), 0); // closed
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.ReadLine(line, sizeof line), 0); // nothing queued

    pty.Write({ 'o', 'k', '\n', 'n', 'e', 'x', 't', 'l', 'i', 'n', 'e', '!' });
    ASSERT_TRUE(WaitForQueued(port, 12));
    EXPECT_EQ(port.ReadLine(line, sizeof line), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(line), "ok\n");
    // No line feed within the buffer: size - 1 bytes and the terminator.
    EXPECT_EQ(port.ReadLine(line, sizeof line), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(line), "nextlin");
    EXPECT_EQ(port.ReadLine(line, sizeof line), 3);
    EXPECT_STREQ(reinterpret_cast<char*>(line), "e!");
    EXPECT_EQ(port.ReadLine(line, 0), 0);
}

TEST_F(SerialPortTest, LineErrorFlagsMapInPriorityOrder)
{
    QUVWinExtSerialPort port;
    port.SetErrorFromFlags(kLineParity | kLineBreak | kLineOutputFull);
    EXPECT_EQ(port.LastError(), kErrBreak);
    port.SetErrorFromFlags(kLineOverrun | kLineFraming);
    EXPECT_EQ(port.LastError(), kErrFraming);
    port.SetErrorFromFlags(kLineMode | kLineIO);
    EXPECT_EQ(port.LastError(), kErrIO);
    port.SetErrorFromFlags(kLineOverrun | kLineMode);
    EXPECT_EQ(port.LastError(), kErrMode);
    port.SetErrorFromFlags(kLineParity | kLineOverrun);
    EXPECT_EQ(port.LastError(), kErrOverrun);
    port.SetErrorFromFlags(kLineInputOverflow | kLineParity);
    EXPECT_EQ(port.LastError(), kErrParity);
    port.SetErrorFromFlags(kLineOutputFull | kLineInputOverflow);
    EXPECT_EQ(port.LastError(), kErrInputOverflow);
    port.SetErrorFromFlags(kLineOutputFull);
    EXPECT_EQ(port.LastError(), kErrOutputFull);
    port.SetErrorFromFlags(0);
    EXPECT_EQ(port.LastError(), kErrOutputFull);
}

TEST_F(CommDeviceSerialTest, ConnectOpensTheNamedPortAtTheRequestedSettings)
{
    QUVCommDeviceSerial device;
    EXPECT_EQ(device.DeviceKind(), 2);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.WaitHandle(), -1);

    // Absent ports: no entry, a dangling link, a number out of range.
    MapPort(4, (m_ComDir / "gone").string());
    for (int absent : { 3, 4, 0, 256 }) {
        EXPECT_FALSE(device.Connect(absent, kBaud19200, false)) << absent;
        EXPECT_FALSE(device.IsOpen());
    }

    auto& pty = AddPty(7);
    ASSERT_TRUE(device.Connect(7, kBaud19200, false));
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.Port().GetPortName(), "COM7");
    auto back = device.Port().Line().ReadBack();
    EXPECT_EQ(back->baudRate, 19200u);
    EXPECT_EQ(back->dataBits, 8);
    EXPECT_EQ(back->parity, platform::LineParity::None);
    EXPECT_FALSE(back->twoStopBits);
    EXPECT_FALSE(device.RS485());
    EXPECT_EQ(device.Port().GetFlowControl(), kFlowNone);

    device.SetBaudRate(kBaud115200);
    EXPECT_EQ(device.Port().Line().ReadBack()->baudRate, 115200u);

    // Bytes both ways; the wait handle wakes when a byte arrives.
    const uint8_t frame[4] = { 0x10, 0x02, 0x7E, 0x03 };
    EXPECT_EQ(device.Write(frame, 4), 4);
    EXPECT_EQ(pty.Read(4, 2s), std::vector<uint8_t>(frame, frame + 4));
    EXPECT_FALSE(device.CharReady());
    uint8_t ch = 0;
    EXPECT_EQ(device.GetChar(ch), 0);
    pty.Write({ 0x55, 0xAA });
    pollfd p { device.WaitHandle(), POLLIN, 0 };
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    auto deadline = std::chrono::steady_clock::now() + 2s;
    std::vector<uint8_t> got;
    while (got.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        if (device.CharReady() && device.GetChar(ch) == 1)
            got.push_back(ch);
    }
    EXPECT_EQ(got, (std::vector<uint8_t> { 0x55, 0xAA }));
    EXPECT_EQ(device.LastError(), kErrNone);

    // A second device cannot take the same radio.
    QUVCommDeviceSerial other;
    EXPECT_FALSE(other.Connect(7, kBaud19200, false));

    EXPECT_EQ(device.Close(), 1);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.WaitHandle(), -1);
    EXPECT_EQ(device.Write(frame, 4), 0);
    EXPECT_TRUE(other.Connect(7, kBaud57600, false));
    EXPECT_EQ(other.Port().Line().ReadBack()->baudRate, 57600u);
}

TEST_F(CommDeviceSerialTest, Rs485ModeSelectsItsFlowControl)
{
    auto& pty = AddPty(2);
    QUVCommDeviceSerial device;
    ASSERT_TRUE(device.Connect(2, kBaud19200, true));
    EXPECT_TRUE(device.RS485());
    EXPECT_EQ(device.Port().GetFlowControl(), kFlowRS485);
    // A pseudo-terminal has no RS-485 mode; the fallback still sends.
    EXPECT_FALSE(device.Port().Line().KernelRS485());
    const uint8_t frame[3] = { 0xA5, 0x00, 0x5A };
    EXPECT_EQ(device.Write(frame, 3), 3);
    EXPECT_EQ(pty.Read(3, 2s), std::vector<uint8_t>(frame, frame + 3));

    device.SetRS485(false);
    EXPECT_FALSE(device.RS485());
    EXPECT_EQ(device.Port().GetFlowControl(), kFlowNone);
    EXPECT_EQ(device.Write(frame, 3), 3);
    EXPECT_EQ(pty.Read(3, 2s), std::vector<uint8_t>(frame, frame + 3));
}
