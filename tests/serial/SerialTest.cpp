// The platform's serial line, COM namespace and port locks, and the link's
// serial port and device classes on top of them, over pseudo-terminals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "link/CommSession.h"
#include "link/QUVCommDeviceSerial.h"
#include "link/QUVWinExtSerialPort.h"
#include "platform/ComNamespace.h"
#include "platform/PortHolders.h"
#include "platform/PortLock.h"
#include "platform/SerialLine.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace serialcode;
using platform::PortStatus;

namespace {

// A COM folder (CORVEL_COM_DIR) and a private lock folder for the duration of
// one test, with helpers to map ports onto pseudo-terminals.
class Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("CORVEL_COM_DIR", m_ComDir.Path().c_str(), 1);
        platform::SetLockDirectoryForTesting(m_LockDir.Path());
    }
    void TearDown() override
    {
        unsetenv("CORVEL_COM_DIR");
        platform::SetLockDirectoryForTesting({});
    }
    // Makes COM<n> a symlink to `target`.
    void MapPort(int number, const std::string& target)
    {
        fs::create_symlink(target, m_ComDir / ("COM" + std::to_string(number)));
    }
    // A new pseudo-terminal pair mapped as COM<n>.
    testsupport::PtyPair& AddPty(int number)
    {
        m_Ptys.push_back(std::make_unique<testsupport::PtyPair>());
        MapPort(number, m_Ptys.back()->SlavePath());
        return *m_Ptys.back();
    }
    fs::path LockFileOf(const std::string& device) const
    {
        return m_LockDir / platform::LockFileName(device);
    }
    // Writes a lock file for the device naming `pid`.
    void WriteLock(const std::string& device, int pid) const
    {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", pid);
        testsupport::WriteFileText(LockFileOf(device), text);
    }

    testsupport::TempDir m_ComDir;
    testsupport::TempDir m_LockDir;
    std::vector<std::unique_ptr<testsupport::PtyPair>> m_Ptys;
};

// Another program, as a child process that lives until it is ended. Given a
// device it gives up this process's descriptor of the line's master side and
// holds the device open itself, exclusively if asked.
struct OtherProgram {
    pid_t pid = -1;
    explicit OtherProgram(const std::string& device = {}, int master = -1, bool exclusive = false)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(master);
            int fd = device.empty() ? 0 : open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd >= 0 && exclusive)
                ioctl(fd, TIOCEXCL);
            char ok = fd >= 0 ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char ok = '0';
        (void)!read(ready[0], &ok, 1);
        close(ready[0]);
        if (ok != '1')
            ADD_FAILURE() << "the holder could not open " << device;
    }
    ~OtherProgram()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The pid of a process that has already ended.
pid_t DeadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

