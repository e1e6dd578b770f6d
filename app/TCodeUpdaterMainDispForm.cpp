#include "app/TCodeUpdaterMainDispForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include "app/ComPorts.h"
#include "app/JpegPicture.h"
#include "app/PortListDelegate.h"
#include "app/QtLinkBindings.h"
#include "app/QtMessageBox.h"
#include "app/QtSerialPortComponent.h"
#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/WidgetProgressBar.h"
#include "link/CommSession.h"
#include "link/LinkTrace.h"
#include "platform/ExecutablePath.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/StopSignals.h"
#include "platform/TtyHotplug.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/ProductTitle.h"
#include "workflow/ProgressReadout.h"
#include "workflow/UpdateRun.h"

TCodeUpdaterMainDispForm* CodeUpdaterMainDispForm = nullptr;

namespace {

// How long a rescan after a tty event waits for a claimed port's release.
constexpr int kHotplugRetryMs = 250;

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, int w, int h = 17)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(x, y, w, h);
    return label;
}

} // namespace

TCodeUpdaterMainDispForm::TCodeUpdaterMainDispForm(
    const std::vector<std::string>& arguments, QWidget* parent)
    : QMainWindow(parent)
    , m_Arguments(arguments)
    , m_ExecutableName(platform::ExecutableFileName())
{
    m_Resources = platform::OpenOwnResources();
    Construct();
}

TCodeUpdaterMainDispForm::TCodeUpdaterMainDispForm(const std::vector<std::string>& arguments,
    std::unique_ptr<platform::ResourceSource> resources, const std::string& executableName,
    QWidget* parent)
    : QMainWindow(parent)
    , m_Arguments(arguments)
    , m_ExecutableName(executableName)
    , m_Resources(std::move(resources))
{
    Construct();
}

void TCodeUpdaterMainDispForm::Construct()
{
    // 1. Controls.
    BuildControls();

    // 2. The run with its link session, not opened; the session waits with
    // the window's pump and timer and falls back on its serial-port component.
    m_Pump = std::make_unique<QtMessagePump>();
    m_WaitTimer = std::make_unique<QtWaitTimer>(*m_CommTimer);
    ApdComPort = std::make_unique<QtSerialPortComponent>();
    m_ProgressBarBinding = std::make_unique<WidgetProgressBar>(m_ProgressBar);
    m_PortList = std::make_unique<ComboPortList>(m_ComportComboBox);
    // The run reads the release's record and derives the target model code
    // and the combined-update flag from it (steps 6 and 7).
    m_Run = std::make_unique<UpdateRun>(std::move(m_Resources), *this, *m_PortList);

    // 3. Flags and the name labels.
    m_VersionInfoVisible = true;
    m_AccessGranted = false;
    m_CommTimer->stop();
    SetNameAndReleaseLabels();

    // 4. Start narrowed.
    ToggleVersionInfo();

    // 5. The record's texts in the labels.
    ReadResourceAttributes();

    // 8. The wait timer belongs to the session from now on.
    m_Run->SetLinkBindings(m_Pump.get(), m_WaitTimer.get(), ApdComPort.get());

    m_ComportComboBox->setItemDelegate(new PortListDelegate(
        [this](int index, bool enabled) { return m_Run->Ports().LookOfItem(index, enabled); },
        m_ComportComboBox));

    // 9. The console job, when there are arguments.
    if (!m_Arguments.empty()) {
        RunConsoleMode();
        return;
    }

    // 10. Picture, ports, upgrade choice.
    const ResourceAttributes& attributes = m_Run->Attributes();
    QLabel* picture = nullptr;
    if (attributes.RadioFamily == 1)
        picture = attributes.SeriesNumber == 6 ? MobileGPicture : MobileXPicture;
    else
        picture = attributes.SeriesNumber == 6 ? PortableGPicture : PortableXPicture;
    picture->show();
    ScanComPorts();
    SetTtyHotplug(platform::OpenTtyHotplug());
    // The plain program has nothing to write into a radio.
    if (!m_Run->CarriesFirmware()) {
        m_StatusLabel->setText(QString::fromLatin1(kTextNoFirmware));
        m_StartButton->setEnabled(false);
    }
    if (m_Run->Upgrade() == UpgradeType::ApplicationBoot && !m_Run->AppAndBootUpgrade()) {
        m_UpgradeTypeLabel->show();
        m_ApplicationRadioButton->show();
        m_BootRadioButton->show();
    }
}

