#include "tools/ports/PortReport.h"

#include "platform/OwnResources.h"
#include "platform/PortHolders.h"
#include "platform/UsbAdapterNames.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ports {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdapterName4400 = "USB RPI QUV 4400";
constexpr const char* kAdapterName4600 = "USB RPI QUV 4600";
// The adapter name, a blank, "(" and "COM": what the port list cuts off
// before it reads the number.
constexpr size_t kAdapterPrefixLength = 21;

constexpr const char* kUdevRule = "/usr/lib/udev/rules.d/60-corvel-programming-adapters.rules";

bool ParsePortNumber(const std::string& text, int& port)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, port);
    return !text.empty() && error == std::errc() && end == last && port >= platform::kFirstComPort
        && port <= platform::kLastComPort;
}

std::string ModeString(mode_t mode)
{
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISREG(mode) ? "-" : "?";
    const char letters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (mode & (0400 >> bit)) ? letters[bit] : '-';
    return text;
}

std::string HolderText(const PortInfo& info)
{
    if (info.holderPid == 0)
        return "another program";
    std::string text = "process " + std::to_string(info.holderPid);
    if (!info.holderName.empty())
        text += " (" + info.holderName + ")";
    return text;
}

void ExplainHeld(PortInfo& info)
{
    if (!info.release.empty()) {
        // Ending an updater in the middle of a download leaves a radio
        // that only its boot code can bring back: never advise it.
        info.reason = "an update is running on this port (process " + std::to_string(info.holderPid)
            + ", release " + info.release + "); wait for it to finish";
        return;
    }
    info.reason = HolderText(info) + " has the port open";
    if (info.holderPid != 0) {
        info.fix.push_back(
            "Close that program, or end it with: kill " + std::to_string(info.holderPid));
    } else {
        info.fix.push_back("Close the program that uses " + info.path + ", then try again.");
    }
}

void ExplainPermission(PortInfo& info, const DeviceOwner& owner)
{
    info.reason = "this user may not open " + info.path;
    if (!owner.mode.empty()) {
        info.reason += " (owner " + owner.user + ", group " + owner.group + ", " + owner.mode + ")";
    }
    const bool usefulGroup = !owner.group.empty() && owner.group != "root";
    const std::string group = usefulGroup ? owner.group : "dialout";
    if (usefulGroup && owner.memberNow) {
        info.fix.push_back("You are in the group " + group + ", but the device's rights do not let "
            + "the group read and write it.");
        info.fix.push_back(
            "The udev rule " + std::string(kUdevRule) + " (installed with the package)");
        info.fix.push_back(
            "gives the programming adapters mode 0660; unplug and replug the adapter.");
    } else if (usefulGroup && owner.memberListed) {
        info.fix.push_back("You were added to the group " + group
            + ", but this login session started before that:");
        info.fix.push_back(
            "log out and log in again (or start a shell with: newgrp " + group + ").");
    } else if (usefulGroup) {
        info.fix.push_back("Add your user to the group " + group
            + " that owns the device, then log out and log in again:");
        info.fix.push_back("    sudo usermod -aG " + group + " $USER");
    } else {
        info.fix.push_back("The device belongs to no group you could join. Install the udev rule");
        info.fix.push_back(std::string(kUdevRule) + " (part of the package),");
        info.fix.push_back(
            "unplug and replug the adapter, and add your user to the group dialout:");
        info.fix.push_back("    sudo usermod -aG dialout $USER");
        info.fix.push_back("then log out and log in again.");
    }
    if (usefulGroup && !owner.memberNow && !info.adapter.empty()) {
        info.fix.push_back("The package's udev rule gives the programming adapters to the group "
                           "dialout with mode 0660.");
    }
}

// The state's key in the JSON report and its text in the table.
struct StateNames {
    PortState state;
    const char* key;
    const char* text;
};
constexpr StateNames kStateNames[] = {
    { PortState::Free, "free", "free" },
    { PortState::Held, "held", "in use" },
    { PortState::PermissionDenied, "permission-denied", "permission denied" },
    { PortState::Error, "error", "does not open" },
    { PortState::BrokenEntry, "broken-entry", "broken entry" },
    { PortState::Absent, "absent", "absent" },
};

const StateNames& NamesOf(PortState state)
{
    for (const StateNames& names : kStateNames) {
        if (names.state == state)
            return names;
    }
    return kStateNames[std::size(kStateNames) - 1];
}

const char* StateKey(PortState state)
{
    return NamesOf(state).key;
}

