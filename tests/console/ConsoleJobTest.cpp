// The console job: its command line, texts and return codes on the built
// updater with a private port namespace of pseudo-terminals; and the packed
// demo release end to end against the simulated radio, as a technician's
// batch file sees it (console text, return code), with what the radio
// received and no work file left behind.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/PortLock.h"
#include "tests/workflow/WorkflowRig.h"
#include "tools/pack/DemoImages.h"
#include "workflow/PostUpdate.h"

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::PtyPair;
using testsupport::ReadFileBytes;
using testsupport::RunProcess;
using testsupport::TempDir;
using namespace workflowtest;

namespace {

const std::string kPressEnter = "\n\nPress <ENTER> to close.";
const std::string kInvalid = "Invalid command line options.\n";
const std::string kNeedPort = "Invalid command line options (Need COM Port option).\n";
const std::string kNeedValidPort
    = "Invalid command line options (Need valid/available COM Port number).\n";

// A small application release packed onto the built updater, once.
fs::path SmallRelease()
{
    static const TempDir dir;
    static const ProcessResult packed = PackImages(
        dir / "Updater", std::vector<uint8_t>(16, 0x5A), std::vector<uint8_t>(16, 0xA5));
    EXPECT_EQ(packed.exitCode, 0) << packed.out << packed.err;
    return dir / "Updater";
}

class ConsoleJob : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(m_Dir / "ports");
        fs::create_symlink(m_Pty.SlavePath(), m_Dir / "ports" / "COM7");
        fs::create_symlink(m_Dir / "nowhere", m_Dir / "ports" / "COM9"); // dangling
    }

    ProcessResult Run(const std::vector<std::string>& args,
        const fs::path& program = testsupport::BinPath("corvel-updater"))
    {
        std::vector<std::string> argv { program.string() };
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv,
            { { "CORVEL_COM_DIR", (m_Dir / "ports").string() }, { "DISPLAY", "" },
                { "WAYLAND_DISPLAY", "" }, { "QT_QPA_PLATFORM", "" } },
            "\n", std::chrono::seconds(60), m_Dir.Path());
    }

    TempDir m_Dir;
    PtyPair m_Pty;
};

TEST_F(ConsoleJob, HelpNamesTheExecutableAsItIsCalledAndWaitsForEnter)
{
    fs::path copy = m_Dir / "Updater_4400_Release_6_10";
    fs::copy_file(testsupport::BinPath("corvel-updater"), copy);
    auto r = Run({ "/?" }, copy);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string usage = "Usage: Updater_4400_Release_6_10\n\t"
                              "/?\t\t\t\t\t\t- Help\n"
                              "\t/d /sp PortNumber /c /m\t\t\t\t- Download code\n"
                              "\nThe /c option (close on finish) is not required and defaults "
                              "to \"No\"."
                              "\nThe /m option (minimize during run) is not required and "
                              "defaults to \"No\"."
                              "\nIf both options are specified, the /c option should be "
                              "specified first.\n"
                              "\nFor download, batch programs can use the return code to "
                              "determine the status:"
                              "\n\t0 = Success."
                              "\n\t1 = Bootloader code needed upgraded."
                              "\n\t2 = General error.";
    EXPECT_EQ(r.out, usage + kPressEnter);
}

TEST_F(ConsoleJob, CommandLineErrorsGiveTheirTextAndReturnCodeTwo)
{
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    const Case cases[] = {
        { { "/D", "/sp", "7" }, kInvalid }, { { "-d", "/sp", "7" }, kInvalid },
        { { "abc" }, kInvalid }, { { "/?x" }, kInvalid }, { { "/d" }, kNeedPort },
        { { "/d", "/SP", "7" }, kNeedPort }, { { "/d", "-sp", "7" }, kNeedPort },
        { { "/d", "/sp" }, kNeedValidPort }, { { "/d", "/sp", "abc" }, kNeedValidPort },
        { { "/d", "/sp", "256" }, kNeedValidPort }, { { "/d", "/sp", "0" }, kNeedValidPort },
        { { "/d", "/sp", "-1" }, kNeedValidPort }, { { "/d", "/sp", "7x" }, kNeedValidPort },
        { { "/d", "/sp", "99999999999" }, kNeedValidPort },
        { { "/d", "/sp", "5" }, kNeedValidPort }, // no COM5 entry
        { { "/d", "/sp", "9" }, kNeedValidPort }, // dangling link
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto r = Run(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, c.text + kPressEnter);
    }
}