TCodeUpdaterMainDispForm::~TCodeUpdaterMainDispForm()
{
    // The run closes its session before the pump, timer and component go.
    m_HotplugNotifier.reset();
    m_Run.reset();
}

void TCodeUpdaterMainDispForm::BuildControls()
{
    InitPictureResources();
    setWindowTitle(QString::fromLatin1(kProductTitle));
    auto* central = new QWidget(this);
    setCentralWidget(central);

    auto* fileMenu = menuBar()->addMenu(tr("&File"));
    m_UpdateCOMPortsMenuItem = fileMenu->addAction(tr("&Update COM Ports"));
    m_FileOpenReleaseMenuItem = fileMenu->addAction(tr("&Open Release..."));
    m_FileRestoreCodeplugMenuItem = fileMenu->addAction(tr("&Restore Codeplug..."));
    m_FileExitMenuItem = fileMenu->addAction(tr("E&xit"));
    auto* helpMenu = menuBar()->addMenu(tr("&Help"));
    m_HelpAboutMenuItem = helpMenu->addAction(tr("&About"));
    connect(m_UpdateCOMPortsMenuItem, &QAction::triggered, this,
        [this] { m_UpdateCOMPortsMenuItemClick(); });
    connect(m_FileOpenReleaseMenuItem, &QAction::triggered, this,
        [this] { m_FileOpenReleaseMenuItemClick(); });
    connect(m_FileRestoreCodeplugMenuItem, &QAction::triggered, this,
        [this] { m_FileRestoreCodeplugMenuItemClick(); });
    connect(m_FileExitMenuItem, &QAction::triggered, this, [this] { m_FileExitMenuItemClick(); });
    connect(m_HelpAboutMenuItem, &QAction::triggered, this, [this] { m_HelpAboutMenuItemClick(); });

    m_NameLabel = MakeLabel(central, QString(), 8, 6, 340, 20);
    m_ToggleVersionInfoSpeedButton = new QToolButton(central);
    m_ToggleVersionInfoSpeedButton->setText(QStringLiteral(">>"));
    m_ToggleVersionInfoSpeedButton->setToolTip(QStringLiteral("Toggle Version Info"));
    m_ToggleVersionInfoSpeedButton->setAutoRaise(true);
    QFont bold = m_ToggleVersionInfoSpeedButton->font();
    bold.setBold(true);
    m_ToggleVersionInfoSpeedButton->setFont(bold);
    m_ToggleVersionInfoSpeedButton->setGeometry(372, 4, 32, 22);
    connect(m_ToggleVersionInfoSpeedButton, &QToolButton::clicked, this,
        [this] { m_ToggleVersionInfoSpeedButtonClick(); });

    m_TargetInformationGroupBox = new QGroupBox(QStringLiteral("Intended Target Radio"), central);
    m_TargetInformationGroupBox->setGeometry(8, 30, 396, 160);
    QWidget* target = m_TargetInformationGroupBox;
    MakeLabel(target, QStringLiteral("Radio:"), 12, 28, 90);
    MakeLabel(target, QStringLiteral("Series:"), 12, 56, 90);
    MakeLabel(target, QStringLiteral("Release:"), 12, 84, 90);
    MakeLabel(target, QStringLiteral("Upgrade Type:"), 12, 112, 90);
    m_TargetRadioLabel = MakeLabel(target, QString(), 104, 28, 120);
    m_TargetSeriesLabel = MakeLabel(target, QString(), 104, 56, 120);
    m_TargetReleaseLabel = MakeLabel(target, QString(), 104, 84, 120);
    m_TargetUpgradeTypeLabel = MakeLabel(target, QString(), 104, 112, 120);
    struct PictureSlot {
        QLabel** label;
        const char* resource;
    };
    const PictureSlot pictures[] = { { &PortableXPicture, ":/pictures/PortableX.jpg" },
        { &PortableGPicture, ":/pictures/PortableG.jpg" },
        { &MobileXPicture, ":/pictures/MobileX.jpg" },
        { &MobileGPicture, ":/pictures/MobileG.jpg" } };
    for (const auto& slot : pictures) {
        QLabel* picture = MakeLabel(target, QString(), 236, 18, 150, 134);
        picture->setScaledContents(true);
        picture->setPixmap(QPixmap::fromImage(LoadPicture(QString::fromLatin1(slot.resource))));
        picture->hide();
        *slot.label = picture;
    }

    m_CodeUpdateGroupBox = new QGroupBox(QStringLiteral("Transfer"), central);
    m_CodeUpdateGroupBox->setGeometry(8, 196, 396, 200);
    QWidget* transfer = m_CodeUpdateGroupBox;
    MakeLabel(transfer, QStringLiteral("COM:"), 12, 30, 40);
    m_ComportComboBox = new QComboBox(transfer);
    m_ComportComboBox->setGeometry(60, 26, 150, 24);
    connect(m_ComportComboBox, &QComboBox::currentIndexChanged, this,
        [this](int index) { m_ComportComboBoxChange(index); });
    m_UpgradeTypeLabel = MakeLabel(transfer, QStringLiteral("Upgrade Type:"), 12, 62, 90);
    m_ApplicationRadioButton = new QRadioButton(QStringLiteral("Application"), transfer);
    m_ApplicationRadioButton->setGeometry(104, 60, 100, 20);
    m_ApplicationRadioButton->setChecked(true);
    m_BootRadioButton = new QRadioButton(QStringLiteral("Boot"), transfer);
    m_BootRadioButton->setGeometry(210, 60, 80, 20);
    m_UpgradeTypeLabel->hide();
    m_ApplicationRadioButton->hide();
    m_BootRadioButton->hide();
    MakeLabel(transfer, QStringLiteral("Status:"), 12, 96, 50);
    m_StatusLabel = MakeLabel(transfer, QStringLiteral("Idle"), 60, 96, 326, 40);
    m_StatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_StatusLabel->setWordWrap(true);
    m_ProgressBar = new QProgressBar(transfer);
    m_ProgressBar->setGeometry(12, 140, 206, 18);
    m_ProgressTextLabel = MakeLabel(transfer, QString(), 226, 140, 164, 18);
    connect(m_ProgressBar, &QProgressBar::valueChanged, this, [this] { ShowProgressText(); });
    m_ProgressBar->setRange(0, 100);
    m_ProgressBar->setValue(0);
    m_ProgressBar->setTextVisible(false);
    m_StartButton = new QPushButton(QStringLiteral("Start"), transfer);
    m_StartButton->setGeometry(150, 166, 96, 26);
    connect(m_StartButton, &QPushButton::clicked, this, [this] { m_StartButtonClick(); });

    m_TargetVersionInfoGroupBox
        = new QGroupBox(QStringLiteral("Target Radio Version Information"), central);
    m_TargetVersionInfoGroupBox->setGeometry(412, 30, 273, 366);
    QWidget* info = m_TargetVersionInfoGroupBox;
    const char* headings[]
        = { "File Format Version:", "DSP Software Version:", "HC08 Software Version:",
              "Hardware Revision:", "Radio Serial Number:", "Boot Load Version:", "SEM Version:",
              "Corresponding PCOutfit Version:", "Corresponding PCAlign Version:" };
    QLabel** values[] = { &FileVersionLabel, &DSPVersionLabel, &HWControllerVersionLabel,
        &HWRevisionLabel, &SerialNumberLabel, &BootLoadVersionLabel, &SEMVersionLabel,
        &PCOVersionLabel, &PCAlignVersionLabel };
    for (int i = 0; i < 9; ++i) {
        QLabel* heading = MakeLabel(info, QString::fromLatin1(headings[i]), 10, 24 + i * 34, 250);
        if (i == 2)
            HWControllerVersionHeadingLabel = heading;
        *values[i] = MakeLabel(info, QString(), 24, 40 + i * 34, 240);
    }
    PCOVersionLabel->setText(QStringLiteral("<Blank>"));
    PCAlignVersionLabel->setText(QStringLiteral("<Blank>"));
    m_RetrieveVersionInfoButton = new QPushButton(QStringLiteral("&Retrieve"), info);
    m_RetrieveVersionInfoButton->setGeometry(88, 332, 96, 26);
    connect(m_RetrieveVersionInfoButton, &QPushButton::clicked, this,
        [this] { m_RetrieveVersionInfoButtonClick(); });

    m_CommTimer = new QTimer(this);
    m_CommTimer->setTimerType(Qt::PreciseTimer);
    connect(m_CommTimer, &QTimer::timeout, this, [this] { m_OnCommTimerTimer(); });
    ProgressBarTimer = new QTimer(this);
    connect(ProgressBarTimer, &QTimer::timeout, this, [this] { ProgressBarTimerTimer(); });
    m_HotplugRetry = new QTimer(this);
    m_HotplugRetry->setSingleShot(true);
    connect(m_HotplugRetry, &QTimer::timeout, this, [this] { RescanAfterHotplug(); });

    resize(688, 409 + menuBar()->sizeHint().height());
}