std::string Canonical(const std::string& path)
{
    return fs::canonical(path).string();
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

TEST_F(Serial, ComNamespaceOnlyUsableEntriesOfTheFolderArePorts)
{
    auto& pty = AddPty(3);
    MapPort(4, (m_ComDir / "nowhere").string()); // dangling
    MapPort(6, "COM6"); // a link to itself
    fs::create_directory(m_ComDir / "COM7");
    MapPort(255, pty.SlavePath());

    EXPECT_EQ(platform::ComDevicePath(3), Canonical(pty.SlavePath()));
    EXPECT_EQ(platform::ComDevicePath(255), Canonical(pty.SlavePath()));
    for (int absent : { 4, 5, 6, 7, 1, 0, -1, 256, 100000 })
        EXPECT_EQ(platform::ComDevicePath(absent), std::nullopt) << "COM" << absent;
    for (int absent : { 4, 5, 6, 7, 0, 256 }) {
        EXPECT_EQ(platform::TestComPort(absent).status, PortStatus::Absent) << "COM" << absent;
        EXPECT_FALSE(platform::ComPortOpens(absent));
    }
    EXPECT_TRUE(platform::ComPortOpens(3));

    // A folder that does not exist: every port is absent.
    setenv("CORVEL_COM_DIR", (m_ComDir / "missing").c_str(), 1);
    for (int n = platform::kFirstComPort; n <= platform::kLastComPort; ++n)
        ASSERT_EQ(platform::ComDevicePath(n), std::nullopt) << "COM" << n;
    EXPECT_EQ(platform::TestComPort(3).status, PortStatus::Absent);
}

TEST_F(Serial, ComNamespaceWithoutTheFolderTheStandardDevicesAreUsed)
{
    for (bool unset : { true, false }) {
        SCOPED_TRACE(unset ? "unset" : "empty");
        unset ? unsetenv("CORVEL_COM_DIR") : setenv("CORVEL_COM_DIR", "", 1);
        for (auto [port, device] :
            { std::pair { 1, "/dev/ttyS0" }, { 32, "/dev/ttyS31" }, { 33, "/dev/ttyUSB0" },
                { 64, "/dev/ttyUSB31" }, { 65, "/dev/ttyACM0" }, { 96, "/dev/ttyACM31" } }) {
            std::error_code ec;
            EXPECT_EQ(platform::ComDevicePath(port),
                fs::exists(device, ec) ? std::optional(fs::canonical(device).string())
                                       : std::nullopt)
                << device;
        }
        for (int absent : { 0, 97, 200, 255 })
            EXPECT_EQ(platform::ComDevicePath(absent), std::nullopt) << absent;
    }
}

TEST_F(Serial, OpenTestReportsFreeHeldAndStaleLocks)
{
    auto& pty = AddPty(2);
    const std::string device = Canonical(pty.SlavePath());

    platform::PortProbe probe = platform::TestComPort(2);
    EXPECT_EQ(probe.status, PortStatus::Free);
    EXPECT_EQ(probe.path, device);

    // Locks of ended holders and unreadable locks do not count.
    WriteLock(device, DeadPid());
    EXPECT_TRUE(platform::ComPortOpens(2));
    testsupport::WriteFileText(LockFileOf(device), "garbage\n");
    EXPECT_TRUE(platform::ComPortOpens(2));

    // This program's own open counts as held, so a rescan never offers a
    // port twice.
    platform::SerialLine line;
    ASSERT_TRUE(line.Open(pty.SlavePath())) << line.LastErrorText();
    probe = platform::TestComPort(2);
    EXPECT_EQ(probe.status, PortStatus::Held);
    EXPECT_EQ(probe.holderPid, getpid());
    line.Close();
    EXPECT_TRUE(platform::ComPortOpens(2));
}

TEST_F(Serial, PortLockLockFilesFollowTheUucpConvention)
{
    EXPECT_EQ(platform::LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(platform::LockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(platform::LockFileName("/dev/serial/by-id/x"), "LCK..serial_by-id_x");
    EXPECT_EQ(platform::LockFileName("/tmp/port"), "LCK..port");

    const std::string device = "/dev/ttyUSB7";
    const fs::path file = LockFileOf(device);
    {
        platform::PortLock lock;
        ASSERT_EQ(lock.Acquire(device), platform::PortLock::Result::Locked);
        EXPECT_EQ(lock.File(), file);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(getpid()));
        EXPECT_EQ(testsupport::ReadFileText(file), expected);
        EXPECT_EQ(platform::LockHolder(device), getpid());

        platform::PortLock second;
        EXPECT_EQ(second.Acquire(device), platform::PortLock::Result::Held);
        EXPECT_EQ(second.HolderPid(), getpid());
        EXPECT_FALSE(second.Held());
    }
    EXPECT_FALSE(fs::exists(file)) << "released lock left behind";
    EXPECT_EQ(platform::LockHolder(device), 0);

    // A live holder in the old binary form is honoured too.
    OtherProgram other;
    int pid = other.pid;
    testsupport::WriteFileBytes(file,
        { static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
            static_cast<uint8_t>(pid >> 16), static_cast<uint8_t>(pid >> 24) });
    platform::PortLock blocked;
    EXPECT_EQ(blocked.Acquire(device), platform::PortLock::Result::Held);
    EXPECT_EQ(blocked.HolderPid(), pid);
    // Another program's lock is never removed by ours.
    blocked.Release();
    EXPECT_TRUE(fs::exists(file));

    // Stale and unreadable locks are replaced.
    for (const std::string& stale : { std::to_string(DeadPid()) + "\n", std::string("") }) {
        testsupport::WriteFileText(file, stale);
        platform::PortLock lock;
        EXPECT_EQ(lock.Acquire(device), platform::PortLock::Result::Locked) << stale;
        EXPECT_EQ(platform::LockHolder(device), getpid());
    }
    EXPECT_FALSE(fs::exists(file));
    // No temporary files are left in the lock folder.
    EXPECT_TRUE(fs::is_empty(m_LockDir.Path()));

    // No lock folder at all: nothing to lock with, and nobody holds anything.
    platform::SetLockDirectoryForTesting(m_LockDir / "missing");
    platform::PortLock lock;
    EXPECT_EQ(lock.Acquire(device), platform::PortLock::Result::Failed);
    EXPECT_EQ(platform::LockHolder(device), 0);
}

TEST_F(Serial, SerialLineOpensRawTakesSettingsAndCarriesBytesBothWays)
{
    auto& pty = AddPty(1);
    platform::SerialLine line;
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(line.Descriptor(), -1);
    EXPECT_EQ(line.InputCount(), -1);
    EXPECT_EQ(line.Write(reinterpret_cast<const uint8_t*>("x"), 1), -1);
    EXPECT_FALSE(line.SetBaudRate(9600));

    const fs::path lockFile = LockFileOf(Canonical(pty.SlavePath()));
    ASSERT_TRUE(line.Open((m_ComDir / "COM1").string())) << line.LastErrorText();
    EXPECT_TRUE(line.IsOpen());
    EXPECT_TRUE(fs::exists(lockFile));

    // (Every rate of the baud codes is set through the serial port below.)
    EXPECT_FALSE(line.SetBaudRate(0));
    // A pseudo-terminal always reports 8 data bits and no parity, whatever
    // was set; only the range checks can be seen here.
    for (int bits = 4; bits <= 9; ++bits)
        EXPECT_EQ(line.SetDataBits(bits), bits >= 5 && bits <= 8) << bits;
    for (auto parity : { platform::LineParity::Odd, platform::LineParity::Even,
             platform::LineParity::Mark, platform::LineParity::Space, platform::LineParity::None })
        EXPECT_TRUE(line.SetParity(parity));
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::Software));
    EXPECT_TRUE(line.ReadBack().value().xonXoff);
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::None));
    auto back = line.ReadBack().value();
    EXPECT_FALSE(back.xonXoff);
    EXPECT_FALSE(back.rtsCts);
    EXPECT_TRUE(back.raw); // raw whatever was set

    // An empty line: reads return at once with nothing.
    uint8_t buffer[64] = {};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line.InputCount(), 0);
    EXPECT_EQ(line.Read(buffer, sizeof buffer), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // The low-latency request is refused on a pseudo-terminal, and the line
    // works on. Every byte value crosses unchanged (no CR/LF or flow-control
    // mangling).
    EXPECT_FALSE(line.RequestLowLatency());
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(line.Write(all.data(), 256), 256);
    EXPECT_TRUE(line.Drain());
    EXPECT_EQ(pty.Read(256, 2s), all);

    pty.Write(all);
    std::vector<uint8_t> got;
    for (auto end = std::chrono::steady_clock::now() + 2s;
         got.size() < 256 && std::chrono::steady_clock::now() < end;) {
        ASSERT_GE(line.InputCount(), 0);
        int n = line.Read(buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buffer, buffer + n);
        usleep(n == 0 ? 1000 : 0);
    }
    EXPECT_EQ(got, all);

    // The far end goes away: the line reports it instead of looking idle,
    // and the loss stays until the line is closed.
    EXPECT_EQ(line.Loss(), platform::LineLoss::None);
    pty.CloseMaster();
    EXPECT_EQ(line.InputCount(), -1);
    EXPECT_NE(line.Loss(), platform::LineLoss::None);
    EXPECT_NE(line.Loss(), platform::LineLoss::None);

    line.Close();
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(line.Loss(), platform::LineLoss::None);
    EXPECT_FALSE(fs::exists(lockFile));
}

