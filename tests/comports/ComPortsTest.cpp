// Port discovery and the claim of a port, with fake port lists, fake system
// answers and a scripted radio on a pseudo-terminal.

#include "app/ComPorts.h"

#include "link/CommSession.h"
#include "link/SerialPortComponent.h"
#include "link/SimpleEventLoop.h"
#include "platform/ComNamespace.h"
#include "platform/MessageBox.h"
#include "platform/PortLock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::Hex;
using testsupport::PtyPair;
using testsupport::TempDir;

namespace {

class FakePortList : public IPortList {
public:
    void SetItems(const std::vector<std::string>& items) override
    {
        m_Items = items;
        ++m_SetCount;
    }
    int SelectedIndex() const override { return m_Selected; }
    void SetSelectedIndex(int index) override { m_Selected = index; }

    std::vector<std::string> m_Items;
    int m_Selected = -1;
    int m_SetCount = 0;
};

// Records every call the port handling and the session make.
class FakeComponent : public ISerialPortComponent {
public:
    void SetPortNumber(int portNumber) override { m_Port = portNumber; }
    void SetRs485Mode(bool on) override { m_Rs485 = on; }
    bool Rs485Mode() const override { return m_Rs485; }
    int Open() override
    {
        if (m_OpenResult == 0) {
            m_Open = true;
        }
        return m_OpenResult;
    }
    void Close() override { m_Open = false; }
    bool IsOpen() const override { return m_Open; }
    void EmptyInputBuffer() override { }
    void EmptyOutputBuffer() override { }
    void SetBaudRate(int baudRate) override { m_Bauds.push_back(baudRate); }
    bool ByteReady() override { return false; }
    uint8_t GetByte() override { return 0; }
    int OutputFree() override { return kBufferSize; }
    int OutputUsed() override { return 0; }
    bool Cts() override { return false; }
    int WriteBlock(const uint8_t* bytes, int count) override
    {
        m_Written.insert(m_Written.end(), bytes, bytes + count);
        return 0;
    }
    void DelayTicks(int) override { }
    int WaitHandle() const override { return -1; }

    int m_OpenResult = 0;
    int m_Port = 0;
    bool m_Rs485 = false;
    bool m_Open = false;
    std::vector<int> m_Bauds;
    std::vector<uint8_t> m_Written;
};

struct ShownBox {
    std::string caption;
    std::string text;
    platform::MessageIcon icon;
};

// Captures message boxes for the life of the object.
class BoxRecorder {
public:
    BoxRecorder()
    {
        m_Previous = platform::SetMessageBoxHandler(
            [this](const std::string& caption, const std::string& text, platform::MessageIcon icon,
                platform::MessageButtons) {
                m_Boxes.push_back({ caption, text, icon });
                return platform::MessageAnswer::Ok;
            });
    }
    ~BoxRecorder() { platform::SetMessageBoxHandler(m_Previous); }
    std::vector<ShownBox> m_Boxes;

private:
    platform::MessageBoxHandler m_Previous;
};

// A COM namespace of its own: COM<n> entries pointing at pseudo-terminals.
class ComDir {
public:
    ComDir()
    {
        const char* old = std::getenv("CORVEL_COM_DIR");
        m_Old = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("CORVEL_COM_DIR", m_Dir.Path().c_str(), 1);
    }
    ~ComDir()
    {
        if (m_Old) {
            ::setenv("CORVEL_COM_DIR", m_Old->c_str(), 1);
        } else {
            ::unsetenv("CORVEL_COM_DIR");
        }
    }
    void Publish(int port, const std::string& device)
    {
        std::filesystem::create_symlink(device, m_Dir / ("COM" + std::to_string(port)));
    }
    const std::filesystem::path& Path() const { return m_Dir.Path(); }

private:
    TempDir m_Dir;
    std::optional<std::string> m_Old;
};

ComPortSystem FakeSystem(std::set<int> present, std::vector<std::string> names, int processors)
{
    ComPortSystem system;
    system.portOpens = [present](int port) { return present.count(port) != 0; };
    system.adapterNames = [names]() { return std::optional<std::vector<std::string>>(names); };
    system.processorCount = [processors]() { return processors; };
    return system;
}

// Frames the radio sends (its second header byte is the 0x7F).
std::vector<uint8_t> Frame(std::vector<uint8_t> message)
{
    std::vector<uint8_t> frame { 0xBA, 0x01, 0x7F };
    uint8_t sum = 0x80;
    for (uint8_t byte : message) {
        sum = static_cast<uint8_t>(sum + byte);
    }
    message.push_back(static_cast<uint8_t>(0x100 - sum));
    for (uint8_t byte : message) {
        if (byte == 0xBA || byte == 0x7E || byte == 0x10) {
            frame.push_back(0x10);
            frame.push_back(byte == 0xBA ? 0x00 : byte == 0x7E ? 0x01 : 0x02);
        } else {
            frame.push_back(byte);
        }
    }
    frame.push_back(0x7E);
    return frame;
}

const std::vector<uint8_t> kProbeFrame { 0xBA, 0x7F, 0x4F, 0x09, 0x01, 0x77, 0x77, 0x77, 0xC3,
    0x7E };
const std::vector<uint8_t> kBaud115200Frame { 0xBA, 0x7F, 0x01, 0x09, 0x00, 0x05, 0x72, 0x7E };
const std::vector<uint8_t> kBaud19200Frame { 0xBA, 0x7F, 0x01, 0x09, 0x00, 0x01, 0x76, 0x7E };

// Everything one claim needs: session with a Qt-free pump and timer, the
// port list, a component and the capture of message boxes.
struct Rig {
    explicit Rig(ComPortSystem system)
        : link(session)
        , ports(session, &component, list, std::move(system))
    {
        session.SetComponent(&component);
    }
    ~Rig() { session.Close(); }
    CommSession session;
    SimpleLinkHost link;
    FakePortList list;
    FakeComponent component;
    BoxRecorder boxes;
    ComPorts ports;
};

} // namespace