NameAndRelease NameAndReleaseOf(const std::string& executableFileName)
{
    NameAndRelease result;
    std::string name = executableFileName;
    auto dot = name.find('.');
    if (dot != std::string::npos)
        name = name.substr(0, dot);
    result.name = name;

    // The label's text, trimmed; every "_" but the last character becomes
    // "." when "Release" and two more characters stand before it, else a
    // blank.
    std::string text = TrimBlanksAndControls("Name: " + name);
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '_')
            continue;
        const bool afterRelease = i >= 9 && text.compare(i - 9, 7, "Release") == 0;
        text[i] = afterRelease ? '.' : ' ';
    }
    auto pos = text.find("Release ");
    result.release = pos == std::string::npos ? "N/A" : text.substr(pos + 8);
    return result;
}

void TCodeUpdaterMainDispForm::SetNameAndReleaseLabels()
{
    NameAndRelease texts = NameAndReleaseOf(m_ExecutableName);
    m_NameLabel->setText(QString::fromStdString("Name: " + texts.name));
    m_TargetReleaseLabel->setText(QString::fromStdString(texts.release));
}

void TCodeUpdaterMainDispForm::ReadResourceAttributes()
{
    const TargetLabelTexts& labels = m_Run->Labels();
    PCOVersionLabel->setText(QString::fromStdString(labels.PCOVersion));
    PCAlignVersionLabel->setText(QString::fromStdString(labels.PCAlignVersion));
    m_TargetRadioLabel->setText(QString::fromStdString(labels.TargetRadio));
    m_TargetSeriesLabel->setText(QString::fromStdString(labels.TargetSeries));
    m_TargetUpgradeTypeLabel->setText(QString::fromStdString(labels.TargetUpgradeType));
}

