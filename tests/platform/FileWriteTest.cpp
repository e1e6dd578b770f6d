#include "platform/FileWrite.h"
#include "platform/StopSignals.h"
#include "platform/UniqueFd.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ReadFileText;
using testsupport::WriteFileText;

namespace {

bool IsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(UniqueFd, ClosesOnceAndHandsOver)
{
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        platform::UniqueFd a(raw);
        platform::UniqueFd b(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(b.Get(), raw);
        platform::UniqueFd c;
        c = std::move(b);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));

    raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    platform::UniqueFd kept(raw);
    EXPECT_EQ(kept.Release(), raw);
    EXPECT_TRUE(IsOpen(raw));
    ::close(raw);
    EXPECT_TRUE(kept.Close()); // nothing held
}

TEST(CreateNumberedFile, SkipsEveryTakenNameAndFollowsNothing)
{
    testsupport::TempDir dir;
    WriteFileText(dir / "Loader.hex", "old");
    fs::create_symlink(dir / "elsewhere", dir / "Loader1.hex"); // dangling link
    fs::create_directory(dir / "Loader2.hex");
    const platform::UniqueFd dirFd(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
    auto nameFor = [](unsigned k) {
        return "Loader" + (k == 0 ? std::string() : std::to_string(k)) + ".hex";
    };

    platform::NewFile file = platform::CreateNumberedFile(dirFd.Get(), nameFor, 10);
    ASSERT_TRUE(file.fd) << file.error;
    EXPECT_EQ(file.name, "Loader3.hex");
    EXPECT_TRUE(platform::WriteAll(file.fd.Get(), "new", 3));
    EXPECT_EQ(ReadFileText(dir / "Loader.hex"), "old");
    EXPECT_FALSE(fs::exists(dir / "elsewhere")); // the link was not followed

    // Every name taken: EEXIST, nothing opened.
    platform::NewFile none = platform::CreateNumberedFile(dirFd.Get(), nameFor, 4);
    EXPECT_FALSE(none.fd);
    EXPECT_EQ(none.error, EEXIST);

    // Any other error ends the search at once.
    platform::NewFile missing = platform::CreateNumberedFile(
        dirFd.Get(), [](unsigned k) { return "no-such-folder/f" + std::to_string(k); }, 5);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(missing.name, "no-such-folder/f0");
}

TEST(AtomicFileWriter, ReplacesWholeOrNotAtAll)
{
    testsupport::TempDir dir;
    const std::string target = (dir / "plug.bin").string();
    WriteFileText(target, "original");
    ::chmod(target.c_str(), 0600);

    {
        platform::AtomicFileWriter writer;
        ASSERT_TRUE(writer.Open(target)) << writer.Error();
        ASSERT_TRUE(writer.Write("half", 4));
        // Until the commit the target is untouched; without one the
        // temporary file goes away again.
        EXPECT_EQ(ReadFileText(target), "original");
        EXPECT_EQ(Names(dir.Path()).size(), 2u);
    }
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string> { "plug.bin" });
    EXPECT_EQ(ReadFileText(target), "original");

    std::string error;
    ASSERT_TRUE(platform::WriteFileAtomically(target, "converted", 9, &error)) << error;
    EXPECT_EQ(ReadFileText(target), "converted");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write); // the old file's mode is kept
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string> { "plug.bin" });

    // A folder that cannot hold the temporary file: the message names the
    // target and the reason.
    EXPECT_FALSE(platform::WriteFileAtomically((dir / "missing/x.bin").string(), "x", 1, &error));
    EXPECT_NE(error.find("missing/x.bin"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST(AtomicFileWriter, FullFilesystemLeavesTheOriginal)
{
    testsupport::SmallFilesystem small(64 * 1024);
    const std::string target = (small / "Codeplug.bin").string();
    const std::string original(40 * 1024, 'o');
    WriteFileText(target, original);

    std::string error;
    const std::string bigger(48 * 1024, 'n');
    EXPECT_FALSE(platform::WriteFileAtomically(target, bigger.data(), bigger.size(), &error));
    EXPECT_NE(error.find(target), std::string::npos) << error;
    EXPECT_NE(error.find(small.Mounted() ? "No space left on device" : "File too large"),
        std::string::npos)
        << error;
    EXPECT_EQ(ReadFileText(target), original);
    EXPECT_EQ(Names(small.Path()), std::vector<std::string> { "Codeplug.bin" });
}

TEST(AtomicFileWriter, NumberedCommitNeverReplaces)
{
    testsupport::TempDir dir;
    WriteFileText(dir / "trace.log", "first");
    auto nameFor = [](unsigned k) {
        return "trace" + (k == 0 ? std::string() : "_" + std::to_string(k + 1)) + ".log";
    };
    platform::AtomicFileWriter writer;
    ASSERT_TRUE(writer.Open((dir / "trace.log").string()));
    ASSERT_TRUE(writer.Write("second", 6));
    ASSERT_TRUE(writer.CommitNumbered(nameFor, 3)) << writer.Error();
    EXPECT_EQ(writer.Path(), (dir / "trace_2.log").string());
    EXPECT_EQ(ReadFileText(dir / "trace.log"), "first");
    EXPECT_EQ(ReadFileText(dir / "trace_2.log"), "second");

    WriteFileText(dir / "trace_3.log", "third");
    platform::AtomicFileWriter full;
    ASSERT_TRUE(full.Open((dir / "trace.log").string()));
    EXPECT_FALSE(full.CommitNumbered(nameFor, 3));
    EXPECT_TRUE(full.NameTaken());
    EXPECT_EQ(Names(dir.Path()),
        (std::vector<std::string> { "trace.log", "trace_2.log", "trace_3.log" }));
}

TEST(StopSignals, ASignalBecomesAReadablePipeAndIsHandedBackAfterwards)
{
    {
        platform::StopSignals signals;
        ASSERT_TRUE(signals.Active());
        // Only one at a time.
        platform::StopSignals second;
        EXPECT_FALSE(second.Active());
        EXPECT_EQ(second.Fd(), -1);

        EXPECT_EQ(signals.Caught(), 0);
        pollfd entry { signals.Fd(), POLLIN, 0 };
        EXPECT_EQ(::poll(&entry, 1, 0), 0);
        // The process lives on: the signal is only noted.
        ASSERT_EQ(::raise(SIGTERM), 0);
        ASSERT_EQ(::raise(SIGHUP), 0);
        EXPECT_EQ(::poll(&entry, 1, 1000), 1);
        EXPECT_EQ(signals.Caught(), SIGTERM);
        EXPECT_EQ(signals.Drain(), SIGTERM);
        EXPECT_EQ(::poll(&entry, 1, 0), 0);
        EXPECT_STREQ(platform::StopSignalName(SIGHUP), "SIGHUP");
    }
    struct sigaction now { };
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    platform::StopSignals again;
    EXPECT_TRUE(again.Active());
    EXPECT_EQ(again.Caught(), 0);
}
