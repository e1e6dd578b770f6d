// The port report on a made-up system: adapter names as the port list reads
// them, the advice for refused and busy ports, and JSON that stays valid
// whatever a device calls itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ResourceArchive.h"
#include "tests/support/TestSupport.h"
#include "tools/ports/PortReport.h"

using namespace ports;
using platform::PortProbe;
using platform::PortStatus;
using testing::HasSubstr;
using testing::Not;

namespace {

// A system with the given ports present and free unless told otherwise.
struct FakeSystem {
    std::map<int, PortProbe> probes;
    std::optional<std::vector<std::string>> names = std::vector<std::string> {};
    std::map<int, std::string> broken;
    std::map<std::string, int> openBy;
    DeviceOwner owner;

    void Add(int port, PortStatus status, int holder = 0)
    {
        PortProbe& probe = probes[port];
        probe.status = status;
        probe.path = "/dev/ttyUSB" + std::to_string(port);
        probe.holderPid = holder;
        probe.detail = status == PortStatus::OtherError ? "Input/output error" : "";
    }

    PortSystem Get() const
    {
        PortSystem system;
        system.testPort = [this](int port) {
            auto it = probes.find(port);
            return it == probes.end() ? PortProbe {} : it->second;
        };
        system.adapterNames = [this] { return names; };
        system.processName = [](int pid) { return pid == 4242 ? std::string("minicom") : ""; };
        system.findHolder = [this](const std::string& path) {
            auto it = openBy.find(path);
            return it == openBy.end() ? 0 : it->second;
        };
        system.brokenEntry = [this](int port) -> std::optional<std::string> {
            auto it = broken.find(port);
            return it == broken.end() ? std::nullopt : std::optional(it->second);
        };
        system.deviceOwner = [this](const std::string&) { return owner; };
        return system;
    }

