#pragma once

#include "workflow/CodeplugJobs.h"
#include "workflow/History.h"
#include "workflow/RunNotes.h"
#include "workflow/UpdateHost.h"

#include <chrono>
#include <string>

// Records one update run for the history. It stands between the update
// sequence and the owner of the run (the window, the console job): every call
// goes through to the owner unchanged, and on the way the recorder notes the
// step texts, the return code, how far the flash was written and whether the
// run was stopped. The checks and the carry-over add what they learn about the
// radio through Notes().
class RunRecorder final : public IUpdateHost {
public:
    // `skeleton` carries what the owner knows before the run: mode, port,
    // device, adapter and release.
    RunRecorder(IUpdateHost& owner, history::Record skeleton);

    // The finished record: `trace` is the failure trace written after the run
    // (empty for none), `backup` the codeplug backup it saved (empty for none).
    history::Record Finish(const std::string& trace, const std::string& backup);
    // Stop (or a signal acting as Stop) ended the run before its end.
    bool Stopped() const { return m_Facts.stopped; }

    // IUpdateHost
    CommSession& Session() override { return m_Owner.Session(); }
    const ResourceAttributes& Attributes() const override { return m_Owner.Attributes(); }
    uint8_t TargetModelCode() const override { return m_Owner.TargetModelCode(); }
    bool ConsoleMode() const override { return m_Owner.ConsoleMode(); }
    bool UpdateInProgress() const override { return m_Owner.UpdateInProgress(); }
    bool UseBootTwo() const override { return m_Owner.UseBootTwo(); }
    void SetUseBootTwo(bool value) override { m_Owner.SetUseBootTwo(value); }
    std::string LoaderFileName() const override { return m_Owner.LoaderFileName(); }
    std::string CodeFileName() const override { return m_Owner.CodeFileName(); }
    std::string ExecutableDirectory() const override { return m_Owner.ExecutableDirectory(); }
    void EnterUpdateState() override { m_Owner.EnterUpdateState(); }
    void LeaveUpdateState(bool deleteWorkFiles) override;
    bool ClaimAndOpenPort(bool versionMode) override
    {
        return m_Owner.ClaimAndOpenPort(versionMode);
    }
    bool ReleaseIsWhole(std::string& damaged) override { return m_Owner.ReleaseIsWhole(damaged); }
    bool ExtractFirmwareSet(bool boot) override;
    void NoteCodeplugBackup(const std::string& name) override { m_Owner.NoteCodeplugBackup(name); }
    std::string CodeplugBackupName() const override { return m_Owner.CodeplugBackupName(); }
    void NoteRadioBootVersion(int major, int minor) override
    {
        m_Owner.NoteRadioBootVersion(major, minor);
    }

    // IRunHost
    void ShowStatusText(const std::string& text) override;
    void WriteConsoleText(const std::string& text) override;
    void SetReturnCode(int value) override;
    IProgressBar& ProgressBar() override { return m_Owner.ProgressBar(); }
    void StartTimedProgress(int intervalMs) override { m_Owner.StartTimedProgress(intervalMs); }
    void StopTimedProgress() override { m_Owner.StopTimedProgress(); }
    void ShowUpdateState(bool running, int port) override
    {
        m_Owner.ShowUpdateState(running, port);
    }
    bool BootRadioButtonChecked() const override { return m_Owner.BootRadioButtonChecked(); }
    void FocusRetrieveButton() override { m_Owner.FocusRetrieveButton(); }
    bool AskCodeplugPassword(std::string& entry) override
    {
        return m_Owner.AskCodeplugPassword(entry);
    }
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons buttons) override
    {
        return m_Owner.ShowMessage(caption, text, icon, buttons);
    }
    RunNotes* Notes() override { return &m_Notes; }

private:
    void Step(const std::string& text);

    IUpdateHost& m_Owner;
    history::Record m_Record;
    RunNotes m_Notes;
    history::RunFacts m_Facts;
    bool m_ReturnCodeSet = false;
    bool m_BootSetExtracted = false;
    bool m_BootTwoExtracted = false;
    bool m_BootWritten = false;
    bool m_ApplicationWritten = false;
    std::string m_LastText;
    std::chrono::steady_clock::time_point m_Start;
};

// The release part of a record from the attribute record and the file name
// of the release.
history::Record::Release ReleaseOf(const ResourceAttributes& attributes, const std::string& name);

// The line part of a record: the COM number, its device and the USB adapter
// behind it (each left null when unknown).
void DescribePort(history::Record& record, int port);

// Records one codeplug read or write (corvel-codeplug, the window's restore)
// for the history, as RunRecorder does for an update: every call goes through
// to the owner unchanged, and the recorder notes the steps on the way.
class CodeplugJobRecorder final : public ICodeplugJobHost {
public:
    CodeplugJobRecorder(ICodeplugJobHost& owner, bool write, int port);

    // The record of the ended job: `report` is what the job said (a default
    // report when it was refused before it ran), `returnCode` the exit code,
    // `finalText` the result line as shown, `stopped` whether Stop or a signal
    // ended it.
    history::Record Finish(const CodeplugJobReport& report, int returnCode,
        const std::string& finalText, bool stopped) const;

    // ICodeplugJobHost
    void Step(const std::string& text) override;
    void Note(const std::string& text) override { m_Owner.Note(text); }
    void Progress(int32_t bytes, int32_t total) override { m_Owner.Progress(bytes, total); }
    bool AskPassword(std::string& entry) override { return m_Owner.AskPassword(entry); }
    bool Cancelled() override { return m_Owner.Cancelled(); }

private:
    ICodeplugJobHost& m_Owner;
    bool m_Write;
    history::Record m_Record;
    std::chrono::steady_clock::time_point m_Start;
};
