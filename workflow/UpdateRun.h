#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "link/RadioQueries.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/History.h"
#include "workflow/PortClaim.h"
#include "workflow/RunHost.h"
#include "workflow/UpdateHost.h"

class CommSession;
class IMessagePump;
class ISerialPortComponent;
class IWaitTimer;
class LinkTrace;
class RunRecorder;
namespace platform {
class ResourceSource;
}

// One update run, owned outside any window: the link session with its
// trace, the port tables and the claim of a port, the release's attribute
// record and what follows from it, the run flags and the work files. The
// window and the console job both drive it and only show what it reports
// through its host (IRunHost). The update sequences see it as their
// IUpdateHost.
class UpdateRun final : public IUpdateHost {
public:
    // Reads the attribute record from `resources` (may be null: an all-zero
    // record). `list` is the port list the ports are offered in; `host` shows
    // the run until another is set.
    UpdateRun(std::unique_ptr<platform::ResourceSource> resources, IRunHost& host, IPortList& list,
        ComPortSystem system = ComPortSystem::Platform());
    ~UpdateRun() override;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // Whoever shows the run from now on (the console job swaps in its console).
    void SetHost(IRunHost& host) { m_Host = &host; }
    IRunHost& Host() const { return *m_Host; }
    // What the session waits with: the window's message pump, its wait timer
    // (whose expiry the owner turns into Session().SetReceiveEnable(false))
    // and the serial-port component of the RS-485 fall-back (may be null).
    void SetLinkBindings(
        IMessagePump* pump, IWaitTimer* waitTimer, ISerialPortComponent* component);
    // Console use: the command line's port is used as it is, nothing is
    // scanned or claimed, and the view is left alone.
    void SetConsoleMode(bool consoleMode, int commandLinePort);

    // --- What the release says -------------------------------------------
    const TargetLabelTexts& Labels() const { return m_Labels; }
    UpgradeType Upgrade() const { return UpgradeTypeOf(*m_Attributes); }
    bool AppAndBootUpgrade() const { return m_AppAndBootUpgrade; }
    int CommandLinePort() const { return m_CommandLinePort; }
    // The program carries a release's firmware (the plain program does not).
    bool CarriesFirmware() const;

    PortClaim& Ports() { return *m_Ports; }
    const PortClaim& Ports() const { return *m_Ports; }
    LinkTrace& Trace() { return *m_Trace; }

    // --- Operations ------------------------------------------------------
    // The two update sequences; the caller releases the port afterwards.
    // Each records its outcome (LastRunSucceeded) and what it learnt of the
    // radio.
    void RunCombinedUpdate();
    void RunSelectedUpdate(bool bootChosen);
    // The last update went through (nothing to report to support).
    bool LastRunSucceeded() const { return m_LastRunSucceeded; }
    // Stop ended the last update run early (until its record is written).
    bool LastRunStopped() const;
    // The radio's boot version as the last update left it (major, minor),
    // when it wrote boot code.
    std::optional<std::pair<int, int>> RadioBootVersion() const { return m_RadioBootVersion; }
    // Appends the history record of the last update run, naming `trace` (the
    // line trace saved after it; empty for none). A history that cannot be
    // written is said on standard error and changes nothing else.
    void RecordHistory(const std::string& trace);
    // Stop pressed during an update: the run ends at its next stage, the
    // work files go.
    void Stop() { LeaveUpdateState(true); }
    void ScanComPorts() { m_Ports->ScanComPorts(); }
    void ReleasePort() { m_Ports->ReleasePort(); }
    // Reads the radio's 23-byte version record (the link already claimed
    // with versionMode); VersionInfoRead tells whether it was read.
    QueryResult ReadVersionInfo(uint8_t* record);
    // After a failed update: saves the line's recent traffic and returns the
    // file name (empty when nothing was saved).
    std::string SaveTraceAfterFailure() const;
    // The last process return code the run set; -1 before any.
    int ReturnCode() const { return m_ReturnCode; }

    // --- IUpdateHost -----------------------------------------------------
    CommSession& Session() override { return *m_Session; }
    const ResourceAttributes& Attributes() const override { return *m_Attributes; }
    uint8_t TargetModelCode() const override { return m_TargetModelCode; }
    bool ConsoleMode() const override { return m_ConsoleMode; }
    bool UpdateInProgress() const override { return m_UpdateInProgress; }
    bool UseBootTwo() const override { return m_UseBootTwo; }
    void SetUseBootTwo(bool value) override { m_UseBootTwo = value; }
    std::string LoaderFileName() const override { return m_LoaderFileName; }
    std::string CodeFileName() const override { return m_CodeFileName; }
    std::string ExecutableDirectory() const override;
    bool BootRadioButtonChecked() const override { return m_Host->BootRadioButtonChecked(); }
    void EnterUpdateState() override;
    void LeaveUpdateState(bool deleteWorkFiles) override;
    bool ClaimAndOpenPort(bool versionMode) override;
    bool ReleaseIsWhole(std::string& damaged) override;
    bool ExtractFirmwareSet(bool boot) override;
    void ShowStatusText(const std::string& text) override { m_Host->ShowStatusText(text); }
    void WriteConsoleText(const std::string& text) override { m_Host->WriteConsoleText(text); }
    void SetReturnCode(int value) override;
    IProgressBar& ProgressBar() override { return m_Host->ProgressBar(); }
    void StartTimedProgress(int intervalMs) override { m_Host->StartTimedProgress(intervalMs); }
    void StopTimedProgress() override { m_Host->StopTimedProgress(); }
    void FocusRetrieveButton() override { m_Host->FocusRetrieveButton(); }
    void ShowUpdateState(bool running, int port) override
    {
        m_Host->ShowUpdateState(running, port);
    }
    bool AskCodeplugPassword(std::string& entry) override
    {
        return m_Host->AskCodeplugPassword(entry);
    }
    void NoteCodeplugBackup(const std::string& name) override { m_BackupName = name; }
    void NoteRadioBootVersion(int major, int minor) override
    {
        m_RadioBootVersion = std::make_pair(major, minor);
    }
    std::string CodeplugBackupName() const override { return m_BackupName; }
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons buttons) override
    {
        return m_Host->ShowMessage(caption, text, icon, buttons);
    }
    platform::MessageAnswer ShowMessageWithDetail(const std::string& caption,
        const std::string& text, const std::string& detail, platform::MessageIcon icon) override
    {
        return m_Host->ShowMessageWithDetail(caption, text, detail, icon);
    }

private:
    // What the history record of a run knows before the run.
    history::Record HistorySkeleton() const;

    IRunHost* m_Host;
    std::unique_ptr<platform::ResourceSource> m_Resources;
    std::unique_ptr<ResourceAttributes> m_Attributes;
    TargetLabelTexts m_Labels;
    std::unique_ptr<LinkTrace> m_Trace;
    std::unique_ptr<CommSession> m_Session;
    std::unique_ptr<PortClaim> m_Ports;

    uint8_t m_TargetModelCode = 0;
    bool m_AppAndBootUpgrade = false;
    bool m_ConsoleMode = false;
    int m_CommandLinePort = 0;
    bool m_UpdateInProgress = false;
    bool m_UseBootTwo = false;
    std::string m_LoaderFileName;
    std::string m_CodeFileName;
    std::string m_BackupName;
    int m_ReturnCode = -1;
    bool m_LastRunSucceeded = false;
    std::optional<std::pair<int, int>> m_RadioBootVersion;
    std::unique_ptr<RunRecorder> m_Recorder; // of the last update run
};
