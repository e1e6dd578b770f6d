#pragma once

#include <cstdint>
#include <string>

class CommSession;
class IProgressBar;
struct ResourceAttributes;

// What the update sequences, the target checks and the post-update sequence
// need from the object that owns a run (the main window in the application, a
// fake in the tests). The workflow library knows the window only through this
// interface, so window use and the console job run the same sequence code.
class IUpdateHost {
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
    // State of m_BootRadioButton (checked = boot code chosen).
    virtual bool BootRadioButtonChecked() const = 0;

    // --- Operations of the window -----------------------------------------
    // Sets m_UpdateInProgress; in window use also locks the controls and shows the port in the
    // title.
    virtual void EnterUpdateState() = 0;
    // Clears m_UpdateInProgress and receive-enable, waits 50 ms, deletes the work files if asked,
    // unlocks the controls.
    virtual void LeaveUpdateState(bool deleteWorkFiles) = 0;
    // Claims the selected (or command-line) port and opens the session on it; false after its own
    // message.
    virtual bool ClaimAndOpenPort(bool versionMode) = 0;
    // Extracts the boot (or, with UseBootTwo, second boot) or application set into the two work
    // files.
    virtual bool ExtractFirmwareSet(bool boot) = 0;
    // Replaces the caption of m_StatusLabel.
    virtual void ShowStatusText(const std::string& text) = 0;
    // Writes text to the console output unchanged (console use only).
    virtual void WriteConsoleText(const std::string& text) = 0;
    // Stores the process return code (0 success, 1 boot code upgraded, 2 general error).
    virtual void SetReturnCode(int value) = 0;
    // m_ProgressBar, moved by the engines and by the sequences.
    virtual IProgressBar& ProgressBar() = 0;
    // Drives the progress bar by time: one step per tick of the given interval in ms.
    virtual void StartTimedProgress(int intervalMs) = 0;
    // Stops the time-driven progress and fills the bar.
    virtual void StopTimedProgress() = 0;
    // After the boot upgrade in window use: enable m_RetrieveVersionInfoButton, focus it, disable
    // it again.
    virtual void FocusRetrieveButton() = 0;
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