    // The report's entry for one port (an empty one when it is not listed).
    PortInfo Port(int port) const
    {
        for (const PortInfo& info : CollectPorts(Get(), false))
            if (info.number == port)
                return info;
        return {};
    }
};

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

TEST(PortReport, AdapterNamesAreReadTheWayThePortListReadsThem)
{
    FakeSystem fake;
    for (int port : { 5, 12, 14, 33, 40 })
        fake.Add(port, PortStatus::Free);
    fake.names = std::vector<std::string> {
        "USB RPI QUV 4400 (COM12)",
        "USB RPI QUV 4600 (COM5)",
        "FT232R USB UART (COM33)", // some other USB serial adapter
        "Serial USB RPI QUV 4400 (COM14)", // the list cuts 21 characters: no number
        "USB RPI QUV 4400 (COM300)", // no such port number
        "USB RPI QUV 4600 (COM)",
        "garbage",
    };
    const auto list = CollectPorts(fake.Get(), false);
    ASSERT_EQ(list.size(), 5u);
    struct Expected {
        int port;
        const char *label, *series, *adapter;
    };
    for (const Expected& e : { Expected { 12, "COM12 (4400 USB)", "4400", "USB RPI QUV 4400" },
             Expected { 5, "COM5 (4600 USB)", "4600", "USB RPI QUV 4600" },
             Expected { 33, "COM33", "", "FT232R USB UART" },
             Expected { 14, "COM14", "", "Serial USB RPI QUV 4400" },
             Expected { 40, "COM40", "", "" } }) {
        const PortInfo info = fake.Port(e.port);
        EXPECT_EQ(info.label, e.label);
        EXPECT_EQ(info.series, e.series) << e.port;
        EXPECT_EQ(info.adapter, e.adapter) << e.port;
    }

    const std::string text = FormatText(list, std::nullopt);
    EXPECT_THAT(text,
        HasSubstr("COM12 (4400 USB)  /dev/ttyUSB12  free\n"
                  "    USB adapter \"USB RPI QUV 4400\", 4400 series programming adapter\n"));
    EXPECT_THAT(text, HasSubstr("    USB adapter \"FT232R USB UART\"\n"));
    EXPECT_THAT(text, HasSubstr("\n5 ports present, 5 free.\n"));

    // Friendly names split into product and port only in their exact shape.
    std::string product;
    int port = 0;
    EXPECT_TRUE(SplitFriendlyName("A (B) (COM7)", product, port));
    EXPECT_EQ(product, "A (B)");
    EXPECT_EQ(port, 7);
    for (const char* bad :
        { "X (COM0)", "X (COM256)", "X (COM7", "X (COM-7)", "X (COM 7)", "", "(COM7)x", " (COM)" })
        EXPECT_FALSE(SplitFriendlyName(bad, product, port)) << bad;

    // No device database: no adapters, but the ports are still listed.
    fake.names = std::nullopt;
    EXPECT_EQ(CollectPorts(fake.Get(), false).size(), 5u);
    EXPECT_EQ(fake.Port(12).label, "COM12");
}

TEST(PortReport, RefusedPortsSayWhyAndHowToFixIt)
{
    FakeSystem fake;
    fake.Add(33, PortStatus::PermissionDenied);
    fake.names = std::vector<std::string> { "USB RPI QUV 4400 (COM33)" };
    struct Case {
        DeviceOwner owner;
        std::vector<std::string> says, never;
    };
    const Case cases[] = {
        // Not in the device's group: join it, log in again, or a udev rule.
        { { "root", "dialout", "crw-rw----", false, false },
            { "    sudo usermod -aG dialout $USER\n", "log in again", "udev rule" }, {} },
        // Already added to the group, but this session predates it.
        { { "root", "dialout", "crw-rw----", false, true }, { "newgrp dialout" }, { "usermod" } },
        // In the group, yet refused: the device's mode is the problem.
        { { "root", "dialout", "crw-------", true, true }, { "0660" }, { "usermod" } },
        // A device of the group root: joining its group is no advice to give.
        { { "root", "root", "crw-------", false, false },
            { "60-corvel-programming-adapters.rules", "sudo usermod -aG dialout $USER" },
            { "-aG root" } },
        // A group of another name is the one to join.
        { { "root", "uucp", "crw-rw----", false, false }, { "sudo usermod -aG uucp $USER" }, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.owner.group + " " + c.owner.mode);
        fake.owner = c.owner;
        const PortInfo info = fake.Port(33);
        EXPECT_EQ(info.state, PortState::PermissionDenied);
        EXPECT_EQ(info.reason,
            "this user may not open /dev/ttyUSB33 (owner root, group " + c.owner.group + ", "
                + c.owner.mode + ")");
        for (const std::string& text : c.says)
            EXPECT_THAT(Joined(info.fix), HasSubstr(text));
        for (const std::string& text : c.never)
            EXPECT_THAT(Joined(info.fix), Not(HasSubstr(text)));
    }

    const std::string text = FormatText(CollectPorts(fake.Get(), false), std::nullopt);
    EXPECT_THAT(text, HasSubstr("COM33 (4400 USB)  /dev/ttyUSB33  permission denied\n"));
    EXPECT_THAT(text, HasSubstr("    Why: this user may not open /dev/ttyUSB33"));
}

TEST(PortReport, BusyBrokenAndFailingPortsAreTold)
{
    FakeSystem fake;
    fake.Add(1, PortStatus::Held, 4242); // lock file names the holder
    fake.Add(2, PortStatus::Held); // exclusive open, found among the processes
    fake.openBy["/dev/ttyUSB2"] = 4242;
    fake.Add(3, PortStatus::Held); // exclusive open, holder not visible
    fake.Add(4, PortStatus::OtherError);
    fake.broken[9] = "/x/COM9 points to /nowhere, which does not exist";
    const auto list = CollectPorts(fake.Get(), false);
    ASSERT_EQ(list.size(), 5u);

    EXPECT_EQ(fake.Port(1).holderPid, 4242);
    EXPECT_EQ(fake.Port(1).holderName, "minicom");
    EXPECT_EQ(fake.Port(1).reason, "process 4242 (minicom) has the port open");
    EXPECT_EQ(Joined(fake.Port(1).fix), "Close that program, or end it with: kill 4242\n");
    EXPECT_EQ(fake.Port(2).holderPid, 4242);
    EXPECT_EQ(fake.Port(3).holderPid, 0);
    EXPECT_EQ(fake.Port(3).reason, "another program has the port open");
    EXPECT_EQ(fake.Port(4).state, PortState::Error);
    EXPECT_EQ(fake.Port(4).reason, "/dev/ttyUSB4 does not open: Input/output error");
    EXPECT_EQ(fake.Port(9).state, PortState::BrokenEntry);
    EXPECT_EQ(fake.Port(9).path, "");
    EXPECT_EQ(Joined(fake.Port(9).fix), "Remove the entry or point it at a serial device.\n");

    // Broken entries are not ports.
    const std::string text = FormatText(list, "/x");
    EXPECT_THAT(text, HasSubstr("COM1  /dev/ttyUSB1  in use by process 4242 (minicom)\n"));
    EXPECT_THAT(text,
        HasSubstr("COM9  -             broken entry\n"
                  "    Why: /x/COM9 points to /nowhere, which does not exist.\n"));
    EXPECT_THAT(text, HasSubstr("\n4 ports present, 0 free.\n"));

    // --all: every number, in order.
    const auto all = CollectPorts(fake.Get(), true);
    ASSERT_EQ(all.size(), 255u);
    for (int n = 1; n <= 255; ++n)
        EXPECT_EQ(all[static_cast<size_t>(n - 1)].number, n);
    EXPECT_EQ(all[6].state, PortState::Absent);
    EXPECT_EQ(all[6].reason, "");
}

TEST(PortReport, JsonIsValidWhateverADeviceCallsItself)
{
    FakeSystem fake;
    fake.Add(7, PortStatus::Free);
    fake.names = std::vector<std::string> { "Evil \"\\\n\xff\x01 (COM7)" };
    const std::string json = FormatJson(CollectPorts(fake.Get(), false), "/t\"x");
    EXPECT_EQ(json,
        "{\"comDir\":\"/t\\\"x\",\"ports\":[\n"
        "{\"port\":7,\"name\":\"COM7\",\"label\":\"COM7\",\"path\":\"/dev/ttyUSB7\","
        "\"status\":\"free\",\"adapter\":\"Evil \\\"\\\\\\n\xef\xbf\xbd\\u0001\",\"series\":null,"
        "\"holderPid\":null,\"holderName\":null,\"reason\":null,\"fix\":[],\"release\":null,"
        "\"driver\":null,\"latencyTimerMs\":null,\"warnings\":[]}\n"
        "]}\n");
    const nlohmann::json parsed = nlohmann::json::parse(json);
    EXPECT_EQ(parsed["ports"][0]["adapter"], "Evil \"\\\n\xef\xbf\xbd\x01");
}

TEST(PortReport, AnUpdaterOnThePortIsNeverToBeEnded)
{
    FakeSystem fake;
    fake.Add(3, PortStatus::Held, 4242);
    PortSystem system = fake.Get();
    system.updaterRelease = [](int pid) -> std::optional<std::string> {
        return pid == 4242 ? std::optional<std::string>("Updater_4400_R12") : std::nullopt;
    };
    const auto list = CollectPorts(system, false);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].release, "Updater_4400_R12");
    EXPECT_EQ(list[0].reason,
        "an update is running on this port (process 4242, release Updater_4400_R12); wait for it "
        "to finish");
    EXPECT_TRUE(list[0].fix.empty());
    EXPECT_THAT(FormatText(list, "/x"), Not(HasSubstr("kill")));

    // What makes a process an updater: its program file carries a release.
    testsupport::TempDir dir;
    {
        platform::ResourceArchiveWriter writer;
        ASSERT_TRUE(writer.Add("ATTRIBUTES", "TEXT", std::vector<uint8_t>(68, 1), nullptr));
        testsupport::WriteFileText(dir / "Updater_4400_R12", "base program");
        const int fd = open((dir / "Updater_4400_R12").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(writer.WriteArchive(fd, nullptr));
        close(fd);
    }
    testsupport::WriteFileText(dir / "minicom", "plain program");
    std::filesystem::create_directories(dir / "proc" / "50");
    std::filesystem::create_directories(dir / "proc" / "60");
    std::filesystem::create_symlink(dir / "Updater_4400_R12", dir / "proc" / "50" / "exe");
    std::filesystem::create_symlink(dir / "minicom", dir / "proc" / "60" / "exe");
    EXPECT_EQ(UpdaterReleaseOf(50, dir / "proc"), "Updater_4400_R12");
    EXPECT_EQ(UpdaterReleaseOf(60, dir / "proc"), std::nullopt);
    EXPECT_EQ(UpdaterReleaseOf(70, dir / "proc"), std::nullopt);
}