TEST(ComPortScan, ListAndTablesFollowTheOpenTestAndAdapterNames)
{
    // No port at all: 255 grey items, COM1 selected, and a claim stops with
    // the port message.
    {
        Rig rig(FakeSystem({}, {}, 1));
        rig.ports.ScanComPorts();
        ASSERT_EQ(rig.list.m_Items.size(), 255u);
        EXPECT_EQ(rig.list.m_Items.front(), "COM1");
        EXPECT_EQ(rig.list.m_Items.back(), "COM255");
        EXPECT_EQ(rig.list.m_Selected, 0);
        for (int index = 0; index < 255; ++index) {
            EXPECT_TRUE(rig.ports.LookOfItem(index, true).grey) << index;
            EXPECT_EQ(rig.ports.PortState(index + 1), ComPorts::kPortMissing);
        }
        EXPECT_TRUE(rig.ports.LookOfItem(0, true).whiteBackground);
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        ASSERT_EQ(rig.boxes.m_Boxes.size(), 1u);
        EXPECT_EQ(rig.boxes.m_Boxes[0].caption, "COM Port");
        EXPECT_EQ(rig.boxes.m_Boxes[0].text, "Selected COM port is in use or not available.");
        EXPECT_EQ(rig.boxes.m_Boxes[0].icon, platform::MessageIcon::Error);
        // Choosing a grey item with no port present keeps the selection.
        rig.list.m_Selected = 7;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.m_Selected, 7);
    }

    // Adapters of both series, one whose number does not convert, one out of
    // range, one without the parenthesis and a foreign device.
    {
        Rig rig(FakeSystem({ 3, 5, 12 },
            { "USB RPI QUV 4400 (COM12)", "USB RPI QUV 4600 (COM5)", "USB RPI QUV 4600 (COMx7)",
                "USB RPI QUV 4400 (COM256)", "USB RPI QUV 4400 (COM0)", "USB RPI QUV 4600 (COM9",
                "USB Serial Port (COM3)", "USB RPI QUV 4400" },
            1));
        rig.ports.ScanComPorts();
        ASSERT_EQ(rig.list.m_Items.size(), 255u);
        EXPECT_EQ(rig.list.m_Items[11], "COM12 (4400 USB)");
        EXPECT_EQ(rig.list.m_Items[4], "COM5 (4600 USB)");
        EXPECT_EQ(rig.list.m_Items[2], "COM3");
        EXPECT_EQ(rig.list.m_Items[8], "COM9 (4600 USB)");
        EXPECT_EQ(rig.list.m_Items[6], "COM7");
        EXPECT_EQ(rig.ports.UsbAdapterType(12), ComPorts::kAdapter4400);
        EXPECT_EQ(rig.ports.UsbAdapterType(5), ComPorts::kAdapter4600);
        EXPECT_EQ(rig.ports.UsbAdapterType(3), ComPorts::kAdapterNone);
        EXPECT_EQ(rig.ports.PortPresent(5), ComPorts::kPortFree);
        EXPECT_EQ(rig.ports.PortPresent(6), ComPorts::kPortMissing);
        // Out-of-range numbers are never recorded.
        EXPECT_EQ(rig.ports.UsbAdapterType(0), 0);
        EXPECT_EQ(rig.ports.UsbAdapterType(256), 0);
        // Present and enabled items draw normally; a disabled list greys all.
        EXPECT_FALSE(rig.ports.LookOfItem(2, true).grey);
        EXPECT_TRUE(rig.ports.LookOfItem(2, false).grey);
        EXPECT_TRUE(rig.ports.LookOfItem(5, true).grey);
        // A grey choice moves to the first present port.
        rig.list.m_Selected = 100;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.m_Selected, 2);
        rig.list.m_Selected = 11;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.m_Selected, 11);
        EXPECT_TRUE(rig.ports.LookOfItem(11, true).highlighted);
        // The menu command keeps the chosen item.
        rig.ports.UpdateComPorts();
        EXPECT_EQ(rig.list.m_Selected, 11);
    }

    // No device list: the open test still decides, the list stays as it was.
    {
        bool answer = true;
        ComPortSystem system = FakeSystem({ 4 }, { "USB RPI QUV 4400 (COM4)" }, 1);
        system.adapterNames = [&answer]() -> std::optional<std::vector<std::string>> {
            if (answer) {
                return std::vector<std::string> { "USB RPI QUV 4400 (COM4)" };
            }
            return std::nullopt;
        };
        Rig rig(system);
        rig.ports.ScanComPorts();
        EXPECT_EQ(rig.list.m_Items[3], "COM4 (4400 USB)");
        rig.list.m_Selected = 3;
        answer = false;
        rig.ports.ScanComPorts();
        EXPECT_EQ(rig.list.m_SetCount, 1);
        EXPECT_EQ(rig.list.m_Selected, 3);
        EXPECT_EQ(rig.list.m_Items[3], "COM4 (4400 USB)");
        EXPECT_EQ(rig.ports.UsbAdapterType(4), ComPorts::kAdapterNone);
        EXPECT_EQ(rig.ports.PortPresent(4), ComPorts::kPortFree);
    }

    // The very first scan fills the list even without a device list.
    {
        ComPortSystem system = FakeSystem({}, {}, 1);
        system.adapterNames = [] { return std::optional<std::vector<std::string>>(); };
        Rig rig(system);
        rig.ports.ScanComPorts();
        EXPECT_EQ(rig.list.m_Items.size(), 255u);
    }
}

