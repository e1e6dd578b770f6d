#pragma once

#include "platform/NonCopyable.h"
#include <filesystem>
#include <string>

namespace platform {

// UUCP-style lock files that serial programs on Linux honour: a file
// LCK..<device> in /run/lock (or /var/lock) holding the owner's pid as ten
// ASCII characters and a newline.

// Name of the lock file of a device path: "LCK.." + the path below /dev with
// every '/' replaced by '_' (/dev/ttyUSB0 -> LCK..ttyUSB0, /dev/pts/3 ->
// LCK..pts_3). Paths outside /dev use their last component.
std::string LockFileName(const std::string& devicePath);

// Folder that holds the lock files: /run/lock, else /var/lock; empty when
// neither exists.
std::filesystem::path LockDirectory();

// Replaces the lock folder for tests (empty restores the normal choice).
void SetLockDirectoryForTesting(const std::filesystem::path& dir);

// The pid of a live program that holds a lock on the device, or 0 when the
// device is not locked (no file, unreadable contents or a dead owner).
// The device path should be the resolved tty path.
int LockHolder(const std::string& devicePath);

// True when a lock on the device could be taken as far as the lock folder
// goes: the folder exists and may be written, and a lock file of that name,
// if there is one, is a regular file. Otherwise false, with the reason: the
// device is then unavailable (a lock that cannot be taken never lets a
// program use the line unguarded).
bool LockUsable(const std::string& devicePath, std::string* reason);

// A lock held by this process; released (file removed) on destruction.
class PortLock : private platform::NonCopyable {
public:
    PortLock() = default;
    ~PortLock();

    enum class Result {
        Locked, // the lock file is ours
        Held, // a live program holds it (HolderPid)
        NoLockDir, // no lock folder: the device must not be used
        Failed, // could not take it (Errno, Reason): the device must not be used
    };

    // Takes the lock on a device. A new lock is linked into place from a
    // file already holding the pid; a stale lock file (dead owner, or no
    // readable pid) is replaced by an atomic rename after a second check
    // under flock, so that at most one program ever holds the lock.
    Result Acquire(const std::string& devicePath);
    // Removes the lock file if this object holds it.
    void Release();

    bool Held() const { return !m_File.empty(); }
    int HolderPid() const { return m_HolderPid; }
    int Errno() const { return m_Errno; }
    const std::filesystem::path& File() const { return m_File; }
    // Why the lock was not taken (empty after Locked).
    const std::string& Reason() const { return m_Reason; }

private:
    Result Fail(Result result, int error, const std::string& reason);
    Result TakeOver(const std::filesystem::path& temp, const std::filesystem::path& file);

    std::filesystem::path m_File;
    int m_HolderPid = 0;
    int m_Errno = 0;
    std::string m_Reason;
};

} // namespace platform
