// The update sequences, target checks and restart handling against the
// simulated radio, through a host that records what the window would show.

#include "tests/workflow/WorkflowRig.h"

#include "workflow/PostUpdate.h"
#include "workflow/TargetChecks.h"
#include "workflow/UpdateSequences.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

using namespace workflowtest;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

constexpr int kPort = 7;

const std::string kConsoleHead
    = "\nExtracting embedded files......Done.\nChecking target radio......Done.\n";
const std::string kLoaderDone = "\rDownloading Loader code...100% complete...Done.\n";
const std::string kAppDone = "\rDownloading Application code...100% complete...Done.\n";
const std::string kBootDone = "\rDownloading Bootloader code...100% complete...Done.\n";

// The console text without the running percentage lines (the finished
// lines of each stream stay).
std::string WithoutPercentLines(const std::string& console)
{
    static const std::regex running("\\rDownloading (Loader|Application|Bootloader) "
                                    "code\\.\\.\\.[0-9]+% complete(?!\\.\\.\\.Done)");
    return std::regex_replace(console, running, "");
}

// Data the radio stored: the image's bytes, then 0xFF padding of the last
// blocks.
void ExpectStoredData(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& image)
{
    ASSERT_GE(stored.size(), image.size());
    EXPECT_EQ(stored.size() % 128, 0u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + static_cast<long>(image.size()), stored.end(),
        [](uint8_t b) { return b == 0xFF; }));
}

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// One test's surroundings: a COM namespace, a working directory, the
// simulator's log and outputs.
class Sequences : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("CORVEL_COM_DIR");
        m_OldComDir = old != nullptr ? old : "";
        m_HadComDir = old != nullptr;
        ::setenv("CORVEL_COM_DIR", m_ComDir.Path().c_str(), 1);
    }
    void TearDown() override
    {
        if (m_HadComDir) {
            ::setenv("CORVEL_COM_DIR", m_OldComDir.c_str(), 1);
        } else {
            ::unsetenv("CORVEL_COM_DIR");
        }
    }
    std::unique_ptr<SimulatedRadio> StartRadio(std::vector<std::string> options)
    {
        auto radio = std::make_unique<SimulatedRadio>(
            m_ComDir.Path(), kPort, options, m_Out / "radio.log");
        EXPECT_TRUE(radio->Ready());
        return radio;
    }
    std::filesystem::path Out(const std::string& name) const { return m_Out / name; }

    TempDir m_ComDir;
    TempDir m_Work;
    TempDir m_OutDir;
    const std::filesystem::path& m_Out = m_OutDir.Path();
    std::string m_OldComDir;
    bool m_HadComDir = false;
};

} // namespace

TEST_F(Sequences, CombinedConsoleRunWithCurrentBootCode)
{
    // 4400 series 6 release with boot 6.7; the radio already has 6.7.
    TestRelease release = MakeRelease(0, 6, 3, 6, 7);
    auto radio = StartRadio({ "--boot-version", "6.7", "--family", "portable", "--code-out",
        Out("code.bin").string(), "--loader-out", Out("loader.bin").string() });
    RecordingHost host(release, true, kPort, m_Work.Path());
    RunCombinedUpdate(host);

    EXPECT_EQ(host.m_ReturnCode, 0);
    EXPECT_EQ(WithoutPercentLines(host.m_Console),
        kConsoleHead + kLoaderDone + kAppDone + "Resetting radio...Done.");
    EXPECT_EQ(
        host.m_Events, (std::vector<std::string> { "enter", "claim", "extract(app)", "leave" }));
    EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    EXPECT_FALSE(host.m_UpdateInProgress);
    EXPECT_EQ(host.m_TimedProgress, std::vector<int>({ kRestartProgressMs }));
    EXPECT_TRUE(host.m_Boxes.empty());
    ExpectStoredData(ReadFileBytes(Out("code.bin")), release.appCode);
    // Nothing after the restart message: no identifier or codeplug request.
    const auto sent = radio->LoggedFrames(">>");
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent.back().substr(9, 5), "04 04");
    EXPECT_NE(sent.back().substr(9, 5), "04 1C");
}