TEST(ComPortScan, PortHeldByAnotherProgramIsGreyAndRefused)
{
    ComDir comDir;
    PtyPair pty;
    comDir.Publish(3, pty.SlavePath());
    TempDir lockDir;
    platform::SetLockDirectoryForTesting(lockDir.Path());

    // Another program: a child process whose pid is in the lock file.
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::pause();
        ::_exit(0);
    }
    const std::string device = std::filesystem::canonical(pty.SlavePath()).string();
    char pidText[16];
    std::snprintf(pidText, sizeof pidText, "%10d\n", static_cast<int>(holder));
    testsupport::WriteFileText(lockDir / platform::LockFileName(device), pidText);

    Rig rig(ComPortSystem::Platform());
    rig.ports.SetTarget(0, 0);
    rig.ports.ScanComPorts();
    EXPECT_EQ(rig.ports.PortPresent(3), ComPorts::kPortMissing);
    EXPECT_TRUE(rig.ports.LookOfItem(2, true).grey);
    rig.list.m_Selected = 2;
    EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
    ASSERT_EQ(rig.boxes.m_Boxes.size(), 1u);
    EXPECT_EQ(rig.boxes.m_Boxes[0].text, "Selected COM port is in use or not available.");

    // Once the other program has gone, the port is free again and claimable.
    ::kill(holder, SIGTERM);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(rig.ports.ClaimAndOpenPort(true));
    EXPECT_EQ(rig.ports.PortState(3), ComPorts::kPortClaimed);
    rig.ports.ReleasePort();
    EXPECT_EQ(rig.ports.PortState(3), ComPorts::kPortFree);
    platform::SetLockDirectoryForTesting({});
}

