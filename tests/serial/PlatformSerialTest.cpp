#include "tests/serial/SerialFixture.h"

#include "platform/ComNamespace.h"
#include "platform/PortLock.h"
#include "platform/ProcessorCount.h"
#include "platform/SerialLine.h"
#include "platform/UsbAdapterNames.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::PortStatus;

namespace {

std::string Canonical(const std::string& path)
{
    return fs::canonical(path).string();
}

} // namespace

using ComNamespaceTest = SerialFixture;
using OpenTestTest = SerialFixture;
using PortLockTest = SerialFixture;
using SerialLineTest = SerialFixture;

TEST_F(ComNamespaceTest, OnlyUsableEntriesOfTheFolderArePorts)
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

TEST_F(ComNamespaceTest, WithoutTheFolderTheStandardDevicesAreUsed)
{
    auto expect = [](int port, const std::string& device) {
        std::error_code ec;
        if (fs::exists(device, ec))
            EXPECT_EQ(platform::ComDevicePath(port), fs::canonical(device).string()) << device;
        else
            EXPECT_EQ(platform::ComDevicePath(port), std::nullopt) << device;
    };
    for (const char* unset : { "unset", "empty" }) {
        SCOPED_TRACE(unset);
        if (std::string(unset) == "unset")
            unsetenv("CORVEL_COM_DIR");
        else
            setenv("CORVEL_COM_DIR", "", 1);
        expect(1, "/dev/ttyS0");
        expect(32, "/dev/ttyS31");
        expect(33, "/dev/ttyUSB0");
        expect(64, "/dev/ttyUSB31");
        expect(65, "/dev/ttyACM0");
        expect(96, "/dev/ttyACM31");
        for (int absent : { 0, 97, 200, 255 })
            EXPECT_EQ(platform::ComDevicePath(absent), std::nullopt) << absent;
    }
}

TEST_F(ComNamespaceTest, PseudoTerminalsHaveNoUsbAdapterName)
{
    AddPty(12);
    std::optional<std::vector<std::string>> names = platform::UsbAdapterFriendlyNames();
    if (!names)
        GTEST_SKIP() << "no device database in this environment";
    for (const std::string& name : *names)
        EXPECT_EQ(name.find("(COM12)"), std::string::npos) << name;
}

TEST_F(OpenTestTest, ReportsFreeHeldAndStaleLocks)
{
    auto& pty = AddPty(2);
    const std::string device = Canonical(pty.SlavePath());

    platform::PortProbe probe = platform::TestComPort(2);
    EXPECT_EQ(probe.status, PortStatus::Free);
    EXPECT_EQ(probe.path, device);

    {
        IdleChild other;
        WriteLock(device, other.Pid());
        probe = platform::TestComPort(2);
        EXPECT_EQ(probe.status, PortStatus::Held);
        EXPECT_EQ(probe.holderPid, other.Pid());
        EXPECT_FALSE(platform::ComPortOpens(2));
    }
    // The holder has gone: its lock file no longer counts.
    EXPECT_EQ(platform::TestComPort(2).status, PortStatus::Free);

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

    // An entry that is not a terminal opens but is no serial port.
    testsupport::WriteFileText(m_ComDir / "plain", "x");
    MapPort(8, (m_ComDir / "plain").string());
    probe = platform::TestComPort(8);
    EXPECT_EQ(probe.status, PortStatus::OtherError);
    EXPECT_FALSE(probe.detail.empty());
}

TEST_F(PortLockTest, LockFilesFollowTheUucpConvention)
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
    IdleChild other;
    int pid = other.Pid();
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

TEST_F(SerialLineTest, OpensRawAndCarriesBytesBothWays)
{
    auto& pty = AddPty(1);
    platform::SerialLine line;
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(line.Descriptor(), -1);
    EXPECT_EQ(line.InputCount(), -1);
    EXPECT_EQ(line.Write(reinterpret_cast<const uint8_t*>("x"), 1), -1);

    const fs::path lockFile = LockFileOf(Canonical(pty.SlavePath()));
    ASSERT_TRUE(line.Open((m_ComDir / "COM1").string())) << line.LastErrorText();
    EXPECT_TRUE(line.IsOpen());
    EXPECT_TRUE(fs::exists(lockFile));
    auto back = line.ReadBack();
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->raw);
    EXPECT_EQ(back->dataBits, 8);
    EXPECT_EQ(back->parity, platform::LineParity::None);

    // An empty line: reads return at once with nothing.
    uint8_t buffer[64] = {};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line.InputCount(), 0);
    EXPECT_EQ(line.Read(buffer, sizeof buffer), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // Every byte value crosses unchanged (no CR/LF or flow-control mangling).
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(line.Write(all.data(), 256), 256);
    EXPECT_TRUE(line.Drain());
    EXPECT_EQ(pty.Read(256, 2s), all);

    pty.Write(all);
    pollfd p { line.Descriptor(), POLLIN, 0 };
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (got.size() < 256 && std::chrono::steady_clock::now() < deadline) {
        int queued = line.InputCount();
        ASSERT_GE(queued, 0);
        int n = line.Read(buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buffer, buffer + n);
        if (n == 0)
            usleep(1000);
    }
    EXPECT_EQ(got, all);

    // The far end goes away: the line reports it instead of looking idle.
    pty.CloseMaster();
    EXPECT_EQ(line.InputCount(), -1);

    line.Close();
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(fs::exists(lockFile));
}

