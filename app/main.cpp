// Process entry of the updater: window use without arguments, the console job
// with them. Returns the return code that the console job or the update
// sequence left in the return-code holder.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeUpdaterMainDispForm.h"
#include "platform/Console.h"
#include "platform/MessageBox.h"
#include "workflow/ProductTitle.h"

namespace {

// Qt's own notes about the session (a missing runtime folder and the like)
// mean nothing to a technician and would clutter a batch job's log.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg
        || message.startsWith(QLatin1String("QStandardPaths:")))
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(QuietQtMessages);
    int returnCode = 0;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool consoleJob = !arguments.empty();

    // A console job needs no display: without one, Qt draws off screen.
    if (!platform::DisplayAvailable() && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        if (!consoleJob) {
            std::fprintf(stderr,
                "Corvel Code Updater: no display found (neither DISPLAY nor "
                "WAYLAND_DISPLAY is set).\nStart it from a desktop session, or run the "
                "console job: %s /d /sp PortNumber\n",
                argc > 0 ? argv[0] : "corvel-updater");
            return 2;
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    // Qt sees only the program name: the job's own options are never taken
    // for Qt options.
    int qtArgc = 1;
    char* qtArgv[] = { argv[0], nullptr };
    try {
        QApplication application(qtArgc, qtArgv);
        QApplication::setApplicationName(QString::fromLatin1(kProductTitle));

        TAppReturnCodeDispForm returnCodeHolder(returnCode);
        AppReturnCodeDispForm = &returnCodeHolder;

        auto* mainWindow = new TCodeUpdaterMainDispForm(arguments);
        CodeUpdaterMainDispForm = mainWindow;
        if (!mainWindow->ConsoleJobRan()) {
            mainWindow->CatchStopSignals();
            mainWindow->show();
            application.exec();
        }
        delete mainWindow;
        CodeUpdaterMainDispForm = nullptr;
        AppReturnCodeDispForm = nullptr;
    } catch (const std::exception& e) {
        // Qt is gone by now: the message goes to the console.
        platform::ConsoleMessageBox(
            kProductTitle, e.what(), platform::MessageIcon::Error, platform::MessageButtons::Ok);
    }
    return returnCode;
}
