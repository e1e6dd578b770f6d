// Drives the real window through its main states and saves a PNG of each:
//   corvel-screenshots RELEASE SIMULATOR OUTPUT_DIR
// RELEASE is a packed release (its resources and file name make the labels),
// SIMULATOR the corvel-radio-sim program, which plays the radio on a private
// port. Run under a display (make screenshots uses a virtual one).
//
// Draws a captured terminal screen into a PNG (scripts/station-screenshot.sh):
//   corvel-screenshots --terminal CAPTURE PNG

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "app/TAboutDialog.h"
#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/TCodeUpdaterMainDispForm.h"
#include "platform/OwnResources.h"
#include "tools/screenshots/TerminalPicture.h"
#include "workflow/UpdateRun.h"

namespace fs = std::filesystem;

namespace {

std::string g_Out;

void Save(QWidget* widget, const char* name)
{
    QApplication::processEvents();
    const QString path = QString::fromStdString(g_Out + "/" + name + ".png");
    if (!widget->grab().save(path))
        std::fprintf(stderr, "could not save %s\n", path.toLocal8Bit().constData());
    else
        std::printf("saved %s\n", path.toLocal8Bit().constData());
}

// Starts the simulated radio on COM3 of `portDir`; returns its pid.
pid_t StartRadio(const std::string& simulator, const fs::path& portDir)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl(simulator.c_str(), simulator.c_str(), "--com-dir", portDir.c_str(), "--port", "3",
            "--boot-version", "6.7", "--line-rate", "115200", "--idle-exit", "60",
            static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(portDir / "COM3"); ++i)
        usleep(50000);
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--terminal") {
        // Off screen: the picture needs no display.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        int qtArgc = 1;
        QGuiApplication app(qtArgc, argv);
        if (!SaveTerminalPicture(argv[2], argv[3])) {
            std::fprintf(stderr, "could not draw %s into %s\n", argv[2], argv[3]);
            return 1;
        }
        std::printf("saved %s\n", argv[3]);
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: corvel-screenshots RELEASE SIMULATOR OUTPUT_DIR\n");
        return 2;
    }
    const std::string release = argv[1];
    g_Out = argv[3];
    fs::create_directories(g_Out);
    const fs::path portDir
        = fs::temp_directory_path() / ("corvel-shots-" + std::to_string(getpid()));
    fs::create_directories(portDir);
    setenv("CORVEL_COM_DIR", portDir.c_str(), 1);
    const pid_t radio = StartRadio(argv[2], portDir);

    int returnCode = 0;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    TAppReturnCodeDispForm holder(returnCode);
    AppReturnCodeDispForm = &holder;
    TCodeUpdaterMainDispForm window(
        {}, platform::OpenFileResources(release), fs::path(release).filename().string());
    window.m_ComportComboBox->setCurrentIndex(2);
    window.show();

    QTimer::singleShot(300, [&] {
        Save(&window, "window-idle");

        // The version panel, widened and filled from the radio.
        window.m_ToggleVersionInfoSpeedButton->click();
        window.m_RetrieveVersionInfoButton->click();
        Save(&window, "window-version-info");

        // About.
        QTimer::singleShot(200, [] {
            if (auto* about = qobject_cast<TAboutDialog*>(QApplication::activeModalWidget())) {
                Save(about, "about");
                about->OKButton->click();
            }
        });
        window.m_HelpAboutMenuItem->trigger();

        // The access code, then an update in progress, stopped half way.
        QTimer::singleShot(200, [&] {
            auto* dialog = qobject_cast<TCodeDownPassDispDlg*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            dialog->m_PasswordEdit->setText(QStringLiteral("pelican"));
            Save(dialog, "access-code");
            dialog->BitBtn1->click();
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, [&window, poll] {
                QProgressBar* bar = window.m_ProgressBar;
                const double done = bar->maximum() > bar->minimum()
                    ? double(bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum())
                    : 0.0;
                const QString status = window.m_StatusLabel->text();
                const bool code = status.startsWith(QStringLiteral("Downloading"))
                    && !status.contains(QStringLiteral("Loader"));
                if (code && done >= 0.05 && window.Run().UpdateInProgress()) {
                    poll->stop();
                    Save(&window, "window-update");
                    window.m_StartButton->click(); // Stop
                }
            });
            poll->start(100);
            QTimer::singleShot(120000, [&window] {
                if (window.Run().UpdateInProgress())
                    window.m_StartButton->click();
            });
        });
        window.m_StartButton->click();
        QTimer::singleShot(500, &app, &QApplication::quit);
    });
    app.exec();

    kill(radio, SIGTERM);
    waitpid(radio, nullptr, 0);
    fs::remove_all(portDir);
    return 0;
}