void TCodeUpdaterMainDispForm::ToggleVersionInfo()
{
    if (m_VersionInfoVisible)
        resize(m_TargetVersionInfoGroupBox->x() + 5, height());
    else
        resize(width() + m_TargetVersionInfoGroupBox->width() + 5, height());
    m_VersionInfoVisible = !m_VersionInfoVisible;
    // Narrowed, the panel's left edge would still show at the window's
    // right edge.
    m_TargetVersionInfoGroupBox->setVisible(m_VersionInfoVisible);
}

void TCodeUpdaterMainDispForm::m_ToggleVersionInfoSpeedButtonClick()
{
    ToggleVersionInfo();
    m_ToggleVersionInfoSpeedButton->setText(
        m_VersionInfoVisible ? QStringLiteral("<<") : QStringLiteral(">>"));
}

// ---- Start, Stop and the run state ---------------------------------------

void TCodeUpdaterMainDispForm::m_StartButtonClick()
{
    const bool bootChosen = BootChosen();
    if (m_Run->UpdateInProgress()) {
        m_Run->Stop();
        m_ProgressBar->setValue(0);
        return;
    }
    if (!GrantAccess(bootChosen))
        return;
    m_RetrieveVersionInfoButton->setFocus();
    m_Run->Trace().Clear();
    if (m_Run->AppAndBootUpgrade())
        RunCombinedUpdate();
    else
        RunSelectedUpdate(bootChosen);
    ReleasePort();
    ShowRunAnswers();
    // A run that did not go through leaves the line's traffic for support.
    std::string trace;
    if (!m_Run->LastRunSucceeded()) {
        trace = m_Run->SaveTraceAfterFailure();
        if (!trace.empty())
            m_StatusLabel->setText(m_StatusLabel->text() + QStringLiteral("\n(Line trace: ")
                + QString::fromStdString(trace) + QStringLiteral(")"));
    }
    m_Run->RecordHistory(trace);
}

