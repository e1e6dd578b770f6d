#include "platform/PortLock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::mutex g_DirMutex;
fs::path g_TestDir;
std::atomic<unsigned> g_TempCounter { 0 };

// Reads the pid from a lock file: ten ASCII digits (possibly padded) and a
// newline, or the old binary form of a 4-byte int. 0 when unreadable.
int ReadLockPid(const fs::path& file)
{
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0)
        return 0;
    auto isText
        = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n' || c == '\t'; };
    if (n == 4
        && !(isText(buffer[0]) && isText(buffer[1]) && isText(buffer[2]) && isText(buffer[3]))) {
        int binaryPid = 0;
        static_assert(sizeof binaryPid == 4);
        std::copy(buffer, buffer + 4, reinterpret_cast<char*>(&binaryPid));
        return binaryPid > 0 ? binaryPid : 0;
    }
    buffer[n] = '\0';
    long pid = 0;
    bool digits = false;
    for (ssize_t i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            pid = pid * 10 + (c - '0');
            if (pid > 0x7fffffffL)
                return 0;
        } else if (c == ' ' || c == '\t') {
            if (digits)
                break;
        } else {
            break;
        }
    }
    return pid > 0 ? static_cast<int>(pid) : 0;
}

bool ProcessAlive(int pid)
{
    if (pid <= 0)
        return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

std::string PidText(int pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

} // namespace

std::string LockFileName(const std::string& devicePath)
{
    std::string rest;
    const std::string dev = "/dev/";
    if (devicePath.compare(0, dev.size(), dev) == 0 && devicePath.size() > dev.size()) {
        rest = devicePath.substr(dev.size());
    } else {
        rest = fs::path(devicePath).filename().string();
        if (rest.empty())
            rest = devicePath;
    }
    for (char& c : rest) {
        if (c == '/')
            c = '_';
    }
    return "LCK.." + rest;
}

fs::path LockDirectory()
{
    {
        std::lock_guard<std::mutex> guard(g_DirMutex);
        if (!g_TestDir.empty())
            return g_TestDir;
    }
    for (const char* dir : { "/run/lock", "/var/lock" }) {
        std::error_code ec;
        if (fs::is_directory(dir, ec))
            return dir;
    }
    return {};
}

void SetLockDirectoryForTesting(const fs::path& dir)
{
    std::lock_guard<std::mutex> guard(g_DirMutex);
    g_TestDir = dir;
}

int LockHolder(const std::string& devicePath)
{
    fs::path dir = LockDirectory();
    if (dir.empty())
        return 0;
    int pid = ReadLockPid(dir / LockFileName(devicePath));
    return ProcessAlive(pid) ? pid : 0;
}

PortLock::~PortLock()
{
    Release();
}

PortLock::Result PortLock::Acquire(const std::string& devicePath)
{
    Release();
    m_HolderPid = 0;
    m_Errno = 0;
    fs::path dir = LockDirectory();
    if (dir.empty())
        return Result::NoLockDir;
    fs::path file = dir / LockFileName(devicePath);
    const int self = static_cast<int>(getpid());

    // The pid is written to a private file first and linked into place, so
    // nobody ever sees a lock file without its owner in it.
    fs::path temp
        = dir / ("LTMP." + std::to_string(self) + "." + std::to_string(g_TempCounter.fetch_add(1)));
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_Errno = errno;
        return Result::Failed;
    }
    std::string text = PidText(self);
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int writeErrno = errno;
    close(fd);
    if (!written) {
        unlink(temp.c_str());
        m_Errno = writeErrno ? writeErrno : EIO;
        return Result::Failed;
    }

    Result result = Result::Failed;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (link(temp.c_str(), file.c_str()) == 0) {
            result = Result::Locked;
            break;
        }
        if (errno != EEXIST) {
            m_Errno = errno;
            break;
        }
        int holder = ReadLockPid(file);
        if (ProcessAlive(holder)) {
            m_HolderPid = holder;
            m_Errno = EBUSY;
            result = Result::Held;
            break;
        }
        // Stale: the owner is gone (or the file is unreadable). Replace it.
        if (unlink(file.c_str()) != 0 && errno != ENOENT) {
            m_Errno = errno;
            break;
        }
    }
    unlink(temp.c_str());
    if (result == Result::Locked) {
        // Make sure the file that stayed is ours (two programs replacing the
        // same stale lock at once).
        int holder = ReadLockPid(file);
        if (holder != self) {
            m_HolderPid = holder;
            m_Errno = EBUSY;
            return Result::Held;
        }
        m_File = file;
    } else if (result == Result::Failed && m_Errno == 0) {
        m_Errno = EBUSY;
    }
    return result;
}

void PortLock::Release()
{
    if (m_File.empty())
        return;
    if (ReadLockPid(m_File) == static_cast<int>(getpid()))
        unlink(m_File.c_str());
    m_File.clear();
}

} // namespace platform