TEST_F(Serial, SerialLineSecondOpenerIsRefusedUntilTheFirstCloses)
{
    auto& pty = AddPty(1);
    platform::SerialLine first;
    platform::SerialLine second;
    ASSERT_TRUE(first.Open(pty.SlavePath())) << first.LastErrorText();
    // Through another name of the same device as well.
    EXPECT_FALSE(second.Open((m_ComDir / "COM1").string()));
    EXPECT_EQ(second.LastErrno(), EBUSY);
    EXPECT_FALSE(second.IsOpen());
    // The refused opener must not have taken the first one's lock away.
    EXPECT_EQ(platform::LockHolder(Canonical(pty.SlavePath())), getpid());
    EXPECT_TRUE(fs::exists(LockFileOf(Canonical(pty.SlavePath()))));

    first.Close();
    EXPECT_TRUE(second.Open(pty.SlavePath())) << second.LastErrorText();
    second.Close();

    // Another program's live lock keeps the line shut and its file intact.
    {
        OtherProgram other;
        WriteLock(Canonical(pty.SlavePath()), other.pid);
        EXPECT_FALSE(first.Open(pty.SlavePath()));
        EXPECT_EQ(first.LastErrno(), EBUSY);
        EXPECT_NE(first.LastErrorText().find(std::to_string(other.pid)), std::string::npos)
            << first.LastErrorText();
        EXPECT_EQ(platform::LockHolder(Canonical(pty.SlavePath())), other.pid);
    }

    // Missing devices and non-terminals fail with a reason.
    platform::SerialLine third;
    EXPECT_FALSE(third.Open((m_ComDir / "COM9").string()));
    EXPECT_EQ(third.LastErrno(), ENOENT);
    testsupport::WriteFileText(m_ComDir / "plain", "x");
    EXPECT_FALSE(third.Open((m_ComDir / "plain").string()));
    EXPECT_EQ(third.LastErrno(), ENOTTY);
    EXPECT_FALSE(third.IsOpen());
}