void TCodeUpdaterMainDispForm::CatchStopSignals()
{
    m_StopSignals = std::make_unique<platform::StopSignals>();
    if (!m_StopSignals->Active())
        return;
    m_StopNotifier = std::make_unique<QSocketNotifier>(m_StopSignals->Fd(), QSocketNotifier::Read);
    connect(m_StopNotifier.get(), &QSocketNotifier::activated, this, [this] {
        m_StopSignals->Drain();
        // The run unwinds at its next wait; the program ends once it has.
        if (m_Run->UpdateInProgress())
            m_StartButtonClick();
        QApplication::closeAllWindows();
    });
}

bool TCodeUpdaterMainDispForm::BootChosen() const
{
    const UpgradeType type = m_Run->Upgrade();
    return type == UpgradeType::Boot
        || (type == UpgradeType::ApplicationBoot && m_BootRadioButton->isChecked());
}

bool TCodeUpdaterMainDispForm::GrantAccess(bool bootChosen)
{
    if (!m_AccessGranted) {
        const std::string expected
            = bootChosen && !m_Run->AppAndBootUpgrade() ? "marigold" : "pelican";
        std::string entered;
        if (!AskAccessCode(entered) || entered != expected)
            return false;
        m_AccessGranted = true;
    }
    return true;
}

void TCodeUpdaterMainDispForm::EnterUpdateState()
{
    m_Run->EnterUpdateState();
}

void TCodeUpdaterMainDispForm::LeaveUpdateState(bool deleteWorkFiles)
{
    m_Run->LeaveUpdateState(deleteWorkFiles);
}

void TCodeUpdaterMainDispForm::ShowUpdateState(bool running, int port)
{
    m_StartButton->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    m_ComportComboBox->setEnabled(!running);
    m_RetrieveVersionInfoButton->setEnabled(!running);
    ShowSelectedPortLook();
    setWindowTitle(QString::fromStdString(WindowCaption(running ? port : 0)));
    m_ProgressClock.invalidate();
    m_ProgressTextLabel->clear();
}

void TCodeUpdaterMainDispForm::ShowStatusText(const std::string& text)
{
    m_StatusLabel->setText(QString::fromStdString(text));
}

