#pragma once

#include "platform/ComNamespace.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ports {

// What a technician needs to know about one port number.
enum class PortState {
    Free, // opens, nobody holds it: the updater can use it
    Held, // another program holds it
    PermissionDenied, // the device is there but this user may not open it
    Error, // the device is there but does not open for another reason
    Absent, // no such port
    BrokenEntry, // the port directory names it, but the entry leads nowhere usable
};

// Owner and rights of a device file, and whether the running user belongs
// to its group.
struct DeviceOwner {
    std::string user; // owning user's name (or number)
    std::string group; // owning group's name (or number); empty when unknown
    std::string mode; // "crw-rw----"
    bool memberNow = false; // this process already carries the group
    bool memberListed = false; // the user database lists the user in the group
};

struct PortInfo {
    int number = 0;
    std::string name; // "COM7"
    std::string label; // the port list's text: "COM7" or "COM7 (4400 USB)"
    std::string path; // device path; empty when absent or broken
    PortState state = PortState::Absent;
    std::string adapter; // USB product string, empty when no USB adapter
    std::string series; // "4400" or "4600" when the port list marks it
    int holderPid = 0; // 0 when unknown
    std::string holderName; // command name of the holder, when known
    std::string release; // the release an updater holding the port runs
    std::string driver; // kernel driver of a USB adapter ("ftdi_sio")
    int latencyTimerMs = -1; // the adapter's latency timer; -1 when it has none
    std::vector<std::string> warnings; // about a port that works, but badly
    std::string reason; // plain words; empty for a free port
    std::vector<std::string> fix; // what to do about it, one line each
};

// What sysfs tells about the USB serial adapter behind a device.
struct UsbSerialFacts {
    std::string driver; // empty when the device is no USB adapter
    int latencyTimerMs = -1; // -1 when the driver has no latency timer
    std::string latencyFile; // where the timer is set
};

// Above this the adapter's latency timer slows the block protocol down.
constexpr int kLatencyTimerLimitMs = 2;

// Everything the report asks of the system; Platform() gives the real one,
// tests put fakes in.
struct PortSystem {
    // The open test of one port.
    std::function<platform::PortProbe(int port)> testPort;
    // "<product> (COM<n>)" for the USB adapters; nullopt when the device
    // database cannot be asked.
    std::function<std::optional<std::vector<std::string>>()> adapterNames;
    // Command name of a process in full, empty when unknown.
    std::function<std::string(int pid)> processName;
    // A process (not this one) that has the device open, 0 when none is seen.
    std::function<int(const std::string& devicePath)> findHolder;
    // Why the port directory's entry for an absent port is unusable, or
    // nullopt when there is no entry (a plainly absent port).
    std::function<std::optional<std::string>(int port)> brokenEntry;
    std::function<DeviceOwner(const std::string& devicePath)> deviceOwner;
    // The USB adapter behind a device.
    std::function<UsbSerialFacts(const std::string& devicePath)> usbSerial;
    // The release a process runs when it is an updater, else nullopt.
    std::function<std::optional<std::string>(int pid)> updaterRelease;

    // The running system; `sysRoot` stands for /sys.
    static PortSystem Platform(const std::filesystem::path& sysRoot = "/sys");
};

// The ports 1..255 in order: all of them with includeAbsent, otherwise only
// those that exist (free, held, refused, failing or broken entries).
std::vector<PortInfo> CollectPorts(const PortSystem& system, bool includeAbsent);

// Splits a friendly name "<product> (COM<n>)" into product and port number;
// false when it does not have that shape.
bool SplitFriendlyName(const std::string& name, std::string& product, int& port);

// The port list's reading of a friendly name: the port number it marks as a
// programming adapter and the series ("4400" or "4600"), or 0 when it marks
// none. Matches the window exactly, odd cases included.
int ListAdapterPort(const std::string& friendlyName, std::string& series);

// Where ports come from: the CORVEL_COM_DIR value, or nullopt for the
// default mapping.
std::optional<std::string> ComDirectory();

// The report as text for people.
std::string FormatText(
    const std::vector<PortInfo>& ports, const std::optional<std::string>& comDir);
// The report as one JSON object for scripts, one port a line. Bytes that
// are not UTF-8 become U+FFFD, so it is always valid JSON whatever a device
// reports as its name.
std::string FormatJson(
    const std::vector<PortInfo>& ports, const std::optional<std::string>& comDir);

// The platform pieces, public for the tests.
DeviceOwner OwnerOfDevice(const std::string& devicePath);
// The driver and latency timer of a USB serial adapter from the sysfs tree
// under `sysRoot`; empty facts for any other device.
UsbSerialFacts ReadUsbSerialFacts(
    const std::string& devicePath, const std::filesystem::path& sysRoot);
// The release a process runs when its program carries a release (an
// updater), named after its program file.
std::optional<std::string> UpdaterReleaseOf(
    int pid, const std::filesystem::path& procRoot = "/proc");

} // namespace ports
