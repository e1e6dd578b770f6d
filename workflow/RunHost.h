#pragma once

#include <string>

#include "platform/MessageBox.h"

class IProgressBar;

// Whoever shows an update run: the main window, or the console job's
// console. The run (UpdateRun) owns the session, the trace, the ports, the
// attribute record and the results; it reaches the user only through this:
// step texts, console lines, the progress bar, message boxes, the codeplug
// password prompt and the process return code.
class IRunHost : public platform::IMessageBoxes {
public:
    // Replaces the status text (the window's status label; the console job
    // has none to show).
    virtual void ShowStatusText(const std::string& text) = 0;
    // Writes text to the console unchanged (the console job only).
    virtual void WriteConsoleText(const std::string& text) = 0;
    // Stores the process return code (0 success, 1 boot code upgraded, 2
    // general error).
    virtual void SetReturnCode(int value) = 0;
    // The progress bar the engines move.
    virtual IProgressBar& ProgressBar() = 0;
    // Drives the progress bar by time (one step per interval), and stops it
    // with the bar full.
    virtual void StartTimedProgress(int intervalMs) = 0;
    virtual void StopTimedProgress() = 0;
    // An update began on COM`port` (running) or ended: the window locks or
    // unlocks its controls and shows the port in its title.
    virtual void ShowUpdateState(bool running, int port) = 0;
    // The user chose the boot code (the window's "Boot" radio button).
    virtual bool BootRadioButtonChecked() const = 0;
    // After the boot upgrade in window use: the window moves its keyboard
    // focus as it did while the radio was put back into bootload mode.
    virtual void FocusRetrieveButton() = 0;
    // The radio asks for its codeplug password. True with the trimmed entry
    // when one was given; false when the prompt was cancelled.
    virtual bool AskCodeplugPassword(std::string& entry) = 0;
};