void TCodeUpdaterMainDispForm::WriteConsoleText(const std::string& text)
{
    WriteConsoleText(m_ConsoleOutput, text);
}

platform::MessageAnswer TCodeUpdaterMainDispForm::ShowMessage(const std::string& caption,
    const std::string& text, platform::MessageIcon icon, platform::MessageButtons buttons)
{
    if (m_MessageBoxes != nullptr)
        return m_MessageBoxes->ShowMessage(caption, text, icon, buttons);
    return ShowQtMessageBox(caption, text, icon, buttons);
}

platform::MessageAnswer TCodeUpdaterMainDispForm::ShowMessageWithDetail(const std::string& caption,
    const std::string& text, const std::string& detail, platform::MessageIcon icon)
{
    if (m_MessageBoxes != nullptr)
        return m_MessageBoxes->ShowMessageWithDetail(caption, text, detail, icon);
    return ShowQtMessageBox(caption, text, icon, platform::MessageButtons::Ok, detail);
}

void TCodeUpdaterMainDispForm::SetReturnCode(int value)
{
    AppReturnCodeDispForm->SetReturnCode(value);
}

IProgressBar& TCodeUpdaterMainDispForm::ProgressBar()
{
    return *m_ProgressBarBinding;
}

void TCodeUpdaterMainDispForm::StartTimedProgress(int intervalMs)
{
    ProgressBarTimer->setInterval(intervalMs);
    m_ProgressBar->setRange(0, 100);
    m_ProgressBar->setValue(0);
    ProgressBarTimer->start();
    ShowProgressText();
}

void TCodeUpdaterMainDispForm::StopTimedProgress()
{
    ProgressBarTimer->stop();
    m_ProgressBar->setValue(100);
    m_ProgressTextLabel->clear();
}

void TCodeUpdaterMainDispForm::ShowProgressText()
{
    if (!m_Run || !m_Run->UpdateInProgress()) {
        m_ProgressTextLabel->clear();
        return;
    }
    const int min = m_ProgressBar->minimum();
    const int max = m_ProgressBar->maximum();
    const int value = m_ProgressBar->value();
    if (ProgressBarTimer->isActive()) {
        // A fixed wait: the bar fills one step per tick.
        const int msLeft = (max - value) * ProgressBarTimer->interval();
        m_ProgressTextLabel->setText(QString::fromStdString(FixedWaitText((msLeft + 999) / 1000)));
        return;
    }
    // Code being written: a bar back at its start begins a new stream.
    if (value <= min || !m_ProgressClock.isValid())
        m_ProgressClock.start();
    const int percent = max > min ? (value - min) * 100 / (max - min) : 0;
    m_ProgressTextLabel->setText(
        QString::fromStdString(MeasuredProgressText(percent, m_ProgressClock.elapsed() / 1000.0)));
}

void TCodeUpdaterMainDispForm::ProgressBarTimerTimer()
{
    m_ProgressBar->setValue(std::min(m_ProgressBar->value() + 1, m_ProgressBar->maximum()));
}

void TCodeUpdaterMainDispForm::m_OnCommTimerTimer()
{
    m_Run->Session().SetReceiveEnable(false);
    m_CommTimer->stop();
}

void TCodeUpdaterMainDispForm::FocusRetrieveButton()
{
    m_RetrieveVersionInfoButton->setEnabled(true);
    m_RetrieveVersionInfoButton->setFocus();
    m_RetrieveVersionInfoButton->setEnabled(false);
}

bool TCodeUpdaterMainDispForm::BootRadioButtonChecked() const
{
    return m_BootRadioButton->isChecked();
}

// ---- Sequences -------------------------------------------------------------

void TCodeUpdaterMainDispForm::RunCombinedUpdate()
{
    m_Run->RunCombinedUpdate();
}

void TCodeUpdaterMainDispForm::RunSelectedUpdate(bool bootChosen)
{
    m_Run->RunSelectedUpdate(bootChosen);
}