TEST_F(Sequences, CombinedConsoleBootUpgradeThenApplication)
{
    TestRelease release = MakeRelease(0, 6, 3, 6, 7);
    auto radio = StartRadio({ "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
        Out("boot.bin").string(), "--code-out", Out("code.bin").string() });
    {
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 1);
        EXPECT_EQ(WithoutPercentLines(host.m_Console), kConsoleHead + kLoaderDone + kBootDone);
        EXPECT_EQ(host.m_Events,
            (std::vector<std::string> { "enter", "claim", "extract(boot)", "leave" }));
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        EXPECT_TRUE(host.m_TimedProgress.empty());
        ExpectStoredData(ReadFileBytes(Out("boot.bin")), release.bootCode);
        EXPECT_FALSE(std::filesystem::exists(Out("code.bin")));
    }
    // The operator runs the job again: now the application.
    {
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 0);
        EXPECT_EQ(WithoutPercentLines(host.m_Console),
            kConsoleHead + kLoaderDone + kAppDone + "Resetting radio...Done.");
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        ExpectStoredData(ReadFileBytes(Out("code.bin")), release.appCode);
    }
}

TEST_F(Sequences, CombinedWindowBootUpgradeContinuesWithApplication)
{
    TestRelease release = MakeRelease(0, 6, 3, 6, 7);
    auto radio = StartRadio({ "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
        Out("boot.bin").string(), "--code-out", Out("code.bin").string() });
    RecordingHost host(release, false, kPort, m_Work.Path());
    RunCombinedUpdate(host);

    EXPECT_EQ(host.m_ReturnCode, 0);
    EXPECT_EQ(host.m_Console, "");
    EXPECT_EQ(host.m_Events,
        (std::vector<std::string> {
            "enter", "claim", "extract(boot)", "box", "extract(app)", "leave" }));
    ASSERT_EQ(host.m_Boxes.size(), 1u);
    EXPECT_EQ(host.m_Boxes[0].text, kTextBootUpgraded);
    EXPECT_EQ(host.m_Boxes[0].caption, "Corvel Code Updater");
    EXPECT_EQ(host.m_Boxes[0].icon, platform::MessageIcon::Information);
    EXPECT_EQ(host.m_RetrieveFocused, 1);
    EXPECT_EQ(host.Status(), "Done.");
    EXPECT_TRUE(Contains(host.m_Statuses, "Checking target radio..."));
    EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    ExpectStoredData(ReadFileBytes(Out("boot.bin")), release.bootCode);
    ExpectStoredData(ReadFileBytes(Out("code.bin")), release.appCode);
    // After the box the radio is told 115200 again (09 00 05).
    bool told = false;
    for (const std::string& frame : radio->LoggedFrames(">>")) {
        told = told || frame == "BA 7F 01 09 00 05 72 7E";
    }
    EXPECT_TRUE(told);
}

TEST_F(Sequences, CombinedRefusesTheWrongRadio)
{
    // Boot major differs from the release's: nothing extracted.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "4.2" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.m_Console,
            "\nExtracting embedded files......Error: the major boot versions "
            "of the radio and file are different.");
        EXPECT_EQ(host.m_Events, (std::vector<std::string> { "enter", "claim", "leave" }));
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    }
    // A mobile radio on a portable release, console and window.
    for (const bool console : { true, false }) {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.5", "--family", "mobile" });
        RecordingHost host(release, console, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        const std::string text = "This Corvel Code Updater is intended for a portable radio, and\n"
                                 "cannot be used with the connected mobile radio.";
        if (console) {
            EXPECT_EQ(host.m_Console, "\nExtracting embedded files......" + text);
            EXPECT_TRUE(host.m_Boxes.empty());
        } else {
            EXPECT_EQ(host.Status(), "Idle");
            ASSERT_EQ(host.m_Boxes.size(), 1u);
            EXPECT_EQ(host.m_Boxes[0].text, text);
            EXPECT_EQ(host.m_Boxes[0].icon, platform::MessageIcon::Error);
        }
        EXPECT_FALSE(Contains(host.m_Events, "extract(boot)"));
    }
    // A portable radio on a mobile release (4600 series 6, model code 8).
    {
        TestRelease release = MakeRelease(1, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7", "--family", "portable" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.m_Console,
            "\nExtracting embedded files......This Corvel Code Updater is intended for a "
            "mobile radio, and\ncannot be used with the connected portable radio.");
    }
    // A radio that does not answer the boot request.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7", "--silent", "boot" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.m_Console,
            "\nExtracting embedded files......Communication error while "
            "trying to retrieve boot version.");
    }
    // The radio's series is not the release's: the series box, work files
    // removed, "\nError." on the console.
    {
        TestRelease release = MakeRelease(0, 6, 3, 4, 1);
        auto radio = StartRadio({ "--boot-version", "4.1" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.m_Console,
            "\nExtracting embedded files......Done.\nChecking target "
            "radio......\nError.");
        ASSERT_EQ(host.m_Boxes.size(), 1u);
        EXPECT_EQ(host.m_Boxes[0].caption, "Corvel Code Updater");
        EXPECT_EQ(host.m_Boxes[0].text,
            "This version of Corvel Code Updater does not match the radio series.\n"
            "Radio requires a 4400_Series_4 version of Corvel Code Updater.");
        EXPECT_EQ(host.m_ProgressBar.Position(), 0);
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    }
    // No radio on the port at all: the claim fails.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.m_Console, "\nExtracting embedded files......Error.");
    }
}

