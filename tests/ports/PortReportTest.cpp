// The port report on a made-up system: adapter names as the port list reads
// them, the advice for refused and busy ports, and JSON that stays valid
// whatever a device calls itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(PortReport, JsonStringsAreAlwaysValid)
{
    // Valid UTF-8 passes through; anything else becomes U+FFFD, one per bad
    // byte, without eating the characters after it.
    const std::pair<std::string, std::string> cases[] = {
        { "", "\"\"" }, { "a\"b\\c/d", "\"a\\\"b\\\\c/d\"" }, { "\n\r\t", "\"\\n\\r\\t\"" },
        { std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\"" },
        { "\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb\"" },
        { "a\xff"
          "b",
            "\"a\\ufffdb\"" },
        { "\xc3", "\"\\ufffd\"" }, // cut short at the end
        { "\xe2\x82"
          "A",
            "\"\\ufffd\\ufffdA\"" }, // cut short inside
        { "\xc0\xaf", "\"\\ufffd\\ufffd\"" }, // overlong '/'
        { "\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\"" }, // overlong
        { "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\"" }, // surrogate
        { "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\"" }, // > U+10FFFF
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(JsonString(in), out) << out;

    // A device name with every kind of trouble still gives one valid object.
    FakeSystem fake;
    fake.Add(7, PortStatus::Free);
    fake.names = std::vector<std::string> { "Evil \"\\\n\xff (COM7)" };
    EXPECT_EQ(FormatJson(CollectPorts(fake.Get(), false), "/t\"x"),
        "{\"comDir\":\"/t\\\"x\",\"ports\":[\n"
        "{\"port\":7,\"name\":\"COM7\",\"label\":\"COM7\",\"path\":\"/dev/ttyUSB7\","
        "\"status\":\"free\",\"adapter\":\"Evil \\\"\\\\\\n\\ufffd\",\"series\":null,"
        "\"holderPid\":null,\"holderName\":null,\"reason\":null,\"fix\":[]}\n"
        "]}\n");
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
