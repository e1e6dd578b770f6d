#pragma once

// What the sequence, console-job, fault, station and DSP suites share: a
// simulated radio in a child process, a host that records everything the
// sequences tell the window, small firmware releases held in memory or packed
// into an updater, and S-record images.

#include "link/CommSession.h"
#include "link/LinkCallbacks.h"
#include "link/SimpleEventLoop.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "tests/support/ScriptedLink.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/PortClaim.h"
#include "workflow/UpdateHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace workflowtest {

// An S-record image: S2 records (loader) or S3 records (code) of 16 data
// bytes after an "HDR" S0 record, CR LF line ends, the matching termination
// record.
std::string MakeImage(bool s3, uint32_t address, const std::vector<uint8_t>& data);
// Deterministic data bytes.
inline std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

// The console's texts of a run that went well.
inline const std::string kConsoleHead
    = "\nExtracting embedded files......Done.\nChecking target radio......Done.\n";
inline const std::string kLoaderDone = "\rDownloading Loader code...100% complete...Done.\n";
inline const std::string kAppDone = "\rDownloading Application code...100% complete...Done.\n";
inline const std::string kBootDone = "\rDownloading Bootloader code...100% complete...Done.\n";
// The console text without the running percentage lines (the finished
// lines of each stream stay).
inline std::string WithoutPercentLines(const std::string& console)
{
    static const std::regex running("\\rDownloading (Loader|Application|Bootloader) "
                                    "code\\.\\.\\.[0-9]+% complete(?!\\.\\.\\.Done)");
    return std::regex_replace(console, running, "");
}
// Data the radio stored: the image's bytes, then 0xFF padding of the last
// whole blocks.
inline void ExpectStoredData(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& image)
{
    ASSERT_GE(stored.size(), image.size());
    EXPECT_EQ(stored.size() % 128, 0u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + static_cast<long>(image.size()), stored.end(),
        [](uint8_t b) { return b == 0xFF; }));
}
inline bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A release held in memory: the firmware resources by name.
class MemoryResources : public platform::ResourceSource {
public:
    void Add(const std::string& name, const std::string& text);
    bool IsAvailable(std::string*) override { return true; }
    bool ReadResource(std::string_view name, std::string_view type, std::vector<std::uint8_t>& out,
        std::string* error) override;
    bool StreamResource(std::string_view name, std::string_view type,
        const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
        std::string* error) override;

private:
    std::map<std::string, std::string> m_Resources; // upper-case names
};

// A small release: one loader and one code chunk per set, the application
// code in two chunks. The data of each set is kept for comparison with what
// the radio received.
struct TestRelease {
    ResourceAttributes attributes;
    MemoryResources resources;
    std::vector<uint8_t> appCode;
    std::vector<uint8_t> bootCode;
};
// family 0 = 4400, 1 = 4600; boot version of the embedded boot set.
TestRelease MakeRelease(
    uint8_t family, uint8_t series, uint8_t upgradeType, uint8_t bootMajor, uint8_t bootMinor);

// corvel-packs an updater at `out` for a 4400 series 6 radio (platform flag
// 1, 816 processor, boot code 6.7) from the images named in `images`.
inline testsupport::ProcessResult PackRelease(
    const std::filesystem::path& out, const std::vector<std::string>& images)
{
    std::vector<std::string> args { testsupport::BinPath("corvel-pack").string(), "--base",
        testsupport::BinPath("corvel-updater").string(), "--out", out.string(), "--family", "4400",
        "--series", "6", "--platform-flag", "1", "--processor", "816", "--boot-version", "6.7",
        "--programming-app-version", "2.12.4", "--tuning-app-version", "3.0.17" };
    args.insert(args.end(), images.begin(), images.end());
    return testsupport::RunProcess(args, {}, {}, std::chrono::minutes(2));
}
// The same from images of the given data, written next to `out` as releases
// carry them (ending with an S9 record): an application release, or an
// application/boot one when boot code is given.
testsupport::ProcessResult PackImages(const std::filesystem::path& out,
    const std::vector<uint8_t>& loader, const std::vector<uint8_t>& code,
    const std::vector<uint8_t>& bootLoader = {}, const std::vector<uint8_t>& bootCode = {},
    std::vector<std::string> options = {});