TEST_F(Serial, SerialLineWriteGivesUpWhenTheFarEndStopsReading)
{
    testsupport::PtyPair pty;
    platform::SerialLine line;
    ASSERT_TRUE(line.Open(pty.SlavePath()));
    line.SetWriteTimeout(1);
    // Nobody reads the master side: the pseudo-terminal's buffer fills and a
    // write then ends after its time-out (1 ms a byte) with what went out.
    std::vector<uint8_t> chunk(512, 0x55);
    int lastWritten = 0;
    size_t total = 0;
    std::chrono::steady_clock::duration lastTook {};
    for (int i = 0; i < 4096; ++i) {
        auto start = std::chrono::steady_clock::now();
        lastWritten = line.Write(chunk.data(), 512);
        lastTook = std::chrono::steady_clock::now() - start;
        ASSERT_GE(lastWritten, 0) << line.LastErrorText();
        total += static_cast<size_t>(lastWritten);
        if (lastWritten < 512)
            break;
    }
    EXPECT_LT(lastWritten, 512) << "never blocked after " << total << " bytes";
    EXPECT_GE(lastTook, 400ms);
    EXPECT_LT(lastTook, 5s);
}

TEST_F(Serial, SerialPortDefaultsAndRefusedStopAndDataBitCombinations)
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
    port.SetDataBits(kData6);
    EXPECT_EQ(port.GetDataBits(), kData5);

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

