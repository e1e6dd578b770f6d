// The console job of a packed release carrying a codeplug across, as a
// batch file runs it. This one waits through the radio's real reset time
// (about 20 s), which the job cannot shorten.

#include "tests/codeplug_carry/CarryRig.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

#include <regex>

namespace fs = std::filesystem;
using carrytest::Bytes;
using testsupport::BinPath;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

TEST(CodeplugCarryJob, ConsoleJobCarries58To510AndKeepsTheBackup)
{
    TempDir releaseDir;
    const fs::path release = releaseDir / "Updater_4400_Release_6_10";
    // The demo images packed into a release for 4400 series-6 radios with
    // boot code 6.7.
    const fs::path& dir = releaseDir.Path();
    const std::string pack = BinPath("corvel-pack").string();
    ProcessResult made = RunProcess({ pack, "--demo-images", dir.string() });
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    made = RunProcess(
        { pack, "--base", BinPath("corvel-updater").string(), "--out", release.string(), "--family",
            "4400", "--series", "6", "--upgrade-type", "application-boot", "--platform-flag", "1",
            "--processor", "816", "--boot-version", "6.7", "--programming-app-version", "2.12.4",
            "--tuning-app-version", "3.0.17", "--app-loader", (dir / "app-loader.srec").string(),
            "--app-code", (dir / "app-code.srec").string(), "--boot-loader",
            (dir / "boot-loader.srec").string(), "--boot-code", (dir / "boot-code.srec").string() },
        {}, {}, std::chrono::minutes(2));
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;

    TempDir files;
    TempDir work;
    const Bytes codeplug = codeplugtest::TypicalCodeplug(8, 1, 1, 2).BuildWire();
    testsupport::WriteFileBytes(files / "radio.bin", codeplug);
    carrytest::SimulatedRadio radio({ "--boot-version", "6.7", "--format-version", "5.8",
        "--new-format-version", "5.10", "--restart-message", "0102", "--restart-delay", "50",
        "--serial", "001A2B3C4D5E6F70", "--codeplug", (files / "radio.bin").string(),
        "--codeplug-out", (files / "stored.bin").string(), "--exit-after-codeplug" });
    ASSERT_GT(radio.Port(), 0);

    const ProcessResult job
        = RunProcess({ release.string(), "/d", "/sp", std::to_string(radio.Port()), "/c" },
            { { "CORVEL_COM_DIR", radio.ComDir().string() }, { "DISPLAY", "" },
                { "WAYLAND_DISPLAY", "" } },
            {}, std::chrono::minutes(4), work.Path());
    EXPECT_EQ(job.exitCode, 0) << job.out << job.err;

    // The backup is the only file the job leaves in its working directory.
    const std::vector<fs::path> left = testsupport::FilesStartingWith(work.Path(), "");
    ASSERT_EQ(left.size(), 1u);
    const std::string name = left[0].filename().string();
    EXPECT_TRUE(
        std::regex_match(name, std::regex("Codeplug_001A2B3C4D5E6F70_[0-9]{8}T[0-9]{6}Z\\.bin")))
        << name;
    const std::string tail
        = "Resetting radio...Done.\nUploading codeplug...Done.\nSaving codeplug to " + name
        + "...Done.\nResetting radio and converting codeplug...Done.\nDownloading "
          "codeplug...Done.";
    ASSERT_GE(job.out.size(), tail.size());
    EXPECT_EQ(job.out.substr(job.out.size() - tail.size()), tail) << job.out;

    const Bytes expected = carrytest::ConvertWithTool(left[0], "5.10", files / "expected.bin");
    ASSERT_FALSE(expected.empty());
    ASSERT_TRUE(radio.WaitForExit(5000));
    const Bytes stored = ReadFileBytes(files / "stored.bin");
    ASSERT_GE(stored.size(), expected.size());
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(expected.size())),
        expected);
}

} // namespace
