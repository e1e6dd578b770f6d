// The console job: command-line checks, the console and its texts. It runs
// inside the main window's construction, before any message loop.

#include "app/TCodeUpdaterMainDispForm.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>

#include <memory>

#include "app/TAppReturnCodeDispForm.h"
#include "link/LinkCallbacks.h"
#include "platform/ComNamespace.h"
#include "platform/ExecutablePath.h"
#include "platform/StopSignals.h"
#include "workflow/ConsoleCommandLine.h"
#include "workflow/ProductTitle.h"
#include "workflow/UpdateRun.h"

namespace {

const char kPressEnter[] = "\n\nPress <ENTER> to close.";

// The engines move a progress bar; the console job shows none.
class UnshownProgressBar : public IProgressBar {
public:
    void SetMinimum(int value) override { m_Min = value; }
    void SetMaximum(int value) override { m_Max = value; }
    void SetPosition(int value) override { m_Position = value; }
    int Minimum() const override { return m_Min; }
    int Maximum() const override { return m_Max; }
    int Position() const override { return m_Position; }

private:
    int m_Min = 0;
    int m_Max = 100;
    int m_Position = 0;
};

} // namespace

// The console job's view of the run: its progress goes to the console, the
// process return code to the holder; message boxes still appear (on a
// headless station they are written to the console), and the codeplug
// password is asked for on the console when there is no display. Nothing of
// the window is touched.
class ConsoleRunHost : public IRunHost {
public:
    explicit ConsoleRunHost(TCodeUpdaterMainDispForm& window)
        : m_Window(window)
    {
    }
    void ShowStatusText(const std::string&) override { }
    void WriteConsoleText(const std::string& text) override
    {
        m_Window.WriteConsoleText(m_Window.m_ConsoleOutput, text);
    }
    void SetReturnCode(int value) override { AppReturnCodeDispForm->SetReturnCode(value); }
    IProgressBar& ProgressBar() override { return m_Bar; }
    void StartTimedProgress(int) override { }
    void StopTimedProgress() override { m_Bar.SetPosition(100); }
    void ShowUpdateState(bool, int) override { }
    bool BootRadioButtonChecked() const override { return false; }
    void FocusRetrieveButton() override { }
    bool AskCodeplugPassword(std::string& entry) override
    {
        return m_Window.AskConsolePassword(entry);
    }
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons buttons) override
    {
        return m_Window.ShowMessage(caption, text, icon, buttons);
    }

private:
    TCodeUpdaterMainDispForm& m_Window;
    UnshownProgressBar m_Bar;
};

bool TCodeUpdaterMainDispForm::OpenConsole(const std::string& title)
{
    if (!m_Console.Open(title))
        return false;
    m_ConsoleInput = m_Console.InputHandle();
    m_ConsoleOutput = m_Console.OutputHandle();
    return true;
}

bool TCodeUpdaterMainDispForm::WriteConsoleText(int handle, const std::string& text)
{
    if (handle < 0 || handle != m_ConsoleOutput)
        return false;
    return m_Console.Write(text);
}

bool TCodeUpdaterMainDispForm::WaitForEnter(int handle)
{
    if (handle < 0 || handle != m_ConsoleInput)
        return false;
    return m_Console.WaitForEnter();
}