TEST(ComPortClaim, PortableFamilyOpensDirectlyAndRaisesTheRate)
{
    ComDir comDir;
    PtyPair pty;
    comDir.Publish(2, pty.SlavePath());

    Rig rig(ComPortSystem::Platform());
    rig.ports.SetTarget(0, 0);
    rig.ports.ScanComPorts();
    rig.list.m_Selected = 1;
    ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false));
    EXPECT_TRUE(rig.session.ReceiveEnabled());
    EXPECT_EQ(rig.session.Framing(), CommSession::kFramingFramed);
    EXPECT_FALSE(rig.session.UsesComponent());
    EXPECT_EQ(rig.ports.PortState(2), ComPorts::kPortClaimed);
    EXPECT_EQ(
        Hex(pty.Read(kBaud115200Frame.size(), std::chrono::seconds(2))), Hex(kBaud115200Frame));
    rig.ports.ReleasePort();
    EXPECT_EQ(rig.ports.PortState(2), ComPorts::kPortFree);

    // Version retrieval leaves the radio at 19200: nothing is sent.
    ASSERT_TRUE(rig.ports.ClaimAndOpenPort(true));
    EXPECT_TRUE(pty.Read(1, std::chrono::milliseconds(200)).empty());
    rig.ports.ReleasePort();
    EXPECT_TRUE(rig.boxes.m_Boxes.empty());

    // The port vanishes between the scan and the open: the session's text,
    // and the port is free again. In console use no box is shown.
    {
        Rig gone(FakeSystem({ 9 }, {}, 1));
        gone.ports.SetTarget(0, 0);
        gone.ports.ScanComPorts();
        gone.list.m_Selected = 8;
        EXPECT_FALSE(gone.ports.ClaimAndOpenPort(false));
        EXPECT_EQ(gone.ports.PortState(9), ComPorts::kPortFree);
        ASSERT_EQ(gone.boxes.m_Boxes.size(), 1u);
        EXPECT_EQ(gone.boxes.m_Boxes[0].caption, "COM Port");
        EXPECT_EQ(gone.boxes.m_Boxes[0].text, "Unable to start communication: COM port error");
        gone.ports.SetConsoleMode(true, 9);
        EXPECT_FALSE(gone.ports.ClaimAndOpenPort(false));
        EXPECT_EQ(gone.boxes.m_Boxes.size(), 1u);
    }
}