// Runs a packed updater's console job "/d /sp <port> /c" in `workDir`
// without a display, so that message boxes come out on the console; `env`
// adds to its environment, `watch` follows its output.
inline testsupport::ProcessResult RunConsoleJob(const std::filesystem::path& updater, int port,
    const std::filesystem::path& comDir, const std::filesystem::path& workDir,
    std::chrono::milliseconds timeout, std::map<std::string, std::string> env = {},
    const testsupport::OutputWatch& watch = {})
{
    env.insert(
        { { "CORVEL_COM_DIR", comDir.string() }, { "DISPLAY", "" }, { "WAYLAND_DISPLAY", "" } });
    return testsupport::RunProcess({ updater.string(), "/d", "/sp", std::to_string(port), "/c" },
        env, {}, timeout, workDir, watch);
}

// corvel-radio-sim in a child process, published as COM<port> of `comDir`,
// keeping its log and standard error in `outDir`.
class SimulatedRadio {
public:
    SimulatedRadio(const std::filesystem::path& comDir, int port,
        const std::vector<std::string>& options, const std::filesystem::path& outDir);
    bool Ready() const { return m_Ready; }
    // Frames of the log in one direction (">>" PC to radio, "<<" radio to
    // PC), as hex text.
    std::vector<std::string> LoggedFrames(const std::string& direction) const;
    // Ends it (so that it writes its output files); its exit status.
    int Stop();

private:
    std::filesystem::path m_OutDir;
    testsupport::SimProcess m_Process;
    bool m_Ready = false;
    int m_Status = -1;
};

// One test's surroundings: a COM namespace (also set as CORVEL_COM_DIR for
// in-process use), a working directory and an output directory for the
// simulator's log and stored data.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("CORVEL_COM_DIR", m_ComDir.Path().c_str(), 1); }
    void TearDown() override { ::unsetenv("CORVEL_COM_DIR"); }
    std::unique_ptr<SimulatedRadio> StartRadio(const std::vector<std::string>& options, int port)
    {
        auto radio = std::make_unique<SimulatedRadio>(m_ComDir.Path(), port, options, m_Out.Path());
        EXPECT_TRUE(radio->Ready());
        return radio;
    }
    std::filesystem::path Out(const std::string& name) const { return m_Out / name; }

    testsupport::TempDir m_ComDir;
    testsupport::TempDir m_Work;
    testsupport::TempDir m_Out;
};

// A message box as the sequences showed it.
struct ShownBox {
    std::string caption;
    std::string text;
    platform::MessageIcon icon;
};

using testsupport::CappedWaitTimer;

struct RecordingProgressBar : IProgressBar {
    void SetMinimum(int value) override { m_Min = value; }
    void SetMaximum(int value) override { m_Max = value; }
    void SetPosition(int value) override
    {
        m_Position = value;
        // Runs once when the position first reaches m_TriggerAt (a Stop press).
        if (m_Trigger && value >= m_TriggerAt) {
            std::exchange(m_Trigger, nullptr)();
        }
    }
    int Minimum() const override { return m_Min; }
    int Maximum() const override { return m_Max; }
    int Position() const override { return m_Position; }

    int m_Min = 0;
    int m_Max = 100;
    int m_Position = 0;
    int m_TriggerAt = -1;
    std::function<void()> m_Trigger;
};

// The window as the sequences see it, recording everything they do.
class RecordingHost : public IUpdateHost {
public:
    // Console use on `port` when consoleMode, else window use with the port
    // list's item port - 1 selected.
    RecordingHost(
        TestRelease& release, bool consoleMode, int port, const std::filesystem::path& workDir);
    ~RecordingHost() override;