TEST_F(Sequences, CombinedDownloadFailures)
{
    // Verify failure: the engine's text stays, the console ends "\nCOM error.".
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7", "--verify-fail", "2:00ABCDEF" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.Status(), "Flash Verify failed at address: 0x00ABCDEF");
        const std::string console = WithoutPercentLines(host.m_Console);
        EXPECT_EQ(console.substr(0, kConsoleHead.size()), kConsoleHead);
        EXPECT_EQ(console.substr(console.size() - 11), "\nCOM error.");
        EXPECT_EQ(console.find("Resetting radio"), std::string::npos);
        EXPECT_TRUE(host.m_TimedProgress.empty());
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    }
    // The radio vanishes in the middle of the application code.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7", "--close-after-block", "10" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        const std::string console = host.m_Console;
        EXPECT_EQ(console.substr(console.size() - 11), "\nCOM error.");
        EXPECT_TRUE(host.m_TimedProgress.empty());
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    }
    // Stop pressed during the download (window use): no restart handling,
    // return code 2, the engine's text stays.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7" });
        RecordingHost host(release, false, kPort, m_Work.Path());
        host.m_ProgressBar.OnPosition(100, [&host] { host.PressStop(); });
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        EXPECT_EQ(host.Status(), "Code download timed out or canceled by user.");
        EXPECT_TRUE(host.m_TimedProgress.empty());
        EXPECT_TRUE(Contains(host.m_Events, "leave(delete)"));
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        for (const std::string& frame : radio->LoggedFrames(">>")) {
            EXPECT_EQ(frame.find("04 04"), std::string::npos) << frame;
        }
    }
}

