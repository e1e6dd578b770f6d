// The update sequences, target checks and restart handling against the
// simulated radio, through a host that records what the window would show.

#include "link/ModelTraits.h"
#include "tests/workflow/WorkflowRig.h"

#include "workflow/PostUpdate.h"
#include "workflow/TargetChecks.h"
#include "workflow/UpdateSequences.h"

#include <gtest/gtest.h>

using namespace workflowtest;
using testsupport::ReadFileBytes;

namespace {

constexpr int kPort = 7;
const std::string kExtracting = "\nExtracting embedded files......";
const std::string kForPortable = "This Corvel Code Updater is intended for a portable radio, and\n"
                                 "cannot be used with the connected mobile radio.";

// CheckBootForCombined's answer and the flags it raised, as one text.
std::string CombinedCheck(RecordingHost& host)
{
    bool major = false, comm = false, family = false;
    const bool needed = CheckBootForCombined(host, major, comm, family);
    return std::string(needed ? "needed" : "current") + (major ? " major" : "")
        + (comm ? " comm" : "") + (family ? " family" : "");
}

bool Extracted(const RecordingHost& host)
{
    return std::any_of(host.m_Events.begin(), host.m_Events.end(),
        [](const std::string& e) { return e.rfind("extract", 0) == 0; });
}

class Sequences : public SimTest {
protected:
    // A release, a radio with `options` on the port (none without options)
    // and a host for console or window use; `claim` opens the port first.
    struct Rig {
        Rig(Sequences& test, TestRelease r, const std::vector<std::string>& options,
            bool console = true, bool claim = false)
            : release(std::move(r))
            , radio(options.empty() ? nullptr : test.StartRadio(options, kPort))
            , host(release, console, kPort, test.m_Work.Path())
        {
            EXPECT_TRUE(!claim || host.ClaimAndOpenPort(false));
        }
        TestRelease release;
        std::unique_ptr<SimulatedRadio> radio;
        RecordingHost host;
    };
};

} // namespace

TEST_F(Sequences, CombinedConsoleRunWithCurrentBootCode)
{
    // 4400 series 6 release with boot 6.7; the radio already has 6.7.
    Rig r(*this, MakeRelease(0, 6, 3, 6, 7),
        { "--boot-version", "6.7", "--family", "portable", "--code-out",
            Out("code.bin").string() });
    RunCombinedUpdate(r.host);

    EXPECT_EQ(r.host.m_ReturnCode, 0);
    EXPECT_EQ(WithoutPercentLines(r.host.m_Console),
        kConsoleHead + kLoaderDone + kAppDone + "Resetting radio...Done.");
    EXPECT_EQ(
        r.host.m_Events, (std::vector<std::string> { "enter", "claim", "extract(app)", "leave" }));
    EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
    EXPECT_FALSE(r.host.m_UpdateInProgress);
    EXPECT_EQ(r.host.m_TimedProgress, std::vector<int>({ kRestartProgressMs }));
    EXPECT_TRUE(r.host.m_Boxes.empty());
    ExpectStoredData(ReadFileBytes(Out("code.bin")), r.release.appCode);
    // Nothing after the restart message: no identifier or codeplug request.
    const auto sent = r.radio->LoggedFrames(">>");
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent.back().substr(9, 5), "04 04");
    EXPECT_NE(sent.back().substr(9, 5), "04 1C");
}

TEST_F(Sequences, CombinedWindowBootUpgradeContinuesWithApplication)
{
    Rig r(*this, MakeRelease(0, 6, 3, 6, 7),
        { "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
            Out("boot.bin").string(), "--code-out", Out("code.bin").string() },
        false);
    RecordingHost& host = r.host;
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
    ExpectStoredData(ReadFileBytes(Out("boot.bin")), r.release.bootCode);
    ExpectStoredData(ReadFileBytes(Out("code.bin")), r.release.appCode);
    // After the box the radio is told 115200 again (09 00 05).
    EXPECT_TRUE(Contains(r.radio->LoggedFrames(">>"), "BA 7F 01 09 00 05 72 7E"));
}

