#pragma once

#include <QMainWindow>

#include <memory>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "workflow/UpdateHost.h"

class QAction;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;

class CommSession;
class LinkTrace;
class ComPorts;
class IPortList;
class QtMessagePump;
class QtSerialPortComponent;
class QtWaitTimer;
class WidgetProgressBar;
struct ResourceAttributes;
namespace platform {
class ResourceSource;
}

// The main window: the whole user interface and the owner of everything that
// outlives one operation (the link session, the attribute record, the port
// tables, the console, the run flags and the two timers). In console use it
// is never shown: its construction runs the console job to its end.
class TCodeUpdaterMainDispForm : public QMainWindow, public IUpdateHost {
    Q_OBJECT
public:
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

    // Console operations of the console job.
    bool OpenConsole(const std::string& title);
    bool WriteConsoleText(int handle, const std::string& text);
    bool WaitForEnter(int handle);
    bool CloseConsole();
    void RunConsoleMode();
    std::string UsageText() const;

    void ToggleVersionInfo();
    void RunCombinedUpdate();
    void RunSelectedUpdate(bool bootChosen);
    void ScanComPorts();
    void ReleasePort();

    // IUpdateHost
    CommSession& Session() override;
    const ResourceAttributes& Attributes() const override;
    uint8_t TargetModelCode() const override { return m_TargetModelCode; }
    bool ConsoleMode() const override { return m_ConsoleMode; }
    bool UpdateInProgress() const override { return m_UpdateInProgress; }
    bool UseBootTwo() const override { return m_UseBootTwo; }
    void SetUseBootTwo(bool value) override { m_UseBootTwo = value; }
    std::string LoaderFileName() const override { return m_LoaderFileName; }
    std::string CodeFileName() const override { return m_CodeFileName; }
    std::string ExecutableDirectory() const override;
    bool BootRadioButtonChecked() const override;
    void EnterUpdateState() override;
    void LeaveUpdateState(bool deleteWorkFiles) override;
    bool ClaimAndOpenPort(bool versionMode) override;
    bool ExtractFirmwareSet(bool boot) override;
    void ShowStatusText(const std::string& text) override;
    void WriteConsoleText(const std::string& text) override;
    void SetReturnCode(int value) override;
    IProgressBar& ProgressBar() override;
    void StartTimedProgress(int intervalMs) override;
    void StopTimedProgress() override;
    void FocusRetrieveButton() override;

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
    void m_FileExitMenuItemClick();
    void m_HelpAboutMenuItemClick();
    void m_OnCommTimerTimer();
    void ProgressBarTimerTimer();

    // State of the run.
    bool m_VersionInfoVisible = true;
    bool m_UpdateInProgress = false;
    bool m_AccessGranted = false;
    bool m_ConsoleMode = false;
    bool m_AppAndBootUpgrade = false;
    bool m_UseBootTwo = false;
    int m_CommandLinePort = 0;
    int m_ConsoleInput = -1;
    int m_ConsoleOutput = -1;
    uint8_t m_TargetModelCode = 0;
    std::string m_LoaderFileName;
    std::string m_CodeFileName;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void SetNameAndReleaseLabels();
    void ReadResourceAttributes();
    void SetApplicationTitle(const QString& title);
    bool FormCloseQuery();
    // Shows the access-code dialog; true when it was left with OK, with the
    // entered code trimmed of blanks and control characters.
    bool AskAccessCode(std::string& entered);
    // The codeplug password prompt: the access-code dialog, or on a console
    // job without a display one line read from the console (end of input
    // cancels, so a batch job never hangs on it).
    bool AskCodeplugPassword(std::string& entered);
    void ShowAboutBox();
    void RetrieveVersionInfo();
    void ShowVersionRecord(const uint8_t* record);
    void ShowSelectedPortLook();
    // After an update that failed: saves the line trace and returns its file name.
    std::string SaveTraceAfterFailure();

    void Construct();

    std::vector<std::string> m_Arguments;
    std::string m_ExecutableName;
    bool m_ConsoleJobRan = false;
    platform::Console m_Console;
    std::unique_ptr<platform::ResourceSource> m_Resources;
    std::unique_ptr<ResourceAttributes> m_Attributes;
    std::unique_ptr<QtMessagePump> m_Pump;
    std::unique_ptr<QtWaitTimer> m_WaitTimer;
    std::unique_ptr<QtSerialPortComponent> ApdComPort;
    std::unique_ptr<LinkTrace> m_Trace;
    std::unique_ptr<CommSession> m_CommSession;
    std::unique_ptr<IPortList> m_PortList;
    std::unique_ptr<ComPorts> m_Ports;
    std::unique_ptr<WidgetProgressBar> m_ProgressBarBinding;
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

// The application title ("Corvel Code Updater", or with the port during an update).
QString ApplicationTitle();
