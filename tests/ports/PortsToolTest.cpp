// corvel-ports run as a technician would run it, on a private port directory
// of pseudo-terminals: a free port, one locked by this process, a dangling
// entry and an entry that is no serial device.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/PortLock.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::PtyPair;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

class PortsTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Ports = m_Dir / "ports";
        fs::create_directory(m_Ports);
        fs::create_symlink(m_Free.SlavePath(), m_Ports / "COM1");
        fs::create_symlink(m_Held.SlavePath(), m_Ports / "COM2");
        fs::create_symlink(m_Dir / "nowhere", m_Ports / "COM5");
        testsupport::WriteFileText(m_Dir / "plain", "not a tty");
        fs::create_symlink(m_Dir / "plain", m_Ports / "COM7");
        m_Self = std::to_string(getpid());
        m_SelfName = testsupport::ReadFileText("/proc/self/comm");
        if (!m_SelfName.empty() && m_SelfName.back() == '\n')
            m_SelfName.pop_back();
    }

    testsupport::ProcessResult Run(const std::vector<std::string>& args, const fs::path& dir)
    {
        std::vector<std::string> argv { testsupport::BinPath("corvel-ports").string() };
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(
            argv, { { "CORVEL_COM_DIR", dir.string() } }, {}, std::chrono::seconds(30));
    }

    // The line of the report that starts with the port's label.
    static std::string LineOf(const std::string& text, const std::string& label)
    {
        size_t at = text.rfind("\n" + label + " ");
        if (at == std::string::npos)
            return {};
        at += 1;
        return text.substr(at, text.find('\n', at) - at);
    }

    TempDir m_Dir;
    fs::path m_Ports;
    PtyPair m_Free;
    PtyPair m_Held;
    std::string m_Self;
    std::string m_SelfName;
};

} // namespace

TEST_F(PortsTool, TextNamesEveryPortItsDeviceAndItsState)
{
    platform::PortLock lock;
    ASSERT_EQ(lock.Acquire(m_Held.SlavePath()), platform::PortLock::Result::Locked);

    auto r = Run({}, m_Ports);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string& out = r.out;
    EXPECT_EQ(out.rfind("Ports from CORVEL_COM_DIR=" + m_Ports.string() + " ", 0), 0u) << out;

    std::string line = LineOf(out, "COM1");
    EXPECT_NE(line.find(" " + m_Free.SlavePath() + " "), std::string::npos) << out;
    EXPECT_TRUE(line.ends_with("  free")) << out;

    line = LineOf(out, "COM2");
    EXPECT_NE(line.find(" " + m_Held.SlavePath() + " "), std::string::npos) << out;
    EXPECT_TRUE(line.ends_with("  in use by process " + m_Self + " (" + m_SelfName + ")")) << out;
    EXPECT_NE(out.find("\n    Close that program, or end it with: kill " + m_Self + "\n"),
        std::string::npos)
        << out;

    EXPECT_TRUE(LineOf(out, "COM5").ends_with("  broken entry")) << out;
    EXPECT_NE(out.find("    Why: " + (m_Ports / "COM5").string() + " points to "
                  + (m_Dir / "nowhere").string() + ", which does not exist.\n"),
        std::string::npos)
        << out;

    line = LineOf(out, "COM7");
    EXPECT_NE(line.find((m_Dir / "plain").string()), std::string::npos) << out;
    EXPECT_TRUE(line.ends_with("  does not open")) << out;
    EXPECT_NE(out.find("not a serial device"), std::string::npos) << out;

    // Nothing else is listed; absent numbers only with --all.
    EXPECT_EQ(LineOf(out, "COM3"), "") << out;
    EXPECT_TRUE(out.ends_with("\n3 ports present, 1 free.\n")) << out;

    auto all = Run({ "--all" }, m_Ports);
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_TRUE(LineOf(all.out, "COM3").ends_with("  absent")) << all.out;
    EXPECT_TRUE(LineOf(all.out, "COM255").ends_with("  absent")) << all.out;
    EXPECT_TRUE(LineOf(all.out, "COM1").ends_with("  free")) << all.out;
    EXPECT_TRUE(all.out.ends_with("\n3 ports present, 1 free.\n")) << all.out;

    // The lock goes, the port is free: nothing is remembered between runs.
    lock.Release();
    r = Run({}, m_Ports);
    EXPECT_TRUE(LineOf(r.out, "COM2").ends_with("  free")) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n3 ports present, 2 free.\n")) << r.out;
}

