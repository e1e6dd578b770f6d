// The console job: command-line checks, the console and its texts. It runs
// inside the main window's construction, before any message loop.

#include "app/TCodeUpdaterMainDispForm.h"

#include <QApplication>
#include <QThread>

#include "app/TAppReturnCodeDispForm.h"
#include "platform/ComNamespace.h"
#include "platform/ExecutablePath.h"
#include "workflow/ConsoleCommandLine.h"

namespace {

const char kPressEnter[] = "\n\nPress <ENTER> to close.";

} // namespace

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

    const std::string title = ApplicationTitle().toStdString();
    const ConsoleCommand command = ParseConsoleCommandLine(m_Arguments, platform::ComPortOpens);
    m_CommandLinePort = command.port;
    bool consoleUsed = false;

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
        if (!OpenConsole(title + " Console [COM " + std::to_string(m_CommandLinePort) + "]"))
            return;
        consoleUsed = true;
        if (command.minimize) {
            QThread::msleep(100);
            m_Console.Minimize();
        }
        m_ConsoleMode = true;
        RunCombinedUpdate();
        ReleasePort();
        if (AppReturnCodeDispForm->ReturnCode() == 2) {
            const std::string trace = SaveTraceAfterFailure();
            if (!trace.empty())
                WriteConsoleText(m_ConsoleOutput, "\nLine trace saved to " + trace + ".");
        }
        break;
    }

    if (consoleUsed && !command.closeOnFinish) {
        WriteConsoleText(m_ConsoleOutput, kPressEnter);
        WaitForEnter(m_ConsoleInput);
    }
    if (consoleUsed)
        CloseConsole();
}