    CommSession& Session() override { return m_Session; }
    const ResourceAttributes& Attributes() const override { return m_Release.attributes; }
    uint8_t TargetModelCode() const override { return m_TargetModelCode; }
    bool ConsoleMode() const override { return m_ConsoleMode; }
    bool UpdateInProgress() const override { return m_UpdateInProgress; }
    bool UseBootTwo() const override { return m_UseBootTwo; }
    void SetUseBootTwo(bool value) override { m_UseBootTwo = value; }
    std::string LoaderFileName() const override { return WorkPath(m_LoaderFileName); }
    std::string CodeFileName() const override { return WorkPath(m_CodeFileName); }
    std::string ExecutableDirectory() const override { return m_WorkDir.string() + "/"; }
    bool BootRadioButtonChecked() const override { return m_BootRadioButton; }
    void EnterUpdateState() override;
    void LeaveUpdateState(bool deleteWorkFiles) override;
    bool ClaimAndOpenPort(bool versionMode) override;
    bool ExtractFirmwareSet(bool boot) override;
    void ShowStatusText(const std::string& text) override { m_Statuses.push_back(text); }
    void WriteConsoleText(const std::string& text) override { m_Console += text; }
    void SetReturnCode(int value) override { m_ReturnCode = value; }
    IProgressBar& ProgressBar() override { return m_ProgressBar; }
    void StartTimedProgress(int intervalMs) override { m_TimedProgress.push_back(intervalMs); }
    void StopTimedProgress() override { m_ProgressBar.SetPosition(100); }
    void FocusRetrieveButton() override { ++m_RetrieveFocused; }
    void ShowUpdateState(bool, int) override { }
    // No radio of these suites guards its codeplug.
    bool AskCodeplugPassword(std::string&) override { return false; }
    void NoteCodeplugBackup(const std::string& name) override { m_BackupName = name; }
    std::string CodeplugBackupName() const override { return m_BackupName; }
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons buttons) override;

    // The Stop button: what the window does when it is pressed mid-run.
    void PressStop();
    // The status label's caption now.
    std::string Status() const { return m_Statuses.empty() ? "" : m_Statuses.back(); }
    // Work files (merged or parts) left in the working directory.
    std::vector<std::string> LeftoverWorkFiles() const;

    TestRelease& m_Release;
    uint8_t m_TargetModelCode;
    bool m_ConsoleMode;
    bool m_UpdateInProgress = false;
    bool m_UseBootTwo = false;
    bool m_BootRadioButton = false;
    std::filesystem::path m_WorkDir;
    std::string m_LoaderFileName;
    std::string m_CodeFileName;

    CommSession m_Session;
    SimpleEventLoop m_Loop;
    SimpleWaitTimer m_CommTimer;
    CappedWaitTimer m_CappedTimer;
    RecordingProgressBar m_ProgressBar;

    class List : public IPortList {
    public:
        void SetItems(const std::vector<std::string>& items) override { m_Items = items; }
        int SelectedIndex() const override { return m_Selected; }
        void SetSelectedIndex(int index) override { m_Selected = index; }
        std::vector<std::string> m_Items;
        int m_Selected = -1;
    } m_List;
    PortClaim m_Ports;
    std::string m_BackupName;

    std::string m_Console;
    std::vector<std::string> m_Statuses;
    std::vector<ShownBox> m_Boxes;
    std::vector<int> m_TimedProgress;
    std::vector<std::string> m_Events; // enter / leave(delete) / claim / extract(boot) / box
    int m_ReturnCode = -1;
    int m_RetrieveFocused = 0;

private:
    std::string WorkPath(const std::string& name) const
    {
        return name.empty() ? "" : (m_WorkDir / name).string();
    }
};

} // namespace workflowtest