std::string StateText(const PortInfo& info)
{
    if (info.state == PortState::Held)
        return "in use by " + HolderText(info);
    return NamesOf(info.state).text;
}

bool Present(PortState state)
{
    return state != PortState::Absent && state != PortState::BrokenEntry;
}

std::string Pad(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void AddUsbSerialFacts(PortInfo& info, const UsbSerialFacts& facts)
{
    info.driver = facts.driver;
    info.latencyTimerMs = facts.latencyTimerMs;
    if (facts.latencyTimerMs <= kLatencyTimerLimitMs)
        return;
    const std::string ms = std::to_string(facts.latencyTimerMs);
    info.warnings.push_back("Warning: latency timer above " + std::to_string(kLatencyTimerLimitMs)
        + " ms: the adapter holds each reply of the radio up to " + ms + " ms,");
    info.warnings.push_back(
        "which can make a download 2.5 times slower. The package's udev rule sets 1 ms when");
    info.warnings.push_back(
        "the adapter is plugged in; to set it now: echo 1 | sudo tee " + facts.latencyFile);
}

} // namespace

bool SplitFriendlyName(const std::string& name, std::string& product, int& port)
{
    const size_t open = name.rfind(" (COM");
    if (open == std::string::npos || name.empty() || name.back() != ')')
        return false;
    const size_t digits = open + 5;
    if (!ParsePortNumber(name.substr(digits, name.size() - 1 - digits), port))
        return false;
    product = name.substr(0, open);
    return true;
}

int ListAdapterPort(const std::string& friendlyName, std::string& series)
{
    series.clear();
    std::string found;
    if (friendlyName.find(kAdapterName4400) != std::string::npos) {
        found = "4400";
    } else if (friendlyName.find(kAdapterName4600) != std::string::npos) {
        found = "4600";
    } else {
        return 0;
    }
    std::string rest = friendlyName.substr(std::min(kAdapterPrefixLength, friendlyName.size()));
    const size_t close = rest.find(')');
    if (close != std::string::npos)
        rest.erase(close, 1);
    int port = 0;
    if (!ParsePortNumber(rest, port))
        return 0;
    series = found;
    return port;
}

std::optional<std::string> ComDirectory()
{
    const char* dir = std::getenv("CORVEL_COM_DIR");
    if (dir == nullptr || dir[0] == '\0')
        return std::nullopt;
    return std::string(dir);
}

std::vector<PortInfo> CollectPorts(const PortSystem& system, bool includeAbsent)
{
    std::map<int, std::string> products;
    std::map<int, std::string> series;
    std::optional<std::vector<std::string>> names;
    if (system.adapterNames)
        names = system.adapterNames();
    for (const std::string& name : names.value_or(std::vector<std::string> {})) {
        std::string product;
        int port = 0;
        if (SplitFriendlyName(name, product, port))
            products[port] = product;
        std::string kind;
        port = ListAdapterPort(name, kind);
        if (port != 0)
            series[port] = kind;
    }

    std::vector<PortInfo> ports;
    for (int n = platform::kFirstComPort; n <= platform::kLastComPort; ++n) {
        const platform::PortProbe probe = system.testPort(n);
        PortInfo info;
        info.number = n;
        info.name = platform::ComPortName(n);
        info.label = info.name;
        info.path = probe.path;
        if (auto it = series.find(n); it != series.end()) {
            info.series = it->second;
            info.label += " (" + info.series + " USB)";
        }
        if (auto it = products.find(n); it != products.end())
            info.adapter = it->second;

        switch (probe.status) {
        case platform::PortStatus::Free:
            info.state = PortState::Free;
            break;
        case platform::PortStatus::Held:
            info.state = PortState::Held;
            info.holderPid = probe.holderPid;
            if (info.holderPid == 0 && system.findHolder)
                info.holderPid = system.findHolder(probe.path);
            if (info.holderPid != 0 && system.processName)
                info.holderName = system.processName(info.holderPid);
            if (info.holderPid != 0 && system.updaterRelease)
                info.release = system.updaterRelease(info.holderPid).value_or("");
            ExplainHeld(info);
            break;
        case platform::PortStatus::PermissionDenied:
            info.state = PortState::PermissionDenied;
            ExplainPermission(
                info, system.deviceOwner ? system.deviceOwner(probe.path) : DeviceOwner {});
            break;
        case platform::PortStatus::OtherError:
            info.state = PortState::Error;
            info.reason = probe.path + " does not open: "
                + (probe.detail.empty() ? std::string("unknown error") : probe.detail);
            break;
        case platform::PortStatus::Absent: {
            std::optional<std::string> broken;
            if (system.brokenEntry)
                broken = system.brokenEntry(n);
            if (broken) {
                info.state = PortState::BrokenEntry;
                info.path.clear();
                info.reason = *broken;
                info.fix.push_back("Remove the entry or point it at a serial device.");
            } else {
                info.state = PortState::Absent;
            }
            break;
        }
        }
        if (!info.path.empty() && system.usbSerial)
            AddUsbSerialFacts(info, system.usbSerial(info.path));
        if (info.state != PortState::Absent || includeAbsent)
            ports.push_back(std::move(info));
    }
    return ports;
}