TEST_F(Sequences, CombinedRefusesTheWrongRadio)
{
    // Console use: the text, return code 2, nothing extracted. No options:
    // no radio on the port at all, so the claim fails.
    struct Case {
        uint8_t family;
        std::vector<std::string> options;
        std::string console;
    };
    const Case cases[] = {
        { 0, { "--boot-version", "4.2" },
            kExtracting + "Error: the major boot versions of the radio and file are different." },
        { 0, { "--boot-version", "6.5", "--family", "mobile" }, kExtracting + kForPortable },
        { 1, { "--boot-version", "6.7", "--family", "portable" },
            kExtracting
                + "This Corvel Code Updater is intended for a mobile radio, and\n"
                  "cannot be used with the connected portable radio." },
        { 0, { "--boot-version", "6.7", "--silent", "boot" },
            kExtracting + "Communication error while trying to retrieve boot version." },
        { 0, {}, kExtracting + "Error." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.console);
        Rig r(*this, MakeRelease(c.family, 6, 3, 6, 7), c.options);
        RunCombinedUpdate(r.host);
        EXPECT_EQ(r.host.m_ReturnCode, 2);
        EXPECT_EQ(r.host.m_Console, c.console);
        EXPECT_TRUE(r.host.m_Boxes.empty());
        EXPECT_FALSE(Extracted(r.host));
        EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
    }
    // Window use: the same text in an error box.
    {
        Rig r(*this, MakeRelease(0, 6, 3, 6, 7), { "--boot-version", "6.5", "--family", "mobile" },
            false);
        RunCombinedUpdate(r.host);
        EXPECT_EQ(r.host.m_ReturnCode, 2);
        EXPECT_EQ(r.host.Status(), "Idle");
        ASSERT_EQ(r.host.m_Boxes.size(), 1u);
        EXPECT_EQ(r.host.m_Boxes[0].text, kForPortable);
        EXPECT_EQ(r.host.m_Boxes[0].icon, platform::MessageIcon::Error);
        EXPECT_FALSE(Extracted(r.host));
    }
    // The radio's series is not the release's: the series box, work files
    // removed, "\nError." on the console.
    Rig r(*this, MakeRelease(0, 6, 3, 4, 1), { "--boot-version", "4.1" });
    RunCombinedUpdate(r.host);
    EXPECT_EQ(r.host.m_ReturnCode, 2);
    EXPECT_EQ(r.host.m_Console,
        "\nExtracting embedded files......Done.\nChecking target radio......\nError.");
    ASSERT_EQ(r.host.m_Boxes.size(), 1u);
    EXPECT_EQ(r.host.m_Boxes[0].caption, "Corvel Code Updater");
    EXPECT_EQ(r.host.m_Boxes[0].text,
        "This version of Corvel Code Updater does not match the radio series.\n"
        "Radio requires a 4400_Series_4 version of Corvel Code Updater.");
    EXPECT_EQ(r.host.m_ProgressBar.Position(), 0);
    EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
}

TEST_F(Sequences, CombinedDownloadFailures)
{
    // A radio that vanishes in the middle of the application code: the
    // console ends "\nCOM error.".
    {
        Rig r(*this, MakeRelease(0, 6, 3, 6, 7),
            { "--boot-version", "6.7", "--close-after-block", "10" });
        RunCombinedUpdate(r.host);
        EXPECT_EQ(r.host.m_ReturnCode, 2);
        const std::string console = WithoutPercentLines(r.host.m_Console);
        EXPECT_EQ(console.substr(0, kConsoleHead.size()), kConsoleHead);
        ASSERT_GE(console.size(), 11u);
        EXPECT_EQ(console.substr(console.size() - 11), "\nCOM error.");
        EXPECT_EQ(console.find("Resetting radio"), std::string::npos);
        EXPECT_TRUE(r.host.m_TimedProgress.empty());
        EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
    }
    // Stop pressed during the download (window use): no restart handling,
    // return code 2, the engine's text stays.
    Rig r(*this, MakeRelease(0, 6, 3, 6, 7), { "--boot-version", "6.7" }, false);
    RecordingHost& host = r.host;
    host.m_ProgressBar.m_TriggerAt = 100;
    host.m_ProgressBar.m_Trigger = [&host] { host.PressStop(); };
    RunCombinedUpdate(host);
    EXPECT_EQ(host.m_ReturnCode, 2);
    EXPECT_EQ(host.Status(), "Code download timed out or canceled by user.");
    EXPECT_TRUE(host.m_TimedProgress.empty());
    EXPECT_TRUE(Contains(host.m_Events, "leave(delete)"));
    EXPECT_TRUE(host.LeftoverWorkFiles().empty());
    for (const std::string& frame : r.radio->LoggedFrames(">>")) {
        EXPECT_EQ(frame.find("04 04"), std::string::npos) << frame;
    }
}

