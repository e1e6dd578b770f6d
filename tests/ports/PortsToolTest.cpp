// corvel-ports run as a technician would run it, on a private port directory
// of pseudo-terminals: a free port, one locked by this process, a dangling
// entry and an entry that is no serial device.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/PortHolders.h"
#include "platform/PortLock.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using testing::EndsWith;
using testing::HasSubstr;
using testsupport::RunProcess;

namespace {

testsupport::ProcessResult RunPorts(const std::vector<std::string>& args, const fs::path& dir)
{
    std::vector<std::string> argv { testsupport::BinPath("corvel-ports").string() };
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, { { "CORVEL_COM_DIR", dir.string() } }, {}, std::chrono::seconds(30));
}

// The line of the report that starts with the port's label.
std::string LineOf(const std::string& text, const std::string& label)
{
    size_t at = text.rfind("\n" + label + " ");
    if (at == std::string::npos)
        return {};
    at += 1;
    return text.substr(at, text.find('\n', at) - at);
}

} // namespace

TEST(PortsTool, TextAndJsonNameEveryPortItsDeviceAndItsState)
{
    testsupport::TempDir dir;
    testsupport::PtyPair free, held;
    const fs::path ports = dir / "ports";
    fs::create_directory(ports);
    fs::create_symlink(free.SlavePath(), ports / "COM1");
    fs::create_symlink(held.SlavePath(), ports / "COM2");
    fs::create_symlink(dir / "nowhere", ports / "COM5");
    testsupport::WriteFileText(dir / "plain", "not a tty");
    fs::create_symlink(dir / "plain", ports / "COM7");
    const std::string self = std::to_string(getpid());
    const std::string selfName = platform::ProcessCommandName(getpid());
    platform::PortLock lock;
    ASSERT_EQ(lock.Acquire(held.SlavePath()), platform::PortLock::Result::Locked);

    auto r = RunPorts({}, ports);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string& out = r.out;
    EXPECT_TRUE(out.starts_with("Ports from CORVEL_COM_DIR=" + ports.string() + " ")) << out;
    EXPECT_THAT(LineOf(out, "COM1"), HasSubstr(" " + free.SlavePath() + " "));
    EXPECT_THAT(LineOf(out, "COM1"), EndsWith("  free"));
    EXPECT_THAT(LineOf(out, "COM2"), HasSubstr(" " + held.SlavePath() + " "));
    EXPECT_THAT(
        LineOf(out, "COM2"), EndsWith("  in use by process " + self + " (" + selfName + ")"));
    EXPECT_THAT(out, HasSubstr("\n    Close that program, or end it with: kill " + self + "\n"));
    EXPECT_THAT(LineOf(out, "COM5"), EndsWith("  broken entry"));
    EXPECT_THAT(out,
        HasSubstr("    Why: " + (ports / "COM5").string() + " points to "
            + (dir / "nowhere").string() + ", which does not exist.\n"));
    EXPECT_THAT(LineOf(out, "COM7"), HasSubstr((dir / "plain").string()));
    EXPECT_THAT(LineOf(out, "COM7"), EndsWith("  does not open"));
    EXPECT_THAT(out, HasSubstr("not a serial device"));
    // Nothing else is listed; absent numbers only with --all.
    EXPECT_EQ(LineOf(out, "COM3"), "");
    EXPECT_THAT(out, EndsWith("\n3 ports present, 1 free.\n"));

    // --all lists the absent numbers too (every one: the report suite).
    EXPECT_THAT(LineOf(RunPorts({ "--all" }, ports).out, "COM255"), EndsWith("  absent"));

    // JSON gives scripts the same facts (its shape is the report suite's).
    r = RunPorts({ "--json" }, ports);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"comDir\":\"" + ports.string() + "\",\"ports\":[\n")) << r.out;
    EXPECT_THAT(r.out,
        HasSubstr("\"status\":\"held\",\"adapter\":null,\"series\":null,\"holderPid\":" + self
            + ",\"holderName\":\"" + selfName + "\","));
    EXPECT_THAT(r.out, HasSubstr("\"path\":null,\"status\":\"broken-entry\","));
    EXPECT_THAT(r.out, HasSubstr("\"status\":\"error\""));
    EXPECT_THAT(RunPorts({ "--all", "--json" }, ports).out,
        HasSubstr("{\"port\":3,\"name\":\"COM3\",\"label\":\"COM3\",\"path\":null,\"status\":"
                  "\"absent\","));

    // The lock goes, the port is free: nothing is remembered between runs.
    lock.Release();
    r = RunPorts({}, ports);
    EXPECT_THAT(LineOf(r.out, "COM2"), EndsWith("  free"));
    EXPECT_THAT(r.out, EndsWith("\n3 ports present, 2 free.\n"));
}

TEST(PortsTool, EmptyOrMissingDirectoriesAndBadOptions)
{
    testsupport::TempDir dir;
    fs::create_directory(dir / "empty");
    auto r = RunPorts({}, dir / "empty");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out,
        EndsWith("\nNo ports present. Only the COM<n> entries of " + (dir / "empty").string()
            + " are ports.\n"));

    r = RunPorts({}, dir / "missing");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("which is not a directory"));
    r = RunPorts({ "--json" }, dir / "missing");
    EXPECT_EQ(r.out, "{\"comDir\":\"" + (dir / "missing").string() + "\",\"ports\":[\n]}\n");

    r = RunPorts({ "--jsn" }, dir.Path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("unknown option --jsn\nTry corvel-ports --help."));
}
