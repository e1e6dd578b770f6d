#pragma once

#include <cstdint>
#include <string>

#include "workflow/RunHost.h"

class CommSession;
struct ResourceAttributes;
struct RunNotes;

// What the update sequences, the target checks and the post-update sequence
// need from the run they belong to: the run's own state and operations, and
// (the IRunHost part, which the run passes on to whoever shows it) the texts,
// progress, message boxes and prompts. UpdateRun is the one the program uses
// (for the window and the console job alike); tests put fakes in.
class IUpdateHost : public IRunHost {
public:
    virtual ~IUpdateHost() = default;

    // --- State of the run -------------------------------------------------
    // The link session to the radio (open after a successful ClaimAndOpenPort).
    virtual CommSession& Session() = 0;
    // The attribute record of the embedded release (constant for the run).
    virtual const ResourceAttributes& Attributes() const = 0;
    // m_TargetModelCode: model code of the radio the release is meant for.
    virtual uint8_t TargetModelCode() const = 0;
    // m_ConsoleMode: the run is the console job (window hidden).
    virtual bool ConsoleMode() const = 0;
    // m_UpdateInProgress: set by EnterUpdateState, cleared by Stop and LeaveUpdateState.
    virtual bool UpdateInProgress() const = 0;
    // m_UseBootTwo: the next boot-set extraction takes the second boot set.
    virtual bool UseBootTwo() const = 0;
    virtual void SetUseBootTwo(bool value) = 0;
    // m_LoaderFileName / m_CodeFileName: merged work files, relative to the working directory.
    virtual std::string LoaderFileName() const = 0;
    virtual std::string CodeFileName() const = 0;
    // Directory of the executable, with a trailing separator (DSP page files).
    virtual std::string ExecutableDirectory() const = 0;

    // --- Operations of the run --------------------------------------------
    // Sets m_UpdateInProgress; in window use also locks the controls and shows the port in the
    // title.
    virtual void EnterUpdateState() = 0;
    // Clears m_UpdateInProgress and receive-enable, waits 50 ms, deletes the work files if asked,
    // unlocks the controls.
    virtual void LeaveUpdateState(bool deleteWorkFiles) = 0;
    // Claims the selected (or command-line) port and opens the session on it; false after its own
    // message.
    virtual bool ClaimAndOpenPort(bool versionMode) = 0;
    // Checks the embedded release whole (once per process); false with the
    // damaged part's name. Hosts without a release file have nothing to check.
    virtual bool ReleaseIsWhole(std::string& damaged)
    {
        (void)damaged;
        return true;
    }
    // Extracts the boot (or, with UseBootTwo, second boot) or application set into the two work
    // files.
    virtual bool ExtractFirmwareSet(bool boot) = 0;
    // The codeplug read out of the radio was saved under `name` (empty: none saved this run).
    virtual void NoteCodeplugBackup(const std::string& name) = 0;
    // The backup noted last in this run; empty when none.
    virtual std::string CodeplugBackupName() const = 0;
    // The radio's boot code is now `major`.`minor` (it was just written).
    virtual void NoteRadioBootVersion(int /*major*/, int /*minor*/) { }

    // --- History ----------------------------------------------------------
    // Where the checks and the carry-over note what they learn about the
    // radio for the run's history record; nullptr when nobody records.
    virtual RunNotes* Notes() { return nullptr; }
};

// A text for the user: written to the console in console use, put into the
// status label otherwise.
inline void ReportText(IUpdateHost& host, const std::string& text)
{
    if (host.ConsoleMode()) {
        host.WriteConsoleText(text);
    } else {
        host.ShowStatusText(text);
    }
}