int TCodeUpdaterMainDispForm::RunConsoleUpdate(int port)
{
    // The job runs on the window's run, shown on the console instead.
    ConsoleRunHost console(*this);
    m_Run->SetHost(console);
    m_Run->SetConsoleMode(true, port);
    int stoppedBy = 0;
    {
        // SIGTERM, SIGINT and SIGHUP act as Stop: the running step ends at
        // its next wait, the work files go, the trace is written and the
        // port released.
        platform::StopSignals stopSignals;
        std::unique_ptr<QSocketNotifier> stopNotifier;
        if (stopSignals.Active()) {
            stopNotifier
                = std::make_unique<QSocketNotifier>(stopSignals.Fd(), QSocketNotifier::Read);
            connect(stopNotifier.get(), &QSocketNotifier::activated, this, [this, &stopSignals] {
                stopSignals.Drain();
                if (m_Run->UpdateInProgress())
                    m_Run->Stop();
            });
        }
        m_Run->RunCombinedUpdate();
        m_Run->ReleasePort();
        stoppedBy = stopSignals.Drain();
    }
    // A signal that came once the run had ended by itself stopped nothing:
    // the run's result stands, as its history record says; the job only
    // skips the wait for Enter.
    if (stoppedBy != 0 && m_Run->LastRunStopped()) {
        AppReturnCodeDispForm->SetReturnCode(2);
        WriteConsoleText(m_ConsoleOutput,
            std::string("\nStopped by ") + platform::StopSignalName(stoppedBy) + ".");
    }
    std::string trace;
    if (AppReturnCodeDispForm->ReturnCode() == 2) {
        trace = m_Run->SaveTraceAfterFailure();
        if (!trace.empty())
            WriteConsoleText(m_ConsoleOutput, "\nLine trace saved to " + trace + ".");
    }
    m_Run->RecordHistory(trace);
    m_Run->SetHost(*this);
    return stoppedBy;
}

bool TCodeUpdaterMainDispForm::CloseConsole()
{
    m_ConsoleInput = m_ConsoleOutput = -1;
    return m_Console.Close();
}

std::string TCodeUpdaterMainDispForm::UsageText() const
{
    std::string text = "Usage: ";
    text += platform::ExecutableFileName();
    text += "\n\t";
    text += "/?\t\t\t\t\t\t- Help\n";
    text += "\t/d /sp PortNumber /c /m\t\t\t\t- Download code\n";
    text += "\nThe /c option (close on finish) is not required and defaults to \"No\".";
    text += "\nThe /m option (minimize during run) is not required and defaults to \"No\".";
    text += "\nIf both options are specified, the /c option should be specified first.\n";
    text += "\nFor download, batch programs can use the return code to determine the status:";
    text += "\n\t0 = Success.";
    text += "\n\t1 = Bootloader code needed upgraded.";
    text += "\n\t2 = General error.";
    return text;
}

void TCodeUpdaterMainDispForm::RunConsoleMode()
{
    AppReturnCodeDispForm->SetReturnCode(0);
    if (m_Arguments.empty())
        return;
    m_ConsoleJobRan = true;

    const std::string title = kProductTitle;
    const ConsoleCommand command
        = ParseConsoleCommandLine(m_Arguments, platform::ComPortOpens, platform::PortLockProblem);
    const int port = command.port;
    bool consoleUsed = false;
    int stoppedBy = 0;

    switch (command.kind) {
    case ConsoleCommand::Kind::None:
        return;
    case ConsoleCommand::Kind::Help:
        if (OpenConsole(title + " Console")) {
            WriteConsoleText(m_ConsoleOutput, UsageText());
            consoleUsed = true;
        }
        break;
    case ConsoleCommand::Kind::Error:
        if (OpenConsole(title + " Console")) {
            AppReturnCodeDispForm->SetReturnCode(2);
            WriteConsoleText(m_ConsoleOutput, command.errorText);
            consoleUsed = true;
        }
        break;
    case ConsoleCommand::Kind::Download:
        // No console, no job: the return code stays 0.
        if (!OpenConsole(title + " Console [COM " + std::to_string(port) + "]"))
            return;
        consoleUsed = true;
        if (command.minimize) {
            QThread::msleep(100);
            m_Console.Minimize();
        }
        stoppedBy = RunConsoleUpdate(port);
        break;
    }

    // A job stopped by a signal does not wait for Enter.
    if (consoleUsed && !command.closeOnFinish && stoppedBy == 0) {
        WriteConsoleText(m_ConsoleOutput, kPressEnter);
        WaitForEnter(m_ConsoleInput);
    }
    if (consoleUsed)
        CloseConsole();
}