TEST_F(Serial, SerialPortBaudCodesAreNormalisedAndReachTheLine)
{
    const uint8_t stored[22]
        = { 2, 2, 2, 2, 2, 2, 6, 7, 8, 8, 10, 11, 12, 13, 14, 15, 16, 17, 17, 19, 20, 21 };
    const uint32_t rate[22] = { 110, 110, 110, 110, 110, 110, 300, 600, 1200, 1200, 2400, 4800,
        9600, 14400, 19200, 38400, 56000, 57600, 57600, 115200, 128000, 256000 };
    AddPty(1);
    QUVWinExtSerialPort port;
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.Line().ReadBack().value().baudRate, 19200u);
    for (uint8_t code = 0; code <= 21; ++code) {
        port.SetBaudRate(code);
        EXPECT_EQ(port.GetBaudRate(), stored[code]) << "code " << int(code);
        EXPECT_EQ(port.Line().ReadBack().value().baudRate, rate[code]) << "code " << int(code);
    }
    // Unknown codes are stored but leave the rate alone.
    port.SetBaudRate(kBaud9600);
    port.SetBaudRate(22);
    EXPECT_EQ(port.GetBaudRate(), 22);
    EXPECT_EQ(port.Line().ReadBack().value().baudRate, 9600u);

    // The case the link relies on: code 18 gives 57600 and is kept as 17.
    port.SetBaudRate(kBaud19200);
    port.SetBaudRate(18);
    EXPECT_EQ(port.GetBaudRate(), kBaud57600);
    EXPECT_EQ(port.Line().ReadBack().value().baudRate, 57600u);

    for (uint8_t code = 0; code <= kLastBaudCode; ++code)
        EXPECT_EQ(BaudCodeOfRate(BaudRateOfCode(code)), NormaliseBaudCode(code));
    EXPECT_EQ(BaudCodeOfRate(12345), 0xFF);
}

TEST_F(Serial, SerialPortReadsAndWritesOnlyWhenTheyCan)
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

    // Lines end at a line feed or when the buffer is full (size - 1 bytes
    // and the terminator).
    char line[8];
    EXPECT_EQ(port.ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line), 0); // nothing queued
    pty.Write({ 'o', 'k', '\n', 'n', 'e', 'x', 't', 'l', 'i', 'n', 'e', '!' });
    ASSERT_TRUE(WaitForQueued(port, 12));
    for (const char* expected : { "ok\n", "nextlin", "e!" }) {
        EXPECT_EQ(port.ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line),
            static_cast<int>(std::strlen(expected)) + 1);
        EXPECT_STREQ(line, expected);
    }
    EXPECT_EQ(port.ReadLine(reinterpret_cast<uint8_t*>(line), 0), 0);

    // Read and write failures once the far end is gone.
    pty.CloseMaster();
    EXPECT_EQ(port.BytesAvailable(), -1);
    EXPECT_EQ(port.Write(data, 3), -1);
    EXPECT_EQ(port.LastError(), kErrWriteFailed);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Write(data, 3), 0);
    EXPECT_EQ(port.ReadLine(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Descriptor(), -1);
}

TEST_F(Serial, SerialPortLineErrorFlagsMapInPriorityOrder)
{
    QUVWinExtSerialPort port;
    const std::pair<uint32_t, int> cases[] = {
        { kLineParity | kLineBreak | kLineOutputFull, kErrBreak },
        { kLineOverrun | kLineFraming, kErrFraming }, { kLineMode | kLineIO, kErrIO },
        { kLineOverrun | kLineMode, kErrMode }, { kLineParity | kLineOverrun, kErrOverrun },
        { kLineInputOverflow | kLineParity, kErrParity },
        { kLineOutputFull | kLineInputOverflow, kErrInputOverflow },
        { kLineOutputFull, kErrOutputFull },
        { 0, kErrOutputFull }, // no flags: the last error stays
    };
    for (auto [flags, error] : cases) {
        port.SetErrorFromFlags(flags);
        EXPECT_EQ(port.LastError(), error) << flags;
    }
}

TEST_F(Serial, CommDeviceConnectOpensTheNamedPortAtTheRequestedSettings)
{
    QUVCommDeviceSerial device;
    EXPECT_EQ(device.DeviceKind(), 2);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.WaitHandle(), -1);

    // An absent port (the COM namespace tests cover which ports are absent).
    EXPECT_FALSE(device.Connect(3, kBaud19200, false));
    EXPECT_FALSE(device.IsOpen());

    auto& pty = AddPty(7);
    ASSERT_TRUE(device.Connect(7, kBaud19200, false));
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.Port().GetPortName(), "COM7");
    auto back = device.Port().Line().ReadBack().value();
    EXPECT_EQ(back.baudRate, 19200u);
    EXPECT_FALSE(back.twoStopBits);
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
    ASSERT_TRUE(WaitForQueued(device.Port(), 2));
    for (uint8_t expected : { 0x55, 0xAA }) {
        EXPECT_TRUE(device.CharReady());
        EXPECT_EQ(device.GetChar(ch), 1);
        EXPECT_EQ(ch, expected);
    }
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