TEST(ComPortClaim, MobileFamilyProbeAndComponentFallback)
{
    ComDir comDir;
    PtyPair pty;
    comDir.Publish(4, pty.SlavePath());

    // The radio answers the probe on the direct port: direct path, raised to
    // 115200 unless the target model code is 1.
    for (const uint8_t modelCode : { 8, 1 }) {
        Rig rig(FakeSystem({ 4 }, {}, 4));
        rig.ports.SetTarget(1, modelCode);
        rig.ports.ScanComPorts();
        rig.list.m_Selected = 3;
        rig.link.Loop().PostDelayed(50, [&pty] {
            pty.Write(Frame({ 0x09, 0x02, 0x11, 0x22, 0x33, 0x44 }));
        });
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false)) << int(
            modelCode) << " " << (rig.boxes.m_Boxes.empty() ? "" : rig.boxes.m_Boxes[0].text);
        EXPECT_FALSE(rig.session.UsesComponent());
        EXPECT_EQ(rig.session.WaitTime(), 500);
        std::vector<uint8_t> expected = kProbeFrame;
        if (modelCode != 1) {
            expected.insert(expected.end(), kBaud115200Frame.begin(), kBaud115200Frame.end());
        }
        EXPECT_EQ(
            Hex(pty.Read(expected.size() + 1, std::chrono::milliseconds(300))), Hex(expected));
        EXPECT_TRUE(rig.boxes.m_Boxes.empty());
        EXPECT_TRUE(rig.component.m_Bauds.empty());
        rig.ports.ReleasePort();
    }

    // Silent radio on a multi-processor PC: the message, no fall-back, the
    // session left open and the port claimed until ReleasePort.
    {
        Rig rig(FakeSystem({ 4 }, {}, 2));
        rig.ports.SetTarget(1, 8);
        rig.ports.ScanComPorts();
        rig.list.m_Selected = 3;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(450));
        ASSERT_EQ(rig.boxes.m_Boxes.size(), 1u);
        EXPECT_EQ(rig.boxes.m_Boxes[0].caption, "COM Port");
        EXPECT_EQ(rig.boxes.m_Boxes[0].text, ComPorts::kTextMultiProcessor);
        EXPECT_EQ(rig.ports.PortState(4), ComPorts::kPortClaimed);
        EXPECT_FALSE(rig.component.m_Open);
        rig.ports.ReleasePort();
        EXPECT_EQ(rig.ports.PortState(4), ComPorts::kPortFree);
    }

    // Silent radio on a single-processor PC: retried through the component
    // in RS-485 mode without a message.
    for (const bool versionMode : { false, true }) {
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.ports.SetTarget(1, 8);
        rig.ports.ScanComPorts();
        rig.list.m_Selected = 3;
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(versionMode));
        EXPECT_TRUE(rig.boxes.m_Boxes.empty());
        EXPECT_TRUE(rig.session.UsesComponent());
        EXPECT_TRUE(rig.session.ReceiveEnabled());
        EXPECT_EQ(rig.component.m_Port, 4);
        EXPECT_TRUE(rig.component.m_Rs485);
        if (versionMode) {
            EXPECT_EQ(rig.component.m_Bauds, std::vector<int>({ 19200 }));
            EXPECT_TRUE(rig.component.m_Written.empty());
        } else {
            EXPECT_EQ(rig.component.m_Bauds, std::vector<int>({ 19200, 115200 }));
            EXPECT_EQ(Hex(rig.component.m_Written), Hex(kBaud115200Frame));
        }
        rig.ports.ReleasePort();
    }

    // Target model code 1 through the component: the radio is told 19200
    // even for an update.
    {
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.ports.SetTarget(1, 1);
        rig.ports.ScanComPorts();
        rig.list.m_Selected = 3;
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false));
        EXPECT_EQ(Hex(rig.component.m_Written), Hex(kBaud19200Frame));
        EXPECT_EQ(rig.component.m_Bauds, std::vector<int>({ 19200, 19200 }));
        rig.ports.ReleasePort();
    }

    // The component does not open: its text, port free again; in console
    // use the box is suppressed.
    for (const bool console : { false, true }) {
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.component.m_OpenResult = ISerialPortComponent::kErrorPortInUse;
        rig.ports.SetTarget(1, 8);
        rig.ports.ScanComPorts();
        rig.list.m_Selected = 3;
        rig.ports.SetConsoleMode(console, 4);
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        EXPECT_EQ(rig.ports.PortState(4), ComPorts::kPortFree);
        if (console) {
            EXPECT_TRUE(rig.boxes.m_Boxes.empty());
        } else {
            ASSERT_EQ(rig.boxes.m_Boxes.size(), 1u);
            EXPECT_EQ(rig.boxes.m_Boxes[0].text, "The chosen COM port is in use or not available");
        }
    }

    // The direct open of the probe fails: shown in console use too.
    {
        Rig rig(FakeSystem({}, {}, 1));
        rig.ports.SetTarget(1, 8);
        rig.ports.SetConsoleMode(true, 17);
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        ASSERT_EQ(rig.boxes.m_Boxes.size(), 1u);
        EXPECT_EQ(rig.boxes.m_Boxes[0].text, "Unable to start communication: COM port error");
        EXPECT_EQ(rig.ports.PortState(17), ComPorts::kPortFree);
    }
}
