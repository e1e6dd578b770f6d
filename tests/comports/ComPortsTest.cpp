// Port discovery and the claim of a port, with fake port lists, fake system
// answers and a scripted radio on a pseudo-terminal.

#include "workflow/PortClaim.h"

#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "platform/PortLock.h"
#include "tests/catalogue/BoxRecorder.h"
#include "tests/download_flash/FakeFlashRadio.h"
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

// Exact frames of the PC: the probe and the two rate changes.
const std::string kProbe = "BA 7F 4F 09 01 77 77 77 C3 7E";
const std::string kBaud115200 = "BA 7F 01 09 00 05 72 7E";
const std::string kBaud19200 = "BA 7F 01 09 00 01 76 7E";
const std::string kNotAvailable = "Selected COM port is in use or not available.";
const std::string kPortError = "Unable to start communication: COM port error";

class FakePortList : public IPortList {
public:
    void SetItems(const std::vector<std::string>& list) override
    {
        items = list;
        ++setCount;
    }
    int SelectedIndex() const override { return selected; }
    void SetSelectedIndex(int index) override { selected = index; }

    std::vector<std::string> items;
    int selected = -1;
    int setCount = 0;
};

// A COM namespace of its own (each test runs in a process of its own) with
// COM<port> leading to a pseudo-terminal.
struct ComDir {
    ComDir(int port, const PtyPair& pty)
    {
        ::setenv("CORVEL_COM_DIR", dir.Path().c_str(), 1);
        std::filesystem::create_symlink(pty.SlavePath(), dir / ("COM" + std::to_string(port)));
    }
    TempDir dir;
};

ComPortSystem FakeSystem(std::set<int> present, std::vector<std::string> names, int processors)
{
    ComPortSystem system;
    system.portOpens = [present](int port) { return present.count(port) != 0; };
    system.adapterNames = [names]() { return std::optional<std::vector<std::string>>(names); };
    system.processorCount = [processors]() { return processors; };
    return system;
}

// Everything one claim needs: session with a Qt-free pump and timer, the
// port list, a component and the capture of message boxes.
struct Rig {
    explicit Rig(ComPortSystem system)
        : link(session)
        , ports(session, &component, list, boxes, std::move(system))
    {
        session.SetComponent(&component);
    }
    ~Rig() { session.Close(); }
    // Sets the target, scans and selects COM<port>.
    void Choose(int port, uint8_t family, uint8_t modelCode)
    {
        ports.SetTarget(family, modelCode);
        ports.ScanComPorts();
        list.selected = port - 1;
    }
    std::string LastBox() const { return boxes.boxes.empty() ? "" : boxes.boxes.back().text; }

    CommSession session;
    SimpleLinkHost link;
    FakePortList list;
    flashtest::FakeRadioComponent component; // no radio behind it
    testsupport::BoxRecorder boxes;
    PortClaim ports;
};

} // namespace

