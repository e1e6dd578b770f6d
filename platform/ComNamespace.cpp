#include "platform/ComNamespace.h"

#include "platform/PortHolders.h"
#include "platform/PortLock.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

// Resolves an existing entry to the device it names; nullopt when the entry
// is missing, dangling or a directory.
std::optional<std::string> ResolveEntry(const fs::path& entry)
{
    std::error_code ec;
    fs::file_status linkStatus = fs::symlink_status(entry, ec);
    if (ec || !fs::exists(linkStatus))
        return std::nullopt;
    fs::path target = fs::canonical(entry, ec);
    if (ec)
        return std::nullopt; // dangling link or a loop
    fs::file_status status = fs::status(target, ec);
    if (ec || !fs::exists(status) || fs::is_directory(status))
        return std::nullopt;
    return target.string();
}

std::optional<std::string> DefaultDevicePath(int portNumber)
{
    if (portNumber >= 1 && portNumber <= 32)
        return "/dev/ttyS" + std::to_string(portNumber - 1);
    if (portNumber >= 33 && portNumber <= 64)
        return "/dev/ttyUSB" + std::to_string(portNumber - 33);
    if (portNumber >= 65 && portNumber <= 96)
        return "/dev/ttyACM" + std::to_string(portNumber - 65);
    return std::nullopt;
}

PortStatus StatusOfOpenErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: // a UART node with no hardware behind it, or a dead pseudo-terminal
        return PortStatus::Absent;
    case EBUSY:
        return PortStatus::Held;
    case EACCES:
    case EPERM:
        return PortStatus::PermissionDenied;
    default:
        return PortStatus::OtherError;
    }
}

} // namespace

std::optional<std::string> ComDevicePath(int portNumber)
{
    if (portNumber < kFirstComPort || portNumber > kLastComPort)
        return std::nullopt;
    const char* dir = std::getenv("CORVEL_COM_DIR");
    if (dir != nullptr && dir[0] != '\0')
        return ResolveEntry(fs::path(dir) / ComPortName(portNumber));
    std::optional<std::string> path = DefaultDevicePath(portNumber);
    if (!path)
        return std::nullopt;
    return ResolveEntry(*path);
}

std::string ComPortName(int portNumber)
{
    return "COM" + std::to_string(portNumber);
}

std::string PortLockProblem(int portNumber)
{
    const std::optional<std::string> path = ComDevicePath(portNumber);
    std::string reason;
    if (!path || LockUsable(*path, &reason))
        return {};
    return "cannot lock the port: " + reason;
}

PortProbe TestComPort(int portNumber)
{
    PortProbe probe;
    std::optional<std::string> path = ComDevicePath(portNumber);
    if (!path) {
        probe.status = PortStatus::Absent;
        probe.detail = "no such port";
        return probe;
    }
    probe.path = *path;

    // A live lock file says another program uses the line; it is not opened
    // then, so as not to disturb it.
    int holder = LockHolder(*path);
    if (holder > 0) {
        probe.status = PortStatus::Held;
        probe.error = EBUSY;
        probe.holderPid = holder;
        probe.detail = "locked by process " + std::to_string(holder);
        return probe;
    }
    // A port whose lock cannot be taken is not offered: the update would
    // refuse it.
    std::string lockProblem = PortLockProblem(portNumber);
    if (!lockProblem.empty()) {
        probe.status = PortStatus::OtherError;
        probe.error = EACCES;
        probe.detail = std::move(lockProblem);
        return probe;
    }

    // Only a character device can be a serial line; a regular file says so
    // even to a user who may not open it.
    struct stat node { };
    if (stat(path->c_str(), &node) == 0 && !S_ISCHR(node.st_mode)) {
        probe.status = PortStatus::OtherError;
        probe.error = ENOTTY;
        probe.detail = "not a serial device";
        return probe;
    }

    UniqueFd fd(open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        probe.error = errno;
        probe.status = StatusOfOpenErrno(probe.error);
        probe.detail = std::strerror(probe.error);
        return probe;
    }

    // A UART node the driver knows no hardware for opens on some systems but
    // reports an unknown port type: the port is not there.
    serial_struct info {};
    bool notATty = !isatty(fd.Get());
    bool noUart = !notATty && ioctl(fd.Get(), TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN
        && std::strncmp(path->c_str(), "/dev/ttyS", 9) == 0;
    fd.Reset();

    if (notATty) {
        probe.status = PortStatus::OtherError;
        probe.error = ENOTTY;
        probe.detail = "not a serial device";
        return probe;
    }
    if (noUart) {
        probe.status = PortStatus::Absent;
        probe.error = ENXIO;
        probe.detail = "no UART behind the device";
        return probe;
    }

    // Another program that simply has the device open (a terminal program,
    // a modem prober) is not stopped by anything the open itself sees.
    const int openBy = FindProcessHolding(*path);
    if (openBy != 0) {
        probe.status = PortStatus::Held;
        probe.error = EBUSY;
        probe.holderPid = openBy;
        probe.detail = "open in process " + std::to_string(openBy);
        return probe;
    }

    probe.status = PortStatus::Free;
    return probe;
}

bool ComPortOpens(int portNumber)
{
    return TestComPort(portNumber).status == PortStatus::Free;
}

} // namespace platform