TEST_F(Sequences, RestartWithControlHeadsOrWithout)
{
    // Three control-head messages, then silence.
    {
        TestRelease release = MakeRelease(1, 6, 3, 6, 7);
        auto radio = StartRadio({ "--family", "mobile", "--boot-version", "6.7", "--restart",
            "heads", "--control-heads", "0,0,0", "--head-interval", "300" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 0);
        const std::string console = WithoutPercentLines(host.m_Console);
        EXPECT_EQ(console.substr(console.find("Resetting")),
            "Resetting radio...Updating Pellar control head...Updating Pellar control "
            "head...Updating Pellar control head...Done.");
        EXPECT_EQ(host.m_TimedProgress,
            std::vector<int>({ kRestartProgressMs, kControlHeadProgressMs, kControlHeadProgressMs,
                kControlHeadProgressMs }));
        EXPECT_EQ(host.m_Session.WaitTime(), kControlHeadWaitMs);
        EXPECT_TRUE(host.m_Boxes.empty());
    }
    // Two heads at the same address: the box, no waiting for the heads.
    {
        TestRelease release = MakeRelease(1, 6, 3, 6, 7);
        auto radio = StartRadio({ "--family", "mobile", "--boot-version", "6.7", "--restart",
            "heads", "--control-heads", "1,0" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 0);
        EXPECT_EQ(WithoutPercentLines(host.m_Console).substr(kConsoleHead.size()),
            kLoaderDone + kAppDone + "Resetting radio...Done.");
        ASSERT_EQ(host.m_Boxes.size(), 1u);
        EXPECT_EQ(host.m_Boxes[0].text, kTextDuplicateControlHeads);
        EXPECT_EQ(host.m_Boxes[0].icon, platform::MessageIcon::Error);
        EXPECT_EQ(host.m_TimedProgress, std::vector<int>({ kRestartProgressMs }));
    }
    // Nothing after the restart: the codeplug path, which finds no answer
    // to the codeplug-information request.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio
            = StartRadio({ "--boot-version", "6.7", "--restart", "none", "--silent", "format" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        RunCombinedUpdate(host);
        EXPECT_EQ(host.m_ReturnCode, 2);
        const std::string console = host.m_Console;
        EXPECT_EQ(console.substr(console.find("Resetting")),
            "Resetting radio...The radio is no longer responding.");
    }
}

TEST_F(Sequences, SelectedUpdateOfEachKind)
{
    // Application upgrade, normal restart.
    {
        TestRelease release = MakeRelease(0, 6, 0, 6, 7);
        auto radio
            = StartRadio({ "--boot-version", "6.7", "--code-out", Out("code.bin").string() });
        RecordingHost host(release, false, kPort, m_Work.Path());
        RunSelectedUpdate(host, false);
        EXPECT_EQ(host.Status(), "Done.");
        EXPECT_EQ(host.m_Statuses.front(), "Extracting embedded files...");
        EXPECT_TRUE(Contains(host.m_Statuses, "Checking target radio..."));
        EXPECT_TRUE(Contains(host.m_Statuses, "Resetting radio..."));
        EXPECT_TRUE(host.m_Boxes.empty());
        EXPECT_EQ(host.m_Events.back(), "leave(delete)");
        EXPECT_EQ(host.m_ReturnCode, -1);
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        ExpectStoredData(ReadFileBytes(Out("code.bin")), release.appCode);
    }
    // Boot upgrade chosen on an Application/Boot release: the boot set, and
    // never the restart handling.
    {
        TestRelease release = MakeRelease(0, 4, 3, 6, 7);
        release.attributes.SeriesNumber = 6;
        auto radio = StartRadio({ "--boot-version", "6.5", "--new-boot-version", "6.7",
            "--boot-out", Out("boot.bin").string() });
        RecordingHost host(release, false, kPort, m_Work.Path());
        host.m_BootRadioButton = true;
        RunSelectedUpdate(host, true);
        EXPECT_EQ(host.Status(), "Download finished.");
        EXPECT_TRUE(Contains(host.m_Events, "extract(boot)"));
        EXPECT_TRUE(host.m_TimedProgress.empty());
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        ExpectStoredData(ReadFileBytes(Out("boot.bin")), release.bootCode);
    }
    // Boot upgrade chosen, boot code already current: nothing extracted.
    {
        TestRelease release = MakeRelease(0, 6, 1, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.7" });
        RecordingHost host(release, false, kPort, m_Work.Path());
        RunSelectedUpdate(host, true);
        EXPECT_EQ(host.Status(), "The boot version is current and does not need to be upgraded.");
        EXPECT_EQ(host.m_Events, (std::vector<std::string> { "enter", "claim", "leave" }));
    }
    // The loader reports the other processor's flash type: 416 or 816 text.
    for (const int processor416 : { 1, 0 }) {
        TestRelease release = MakeRelease(1, 1, 0, 6, 7);
        release.attributes.PlatformFlag = 0; // target model code 1
        release.attributes.Processor416 = static_cast<uint8_t>(processor416);
        auto radio
            = StartRadio({ "--family", "mobile", "--flash-type", processor416 != 0 ? "8" : "4" });
        RecordingHost host(release, false, kPort, m_Work.Path());
        ASSERT_EQ(host.TargetModelCode(), 1);
        RunSelectedUpdate(host, false);
        ASSERT_EQ(host.m_Boxes.size(), 1u);
        EXPECT_EQ(host.m_Boxes[0].text, processor416 != 0 ? kTextProcessor416 : kTextProcessor816);
        EXPECT_EQ(host.m_Boxes[0].icon, platform::MessageIcon::Error);
        EXPECT_EQ(host.Status(), "Idle");
        EXPECT_EQ(host.m_ProgressBar.Position(), 0);
        EXPECT_TRUE(host.m_TimedProgress.empty());
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    }
}

TEST_F(Sequences, TargetChecksAgainstTheRadio)
{
    // 4400 series 6 release (model code 0) and radios of several boot versions.
    struct Case {
        const char* boot;
        bool targetOk;
        bool needsBoot;
        bool majorMismatch;
    };
    for (const Case& c : { Case { "6.7", true, false, false }, Case { "6.3", true, true, false },
             Case { "6.9", true, true, false }, Case { "4.2", false, false, true } }) {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", c.boot });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        bool major = false, comm = false, family = false;
        EXPECT_EQ(CheckBootForCombined(host, major, comm, family), c.needsBoot) << c.boot;
        EXPECT_EQ(major, c.majorMismatch) << c.boot;
        EXPECT_FALSE(comm || family) << c.boot;
        EXPECT_FALSE(host.UseBootTwo());
        EXPECT_EQ(CheckTargetRadio(host), c.targetOk) << c.boot;
        host.m_Ports.ReleasePort();
    }

    // A second boot set: the radio's major selects it.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        release.attributes.BootTwoMajor = 7;
        release.attributes.BootTwoMinor = 2;
        auto radio = StartRadio({ "--boot-version", "7.1" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        bool major = false, comm = false, family = false;
        EXPECT_TRUE(CheckBootForCombined(host, major, comm, family));
        EXPECT_TRUE(host.UseBootTwo());
        EXPECT_TRUE(CheckBootVersion(host));
        EXPECT_TRUE(host.UseBootTwo());
    }
    // No second boot set (major 0) and a radio reporting major 0.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "0.0" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        bool major = false, comm = false, family = false;
        EXPECT_FALSE(CheckBootForCombined(host, major, comm, family));
        EXPECT_TRUE(major);
        EXPECT_FALSE(host.UseBootTwo());
        EXPECT_FALSE(CheckBootVersion(host));
        EXPECT_EQ(host.Status(), kTextBootMajorMismatch);
    }
    // The radio does not answer the family request: the check passes and
    // the link works on.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "6.3", "--silent", "family" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        bool major = false, comm = false, family = false;
        EXPECT_TRUE(CheckBootForCombined(host, major, comm, family));
        EXPECT_FALSE(major || comm || family);
        EXPECT_TRUE(host.Session().ReceiveEnabled());
        EXPECT_TRUE(CheckTargetRadio(host));
    }
    // Model code 4 (4400 series 5): the target check asks nothing, the
    // combined check does.
    {
        TestRelease release = MakeRelease(0, 5, 3, 6, 7);
        auto radio = StartRadio({ "--boot-version", "4.1" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_EQ(host.TargetModelCode(), 4);
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        EXPECT_TRUE(CheckTargetRadio(host));
        EXPECT_TRUE(CheckBootVersion(host));
        const size_t before = radio->LoggedFrames(">>").size();
        bool major = false, comm = false, family = false;
        CheckBootForCombined(host, major, comm, family);
        EXPECT_TRUE(major);
        EXPECT_GT(radio->LoggedFrames(">>").size(), before);
    }
    // Model code 8 and no boot information: tolerated by the target check,
    // a communication error for the combined check.
    {
        TestRelease release = MakeRelease(1, 6, 3, 6, 7);
        auto radio = StartRadio({ "--family", "mobile", "--silent", "boot" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_EQ(host.TargetModelCode(), 8);
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        host.Session().SetReceiveEnable(true);
        EXPECT_TRUE(CheckTargetRadio(host));
        EXPECT_EQ(host.Status(), kTextNoBootInfo);
        host.Session().SetReceiveEnable(true);
        bool major = false, comm = false, family = false;
        EXPECT_FALSE(CheckBootForCombined(host, major, comm, family));
        EXPECT_TRUE(comm);
    }
    // Series 4 release (model code 6) accepts a radio with boot major 7.
    {
        TestRelease release = MakeRelease(0, 4, 3, 7, 0);
        auto radio = StartRadio({ "--boot-version", "7.3" });
        RecordingHost host(release, true, kPort, m_Work.Path());
        ASSERT_EQ(host.TargetModelCode(), 6);
        ASSERT_TRUE(host.ClaimAndOpenPort(false));
        EXPECT_TRUE(CheckTargetRadio(host));
        EXPECT_TRUE(host.m_Boxes.empty());
    }
}

TEST(RadioModelCode, BoundariesOfTheFamilies)
{
    // 4400: majors 4 and 7 are the series-4 hardware.
    EXPECT_EQ(RadioModelCodeOf(0, 4, 0), 6);
    EXPECT_EQ(RadioModelCodeOf(0, 7, 9), 6);
    EXPECT_EQ(RadioModelCodeOf(0, 6, 200), 0);
    EXPECT_EQ(RadioModelCodeOf(0, 5, 0), 4);
    // 4600: boot 1.8 is still the old platform, 1.9 the new one.
    EXPECT_EQ(RadioModelCodeOf(1, 1, 8), 1);
    EXPECT_EQ(RadioModelCodeOf(1, 1, 9), 5);
    EXPECT_EQ(RadioModelCodeOf(1, 0, 255), 1);
    EXPECT_EQ(RadioModelCodeOf(1, 4, 0), 7);
    EXPECT_EQ(RadioModelCodeOf(1, 6, 0), 8);
    EXPECT_EQ(RadioModelCodeOf(1, 255, 0), 5);
    // Every connected radio maps to a code a release can have.
    for (int family = 0; family < 2; ++family) {
        for (int major = 0; major < 256; ++major) {
            const uint8_t code
                = RadioModelCodeOf(static_cast<uint8_t>(family), static_cast<uint8_t>(major), 0);
            EXPECT_TRUE(family == 0 ? (code == 0 || code == 4 || code == 6)
                                    : (code == 1 || code == 5 || code == 7 || code == 8))
                << family << " " << major;
        }
    }
}