TEST_F(ConsoleJob, APortHeldByAnotherProgramIsNotAvailable)
{
    auto target = fs::read_symlink(m_Dir / "ports" / "COM7").string();
    {
        platform::PortLock lock;
        ASSERT_EQ(lock.Acquire(target), platform::PortLock::Result::Locked);
        auto r = Run({ "/d", "/sp", "7" });
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, kNeedValidPort + kPressEnter);
    }
    // A lock that cannot be taken (a folder in its place): the same text,
    // and the reason on the next line.
    const fs::path lockFile = platform::LockDirectory() / platform::LockFileName(target);
    ASSERT_TRUE(fs::create_directory(lockFile));
    auto r = Run({ "/d", "/sp", "7" });
    fs::remove(lockFile);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out,
        kNeedValidPort + "cannot lock the port: the lock file " + lockFile.string()
            + " is not a regular file\n" + kPressEnter);
}

TEST_F(ConsoleJob, CloseOnFinishAndMinimiseFollowTheirPositions)
{
    // The port is valid but nothing answers on it: the update fails, and
    // what matters here is whether the job waits for Enter at its end.
    struct Case {
        std::vector<std::string> args;
        bool waits;
    };
    const Case cases[] = {
        { { "/d", "/sp", "7" }, true },
        { { "/d", "/sp", "7", "/c" }, false },
        { { "/d", "/sp", "7", "/c", "/m" }, false },
        { { "/d", "/sp", "7", "/m", "/c" }, true },
        { { "/d", "/sp", "7", "/x" }, true },
        { { "/d", "/sp", "7", "/x", "/c" }, true },
    };
    for (const auto& c : cases) {
        auto r = Run(c.args, SmallRelease());
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        const bool waited = r.out.size() >= kPressEnter.size()
            && r.out.compare(r.out.size() - kPressEnter.size(), kPressEnter.size(), kPressEnter)
                == 0;
        EXPECT_EQ(waited, c.waits) << c.args.back() << "\n" << r.out;
        EXPECT_NE(r.out.find("\nLine trace saved to Corvel_trace_"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Invalid command line"), std::string::npos);
    }
    // Every failed run left the line's traffic for support, and named it.
    int traces = 0;
    for (const auto& entry : fs::directory_iterator(m_Dir.Path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Corvel_trace_", 0) == 0) {
            ++traces;
            const std::string text = testsupport::ReadFileText(entry.path());
            EXPECT_NE(text.find(" >> BA 7F 01 04 2D"), std::string::npos) << text; // boot request
            EXPECT_NE(text.find(" -- time-out"), std::string::npos) << text;
        }
    }
    EXPECT_EQ(traces, 6);

    // The updater without a release behind it has nothing whole to write:
    // refused before the line, so no trace either.
    m_Pty.Read(1 << 20, std::chrono::milliseconds(200)); // what the runs above sent
    auto bare = Run({ "/d", "/sp", "7", "/c" });
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_EQ(bare.out, "\nThis release is damaged (resource archive trailer): obtain a new copy.");
    EXPECT_EQ(m_Pty.Read(1, std::chrono::milliseconds(100)).size(), 0u);
}

TEST(ConsoleEntry, WindowUseWithoutADisplayIsAClearError)
{
    auto r = RunProcess({ testsupport::BinPath("corvel-updater").string() },
        { { "DISPLAY", "" }, { "WAYLAND_DISPLAY", "" }, { "QT_QPA_PLATFORM", "" } });
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no display"), std::string::npos) << r.err;
}

// ---- The demo release against the simulated radio --------------------------

constexpr int kPort = 5;

// The data bytes of the S1/S2/S3 records of an image, in file order.
std::vector<uint8_t> ImageData(const pack::DemoImageShape& shape)
{
    std::vector<uint8_t> data;
    std::istringstream in(pack::MakeDemoImage(shape));
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') {
            continue;
        }
        const size_t first = 4 + 2 * static_cast<size_t>(line[1] - '0' + 1);
        const size_t checksum = 2 + 2 * std::stoul(line.substr(2, 2), nullptr, 16);
        for (size_t at = first; at < checksum && at + 2 <= line.size(); at += 2) {
            data.push_back(static_cast<uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
        }
    }
    return data;
}

// The demo release (4400 series 6, Application/Boot, boot code 6.7, 816
// processor), packed once for all tests.
class ConsoleRun : public SimTest {
protected:
    static const fs::path& Release()
    {
        static const TempDir dir;
        static const fs::path release = dir / "Updater_4400_Release_6_10";
        static const ProcessResult made = [] {
            EXPECT_TRUE(pack::WriteDemoImages(dir.Path().string(), nullptr));
            const auto image = [](const char* name) { return (dir / name).string(); };
            return PackRelease(release,
                { "--upgrade-type", "application-boot", "--app-loader", image("app-loader.srec"),
                    "--app-code", image("app-code.srec"), "--boot-loader",
                    image("boot-loader.srec"), "--boot-code", image("boot-code.srec") });
        }();
        EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
        return release;
    }

    // A job that did not fail leaves no line trace and does not name one.
    ProcessResult RunJob()
    {
        ProcessResult job = RunConsoleJob(
            Release(), kPort, m_ComDir.Path(), m_Work.Path(), std::chrono::minutes(4));
        EXPECT_EQ(job.out.find("Line trace"), std::string::npos) << job.out;
        return job;
    }
};

TEST_F(ConsoleRun, BootUpgradeEndsWithReturnCodeOne)
{
    auto radio = StartRadio({ "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
                                Out("boot.bin").string(), "--code-out", Out("code.bin").string(),
                                "--loader-out", Out("loader.bin").string() },
        kPort);

    const ProcessResult job = RunJob();
    EXPECT_EQ(job.exitCode, 1) << job.out << job.err;
    EXPECT_EQ(WithoutPercentLines(job.out), kConsoleHead + kLoaderDone + kBootDone);
    EXPECT_TRUE(std::filesystem::is_empty(m_Work.Path()));
    ExpectStoredData(ReadFileBytes(Out("boot.bin")), ImageData(pack::DemoBootCodeShape()));
    ExpectStoredData(ReadFileBytes(Out("loader.bin")), ImageData(pack::DemoBootLoaderShape()));
    // The application of the next run is not yet sent.
    EXPECT_FALSE(std::filesystem::exists(Out("code.bin")));
}

TEST_F(ConsoleRun, DuplicateControlHeadAddresses)
{
    // The box comes out on the console (no display) between the restart
    // text and the final text, and the job does not wait for the heads.
    auto radio = StartRadio(
        { "--boot-version", "6.7", "--restart", "heads", "--control-heads", "1,0" }, kPort);
    const ProcessResult job = RunJob();
    EXPECT_EQ(job.exitCode, 0) << job.out << job.err;
    EXPECT_EQ(WithoutPercentLines(job.out),
        kConsoleHead + kLoaderDone + kAppDone + "Resetting radio..."
            + "\nCorvel Code Updater: " + kTextDuplicateControlHeads + "\nDone.");
    EXPECT_TRUE(std::filesystem::is_empty(m_Work.Path()));
}

} // namespace
