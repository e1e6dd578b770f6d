#include "platform/PortHolders.h"

#include <charconv>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::optional<int> NumberOf(const std::string& text)
{
    int value = 0;
    auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || last != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The index of a pseudo-terminal's device (/dev/pts/<n>), or nullopt.
std::optional<int> PtyIndex(const std::string& devicePath)
{
    const std::string prefix = "/dev/pts/";
    if (devicePath.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    return NumberOf(devicePath.substr(prefix.size()));
}

// The pseudo-terminal index a master descriptor stands for, from its
// "tty-index:" line; nullopt when the kernel does not say.
std::optional<int> MasterIndex(const fs::path& fdInfo)
{
    std::ifstream file(fdInfo);
    std::string line;
    const std::string key = "tty-index:";
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        size_t start = line.find_first_not_of(" \t", key.size());
        return start == std::string::npos ? std::nullopt : NumberOf(line.substr(start));
    }
    return std::nullopt;
}

bool IsMasterName(const std::string& target)
{
    return target == "/dev/ptmx" || target == "/dev/pts/ptmx";
}

} // namespace

int FindProcessHolding(const std::string& devicePath, const fs::path& procRoot)
{
    const std::optional<int> ptyIndex = PtyIndex(devicePath);
    const pid_t self = getpid();
    std::error_code ec;
    for (fs::directory_iterator proc(procRoot, ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::optional<int> pid = NumberOf(proc->path().filename().string());
        if (!pid || *pid <= 0 || *pid == self)
            continue;
        bool holdsDevice = false;
        bool holdsFarEnd = false;
        std::error_code fdError;
        // A process this user may not look into cannot be listed: it counts
        // as not holding anything.
        for (fs::directory_iterator fd(proc->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            std::error_code linkError;
            const std::string target = fs::read_symlink(fd->path(), linkError).string();
            if (linkError)
                continue;
            if (target == devicePath) {
                holdsDevice = true;
            } else if (ptyIndex && IsMasterName(target)) {
                holdsFarEnd = holdsFarEnd
                    || MasterIndex(proc->path() / "fdinfo" / fd->path().filename()) == ptyIndex;
            }
        }
        if (holdsDevice && !holdsFarEnd)
            return *pid;
    }
    return 0;
}

std::string ProcessCommandName(int pid, const fs::path& procRoot)
{
    if (pid <= 0)
        return {};
    const fs::path dir = procRoot / std::to_string(pid);
    std::ifstream cmdline(dir / "cmdline", std::ios::binary);
    std::string first;
    std::getline(cmdline, first, '\0');
    if (!first.empty()) {
        const size_t slash = first.find_last_of('/');
        std::string name = slash == std::string::npos ? first : first.substr(slash + 1);
        if (!name.empty())
            return name;
    }
    std::ifstream comm(dir / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

} // namespace platform