// ---- Ports -----------------------------------------------------------------

void TCodeUpdaterMainDispForm::ScanComPorts()
{
    m_Run->ScanComPorts();
    ShowSelectedPortLook();
}

bool TCodeUpdaterMainDispForm::ClaimAndOpenPort(bool versionMode)
{
    return m_Run->ClaimAndOpenPort(versionMode);
}

void TCodeUpdaterMainDispForm::ReleasePort()
{
    m_Run->ReleasePort();
}

void TCodeUpdaterMainDispForm::m_ComportComboBoxChange(int)
{
    m_Run->Ports().ComboBoxChange();
    ShowSelectedPortLook();
}

void TCodeUpdaterMainDispForm::ShowSelectedPortLook()
{
    // The closed list shows its selected item like the open one would.
    const int index = m_ComportComboBox->currentIndex();
    const bool grey
        = index < 0 || m_Run->Ports().LookOfItem(index, m_ComportComboBox->isEnabled()).grey;
    QPalette palette = m_ComportComboBox->palette();
    palette.setColor(QPalette::ButtonText,
        grey ? QColor(128, 128, 128) : QApplication::palette().color(QPalette::ButtonText));
    palette.setColor(QPalette::Text,
        grey ? QColor(128, 128, 128) : QApplication::palette().color(QPalette::Text));
    m_ComportComboBox->setPalette(palette);
}

void TCodeUpdaterMainDispForm::m_UpdateCOMPortsMenuItemClick()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_Run->Ports().UpdateComPorts();
    QApplication::restoreOverrideCursor();
    ShowSelectedPortLook();
}

void TCodeUpdaterMainDispForm::SetTtyHotplug(std::unique_ptr<platform::ITtyHotplug> source)
{
    m_HotplugNotifier.reset();
    m_Hotplug = std::move(source);
    if (!m_Hotplug || m_Hotplug->Descriptor() < 0)
        return;
    m_HotplugNotifier
        = std::make_unique<QSocketNotifier>(m_Hotplug->Descriptor(), QSocketNotifier::Read);
    connect(m_HotplugNotifier.get(), &QSocketNotifier::activated, this, [this] {
        if (m_Hotplug->DrainEvents())
            RescanAfterHotplug();
    });
}

void TCodeUpdaterMainDispForm::RescanAfterHotplug()
{
    // A scan rebuilds the port tables, the claimed entry included: it waits
    // while an update runs or a port is claimed (the version retrieval, a
    // restore).
    const PortClaim& ports = m_Run->Ports();
    if (m_Run->UpdateInProgress()
        || ports.PortState(ports.SelectedPort()) == PortClaim::kPortClaimed) {
        m_HotplugRetry->start(kHotplugRetryMs);
        return;
    }
    m_Run->Ports().UpdateComPorts();
    ShowSelectedPortLook();
}

// ---- Menu, close and the version panel --------------------------------------

void TCodeUpdaterMainDispForm::m_FileExitMenuItemClick()
{
    close();
}

void TCodeUpdaterMainDispForm::m_HelpAboutMenuItemClick()
{
    if (m_Run->UpdateInProgress())
        return;
    ShowAboutBox();
}

bool TCodeUpdaterMainDispForm::FormCloseQuery()
{
    if (!m_Run->UpdateInProgress())
        return true;
    auto answer = ShowMessage("Confirm", "Update in progress.  Are you sure you want to quit?",
        platform::MessageIcon::Question, platform::MessageButtons::YesNo);
    if (answer != platform::MessageAnswer::Yes)
        return false;
    LeaveUpdateState(true);
    return true;
}

void TCodeUpdaterMainDispForm::closeEvent(QCloseEvent* event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
}

void TCodeUpdaterMainDispForm::m_RetrieveVersionInfoButtonClick()
{
    RetrieveVersionInfo();
}
