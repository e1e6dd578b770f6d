// The port report on a made-up system: adapter names as the port list reads
// them, the advice for refused and busy ports, and JSON that stays valid
// whatever a device calls itself.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/TestSupport.h"
#include "tools/ports/PortReport.h"

using namespace ports;
using platform::PortProbe;
using platform::PortStatus;

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
        PortProbe probe;
        probe.status = status;
        probe.path = "/dev/ttyUSB" + std::to_string(port);
        probe.holderPid = holder;
        probe.detail = status == PortStatus::OtherError ? "Input/output error" : "";
        probes[port] = probe;
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
            if (it == broken.end())
                return std::nullopt;
            return it->second;
        };
        system.deviceOwner = [this](const std::string&) { return owner; };
        return system;
    }
};

const PortInfo* Find(const std::vector<PortInfo>& list, int port)
{
    for (const PortInfo& info : list)
        if (info.number == port)
            return &info;
    return nullptr;
}

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

    EXPECT_EQ(Find(list, 12)->label, "COM12 (4400 USB)");
    EXPECT_EQ(Find(list, 12)->series, "4400");
    EXPECT_EQ(Find(list, 12)->adapter, "USB RPI QUV 4400");
    EXPECT_EQ(Find(list, 5)->label, "COM5 (4600 USB)");
    EXPECT_EQ(Find(list, 5)->series, "4600");
    EXPECT_EQ(Find(list, 33)->label, "COM33");
    EXPECT_EQ(Find(list, 33)->adapter, "FT232R USB UART");
    EXPECT_EQ(Find(list, 33)->series, "");
    EXPECT_EQ(Find(list, 14)->label, "COM14");
    EXPECT_EQ(Find(list, 14)->adapter, "Serial USB RPI QUV 4400");
    EXPECT_EQ(Find(list, 40)->label, "COM40");
    EXPECT_EQ(Find(list, 40)->adapter, "");

    const std::string text = FormatText(list, std::nullopt);
    EXPECT_NE(text.find("COM12 (4400 USB)  /dev/ttyUSB12  free\n"
                        "    USB adapter \"USB RPI QUV 4400\", 4400 series programming adapter\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("    USB adapter \"FT232R USB UART\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n5 ports present, 5 free.\n"), std::string::npos) << text;

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
    const auto plain = CollectPorts(fake.Get(), false);
    ASSERT_EQ(plain.size(), 5u);
    EXPECT_EQ(Find(plain, 12)->label, "COM12");
}

