#pragma once

#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "workflow/RunHost.h"

class QAction;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSocketNotifier;
class QTimer;
class QToolButton;

class ComboPortList;
class QtMessagePump;
class QtSerialPortComponent;
class QtWaitTimer;
class UpdateRun;
class WidgetProgressBar;
namespace platform {
class ITtyHotplug;
class ResourceSource;
class StopSignals;
} // namespace platform

// The main window: the whole user interface, a view of the update run it
// holds (UpdateRun: the link session, the attribute record, the port tables,
// the run flags and results). It binds the run to Qt (message pump, wait
// timer, serial-port component, the port list) and shows what the run
// reports. In console use it is never shown: its construction runs the
// console job to its end, on the same run, with the console as its host.
class TCodeUpdaterMainDispForm : public QMainWindow, public IRunHost {
    Q_OBJECT
public:
    // The status of a program built without a release's firmware.
    static constexpr const char* kTextNoFirmware
        = "This program carries no firmware. Open a release (Updater_...) to update a radio.";

    // `arguments` are the command-line arguments without the program name.
    explicit TCodeUpdaterMainDispForm(
        const std::vector<std::string>& arguments, QWidget* parent = nullptr);
    // Tests build the window from another release file than the running
    // program: its resources and the file name the labels are made from.
    TCodeUpdaterMainDispForm(const std::vector<std::string>& arguments,
        std::unique_ptr<platform::ResourceSource> resources, const std::string& executableName,
        QWidget* parent = nullptr);
    ~TCodeUpdaterMainDispForm() override;

    // True when the console job ran (the window must not be shown).
    bool ConsoleJobRan() const { return m_ConsoleJobRan; }
    // Window use: SIGTERM, SIGINT and SIGHUP stop a running update as Stop
    // does (work files deleted, trace written, port released, history
    // recorded), then close the windows so that the program ends.
    void CatchStopSignals();

    // Console operations of the console job.
    bool OpenConsole(const std::string& title);
    bool WriteConsoleText(int handle, const std::string& text);
    bool WaitForEnter(int handle);
    bool CloseConsole();
    void RunConsoleMode();
    // The console job's update on COM`port`: the run with the console as its
    // host. Returns the signal that stopped it, or 0.
    int RunConsoleUpdate(int port);
    std::string UsageText() const;

    // The update run this window shows.
    UpdateRun& Run() { return *m_Run; }

    void ToggleVersionInfo();
    // File > Restore Codeplug... once a file is chosen: writes it into the
    // radio on the selected port (corvel-codeplug write's steps), with the
    // status texts and the progress bar; Stop ends it.
    void RestoreCodeplug(const std::string& path);
    // File > Open Release... once a file is chosen: starts the release, a
    // program of its own with its own window, or says why the file is none.
    void OpenRelease(const std::string& path);
    // Where the window learns of tty devices that come or go (the device
    // manager by default; tests put a fake in): the port list is scanned
    // again on every change, once no port is claimed.
    void SetTtyHotplug(std::unique_ptr<platform::ITtyHotplug> source);
    // Thin faces over the run.
    void RunCombinedUpdate();
    void RunSelectedUpdate(bool bootChosen);
    void ScanComPorts();
    bool ClaimAndOpenPort(bool versionMode);
    void ReleasePort();
    void EnterUpdateState();
    void LeaveUpdateState(bool deleteWorkFiles);

    // Where this window's message boxes go: real boxes (null, the default),
    // or a recorder in tests.
    void SetMessageBoxes(platform::IMessageBoxes* boxes) { m_MessageBoxes = boxes; }