TEST(ComPortScan, ListAndTablesFollowTheOpenTestAndAdapterNames)
{
    // No port at all: 255 grey items, COM1 selected.
    {
        Rig rig(FakeSystem({}, {}, 1));
        rig.ports.ScanComPorts();
        ASSERT_EQ(rig.list.items.size(), 255u);
        EXPECT_EQ(rig.list.items.front(), "COM1");
        EXPECT_EQ(rig.list.items.back(), "COM255");
        EXPECT_EQ(rig.list.selected, 0);
        for (int index = 0; index < 255; ++index)
            EXPECT_TRUE(rig.ports.LookOfItem(index, true).grey
                && rig.ports.PortState(index + 1) == PortClaim::kPortMissing)
                << index;
        EXPECT_TRUE(rig.ports.LookOfItem(0, true).whiteBackground);
        // Choosing a grey item with no port present keeps the selection.
        rig.list.selected = 7;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.selected, 7);
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
        // COM1 is missing: the first present port is selected.
        EXPECT_EQ(rig.list.selected, 2);
        ASSERT_EQ(rig.list.items.size(), 255u);
        EXPECT_EQ(rig.list.items[11], "COM12 (4400 USB)");
        EXPECT_EQ(rig.list.items[4], "COM5 (4600 USB)");
        EXPECT_EQ(rig.list.items[2], "COM3");
        EXPECT_EQ(rig.list.items[8], "COM9 (4600 USB)");
        EXPECT_EQ(rig.list.items[6], "COM7");
        EXPECT_EQ(rig.ports.UsbAdapterType(12), PortClaim::kAdapter4400);
        EXPECT_EQ(rig.ports.UsbAdapterType(5), PortClaim::kAdapter4600);
        EXPECT_EQ(rig.ports.UsbAdapterType(3), PortClaim::kAdapterNone);
        EXPECT_EQ(rig.ports.PortPresent(5), PortClaim::kPortFree);
        EXPECT_EQ(rig.ports.PortPresent(6), PortClaim::kPortMissing);
        // Out-of-range numbers are never recorded.
        EXPECT_EQ(rig.ports.UsbAdapterType(0), 0);
        EXPECT_EQ(rig.ports.UsbAdapterType(256), 0);
        // Present and enabled items draw normally; a disabled list greys all.
        EXPECT_FALSE(rig.ports.LookOfItem(2, true).grey);
        EXPECT_TRUE(rig.ports.LookOfItem(2, false).grey);
        EXPECT_TRUE(rig.ports.LookOfItem(5, true).grey);
        // A grey choice moves to the first present port.
        rig.list.selected = 100;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.selected, 2);
        rig.list.selected = 11;
        rig.ports.ComboBoxChange();
        EXPECT_EQ(rig.list.selected, 11);
        EXPECT_TRUE(rig.ports.LookOfItem(11, true).highlighted);
        // The menu command keeps the chosen item while its port is there.
        rig.ports.UpdateComPorts();
        EXPECT_EQ(rig.list.selected, 11);
    }

    // A rescan after the chosen port went away selects the first present one.
    {
        std::set<int> present { 4, 9 };
        ComPortSystem system = FakeSystem({}, {}, 1);
        system.portOpens = [&present](int port) { return present.count(port) != 0; };
        Rig rig(system);
        rig.ports.ScanComPorts();
        EXPECT_EQ(rig.list.selected, 3);
        rig.list.selected = 8;
        present.erase(9);
        rig.ports.UpdateComPorts();
        EXPECT_EQ(rig.list.selected, 3);
    }

    // No device list: the open test still decides, the list stays as it
    // was; the very first scan fills it all the same.
    bool answer = true;
    ComPortSystem system = FakeSystem({ 4 }, {}, 1);
    system.adapterNames = [&answer]() {
        return answer ? std::optional(std::vector<std::string> { "USB RPI QUV 4400 (COM4)" })
                      : std::nullopt;
    };
    Rig rig(system);
    rig.ports.ScanComPorts();
    EXPECT_EQ(rig.list.items[3], "COM4 (4400 USB)");
    rig.list.selected = 3;
    answer = false;
    rig.ports.ScanComPorts();
    EXPECT_EQ(rig.list.setCount, 1);
    EXPECT_EQ(rig.list.selected, 3);
    EXPECT_EQ(rig.list.items[3], "COM4 (4400 USB)");
    EXPECT_EQ(rig.ports.UsbAdapterType(4), PortClaim::kAdapterNone);
    EXPECT_EQ(rig.ports.PortPresent(4), PortClaim::kPortFree);
    Rig first(system);
    first.ports.ScanComPorts();
    EXPECT_EQ(first.list.items.size(), 255u);
}