TEST(PortReport, RefusedPortsSayWhyAndHowToFixIt)
{
    FakeSystem fake;
    fake.Add(33, PortStatus::PermissionDenied);
    fake.names = std::vector<std::string> { "USB RPI QUV 4400 (COM33)" };
    fake.owner = { "root", "dialout", "crw-rw----", false, false };

    auto info = *Find(CollectPorts(fake.Get(), false), 33);
    EXPECT_EQ(info.state, PortState::PermissionDenied);
    EXPECT_EQ(info.reason,
        "this user may not open /dev/ttyUSB33 (owner root, group dialout, crw-rw----)");
    std::string fix = Joined(info.fix);
    EXPECT_NE(fix.find("    sudo usermod -aG dialout $USER\n"), std::string::npos) << fix;
    EXPECT_NE(fix.find("log in again"), std::string::npos) << fix;
    EXPECT_NE(fix.find("udev rule"), std::string::npos) << fix;

    // Already added to the group, but this session predates it.
    fake.owner.memberListed = true;
    fix = Joined(Find(CollectPorts(fake.Get(), false), 33)->fix);
    EXPECT_EQ(fix.find("usermod"), std::string::npos) << fix;
    EXPECT_NE(fix.find("newgrp dialout"), std::string::npos) << fix;

    // In the group, yet refused: the device's mode is the problem.
    fake.owner = { "root", "dialout", "crw-------", true, true };
    fix = Joined(Find(CollectPorts(fake.Get(), false), 33)->fix);
    EXPECT_EQ(fix.find("usermod"), std::string::npos) << fix;
    EXPECT_NE(fix.find("0660"), std::string::npos) << fix;

    // A device of the group root: joining its group is no advice to give.
    fake.owner = { "root", "root", "crw-------", false, false };
    fix = Joined(Find(CollectPorts(fake.Get(), false), 33)->fix);
    EXPECT_EQ(fix.find("-aG root"), std::string::npos) << fix;
    EXPECT_NE(fix.find("60-corvel-programming-adapters.rules"), std::string::npos) << fix;
    EXPECT_NE(fix.find("sudo usermod -aG dialout $USER"), std::string::npos) << fix;

    // A group of another name is the one to join.
    fake.owner = { "root", "uucp", "crw-rw----", false, false };
    fix = Joined(Find(CollectPorts(fake.Get(), false), 33)->fix);
    EXPECT_NE(fix.find("sudo usermod -aG uucp $USER"), std::string::npos) << fix;

    const std::string text = FormatText(CollectPorts(fake.Get(), false), std::nullopt);
    EXPECT_NE(text.find("COM33 (4400 USB)  /dev/ttyUSB33  permission denied\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("    Why: this user may not open /dev/ttyUSB33"), std::string::npos)
        << text;
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

    EXPECT_EQ(Find(list, 1)->holderPid, 4242);
    EXPECT_EQ(Find(list, 1)->holderName, "minicom");
    EXPECT_EQ(Find(list, 1)->reason, "process 4242 (minicom) has the port open");
    EXPECT_EQ(Joined(Find(list, 1)->fix), "Close that program, or end it with: kill 4242\n");
    EXPECT_EQ(Find(list, 2)->holderPid, 4242);
    EXPECT_EQ(Find(list, 3)->holderPid, 0);
    EXPECT_EQ(Find(list, 3)->reason, "another program has the port open");
    EXPECT_EQ(Find(list, 4)->state, PortState::Error);
    EXPECT_EQ(Find(list, 4)->reason, "/dev/ttyUSB4 does not open: Input/output error");
    EXPECT_EQ(Find(list, 9)->state, PortState::BrokenEntry);
    EXPECT_EQ(Find(list, 9)->path, "");

    const std::string text = FormatText(list, "/x");
    EXPECT_NE(
        text.find("COM1  /dev/ttyUSB1  in use by process 4242 (minicom)\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("COM9  -             broken entry\n"
                        "    Why: /x/COM9 points to /nowhere, which does not exist.\n"),
        std::string::npos)
        << text;
    // Broken entries are not ports.
    EXPECT_NE(text.find("\n4 ports present, 0 free.\n"), std::string::npos) << text;

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
    EXPECT_EQ(JsonString(""), "\"\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString("\n\r\t"), "\"\\n\\r\\t\"");
    EXPECT_EQ(JsonString(std::string("\x00\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\\u007f\"");
    // Valid UTF-8 passes through unchanged: 2, 3 and 4 byte forms.
    EXPECT_EQ(JsonString("\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb"),
        "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xbb\"");
    // Anything else becomes U+FFFD, one per bad byte, without eating the
    // characters after it.
    EXPECT_EQ(JsonString("a\xff"
                         "b"),
        "\"a\\ufffdb\"");
    EXPECT_EQ(JsonString("\xc3"), "\"\\ufffd\""); // cut short at the end
    EXPECT_EQ(JsonString("\xe2\x82"
                         "A"),
        "\"\\ufffd\\ufffdA\""); // cut short inside
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\""); // overlong '/'
    EXPECT_EQ(JsonString("\xe0\x80\xaf"), "\"\\ufffd\\ufffd\\ufffd\""); // overlong
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\""); // surrogate
    EXPECT_EQ(JsonString("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\""); // > U+10FFFF

    // A device name with every kind of trouble still gives one valid object.
    FakeSystem fake;
    fake.Add(7, PortStatus::Free);
    fake.names = std::vector<std::string> { "Evil \"\\\n\xff (COM7)" };
    const std::string json = FormatJson(CollectPorts(fake.Get(), false), "/t\"x");
    EXPECT_EQ(json,
        "{\"comDir\":\"/t\\\"x\",\"ports\":[\n"
        "{\"port\":7,\"name\":\"COM7\",\"label\":\"COM7\",\"path\":\"/dev/ttyUSB7\","
        "\"status\":\"free\",\"adapter\":\"Evil \\\"\\\\\\n\\ufffd\",\"series\":null,"
        "\"holderPid\":null,\"holderName\":null,\"reason\":null,\"fix\":[]}\n"
        "]}\n");
}

TEST(PortReport, FindsTheProcessThatHasADeviceOpen)
{
    testsupport::PtyPair pty;
    // The test process itself holds the slave side; it does not count.
    EXPECT_EQ(FindProcessHolding(pty.SlavePath()), 0);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_NAME, "portholder");
        const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    EXPECT_EQ(answer, 'y');
    EXPECT_EQ(FindProcessHolding(pty.SlavePath()), child);
    EXPECT_EQ(ProcessNameOf(child), "portholder");
    EXPECT_EQ(FindProcessHolding("/dev/no-such-device"), 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(ProcessNameOf(child), "");

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