    // IRunHost
    void ShowStatusText(const std::string& text) override;
    void WriteConsoleText(const std::string& text) override;
    void SetReturnCode(int value) override;
    IProgressBar& ProgressBar() override;
    void StartTimedProgress(int intervalMs) override;
    void StopTimedProgress() override;
    void ShowUpdateState(bool running, int port) override;
    bool BootRadioButtonChecked() const override;
    void FocusRetrieveButton() override;
    bool AskCodeplugPassword(std::string& entry) override;
    platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        platform::MessageIcon icon, platform::MessageButtons buttons) override;
    platform::MessageAnswer ShowMessageWithDetail(const std::string& caption,
        const std::string& text, const std::string& detail, platform::MessageIcon icon) override;

    // Controls, named as the window definition names them.
    QComboBox* m_ComportComboBox = nullptr;
    QLabel* m_NameLabel = nullptr;
    QToolButton* m_ToggleVersionInfoSpeedButton = nullptr;
    QGroupBox* m_TargetInformationGroupBox = nullptr;
    QLabel* m_TargetRadioLabel = nullptr;
    QLabel* m_TargetSeriesLabel = nullptr;
    QLabel* m_TargetReleaseLabel = nullptr;
    QLabel* m_TargetUpgradeTypeLabel = nullptr;
    QLabel* PortableXPicture = nullptr;
    QLabel* PortableGPicture = nullptr;
    QLabel* MobileXPicture = nullptr;
    QLabel* MobileGPicture = nullptr;
    QGroupBox* m_CodeUpdateGroupBox = nullptr;
    QLabel* m_UpgradeTypeLabel = nullptr;
    QRadioButton* m_ApplicationRadioButton = nullptr;
    QRadioButton* m_BootRadioButton = nullptr;
    QLabel* m_StatusLabel = nullptr;
    QProgressBar* m_ProgressBar = nullptr;
    // Beside the bar: percent, elapsed and time left, or a fixed wait's seconds left.
    QLabel* m_ProgressTextLabel = nullptr;
    QPushButton* m_StartButton = nullptr;
    QGroupBox* m_TargetVersionInfoGroupBox = nullptr;
    QPushButton* m_RetrieveVersionInfoButton = nullptr;
    QLabel* FileVersionLabel = nullptr;
    QLabel* DSPVersionLabel = nullptr;
    QLabel* HWControllerVersionHeadingLabel = nullptr;
    QLabel* HWControllerVersionLabel = nullptr;
    QLabel* HWRevisionLabel = nullptr;
    QLabel* SerialNumberLabel = nullptr;
    QLabel* BootLoadVersionLabel = nullptr;
    QLabel* SEMVersionLabel = nullptr;
    QLabel* PCOVersionLabel = nullptr;
    QLabel* PCAlignVersionLabel = nullptr;
    QAction* m_UpdateCOMPortsMenuItem = nullptr;
    QAction* m_FileOpenReleaseMenuItem = nullptr;
    QAction* m_FileRestoreCodeplugMenuItem = nullptr;
    QAction* m_FileExitMenuItem = nullptr;
    QAction* m_HelpAboutMenuItem = nullptr;
    QTimer* m_CommTimer = nullptr;
    QTimer* ProgressBarTimer = nullptr;

    // Event handlers.
    void m_StartButtonClick();
    void m_RetrieveVersionInfoButtonClick();
    void m_ToggleVersionInfoSpeedButtonClick();
    void m_ComportComboBoxChange(int index);
    void m_UpdateCOMPortsMenuItemClick();
    // A file the user picks in an open-file dialog; nothing when cancelled.
    std::optional<std::string> AskForFile(const QString& title, const QString& filter);
    void m_FileOpenReleaseMenuItemClick();
    void m_FileRestoreCodeplugMenuItemClick();
    void m_FileExitMenuItemClick();
    void m_HelpAboutMenuItemClick();
    void m_OnCommTimerTimer();
    void ProgressBarTimerTimer();

    // State of the view (the run holds the rest).
    bool m_VersionInfoVisible = true;
    bool m_AccessGranted = false;
    int m_ConsoleInput = -1;
    int m_ConsoleOutput = -1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void SetNameAndReleaseLabels();
    void ReadResourceAttributes();
    bool FormCloseQuery();
    // Shows the access-code dialog; true when it was left with OK, with the
    // entered code trimmed of blanks and control characters.
    bool AskAccessCode(std::string& entered);
    // The access code once per program run, as Start asks it for the chosen
    // update (`bootChosen`); true once it was given.
    bool GrantAccess(bool bootChosen);
    // The boot code is what Start would write (the release's type, the
    // choice of the radio buttons).
    bool BootChosen() const;
    // The codeplug password prompt of the console job: the access-code
    // dialog, or without a display one line read from the console (end of
    // input cancels, so a batch job never hangs on it).
    bool AskConsolePassword(std::string& entered);
    void ShowAboutBox();
    void RetrieveVersionInfo();
    void ShowVersionRecord(const uint8_t* record);
    // After an update: what the panel shows follows what the run changed in
    // the radio (a boot upgrade's new boot version).
    void ShowRunAnswers();
    void ShowSelectedPortLook();
    void ShowProgressText();
    void RescanAfterHotplug();

    void Construct();
    friend class ConsoleRunHost;

    std::vector<std::string> m_Arguments;
    std::string m_ExecutableName;
    bool m_ConsoleJobRan = false;
    platform::Console m_Console;
    platform::IMessageBoxes* m_MessageBoxes = nullptr;
    QElapsedTimer m_ProgressClock;
    // The release's resources until the run takes them over.
    std::unique_ptr<platform::ResourceSource> m_Resources;
    std::unique_ptr<QtMessagePump> m_Pump;
    std::unique_ptr<QtWaitTimer> m_WaitTimer;
    std::unique_ptr<QtSerialPortComponent> ApdComPort;
    std::unique_ptr<ComboPortList> m_PortList;
    std::unique_ptr<WidgetProgressBar> m_ProgressBarBinding;
    std::unique_ptr<UpdateRun> m_Run;
    std::unique_ptr<platform::ITtyHotplug> m_Hotplug;
    std::unique_ptr<QSocketNotifier> m_HotplugNotifier;
    QTimer* m_HotplugRetry = nullptr;
    std::unique_ptr<platform::StopSignals> m_StopSignals;
    std::unique_ptr<QSocketNotifier> m_StopNotifier;
};

extern TCodeUpdaterMainDispForm* CodeUpdaterMainDispForm;

// The name and release labels' texts for an executable file name: the name
// is cut before its first "."; the release is what follows "Release " once
// each "_" after "Release" plus two characters became "." and every other
// "_" a blank, or "N/A".
struct NameAndRelease {
    std::string name;
    std::string release;
};
NameAndRelease NameAndReleaseOf(const std::string& executableFileName);