TEST(ComPortScan, PortHeldByAnotherProgramIsGreyAndRefused)
{
    PtyPair pty;
    ComDir comDir(3, pty);
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
    rig.Choose(3, 0, 0);
    EXPECT_EQ(rig.ports.PortPresent(3), PortClaim::kPortMissing);
    EXPECT_TRUE(rig.ports.LookOfItem(2, true).grey);
    EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
    ASSERT_EQ(rig.boxes.boxes.size(), 1u);
    EXPECT_EQ(rig.boxes.boxes[0].caption, "COM Port");
    EXPECT_EQ(rig.LastBox(), kNotAvailable);
    EXPECT_EQ(rig.boxes.boxes[0].icon, platform::MessageIcon::Error);

    // Once the other program has gone, the port is free again and claimable.
    ::kill(holder, SIGTERM);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(rig.ports.ClaimAndOpenPort(true));
    EXPECT_EQ(rig.ports.PortState(3), PortClaim::kPortClaimed);
    rig.ports.ReleasePort();
    EXPECT_EQ(rig.ports.PortState(3), PortClaim::kPortFree);

    // A lock that cannot be taken: the same box, with the reason below.
    const std::filesystem::path lockFile = lockDir / platform::LockFileName(device);
    std::filesystem::remove(lockFile);
    std::filesystem::create_directory(lockFile);
    EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
    ASSERT_EQ(rig.boxes.boxes.size(), 2u);
    EXPECT_EQ(rig.LastBox(),
        kNotAvailable + "\ncannot lock the port: the lock file " + lockFile.string()
            + " is not a regular file");
    platform::SetLockDirectoryForTesting({});
}

TEST(ComPortClaim, PortableFamilyOpensDirectlyAndRaisesTheRate)
{
    PtyPair pty;
    ComDir comDir(2, pty);

    Rig rig(ComPortSystem::Platform());
    rig.Choose(2, 0, 0);
    ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false));
    EXPECT_TRUE(rig.session.ReceiveEnabled());
    EXPECT_EQ(rig.session.Framing(), CommSession::kFramingFramed);
    EXPECT_FALSE(rig.session.RepeatsAfterNegative());
    EXPECT_FALSE(rig.component.open);
    EXPECT_EQ(rig.ports.PortState(2), PortClaim::kPortClaimed);
    EXPECT_EQ(Hex(pty.Read(8, std::chrono::seconds(2))), kBaud115200);
    rig.ports.ReleasePort();
    EXPECT_EQ(rig.ports.PortState(2), PortClaim::kPortFree);

    // Version retrieval leaves the radio at 19200: nothing is sent.
    ASSERT_TRUE(rig.ports.ClaimAndOpenPort(true));
    EXPECT_TRUE(pty.Read(1, std::chrono::milliseconds(200)).empty());
    rig.ports.ReleasePort();
    EXPECT_TRUE(rig.boxes.boxes.empty());

    // The port vanishes between the scan and the open: the session's text,
    // and the port is free again. In console use no box is shown.
    Rig gone(FakeSystem({ 9 }, {}, 1));
    gone.Choose(9, 0, 0);
    EXPECT_FALSE(gone.ports.ClaimAndOpenPort(false));
    EXPECT_EQ(gone.ports.PortState(9), PortClaim::kPortFree);
    ASSERT_EQ(gone.boxes.boxes.size(), 1u);
    EXPECT_EQ(gone.boxes.boxes[0].caption, "COM Port");
    EXPECT_EQ(gone.LastBox(), kPortError);
    gone.ports.SetConsoleMode(true, 9);
    EXPECT_FALSE(gone.ports.ClaimAndOpenPort(false));
    EXPECT_EQ(gone.boxes.boxes.size(), 1u);
}