TEST_F(Serial, CommDeviceRs485ModeSelectsItsFlowControl)
{
    auto& pty = AddPty(2);
    QUVCommDeviceSerial device;
    ASSERT_TRUE(device.Connect(2, kBaud19200, true));
    EXPECT_TRUE(device.RS485());
    EXPECT_EQ(device.Port().GetFlowControl(), kFlowRS485);
    // A pseudo-terminal has no RS-485 mode; the fallback still sends.
    EXPECT_FALSE(device.Port().Line().KernelRS485());
    EXPECT_FALSE(device.Port().Line().GetModemLines()); // none on a pseudo-terminal
    const uint8_t frame[3] = { 0xA5, 0x00, 0x5A };
    EXPECT_EQ(device.Write(frame, 3), 3);
    EXPECT_EQ(pty.Read(3, 2s), std::vector<uint8_t>(frame, frame + 3));

    device.SetRS485(false);
    EXPECT_FALSE(device.RS485());
    EXPECT_EQ(device.Port().GetFlowControl(), kFlowNone);
    EXPECT_EQ(device.Write(frame, 3), 3);
    EXPECT_EQ(pty.Read(3, 2s), std::vector<uint8_t>(frame, frame + 3));
}

namespace {

// Stands for the driver's serial flags word and records every call.
struct RecordingFlags : platform::SerialFlagsAccess {
    int flags = 0x0040;
    bool refuse = false;
    std::vector<std::string> calls;
    bool Get(int, int& out) override
    {
        calls.push_back("get");
        out = flags;
        return !refuse;
    }
    bool Set(int, int in) override
    {
        char text[16];
        std::snprintf(text, sizeof text, "set %04x", in);
        calls.push_back(text);
        flags = in;
        return true;
    }
};

} // namespace

TEST_F(Serial, SerialPortAsksForLowLatencyAndPutsTheOldFlagsBack)
{
    AddPty(3);
    // The flags are raised on open and put back on close; a driver already
    // at low latency is left alone; one without the setting refuses, which
    // is no failure.
    struct Case {
        int flags;
        bool refuse;
        std::vector<std::string> calls;
    };
    for (const Case& c : { Case { 0x0040, false, { "get", "set 2040", "set 0040" } },
             Case { 0x2000, false, { "get" } }, Case { 0x0040, true, { "get" } } }) {
        RecordingFlags flags;
        flags.flags = c.flags;
        flags.refuse = c.refuse;
        QUVWinExtSerialPort port(&flags);
        port.SetPortName("COM3");
        ASSERT_TRUE(port.Open());
        EXPECT_EQ(flags.calls.size(), std::min<size_t>(c.calls.size(), 2));
        port.Close();
        EXPECT_EQ(flags.calls, c.calls);
    }
}

TEST_F(Serial, AnotherProcessWithTheDeviceOpenMakesThePortInUse)
{
    auto& pty = AddPty(5);
    const std::string device = Canonical(pty.SlavePath());
    std::vector<bool> exclusive { false };
    // The exclusive-open flag does not bind root: the open itself succeeds
    // then, and only the look at the other processes finds the holder.
    if (geteuid() == 0)
        exclusive.push_back(true);
    for (bool excl : exclusive) {
        SCOPED_TRACE(excl ? "exclusive" : "plain open");
        OtherProgram holder(device, pty.Master(), excl);
        const platform::PortProbe probe = platform::TestComPort(5);
        EXPECT_EQ(probe.status, PortStatus::Held);
        EXPECT_EQ(probe.holderPid, holder.pid);

        platform::SerialLine line;
        EXPECT_FALSE(line.Open(pty.SlavePath()));
        EXPECT_EQ(line.LastErrno(), EBUSY);
        EXPECT_NE(
            line.LastErrorText().find("process " + std::to_string(holder.pid)), std::string::npos)
            << line.LastErrorText();
        // Nothing reached the line, and the lock is not left behind.
        EXPECT_TRUE(pty.Read(1, 100ms).empty());
        EXPECT_FALSE(fs::exists(LockFileOf(device)));
    }
    // Once the other program is gone the port is free again.
    EXPECT_EQ(platform::TestComPort(5).status, PortStatus::Free);
}