std::string FormatText(const std::vector<PortInfo>& ports, const std::optional<std::string>& comDir)
{
    std::string out;
    if (comDir) {
        out += "Ports from CORVEL_COM_DIR=" + *comDir + " (only its COM<n> entries are ports).\n";
    } else {
        out += "Ports from the default mapping: COM1-COM32 /dev/ttyS0-31, COM33-COM64 "
               "/dev/ttyUSB0-31,\nCOM65-COM96 /dev/ttyACM0-31.\n";
    }
    out += "\n";

    size_t labelWidth = 0;
    size_t pathWidth = 0;
    for (const PortInfo& info : ports) {
        labelWidth = std::max(labelWidth, info.label.size());
        pathWidth = std::max(pathWidth, info.path.empty() ? 1 : info.path.size());
    }
    int present = 0;
    int free = 0;
    for (const PortInfo& info : ports) {
        present += Present(info.state) ? 1 : 0;
        free += info.state == PortState::Free ? 1 : 0;
        out += Pad(info.label, labelWidth) + "  "
            + Pad(info.path.empty() ? "-" : info.path, pathWidth) + "  " + StateText(info) + "\n";
        if (!info.adapter.empty()) {
            out += "    USB adapter \"" + info.adapter + "\"";
            if (!info.series.empty())
                out += ", " + info.series + " series programming adapter";
            out += "\n";
        }
        if (!info.driver.empty()) {
            out += "    Driver " + info.driver;
            if (info.latencyTimerMs >= 0)
                out += ", latency timer " + std::to_string(info.latencyTimerMs) + " ms";
            out += "\n";
        }
        for (const std::string& line : info.warnings)
            out += "    " + line + "\n";
        if (info.state == PortState::Absent)
            continue;
        if (!info.reason.empty())
            out += "    Why: " + info.reason + ".\n";
        for (const std::string& line : info.fix)
            out += "    " + line + "\n";
    }

    if (present == 0) {
        if (!ports.empty())
            out += "\n";
        out += "No ports present.";
        std::error_code ec;
        if (comDir && !fs::is_directory(*comDir, ec)) {
            out += " CORVEL_COM_DIR names " + *comDir + ", which is not a directory.\n";
        } else if (comDir) {
            out += " Only the COM<n> entries of " + *comDir + " are ports.\n";
        } else {
            out += " Is the adapter plugged in? (ls -l /dev/ttyUSB* /dev/ttyACM*)\n";
        }
    } else {
        out += "\n" + std::to_string(present) + (present == 1 ? " port" : " ports") + " present, "
            + std::to_string(free) + " free.\n";
    }
    return out;
}

