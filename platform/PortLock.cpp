#include "platform/PortLock.h"

#include "platform/FileWrite.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/file.h>
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
int ReadLockPid(int fd)
{
    char buffer[64];
    ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
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

int ReadLockPid(const fs::path& file)
{
    const UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    return fd ? ReadLockPid(fd.Get()) : 0;
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

bool LockUsable(const std::string& devicePath, std::string* reason)
{
    const fs::path dir = LockDirectory();
    if (dir.empty()) {
        if (reason != nullptr)
            *reason = "no lock folder (/run/lock or /var/lock)";
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        if (reason != nullptr)
            *reason = SystemErrorText("cannot write in the lock folder " + dir.string(), errno);
        return false;
    }
    const fs::path file = dir / LockFileName(devicePath);
    struct stat st { };
    if (::lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (reason != nullptr)
            *reason = "the lock file " + file.string() + " is not a regular file";
        return false;
    }
    return true;
}

PortLock::~PortLock()
{
    Release();
}

PortLock::Result PortLock::Fail(Result result, int error, const std::string& reason)
{
    m_Errno = error;
    m_Reason = reason;
    return result;
}

PortLock::Result PortLock::Acquire(const std::string& devicePath)
{
    Release();
    m_HolderPid = 0;
    m_Errno = 0;
    m_Reason.clear();
    const fs::path dir = LockDirectory();
    if (dir.empty())
        return Fail(Result::NoLockDir, ENOENT, "no lock folder (/run/lock or /var/lock)");
    const fs::path file = dir / LockFileName(devicePath);
    const int self = static_cast<int>(getpid());

    // The pid is written to a private file first and put into place whole
    // (link for a new lock, rename for a stale one), so nobody ever sees a
    // lock file without its owner in it.
    const fs::path temp
        = dir / ("LTMP." + std::to_string(self) + "." + std::to_string(g_TempCounter.fetch_add(1)));
    {
        UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd) {
            const int error = errno;
            return Fail(Result::Failed, error,
                SystemErrorText("cannot create a lock file in " + dir.string(), error));
        }
        const std::string text = PidText(self);
        if (!WriteAll(fd.Get(), text.data(), text.size()) || !fd.Close()) {
            const int error = errno;
            unlink(temp.c_str());
            return Fail(Result::Failed, error,
                SystemErrorText("cannot write a lock file in " + dir.string(), error));
        }
    }
    Result result = TakeOver(temp, file);
    unlink(temp.c_str());
    if (result == Result::Locked)
        m_File = file;
    return result;
}

PortLock::Result PortLock::TakeOver(const fs::path& temp, const fs::path& file)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        // A free device: link() puts the lock in place only if no file has
        // that name, so of any number of programs exactly one succeeds.
        if (link(temp.c_str(), file.c_str()) == 0)
            return Result::Locked;
        if (errno != EEXIST) {
            const int error = errno;
            return Fail(
                Result::Failed, error, SystemErrorText("cannot lock " + file.string(), error));
        }

        // Someone's lock is there. Anything but a regular file is refused:
        // the device stays unavailable rather than unguarded.
        UniqueFd existing(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!existing) {
            if (errno == ENOENT)
                continue; // released meanwhile: try again
            const int error = errno;
            return Fail(
                Result::Failed, error, SystemErrorText("cannot lock " + file.string(), error));
        }
        struct stat st { };
        if (fstat(existing.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return Fail(Result::Failed, EEXIST,
                "cannot lock the device: " + file.string() + " is not a regular file");
        }
        const int holder = ReadLockPid(existing.Get());
        if (ProcessAlive(holder)) {
            m_HolderPid = holder;
            return Fail(Result::Held, EBUSY, "locked by process " + std::to_string(holder));
        }

        // Stale: its owner is gone. Programs replacing the same stale lock
        // take turns under flock of that file; each one checks again, under
        // the flock, that the name still holds this very file and that it
        // is still stale, and replaces it by an atomic rename. A program
        // that waited sees that the file was replaced and starts over.
        if (flock(existing.Get(), LOCK_EX) != 0) {
            const int error = errno;
            return Fail(
                Result::Failed, error, SystemErrorText("cannot lock " + file.string(), error));
        }
        struct stat now { };
        if (lstat(file.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev)
            continue;
        const int again = ReadLockPid(existing.Get());
        if (ProcessAlive(again))
            continue;
        if (rename(temp.c_str(), file.c_str()) != 0) {
            const int error = errno;
            return Fail(
                Result::Failed, error, SystemErrorText("cannot lock " + file.string(), error));
        }
        // The temporary name is gone with the rename; nothing to remove.
        return Result::Locked;
    }
    return Fail(Result::Failed, EBUSY, "cannot lock " + file.string() + ": it keeps changing");
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