TEST_F(Serial, HolderSearchPassesOverHiddenProcessesAndTheFarEnd)
{
    testsupport::TempDir proc;
    const auto fd = [&](int pid, int number, const std::string& target) {
        fs::create_directories(proc / std::to_string(pid) / "fd");
        fs::create_symlink(target, proc / std::to_string(pid) / "fd" / std::to_string(number));
    };
    const auto info = [&](int pid, int number, const std::string& text) {
        fs::create_directories(proc / std::to_string(pid) / "fdinfo");
        testsupport::WriteFileText(
            proc / std::to_string(pid) / "fdinfo" / std::to_string(number), text);
    };
    fd(100, 0, "/dev/null");
    fd(100, 3, "/dev/ttyUSB0");
    // One that cannot be looked into.
    fs::create_directories(proc / "200");
    testsupport::WriteFileText(proc / "200" / "fd", "");
    // The far end of /dev/pts/7 (holds its master) and a program that holds
    // /dev/pts/7 next to the master of another terminal.
    fd(300, 4, "/dev/pts/7");
    fd(300, 5, "/dev/ptmx");
    info(300, 5, "pos:\t0\nflags:\t02\ntty-index:\t7\n");
    fd(400, 4, "/dev/pts/7");
    fd(400, 6, "/dev/pts/ptmx");
    info(400, 6, "tty-index:\t8\n");
    fs::create_directories(proc / "self" / "fd");

    EXPECT_EQ(platform::FindProcessHolding("/dev/ttyUSB0", proc.Path()), 100);
    EXPECT_EQ(platform::FindProcessHolding("/dev/ttyUSB1", proc.Path()), 0);
    EXPECT_EQ(platform::FindProcessHolding("/dev/pts/7", proc.Path()), 400);
    fs::remove_all(proc / "400");
    EXPECT_EQ(platform::FindProcessHolding("/dev/pts/7", proc.Path()), 0);
    EXPECT_EQ(platform::FindProcessHolding("/dev/ttyUSB0", "/nonexistent"), 0);

    // The command name in full, not the kernel's 15 characters.
    testsupport::WriteFileText(proc / "100" / "comm", "serial-terminal\n");
    testsupport::WriteFileText(
        proc / "100" / "cmdline", std::string("/usr/bin/serial-terminal-program\0-b\0", 36));
    EXPECT_EQ(platform::ProcessCommandName(100, proc.Path()), "serial-terminal-program");
    testsupport::WriteFileText(proc / "300" / "comm", "kworker/0:1\n");
    EXPECT_EQ(platform::ProcessCommandName(300, proc.Path()), "kworker/0:1");
    EXPECT_EQ(platform::ProcessCommandName(999, proc.Path()), "");
}

TEST_F(Serial, ARegularFileIsNoSerialDeviceAlsoForAUserWhoMayNotOpenIt)
{
    testsupport::WriteFileText(m_ComDir / "file", "not a tty");
    ASSERT_EQ(chmod((m_ComDir / "file").c_str(), 0), 0);
    MapPort(8, (m_ComDir / "file").string());
    // Root opens anything: look as an ordinary user does.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chmod(m_ComDir.Path().c_str(), 0755), 0);
        ASSERT_EQ(seteuid(65534), 0);
    }
    const platform::PortProbe probe = platform::TestComPort(8);
    if (root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_EQ(probe.status, PortStatus::OtherError);
    EXPECT_EQ(probe.detail, "not a serial device");
}