std::string FormatJson(const std::vector<PortInfo>& ports, const std::optional<std::string>& comDir)
{
    using Json = nlohmann::ordered_json;
    const auto optionalString
        = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
    const auto dump = [](const Json& value) {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    std::string out
        = "{\"comDir\":" + dump(comDir ? Json(*comDir) : Json(nullptr)) + ",\"ports\":[";
    bool first = true;
    for (const PortInfo& info : ports) {
        Json port;
        port["port"] = info.number;
        port["name"] = info.name;
        port["label"] = info.label;
        port["path"] = optionalString(info.path);
        port["status"] = StateKey(info.state);
        port["adapter"] = optionalString(info.adapter);
        port["series"] = optionalString(info.series);
        port["holderPid"] = info.holderPid != 0 ? Json(info.holderPid) : Json(nullptr);
        port["holderName"] = optionalString(info.holderName);
        port["reason"] = optionalString(info.reason);
        port["fix"] = info.fix;
        port["release"] = optionalString(info.release);
        port["driver"] = optionalString(info.driver);
        port["latencyTimerMs"]
            = info.latencyTimerMs >= 0 ? Json(info.latencyTimerMs) : Json(nullptr);
        port["warnings"] = info.warnings;
        out += (first ? "\n" : ",\n") + dump(port);
        first = false;
    }
    out += "\n]}\n";
    return out;
}

DeviceOwner OwnerOfDevice(const std::string& devicePath)
{
    DeviceOwner owner;
    struct stat info { };
    if (stat(devicePath.c_str(), &info) != 0)
        return owner;
    owner.mode = ModeString(info.st_mode);
    const passwd* user = getpwuid(info.st_uid);
    owner.user = user != nullptr ? user->pw_name : std::to_string(info.st_uid);
    const group* devGroup = getgrgid(info.st_gid);
    owner.group = devGroup != nullptr ? devGroup->gr_name : std::to_string(info.st_gid);

    owner.memberNow = getegid() == info.st_gid;
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        if (getgroups(count, groups.data()) == count)
            owner.memberNow = owner.memberNow
                || std::find(groups.begin(), groups.end(), info.st_gid) != groups.end();
    }
    const passwd* me = getpwuid(getuid());
    if (me != nullptr) {
        owner.memberListed = me->pw_gid == info.st_gid;
        if (devGroup != nullptr) {
            for (char** member = devGroup->gr_mem; *member != nullptr; ++member)
                owner.memberListed = owner.memberListed || std::string(*member) == me->pw_name;
        }
    }
    return owner;
}

UsbSerialFacts ReadUsbSerialFacts(const std::string& devicePath, const fs::path& sysRoot)
{
    UsbSerialFacts facts;
    const std::string name = fs::path(devicePath).filename().string();
    if (name.empty() || name == "." || name == "..")
        return facts;
    const fs::path device = sysRoot / "class" / "tty" / name / "device";
    std::error_code ec;
    const std::string resolved = fs::canonical(device, ec).string();
    if (ec || resolved.find("/usb") == std::string::npos)
        return facts;
    const fs::path driver = fs::read_symlink(device / "driver", ec);
    if (ec)
        return facts;
    facts.driver = driver.filename().string();
    const fs::path timer = device / "latency_timer";
    std::ifstream file(timer);
    int ms = -1;
    if (file >> ms && ms >= 0 && ms <= 255) {
        facts.latencyTimerMs = ms;
        facts.latencyFile = timer.string();
    }
    return facts;
}

std::optional<std::string> UpdaterReleaseOf(int pid, const fs::path& procRoot)
{
    if (pid <= 0)
        return std::nullopt;
    const fs::path exe = procRoot / std::to_string(pid) / "exe";
    std::error_code ec;
    const fs::path program = fs::read_symlink(exe, ec);
    if (ec)
        return std::nullopt;
    // A release carries its firmware in the program file itself.
    if (!platform::OpenFileResources(exe.string())->IsAvailable(nullptr))
        return std::nullopt;
    std::string name = program.filename().string();
    const std::string deleted = " (deleted)";
    if (name.ends_with(deleted))
        name.erase(name.size() - deleted.size());
    return name;
}

PortSystem PortSystem::Platform(const fs::path& sysRoot)
{
    PortSystem system;
    system.usbSerial
        = [sysRoot](const std::string& path) { return ReadUsbSerialFacts(path, sysRoot); };
    system.updaterRelease = [](int pid) { return UpdaterReleaseOf(pid); };
    system.testPort = platform::TestComPort;
    system.adapterNames = platform::UsbAdapterFriendlyNames;
    system.processName = [](int pid) { return platform::ProcessCommandName(pid); };
    system.findHolder = [](const std::string& path) { return platform::FindProcessHolding(path); };
    system.deviceOwner = OwnerOfDevice;
    system.brokenEntry = [](int port) -> std::optional<std::string> {
        std::optional<std::string> dir = ComDirectory();
        if (!dir)
            return std::nullopt;
        const fs::path entry = fs::path(*dir) / platform::ComPortName(port);
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(entry, ec);
        if (ec || !fs::exists(status))
            return std::nullopt;
        if (fs::is_symlink(status)) {
            const fs::path target = fs::read_symlink(entry, ec);
            std::error_code targetError;
            const bool reachable = fs::exists(entry, targetError);
            if (targetError)
                return entry.string() + " points to " + target.string()
                    + ", which cannot be followed (" + targetError.message() + ")";
            if (!reachable)
                return entry.string() + " points to " + target.string() + ", which does not exist";
        }
        return entry.string() + " is not a device";
    };
    return system;
}

} // namespace ports