TEST(PortReport, UsbAdapterDriverAndLatencyTimerFromSysfs)
{
    // A fake sysfs: an FTDI adapter at 16 ms, one already at 1 ms, a CDC
    // device without a timer and a board UART (no USB).
    testsupport::TempDir sys;
    const auto device = [&](const std::string& tty, const std::string& parent,
                            const std::string& driver, int latency) {
        const std::filesystem::path dir = sys / "devices" / parent / tty;
        std::filesystem::create_directories(dir);
        std::filesystem::create_directories(sys / "bus" / "drivers" / driver);
        std::filesystem::create_symlink(sys / "bus" / "drivers" / driver, dir / "driver");
        if (latency >= 0)
            testsupport::WriteFileText(dir / "latency_timer", std::to_string(latency) + "\n");
        std::filesystem::create_directories(sys / "class" / "tty" / tty);
        std::filesystem::create_symlink(dir, sys / "class" / "tty" / tty / "device");
    };
    device("ttyUSB0", "pci0000:00/usb1/1-2/1-2:1.0", "ftdi_sio", 16);
    device("ttyUSB1", "pci0000:00/usb1/1-3/1-3:1.0", "ftdi_sio", 1);
    device("ttyACM0", "pci0000:00/usb1/1-4", "cdc_acm", -1);
    device("ttyS0", "platform/serial8250", "serial8250", -1);

    UsbSerialFacts facts = ReadUsbSerialFacts("/dev/ttyUSB0", sys.Path());
    EXPECT_EQ(facts.driver, "ftdi_sio");
    EXPECT_EQ(facts.latencyTimerMs, 16);
    EXPECT_EQ(facts.latencyFile, (sys / "class/tty/ttyUSB0/device/latency_timer").string());
    EXPECT_EQ(ReadUsbSerialFacts("/dev/ttyUSB1", sys.Path()).latencyTimerMs, 1);
    facts = ReadUsbSerialFacts("/dev/ttyACM0", sys.Path());
    EXPECT_EQ(facts.driver, "cdc_acm");
    EXPECT_EQ(facts.latencyTimerMs, -1);
    EXPECT_EQ(ReadUsbSerialFacts("/dev/ttyS0", sys.Path()).driver, "");
    EXPECT_EQ(ReadUsbSerialFacts("/dev/ttyUSB9", sys.Path()).driver, "");
    testsupport::WriteFileText(
        sys / "devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1/latency_timer", "999999999999\n");
    EXPECT_EQ(ReadUsbSerialFacts("/dev/ttyUSB1", sys.Path()).latencyTimerMs, -1);

    // The report: the driver and timer of every USB adapter, a warning with
    // the fix only above 2 ms.
    FakeSystem fake;
    fake.Add(33, PortStatus::Free);
    fake.Add(34, PortStatus::Free);
    fake.Add(1, PortStatus::Free);
    PortSystem system = fake.Get();
    system.usbSerial = [&](const std::string& path) {
        const std::string name = path == "/dev/ttyUSB33" ? "ttyUSB0"
            : path == "/dev/ttyUSB34"                    ? "ttyACM0"
                                                         : "ttyS0";
        return ReadUsbSerialFacts("/dev/" + name, sys.Path());
    };
    const auto list = CollectPorts(system, false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].driver, "ftdi_sio");
    EXPECT_EQ(list[1].latencyTimerMs, 16);
    ASSERT_EQ(list[1].warnings.size(), 3u);
    EXPECT_TRUE(list[2].warnings.empty());
    EXPECT_EQ(list[0].driver, "");
    const std::string text = FormatText(list, "/x");
    EXPECT_THAT(text,
        HasSubstr("COM33  /dev/ttyUSB33  free\n    Driver ftdi_sio, latency timer 16 ms\n"
                  "    Warning: latency timer above 2 ms: the adapter holds each reply of "
                  "the radio up to 16 ms,\n"));
    EXPECT_THAT(text,
        HasSubstr("echo 1 | sudo tee " + (sys / "class/tty/ttyUSB0/device/latency_timer").string()
            + "\n"));
    EXPECT_THAT(text, HasSubstr("COM34  /dev/ttyUSB34  free\n    Driver cdc_acm\n"));
    const nlohmann::json json = nlohmann::json::parse(FormatJson(list, "/x"));
    EXPECT_EQ(json["ports"][1]["driver"], "ftdi_sio");
    EXPECT_EQ(json["ports"][1]["latencyTimerMs"], 16);
    EXPECT_EQ(json["ports"][1]["warnings"].size(), 3u);
    EXPECT_TRUE(json["ports"][2]["latencyTimerMs"].is_null());
}

TEST(PortReport, OwnerAndModeOfADeviceFile)
{
    // Owner and mode of a device file as ls shows them.
    testsupport::TempDir dir;
    testsupport::WriteFileText(dir / "f", "x");
    ASSERT_EQ(chmod((dir / "f").c_str(), 0640), 0);
    const DeviceOwner owner = OwnerOfDevice((dir / "f").string());
    EXPECT_EQ(owner.mode, "-rw-r-----");
    EXPECT_FALSE(owner.group.empty());
    EXPECT_TRUE(owner.memberNow); // a file we made has our group
    EXPECT_EQ(OwnerOfDevice("/dev/null").mode, "crw-rw-rw-");
    EXPECT_EQ(OwnerOfDevice((dir / "none").string()).mode, "");
}
