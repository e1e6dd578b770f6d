#include "tools/ports/PortReport.h"

#include "platform/PortHolders.h"
#include "platform/UsbAdapterNames.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <grp.h>
#include <map>
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

const char* StateKey(PortState state)
{
    switch (state) {
    case PortState::Free:
        return "free";
    case PortState::Held:
        return "held";
    case PortState::PermissionDenied:
        return "permission-denied";
    case PortState::Error:
        return "error";
    case PortState::BrokenEntry:
        return "broken-entry";
    case PortState::Absent:
        break;
    }
    return "absent";
}

std::string StateText(const PortInfo& info)
{
    switch (info.state) {
    case PortState::Free:
        return "free";
    case PortState::Held:
        return "in use by " + HolderText(info);
    case PortState::PermissionDenied:
        return "permission denied";
    case PortState::Error:
        return "does not open";
    case PortState::BrokenEntry:
        return "broken entry";
    case PortState::Absent:
        break;
    }
    return "absent";
}

bool Present(PortState state)
{
    return state != PortState::Absent && state != PortState::BrokenEntry;
}

std::string Pad(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// Length of the UTF-8 sequence starting at text[i], or 0 when the bytes there
// are not valid UTF-8 (overlong forms, surrogates and values above U+10FFFF
// included).
size_t Utf8SequenceLength(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10FFFF
        || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
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

std::string JsonString(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

std::string FormatJson(const std::vector<PortInfo>& ports, const std::optional<std::string>& comDir)
{
    const auto optionalString = [](const std::string& text) {
        return text.empty() ? std::string("null") : JsonString(text);
    };
    std::string out
        = "{\"comDir\":" + (comDir ? JsonString(*comDir) : std::string("null")) + ",\"ports\":[";
    bool first = true;
    for (const PortInfo& info : ports) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "{\"port\":" + std::to_string(info.number) + ",\"name\":" + JsonString(info.name)
            + ",\"label\":" + JsonString(info.label) + ",\"path\":" + optionalString(info.path)
            + ",\"status\":" + JsonString(StateKey(info.state))
            + ",\"adapter\":" + optionalString(info.adapter)
            + ",\"series\":" + optionalString(info.series) + ",\"holderPid\":"
            + (info.holderPid != 0 ? std::to_string(info.holderPid) : std::string("null"))
            + ",\"holderName\":" + optionalString(info.holderName)
            + ",\"reason\":" + optionalString(info.reason) + ",\"fix\":[";
        for (size_t i = 0; i < info.fix.size(); ++i)
            out += (i == 0 ? "" : ",") + JsonString(info.fix[i]);
        out += "]}";
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

PortSystem PortSystem::Platform()
{
    PortSystem system;
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
