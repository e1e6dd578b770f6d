// The console job of the packed demo release, end to end against the
// simulated radio: what a technician's batch file sees (console text, return
// code), what the radio received, and that no work file stays behind.

#include "tests/workflow/WorkflowRig.h"
#include "tools/pack/DemoImages.h"

#include "workflow/PostUpdate.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace workflowtest;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

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
class ConsoleJob : public SimTest {
protected:
    static const std::filesystem::path& Release()
    {
        static const TempDir dir;
        static const ProcessResult made = [] {
            ProcessResult r
                = testsupport::RunProcess({ testsupport::BinPath("corvel-pack").string(),
                    "--demo-images", dir.Path().string() });
            const auto image = [](const char* name) { return (dir / name).string(); };
            return r.exitCode != 0
                ? r
                : PackRelease(dir / "Updater_4400_Release_6_10",
                    { "--upgrade-type", "application-boot", "--app-loader",
                        image("app-loader.srec"), "--app-code", image("app-code.srec"),
                        "--boot-loader", image("boot-loader.srec"), "--boot-code",
                        image("boot-code.srec") });
        }();
        static const std::filesystem::path release = dir / "Updater_4400_Release_6_10";
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

} // namespace

TEST_F(ConsoleJob, BootUpgradeEndsWithReturnCodeOne)
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

TEST_F(ConsoleJob, DuplicateControlHeadAddresses)
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