TEST_F(Sequences, RestartWithControlHeadsOrWithout)
{
    // Three control-head messages, then silence.
    {
        Rig r(*this, MakeRelease(1, 6, 3, 6, 7),
            { "--family", "mobile", "--boot-version", "6.7", "--restart", "heads",
                "--control-heads", "0,0,0", "--head-interval", "300" });
        RunCombinedUpdate(r.host);
        EXPECT_EQ(r.host.m_ReturnCode, 0);
        const std::string console = WithoutPercentLines(r.host.m_Console);
        EXPECT_EQ(console.substr(console.find("Resetting")),
            "Resetting radio...Updating Pellar control head...Updating Pellar control "
            "head...Updating Pellar control head...Done.");
        EXPECT_EQ(r.host.m_TimedProgress,
            std::vector<int>({ kRestartProgressMs, kControlHeadProgressMs, kControlHeadProgressMs,
                kControlHeadProgressMs }));
        EXPECT_EQ(r.host.m_Session.WaitTime(), kControlHeadWaitMs);
        EXPECT_TRUE(r.host.m_Boxes.empty());
    }
    // Nothing after the restart: the codeplug path, which finds no answer
    // to the codeplug-information request.
    Rig r(*this, MakeRelease(0, 6, 3, 6, 7),
        { "--boot-version", "6.7", "--restart", "none", "--silent", "format" });
    RunCombinedUpdate(r.host);
    EXPECT_EQ(r.host.m_ReturnCode, 2);
    const std::string& console = r.host.m_Console;
    EXPECT_EQ(console.substr(console.find("Resetting")),
        "Resetting radio...The radio is no longer responding.");
}

TEST_F(Sequences, SelectedUpdateOfEachKind)
{
    // Application upgrade, normal restart.
    {
        Rig r(*this, MakeRelease(0, 6, 0, 6, 7),
            { "--boot-version", "6.7", "--code-out", Out("code.bin").string() }, false);
        RunSelectedUpdate(r.host, false);
        EXPECT_EQ(r.host.Status(), "Done.");
        EXPECT_EQ(r.host.m_Statuses.front(), "Extracting embedded files...");
        EXPECT_TRUE(Contains(r.host.m_Statuses, "Checking target radio..."));
        EXPECT_TRUE(Contains(r.host.m_Statuses, "Resetting radio..."));
        EXPECT_TRUE(r.host.m_Boxes.empty());
        EXPECT_EQ(r.host.m_Events.back(), "leave(delete)");
        EXPECT_EQ(r.host.m_ReturnCode, -1);
        EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
        ExpectStoredData(ReadFileBytes(Out("code.bin")), r.release.appCode);
    }
    // Boot upgrade chosen on an Application/Boot release: the boot set, and
    // never the restart handling.
    {
        TestRelease release = MakeRelease(0, 4, 3, 6, 7);
        release.attributes.SeriesNumber = 6;
        Rig r(*this, std::move(release),
            { "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
                Out("boot.bin").string() },
            false);
        r.host.m_BootRadioButton = true;
        RunSelectedUpdate(r.host, true);
        EXPECT_EQ(r.host.Status(), "Download finished.");
        EXPECT_TRUE(Contains(r.host.m_Events, "extract(boot)"));
        EXPECT_TRUE(r.host.m_TimedProgress.empty());
        EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
        ExpectStoredData(ReadFileBytes(Out("boot.bin")), r.release.bootCode);
    }
    // Boot upgrade chosen, boot code already current: nothing extracted.
    {
        Rig r(*this, MakeRelease(0, 6, 1, 6, 7), { "--boot-version", "6.7" }, false);
        RunSelectedUpdate(r.host, true);
        EXPECT_EQ(r.host.Status(), "The boot version is current and does not need to be upgraded.");
        EXPECT_EQ(r.host.m_Events, (std::vector<std::string> { "enter", "claim", "leave" }));
    }
    // The loader reports the other processor's flash type: 416 or 816 text.
    for (const int processor416 : { 1, 0 }) {
        TestRelease release = MakeRelease(1, 1, 0, 6, 7);
        release.attributes.PlatformFlag = 0; // target model code 1
        release.attributes.Processor416 = static_cast<uint8_t>(processor416);
        Rig r(*this, std::move(release),
            { "--family", "mobile", "--flash-type", processor416 != 0 ? "8" : "4" }, false);
        ASSERT_EQ(r.host.TargetModelCode(), 1);
        RunSelectedUpdate(r.host, false);
        ASSERT_EQ(r.host.m_Boxes.size(), 1u);
        EXPECT_EQ(
            r.host.m_Boxes[0].text, processor416 != 0 ? kTextProcessor416 : kTextProcessor816);
        EXPECT_EQ(r.host.m_Boxes[0].icon, platform::MessageIcon::Error);
        EXPECT_EQ(r.host.Status(), "Idle");
        EXPECT_EQ(r.host.m_ProgressBar.Position(), 0);
        EXPECT_TRUE(r.host.m_TimedProgress.empty());
        EXPECT_TRUE(r.host.LeftoverWorkFiles().empty());
    }
}