TEST_F(PortsTool, JsonGivesScriptsTheSameFacts)
{
    platform::PortLock lock;
    ASSERT_EQ(lock.Acquire(m_Held.SlavePath()), platform::PortLock::Result::Locked);

    auto r = Run({ "--json" }, m_Ports);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string expected = "{\"comDir\":\"" + m_Ports.string() + "\",\"ports\":[\n"
        + "{\"port\":1,\"name\":\"COM1\",\"label\":\"COM1\",\"path\":\"" + m_Free.SlavePath()
        + "\",\"status\":\"free\",\"adapter\":null,\"series\":null,\"holderPid\":null,"
          "\"holderName\":null,\"reason\":null,\"fix\":[]},\n"
        + "{\"port\":2,\"name\":\"COM2\",\"label\":\"COM2\",\"path\":\"" + m_Held.SlavePath()
        + "\",\"status\":\"held\",\"adapter\":null,\"series\":null,\"holderPid\":" + m_Self
        + ",\"holderName\":\"" + m_SelfName + "\",\"reason\":\"process " + m_Self + " ("
        + m_SelfName + ") has the port open\",\"fix\":[\"Close that program, or end it with: kill "
        + m_Self + "\"]},\n"
        + "{\"port\":5,\"name\":\"COM5\",\"label\":\"COM5\",\"path\":null,"
          "\"status\":\"broken-entry\",\"adapter\":null,\"series\":null,\"holderPid\":null,"
          "\"holderName\":null,\"reason\":\""
        + (m_Ports / "COM5").string() + " points to " + (m_Dir / "nowhere").string()
        + ", which does not exist\",\"fix\":[\"Remove the entry or point it at a serial "
          "device.\"]},\n"
        + "{\"port\":7,\"name\":\"COM7\",\"label\":\"COM7\",\"path\":\""
        + (m_Dir / "plain").string()
        + "\",\"status\":\"error\",\"adapter\":null,\"series\":null,\"holderPid\":null,"
          "\"holderName\":null,\"reason\":\""
        + (m_Dir / "plain").string() + " does not open: not a serial device\",\"fix\":[]}\n"
        + "]}\n";
    EXPECT_EQ(r.out, expected);

    auto all = Run({ "--all", "--json" }, m_Ports);
    size_t objects = 0;
    for (size_t at = all.out.find("{\"port\":"); at != std::string::npos;
         at = all.out.find("{\"port\":", at + 1))
        ++objects;
    EXPECT_EQ(objects, 255u);
    EXPECT_NE(all.out.find("{\"port\":3,\"name\":\"COM3\",\"label\":\"COM3\",\"path\":null,"
                           "\"status\":\"absent\","),
        std::string::npos);
}

TEST_F(PortsTool, EmptyOrMissingDirectoriesAndBadOptions)
{
    fs::create_directory(m_Dir / "empty");
    auto r = Run({}, m_Dir / "empty");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.ends_with("\nNo ports present. Only the COM<n> entries of "
        + (m_Dir / "empty").string() + " are ports.\n"))
        << r.out;

    r = Run({}, m_Dir / "missing");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("which is not a directory"), std::string::npos) << r.out;

    r = Run({ "--json" }, m_Dir / "missing");
    EXPECT_EQ(r.out, "{\"comDir\":\"" + (m_Dir / "missing").string() + "\",\"ports\":[\n]}\n");

    r = Run({ "--jsn" }, m_Ports);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("unknown option '--jsn'"), std::string::npos) << r.err;

    r = Run({ "--help" }, m_Ports);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: corvel-ports", 0), 0u) << r.out;
}