TEST(ComPortClaim, MobileFamilyProbeAndComponentFallback)
{
    PtyPair pty;
    ComDir comDir(4, pty);

    // The radio answers the probe on the direct port: direct path, raised to
    // 115200 unless the target model code is 1.
    for (const uint8_t modelCode : { 8, 1 }) {
        SCOPED_TRACE(int(modelCode));
        Rig rig(FakeSystem({ 4 }, {}, 4));
        rig.Choose(4, 1, modelCode);
        rig.link.Loop().PostDelayed(50, [&pty] {
            flashtest::FakeRadioState radio;
            radio.Reply({ 0x09, 0x02, 0x11, 0x22, 0x33, 0x44 });
            pty.Write({ radio.pending.begin(), radio.pending.end() });
        });
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false)) << rig.LastBox();
        EXPECT_FALSE(rig.session.RepeatsAfterNegative());
        EXPECT_FALSE(rig.component.open);
        EXPECT_EQ(rig.session.WaitTime(), 500);
        const std::string expected = modelCode == 1 ? kProbe : kProbe + " " + kBaud115200;
        EXPECT_EQ(Hex(pty.Read(expected.size() / 3 + 2, std::chrono::milliseconds(300))), expected);
        EXPECT_TRUE(rig.boxes.boxes.empty());
        EXPECT_TRUE(rig.component.bauds.empty());
        rig.ports.ReleasePort();
    }

    // Silent radio on a multi-processor PC: the message after the probe's
    // wait, no fall-back, the port claimed until ReleasePort.
    {
        Rig rig(FakeSystem({ 4 }, {}, 2));
        rig.Choose(4, 1, 8);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
        ASSERT_EQ(rig.boxes.boxes.size(), 1u);
        EXPECT_EQ(rig.boxes.boxes[0].caption, "COM Port");
        EXPECT_EQ(rig.LastBox(), PortClaim::kTextMultiProcessor);
        EXPECT_EQ(rig.ports.PortState(4), PortClaim::kPortClaimed);
        EXPECT_FALSE(rig.component.open);
        rig.ports.ReleasePort();
        EXPECT_EQ(rig.ports.PortState(4), PortClaim::kPortFree);
    }

    // Without a component (the codeplug tool) the direct device is opened
    // again, in RS-485 mode, and the update rate is told on it.
    {
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.ports.SetComponent(nullptr);
        rig.session.SetComponent(nullptr);
        rig.Choose(4, 1, 8);
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(false));
        EXPECT_TRUE(rig.boxes.boxes.empty());
        EXPECT_FALSE(rig.session.RepeatsAfterNegative());
        const std::string sent = Hex(pty.Read(64, std::chrono::milliseconds(300)));
        ASSERT_GE(sent.size(), kBaud115200.size()) << sent;
        EXPECT_EQ(sent.substr(sent.size() - kBaud115200.size()), kBaud115200) << sent;
        rig.ports.ReleasePort();
    }

    // Silent radio on a single-processor PC: retried through the component
    // in RS-485 mode without a message. The radio is told 19200 for model
    // code 1 even for an update; version retrieval tells it nothing.
    struct Case {
        uint8_t modelCode;
        bool versionMode;
        std::vector<int> bauds;
        std::string written;
    };
    for (const Case& c : { Case { 8, false, { 19200, 115200 }, kBaud115200 },
             Case { 8, true, { 19200 }, "" }, Case { 1, false, { 19200, 19200 }, kBaud19200 } }) {
        SCOPED_TRACE(testing::Message() << int(c.modelCode) << " " << c.versionMode);
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.Choose(4, 1, c.modelCode);
        ASSERT_TRUE(rig.ports.ClaimAndOpenPort(c.versionMode));
        EXPECT_TRUE(rig.boxes.boxes.empty());
        EXPECT_TRUE(rig.session.RepeatsAfterNegative());
        EXPECT_TRUE(rig.component.open);
        EXPECT_TRUE(rig.session.ReceiveEnabled());
        EXPECT_EQ(rig.component.port, 4);
        EXPECT_TRUE(rig.component.rs485);
        EXPECT_EQ(rig.component.bauds, c.bauds);
        EXPECT_EQ(Hex(rig.component.written), c.written);
        rig.ports.ReleasePort();
    }

    // The component does not open: its text, port free again; in console
    // use the box is suppressed.
    for (const bool console : { false, true }) {
        Rig rig(FakeSystem({ 4 }, {}, 1));
        rig.component.openResult = ISerialPortComponent::kErrorPortInUse;
        rig.Choose(4, 1, 8);
        rig.ports.SetConsoleMode(console, 4);
        EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
        EXPECT_EQ(rig.ports.PortState(4), PortClaim::kPortFree);
        EXPECT_EQ(rig.boxes.boxes.size(), console ? 0u : 1u);
        EXPECT_EQ(rig.LastBox(), console ? "" : "The chosen COM port is in use or not available");
    }

    // The direct open of the probe fails: shown in console use too.
    Rig rig(FakeSystem({}, {}, 1));
    rig.ports.SetTarget(1, 8);
    rig.ports.SetConsoleMode(true, 17);
    EXPECT_FALSE(rig.ports.ClaimAndOpenPort(false));
    ASSERT_EQ(rig.boxes.boxes.size(), 1u);
    EXPECT_EQ(rig.LastBox(), kPortError);
    EXPECT_EQ(rig.ports.PortState(17), PortClaim::kPortFree);
}