TEST_F(SerialLineTest, SettingsReachTheDriver)
{
    AddPty(1);
    platform::SerialLine line;
    EXPECT_FALSE(line.SetBaudRate(9600)); // closed
    ASSERT_TRUE(line.Open((m_ComDir / "COM1").string())) << line.LastErrorText();

    // Rates with and without a standard constant.
    for (uint32_t rate :
        { 110u, 300u, 1200u, 9600u, 14400u, 19200u, 56000u, 57600u, 115200u, 128000u, 256000u }) {
        ASSERT_TRUE(line.SetBaudRate(rate)) << rate << ": " << line.LastErrorText();
        EXPECT_EQ(line.ReadBack()->baudRate, rate);
    }
    EXPECT_FALSE(line.SetBaudRate(0));

    // A pseudo-terminal always reports 8 data bits and no parity, whatever
    // was set; only the range checks can be seen here.
    for (int bits = 5; bits <= 8; ++bits)
        EXPECT_TRUE(line.SetDataBits(bits)) << bits;
    EXPECT_FALSE(line.SetDataBits(9));
    EXPECT_FALSE(line.SetDataBits(4));
    for (auto parity : { platform::LineParity::Odd, platform::LineParity::Even,
             platform::LineParity::Mark, platform::LineParity::Space, platform::LineParity::None })
        EXPECT_TRUE(line.SetParity(parity));

    ASSERT_TRUE(line.SetStopBits(platform::LineStopBits::Two));
    EXPECT_TRUE(line.ReadBack()->twoStopBits);
    ASSERT_TRUE(line.SetStopBits(platform::LineStopBits::One));
    EXPECT_FALSE(line.ReadBack()->twoStopBits);

    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::Hardware));
    EXPECT_TRUE(line.ReadBack()->rtsCts);
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::Software));
    EXPECT_FALSE(line.ReadBack()->rtsCts);
    EXPECT_TRUE(line.ReadBack()->xonXoff);
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::None));
    EXPECT_FALSE(line.ReadBack()->xonXoff);
    // The line stays raw whatever was set.
    EXPECT_TRUE(line.ReadBack()->raw);
}

TEST_F(SerialLineTest, SecondOpenerIsRefusedUntilTheFirstCloses)
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
        IdleChild other;
        WriteLock(Canonical(pty.SlavePath()), other.Pid());
        EXPECT_FALSE(first.Open(pty.SlavePath()));
        EXPECT_EQ(first.LastErrno(), EBUSY);
        EXPECT_NE(first.LastErrorText().find(std::to_string(other.Pid())), std::string::npos)
            << first.LastErrorText();
        EXPECT_EQ(platform::LockHolder(Canonical(pty.SlavePath())), other.Pid());
    }
    // Once it has gone, its stale lock is replaced.
    EXPECT_TRUE(first.Open(pty.SlavePath())) << first.LastErrorText();
    EXPECT_EQ(platform::LockHolder(Canonical(pty.SlavePath())), getpid());

    // Missing devices and non-terminals fail with a reason.
    platform::SerialLine third;
    EXPECT_FALSE(third.Open((m_ComDir / "COM9").string()));
    EXPECT_EQ(third.LastErrno(), ENOENT);
    testsupport::WriteFileText(m_ComDir / "plain", "x");
    EXPECT_FALSE(third.Open((m_ComDir / "plain").string()));
    EXPECT_EQ(third.LastErrno(), ENOTTY);
    EXPECT_FALSE(third.IsOpen());
}

TEST_F(SerialLineTest, Rs485WithoutDriverSupportStillSends)
{
    auto& pty = AddPty(1);
    platform::SerialLine line;
    ASSERT_TRUE(line.Open(pty.SlavePath()));
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::RS485));
    // Pseudo-terminals have no RS-485 mode: RTS is switched by hand, which a
    // pseudo-terminal ignores, and the bytes still go out.
    EXPECT_FALSE(line.KernelRS485());
    const std::vector<uint8_t> frame { 0x7E, 0x01, 0x02, 0x7E };
    line.SetWriteTimeout(100);
    EXPECT_EQ(line.Write(frame.data(), 4), 4);
    EXPECT_EQ(pty.Read(4, 2s), frame);
    EXPECT_FALSE(line.GetModemLines()); // no modem lines on a pseudo-terminal
    ASSERT_TRUE(line.SetFlowControl(platform::LineFlow::None));
    EXPECT_EQ(line.Write(frame.data(), 4), 4);
    EXPECT_EQ(pty.Read(4, 2s), frame);
}

TEST(SerialTimeoutTest, WriteGivesUpWhenTheFarEndStopsReading)
{
    testsupport::TempDir lockDir;
    platform::SetLockDirectoryForTesting(lockDir.Path());
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
    line.Close();
    platform::SetLockDirectoryForTesting({});
}

TEST(ProcessorCountTest, CanBeReplacedForTests)
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(platform::ProcessorCount(), online > 0 ? online : 1);
    platform::SetProcessorCountForTesting(4);
    EXPECT_EQ(platform::ProcessorCount(), 4);
    platform::SetProcessorCountForTesting(0);
    EXPECT_EQ(platform::ProcessorCount(), online > 0 ? online : 1);
}
