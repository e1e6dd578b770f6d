// Many programs competing for one port's lock file: free locks, held locks
// and stale locks (an owner that died holding it), thousands of times. At no
// moment may two of them believe they hold it.

#include "platform/PortLock.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Shared {
    std::atomic<int> holders;
    std::atomic<int> doubleHolds;
    std::atomic<int> acquired;
    std::atomic<int> staleLeft;
    std::atomic<int> failed;
    std::atomic<int> tries;
};

// A pid that belonged to a process which has ended.
int DeadPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<int>(child);
}

// Takes the lock `wins` times (giving up after many tries); three times in
// four it "dies" holding it.
void Compete(
    Shared& shared, const std::string& device, const fs::path& lockFile, int wins, unsigned seed)
{
    int won = 0;
    const std::string stale = std::to_string(DeadPid()) + "\n";
    const fs::path temp = lockFile.string() + ".dead" + std::to_string(getpid());
    for (int i = 0; i < 200000 && won < wins; ++i) {
        platform::PortLock lock;
        const auto result = lock.Acquire(device);
        shared.tries.fetch_add(1);
        if (result == platform::PortLock::Result::Failed
            || result == platform::PortLock::Result::NoLockDir) {
            shared.failed.fetch_add(1);
            continue;
        }
        if (result != platform::PortLock::Result::Locked)
            continue;
        if (shared.holders.fetch_add(1) != 0)
            shared.doubleHolds.fetch_add(1);
        shared.acquired.fetch_add(1);
        ++won;
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 16) % 4 != 0) {
            // Dies holding it: the lock file stays behind with a dead
            // owner, for the others to take over.
            testsupport::WriteFileText(temp, stale);
            shared.holders.fetch_sub(1);
            ::rename(temp.c_str(), lockFile.c_str());
            shared.staleLeft.fetch_add(1);
            lock.Release(); // the file is not ours any more: left alone
            continue;
        }
        shared.holders.fetch_sub(1);
        lock.Release();
    }
}

} // namespace

TEST(PortLockStress, NeverTwoHolders)
{
    testsupport::TempDir lockDir;
    platform::SetLockDirectoryForTesting(lockDir.Path());
    const std::string device = "/dev/ttyUSB9";
    const fs::path lockFile = lockDir / platform::LockFileName(device);

    void* memory
        = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* shared = new (memory) Shared {};

    constexpr int kProcesses = 8;
    constexpr int kWins = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Compete(*shared, device, lockFile, kWins, static_cast<unsigned>(p + 1));
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    EXPECT_EQ(shared->doubleHolds.load(), 0)
        << shared->acquired.load() << " locks taken in " << shared->tries.load() << " tries, "
        << shared->staleLeft.load() << " left stale";
    EXPECT_EQ(shared->failed.load(), 0);
    // The contest was real: every program won its rounds, thousands of
    // tries met a held lock, and most locks were taken over from a dead
    // owner.
    EXPECT_EQ(shared->acquired.load(), kProcesses * kWins);
    EXPECT_GT(shared->tries.load(), 2000) << "tries";
    EXPECT_GT(shared->staleLeft.load(), kProcesses * kWins / 2);
    platform::SetLockDirectoryForTesting({});
    munmap(memory, sizeof(Shared));
}

TEST(PortLock, FailsClosedWhenTheLockCannotBeTaken)
{
    testsupport::TempDir lockDir;
    platform::SetLockDirectoryForTesting(lockDir.Path());
    const std::string device = "/dev/ttyUSB8";
    const fs::path lockFile = lockDir / platform::LockFileName(device);

    // A folder in place of the lock file: nobody can lock the device, so
    // nobody may use it, root included.
    fs::create_directory(lockFile);
    platform::PortLock lock;
    EXPECT_EQ(lock.Acquire(device), platform::PortLock::Result::Failed);
    EXPECT_FALSE(lock.Held());
    EXPECT_NE(lock.Reason().find("not a regular file"), std::string::npos) << lock.Reason();
    std::string reason;
    EXPECT_FALSE(platform::LockUsable(device, &reason));
    EXPECT_NE(reason.find(lockFile.string()), std::string::npos) << reason;
    fs::remove(lockFile);
    EXPECT_TRUE(platform::LockUsable(device, &reason)) << reason;

    // A lock folder that cannot be written: a read-only filesystem where
    // the test may mount one (root), else a folder without write bits
    // (which binds every user but root).
    testsupport::TempDir readOnly;
    const bool mounted
        = ::mount("tmpfs", readOnly.Path().c_str(), "tmpfs", MS_RDONLY, "size=4k") == 0;
    if (mounted || ::geteuid() != 0) {
        if (!mounted)
            fs::permissions(readOnly.Path(), fs::perms::owner_read | fs::perms::owner_exec);
        platform::SetLockDirectoryForTesting(readOnly.Path());
        platform::PortLock blocked;
        EXPECT_EQ(blocked.Acquire(device), platform::PortLock::Result::Failed);
        EXPECT_NE(blocked.Reason().find(readOnly.Path().string()), std::string::npos)
            << blocked.Reason();
        EXPECT_FALSE(platform::LockUsable(device, &reason));
        if (mounted)
            ::umount2(readOnly.Path().c_str(), MNT_DETACH);
        else
            fs::permissions(readOnly.Path(), fs::perms::owner_all);
    }
    platform::SetLockDirectoryForTesting({});
    // Nothing is left behind in the lock folder.
    EXPECT_TRUE(fs::is_empty(lockDir.Path()));
}