TEST_F(Sequences, TargetChecksAgainstTheRadio)
{
    // 4400 series 6 release (model code 0): a radio with newer boot code
    // (the current and older ones are the combined runs above), and one of
    // the series-4 hardware.
    for (const auto& [boot, targetOk, combined] :
        { std::tuple { "6.9", true, "needed" }, std::tuple { "4.2", false, "current major" } }) {
        SCOPED_TRACE(boot);
        Rig c(*this, MakeRelease(0, 6, 3, 6, 7), { "--boot-version", boot }, true, true);
        EXPECT_EQ(CombinedCheck(c.host), combined);
        EXPECT_FALSE(c.host.UseBootTwo());
        EXPECT_EQ(CheckTargetRadio(c.host), targetOk);
    }
    // A second boot set: the radio's major selects it.
    {
        TestRelease release = MakeRelease(0, 6, 3, 6, 7);
        release.attributes.BootTwoMajor = 7;
        release.attributes.BootTwoMinor = 2;
        Rig c(*this, std::move(release), { "--boot-version", "7.1" }, true, true);
        EXPECT_EQ(CombinedCheck(c.host), "needed");
        EXPECT_TRUE(c.host.UseBootTwo());
        EXPECT_TRUE(CheckBootVersion(c.host));
        EXPECT_TRUE(c.host.UseBootTwo());
    }
    // No second boot set (major 0) and a radio reporting major 0.
    {
        Rig c(*this, MakeRelease(0, 6, 3, 6, 7), { "--boot-version", "0.0" }, true, true);
        EXPECT_EQ(CombinedCheck(c.host), "current major");
        EXPECT_FALSE(c.host.UseBootTwo());
        EXPECT_FALSE(CheckBootVersion(c.host));
        EXPECT_EQ(c.host.Status(), kTextBootMajorMismatch);
    }
    // The radio does not answer the family request: the check passes and
    // the link works on.
    {
        Rig c(*this, MakeRelease(0, 6, 3, 6, 7), { "--boot-version", "6.3", "--silent", "family" },
            true, true);
        EXPECT_EQ(CombinedCheck(c.host), "needed");
        EXPECT_TRUE(c.host.Session().ReceiveEnabled());
        EXPECT_TRUE(CheckTargetRadio(c.host));
    }
    // Model code 4 (4400 series 5): the target check asks nothing, the
    // combined check does.
    {
        Rig c(*this, MakeRelease(0, 5, 3, 6, 7), { "--boot-version", "4.1" }, true, true);
        ASSERT_EQ(c.host.TargetModelCode(), 4);
        EXPECT_TRUE(CheckTargetRadio(c.host));
        EXPECT_TRUE(CheckBootVersion(c.host));
        const size_t before = c.radio->LoggedFrames(">>").size();
        EXPECT_EQ(CombinedCheck(c.host), "current major");
        EXPECT_GT(c.radio->LoggedFrames(">>").size(), before);
    }
    // Model code 8 and no boot information: tolerated by the target check,
    // a communication error for the combined check.
    {
        Rig c(*this, MakeRelease(1, 6, 3, 6, 7), { "--family", "mobile", "--silent", "boot" }, true,
            true);
        ASSERT_EQ(c.host.TargetModelCode(), 8);
        c.host.Session().SetReceiveEnable(true);
        EXPECT_TRUE(CheckTargetRadio(c.host));
        EXPECT_EQ(c.host.Status(), kTextNoBootInfo);
        c.host.Session().SetReceiveEnable(true);
        EXPECT_EQ(CombinedCheck(c.host), "current comm");
    }
    // Series 4 release (model code 6) accepts a radio with boot major 7.
    Rig c(*this, MakeRelease(0, 4, 3, 7, 0), { "--boot-version", "7.3" }, true, true);
    ASSERT_EQ(c.host.TargetModelCode(), 6);
    EXPECT_TRUE(CheckTargetRadio(c.host));
    EXPECT_TRUE(c.host.m_Boxes.empty());
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
}
