#pragma once

#include "tests/support/SimProcess.h"

// What the codeplug carry-over tests share: the simulated radio in a child
// process with its frame log, and a host that plays the window for the
// post-update sequence over a real link session to that radio.

#include "codeplug/CodeplugConvert.h"
#include "link/CommSession.h"
#include "link/SerialPortComponent.h"
#include "link/SimpleEventLoop.h"
#include "platform/MessageBox.h"
#include "tests/support/ScriptedLink.h"
#include "tests/support/TestSupport.h"
#include "workflow/UpdateHost.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace carrytest {

using Bytes = std::vector<uint8_t>;

// corvel-radio-sim in a child process, published in a COM folder of its own.
class SimulatedRadio {
public:
    explicit SimulatedRadio(const std::vector<std::string>& options);

    int Port() const { return m_Process.Port(); }
    const std::filesystem::path& ComDir() const { return m_Dir.Path(); }
    // True when the frame log shows a message starting with the two code
    // bytes going to the radio.
    bool Received(uint8_t command, uint8_t subCode) const;
    // Waits for the simulator to end by itself; false on time-out.
    bool WaitForExit(int timeoutMs)
    {
        return m_Process.WaitForExit(std::chrono::milliseconds(timeoutMs));
    }

private:
    testsupport::TempDir m_Dir;
    testsupport::SimProcess m_Process;
};

using testsupport::CappedWaitTimer;

// The window's serial-port component as far as the conversion wait goes: its
// tick delay returns at once and counts the ticks. The session keeps using
// the direct path for the line.
class TickCountingComponent : public ISerialPortComponent {
public:
    void SetPortNumber(int) override { }
    void SetRs485Mode(bool) override { }
    bool Rs485Mode() const override { return false; }
    int Open() override { return kErrorPortInUse; }
    void Close() override { }
    bool IsOpen() const override { return false; }
    void EmptyInputBuffer() override { }
    void EmptyOutputBuffer() override { }
    void SetBaudRate(int) override { }
    bool ByteReady() override { return false; }
    uint8_t GetByte() override { return 0; }
    int OutputFree() override { return kBufferSize; }
    int OutputUsed() override { return 0; }
    bool Cts() override { return false; }
    int WriteBlock(const uint8_t*, int) override { return -1; }
    int WaitHandle() const override { return -1; }
    void DelayTicks(int ticks) override
    {
        m_Delays.push_back(ticks);
        if (m_DuringDelay)
            m_DuringDelay();
    }

    std::vector<int> m_Delays;
    // Runs inside each delay (a Stop press during the wait).
    std::function<void()> m_DuringDelay;
};

struct ShownBox {
    std::string text;
    platform::MessageIcon icon;
};

// The window (or the console job) as the post-update sequence sees it,
// recording what it is told.
class CarryHost : public IUpdateHost {
public:
    explicit CarryHost(bool consoleMode, int waitCapMs = 1500);
    ~CarryHost() override;

    // Opens the session on the radio's port at 19200 bit/s, framed.
    bool Open(const SimulatedRadio& radio, std::string& error);
    // What the window's Stop button does.
    void PressStop();

    CommSession& Session() override { return m_Session; }
    const ResourceAttributes& Attributes() const override;
    uint8_t TargetModelCode() const override { return 2; }
    bool ConsoleMode() const override { return m_ConsoleMode; }
    bool UpdateInProgress() const override { return m_UpdateInProgress; }
    bool UseBootTwo() const override { return false; }
    void SetUseBootTwo(bool) override { }
    std::string LoaderFileName() const override { return "loader.srec"; }
    std::string CodeFileName() const override { return "code.srec"; }
    std::string ExecutableDirectory() const override { return "./"; }
    bool BootRadioButtonChecked() const override { return false; }
    void EnterUpdateState() override { m_UpdateInProgress = true; }
    void LeaveUpdateState(bool) override { m_UpdateInProgress = false; }
    bool ClaimAndOpenPort(bool) override { return true; }
    bool ExtractFirmwareSet(bool) override { return true; }
    void ShowStatusText(const std::string& text) override { m_Statuses.push_back(text); }
    void WriteConsoleText(const std::string& text) override { m_Console += text; }
    void SetReturnCode(int) override { }
    IProgressBar& ProgressBar() override { return m_ProgressBar; }
    void StartTimedProgress(int intervalMs) override { m_TimedProgress.push_back(intervalMs); }
    void StopTimedProgress() override { m_ProgressBar.SetPosition(100); }
    void FocusRetrieveButton() override { }
    void ShowUpdateState(bool, int) override { }
    bool AskCodeplugPassword(std::string& entry) override
    {
        return m_Password ? m_Password(entry) : false;
    }
    void NoteCodeplugBackup(const std::string& name) override { m_BackupName = name; }
    std::string CodeplugBackupName() const override { return m_BackupName; }
    platform::MessageAnswer ShowMessage(const std::string&, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons) override
    {
        m_Boxes.push_back({ text, icon });
        return platform::MessageAnswer::Ok;
    }

    bool m_ConsoleMode;
    bool m_UpdateInProgress = true;
    std::string m_Console;
    std::vector<std::string> m_Statuses;
    std::vector<int> m_TimedProgress;
    std::vector<ShownBox> m_Boxes;
    // The password prompt (none: cancelled) and the backup noted last.
    std::function<bool(std::string&)> m_Password;
    std::string m_BackupName;

    CommSession m_Session;
    SimpleEventLoop m_Loop;
    SimpleWaitTimer m_CommTimer;
    CappedWaitTimer m_CappedTimer;
    TickCountingComponent m_Component;

private:
    struct Bar : IProgressBar {
        int bounds[2] = { 0, 100 };
        int position = 0;
        void SetMinimum(int value) override { bounds[0] = value; }
        void SetMaximum(int value) override { bounds[1] = value; }
        void SetPosition(int value) override { position = value; }
        int Minimum() const override { return bounds[0]; }
        int Maximum() const override { return bounds[1]; }
        int Position() const override { return position; }
    } m_ProgressBar;
};

// The wire codeplug as the converters make it in format 5.`minor`; a
// different outcome than `expected` is a failure and gives nothing.
Bytes ConvertedTo(const Bytes& wire, int minor,
    CodeplugConvertOutcome expected = CodeplugConvertOutcome::Converted);

// Runs the codeplug converter program on a file: `corvel-codeplug convert`.
// Returns its output file's bytes (empty when it failed).
Bytes ConvertWithTool(const std::filesystem::path& input, const std::string& target,
    const std::filesystem::path& output);

} // namespace carrytest
