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
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <cstdio>

#include "app/ComPorts.h"
#include "app/JpegPicture.h"
#include "app/PortListDelegate.h"
#include "app/QtLinkBindings.h"
#include "app/QtSerialPortComponent.h"
#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/WidgetProgressBar.h"
#include "codeplug/QUVTransferParmsPassChecker.h"
#include "link/CommSession.h"
#include "link/LinkTrace.h"
#include "platform/ExecutablePath.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "workflow/FailureTrace.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/UpdateSequences.h"

TCodeUpdaterMainDispForm* CodeUpdaterMainDispForm = nullptr;

namespace {

const char kTitle[] = "Corvel Code Updater";

QString g_ApplicationTitle = QString::fromLatin1(kTitle);

// The port list of the window: the combo box behind the port tables.
class ComboPortList : public IPortList {
public:
    explicit ComboPortList(QComboBox* box)
        : m_Box(box)
    {
    }
    void SetItems(const std::vector<std::string>& items) override
    {
        QSignalBlocker block(m_Box);
        m_Box->clear();
        for (const auto& item : items)
            m_Box->addItem(QString::fromStdString(item));
    }
    int SelectedIndex() const override { return m_Box->currentIndex(); }
    void SetSelectedIndex(int index) override
    {
        QSignalBlocker block(m_Box);
        m_Box->setCurrentIndex(index);
    }

private:
    QComboBox* m_Box;
};

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, int w, int h = 17)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(x, y, w, h);
    return label;
}

} // namespace

QString ApplicationTitle()
{
    return g_ApplicationTitle;
}

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

    // 2. The link session, not opened, with its pump, timer and component.
    m_Pump = std::make_unique<QtMessagePump>();
    m_WaitTimer = std::make_unique<QtWaitTimer>(*m_CommTimer);
    ApdComPort = std::make_unique<QtSerialPortComponent>();
    m_CommSession = std::make_unique<CommSession>();
    m_Trace = std::make_unique<LinkTrace>();
    m_CommSession->SetTrace(m_Trace.get());
    m_CommSession->SetMessagePump(m_Pump.get());
    m_CommSession->SetComponent(ApdComPort.get());
    m_LoaderFileName.clear();
    m_CodeFileName.clear();

    // 3. Flags and the name labels.
    m_VersionInfoVisible = true;
    m_UpdateInProgress = false;
    m_AccessGranted = false;
    m_ConsoleMode = false;
    m_CommTimer->stop();
    SetNameAndReleaseLabels();

    // 4. Start narrowed.
    ToggleVersionInfo();

    // 5.-7. The release's record and what follows from it.
    ReadResourceAttributes();
    m_TargetModelCode = TargetModelCodeOf(
        m_Attributes->RadioFamily, m_Attributes->SeriesNumber, m_Attributes->PlatformFlag);
    m_AppAndBootUpgrade = IsAppAndBootUpgrade(*m_Attributes);

    // 8. The wait timer belongs to the session from now on.
    m_CommSession->SetWaitTimer(m_WaitTimer.get());

    m_ProgressBarBinding = std::make_unique<WidgetProgressBar>(m_ProgressBar);
    m_PortList = std::make_unique<ComboPortList>(m_ComportComboBox);
    m_Ports = std::make_unique<ComPorts>(*m_CommSession, ApdComPort.get(), *m_PortList);
    m_Ports->SetTarget(m_Attributes->RadioFamily, m_TargetModelCode);
    m_ComportComboBox->setItemDelegate(new PortListDelegate(
        [this](int index, bool enabled) { return m_Ports->LookOfItem(index, enabled); },
        m_ComportComboBox));

    // A radio that guards its codeplug with a password asks through the
    // access-code dialog (trimmed text, OK or Cancel).
    QUVTransferParmsPassChecker::SetStandardPrompt(
        [this](std::string& entry) { return AskCodeplugPassword(entry); });

    // 9. The console job, when there are arguments.
    if (!m_Arguments.empty()) {
        RunConsoleMode();
        return;
    }

    // 10. Picture, ports, upgrade choice.
    QLabel* picture = nullptr;
    if (m_Attributes->RadioFamily == 1)
        picture = m_Attributes->SeriesNumber == 6 ? MobileGPicture : MobileXPicture;
    else
        picture = m_Attributes->SeriesNumber == 6 ? PortableGPicture : PortableXPicture;
    picture->show();
    ScanComPorts();
    if (m_Attributes->UpgradeType == 3 && !m_AppAndBootUpgrade) {
        m_UpgradeTypeLabel->show();
        m_ApplicationRadioButton->show();
        m_BootRadioButton->show();
    }
}

TCodeUpdaterMainDispForm::~TCodeUpdaterMainDispForm()
{
    QUVTransferParmsPassChecker::SetStandardPrompt({});
    if (m_CommSession) {
        m_CommSession->SetReceiveEnable(false);
        m_CommSession->Close();
        m_CommSession->SetWaitTimer(nullptr);
    }
}

void TCodeUpdaterMainDispForm::BuildControls()
{
    InitPictureResources();
    setWindowTitle(QString::fromLatin1(kTitle));
    auto* central = new QWidget(this);
    setCentralWidget(central);

    auto* fileMenu = menuBar()->addMenu(tr("&File"));
    m_UpdateCOMPortsMenuItem = fileMenu->addAction(tr("&Update COM Ports"));
    m_FileExitMenuItem = fileMenu->addAction(tr("E&xit"));
    auto* helpMenu = menuBar()->addMenu(tr("&Help"));
    m_HelpAboutMenuItem = helpMenu->addAction(tr("&About"));
    connect(m_UpdateCOMPortsMenuItem, &QAction::triggered, this,
        [this] { m_UpdateCOMPortsMenuItemClick(); });
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
    m_ProgressBar->setGeometry(12, 140, 372, 18);
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
    m_Attributes = std::make_unique<ResourceAttributes>();
    TargetLabelTexts labels;
    ::ReadResourceAttributes(m_Resources.get(), *m_Attributes, labels);
    PCOVersionLabel->setText(QString::fromStdString(labels.PCOVersion));
    PCAlignVersionLabel->setText(QString::fromStdString(labels.PCAlignVersion));
    m_TargetRadioLabel->setText(QString::fromStdString(labels.TargetRadio));
    m_TargetSeriesLabel->setText(QString::fromStdString(labels.TargetSeries));
    m_TargetUpgradeTypeLabel->setText(QString::fromStdString(labels.TargetUpgradeType));
}

void TCodeUpdaterMainDispForm::SetApplicationTitle(const QString& title)
{
    g_ApplicationTitle = title;
    setWindowTitle(title);
}

void TCodeUpdaterMainDispForm::ToggleVersionInfo()
{
    if (m_VersionInfoVisible)
        resize(m_TargetVersionInfoGroupBox->x() + 5, height());
    else
        resize(width() + m_TargetVersionInfoGroupBox->width() + 5, height());
    m_VersionInfoVisible = !m_VersionInfoVisible;
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
    const bool bootChosen = m_Attributes->UpgradeType == 1
        || (m_Attributes->UpgradeType == 3 && m_BootRadioButton->isChecked());
    if (m_UpdateInProgress) {
        LeaveUpdateState(true);
        m_ProgressBar->setValue(0);
        return;
    }
    if (!m_AccessGranted) {
        const std::string expected = bootChosen && !m_AppAndBootUpgrade ? "marigold" : "pelican";
        std::string entered;
        if (!AskAccessCode(entered) || entered != expected)
            return;
        m_AccessGranted = true;
    }
    m_RetrieveVersionInfoButton->setFocus();
    m_Trace->Clear();
    if (m_AppAndBootUpgrade)
        RunCombinedUpdate();
    else
        RunSelectedUpdate(bootChosen);
    ReleasePort();
    // A run that did not end with "Done." leaves the line's traffic for support.
    if (m_StatusLabel->text() != QStringLiteral("Done.")) {
        const std::string trace = SaveTraceAfterFailure();
        if (!trace.empty())
            m_StatusLabel->setText(m_StatusLabel->text() + QStringLiteral("\n(Line trace: ")
                + QString::fromStdString(trace) + QStringLiteral(")"));
    }
}

std::string TCodeUpdaterMainDispForm::SaveTraceAfterFailure()
{
    return SaveFailureTrace(*m_Trace);
}

void TCodeUpdaterMainDispForm::EnterUpdateState()
{
    m_UpdateInProgress = true;
    if (m_ConsoleMode)
        return;
    m_StartButton->setText(QStringLiteral("Stop"));
    m_ComportComboBox->setEnabled(false);
    m_RetrieveVersionInfoButton->setEnabled(false);
    ShowSelectedPortLook();
    SetApplicationTitle(QString::fromLatin1(kTitle) + QStringLiteral(" [COM")
        + QString::number(m_ComportComboBox->currentIndex() + 1) + QStringLiteral("]"));
}

void TCodeUpdaterMainDispForm::LeaveUpdateState(bool deleteWorkFiles)
{
    m_UpdateInProgress = false;
    m_CommSession->SetReceiveEnable(false);
    QThread::msleep(50);
    if (deleteWorkFiles) {
        if (!m_LoaderFileName.empty())
            std::remove(m_LoaderFileName.c_str());
        if (!m_CodeFileName.empty())
            std::remove(m_CodeFileName.c_str());
    }
    if (m_ConsoleMode)
        return;
    m_StartButton->setText(QStringLiteral("Start"));
    m_ComportComboBox->setEnabled(true);
    m_RetrieveVersionInfoButton->setEnabled(true);
    ShowSelectedPortLook();
    SetApplicationTitle(QString::fromLatin1(kTitle));
}

void TCodeUpdaterMainDispForm::ShowStatusText(const std::string& text)
{
    m_StatusLabel->setText(QString::fromStdString(text));
}

void TCodeUpdaterMainDispForm::WriteConsoleText(const std::string& text)
{
    WriteConsoleText(m_ConsoleOutput, text);
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
}

void TCodeUpdaterMainDispForm::StopTimedProgress()
{
    ProgressBarTimer->stop();
    m_ProgressBar->setValue(100);
}

void TCodeUpdaterMainDispForm::ProgressBarTimerTimer()
{
    m_ProgressBar->setValue(std::min(m_ProgressBar->value() + 1, m_ProgressBar->maximum()));
}

void TCodeUpdaterMainDispForm::m_OnCommTimerTimer()
{
    m_CommSession->SetReceiveEnable(false);
    m_CommTimer->stop();
}

void TCodeUpdaterMainDispForm::FocusRetrieveButton()
{
    m_RetrieveVersionInfoButton->setEnabled(true);
    m_RetrieveVersionInfoButton->setFocus();
    m_RetrieveVersionInfoButton->setEnabled(false);
}

CommSession& TCodeUpdaterMainDispForm::Session()
{
    return *m_CommSession;
}

const ResourceAttributes& TCodeUpdaterMainDispForm::Attributes() const
{
    return *m_Attributes;
}

std::string TCodeUpdaterMainDispForm::ExecutableDirectory() const
{
    return platform::ExecutableDirectory();
}

bool TCodeUpdaterMainDispForm::BootRadioButtonChecked() const
{
    return m_BootRadioButton->isChecked();
}

// ---- Sequences -------------------------------------------------------------

void TCodeUpdaterMainDispForm::RunCombinedUpdate()
{
    ::RunCombinedUpdate(*this);
}

void TCodeUpdaterMainDispForm::RunSelectedUpdate(bool bootChosen)
{
    ::RunSelectedUpdate(*this, bootChosen);
}

bool TCodeUpdaterMainDispForm::ExtractFirmwareSet(bool boot)
{
    return ::ExtractFirmwareSet(m_Resources.get(), *m_Attributes, boot, m_UseBootTwo, std::string(),
        m_LoaderFileName, m_CodeFileName);
}

// ---- Ports -----------------------------------------------------------------

void TCodeUpdaterMainDispForm::ScanComPorts()
{
    m_Ports->ScanComPorts();
    ShowSelectedPortLook();
}

bool TCodeUpdaterMainDispForm::ClaimAndOpenPort(bool versionMode)
{
    m_Ports->SetConsoleMode(m_ConsoleMode, m_CommandLinePort);
    return m_Ports->ClaimAndOpenPort(versionMode);
}

void TCodeUpdaterMainDispForm::ReleasePort()
{
    m_Ports->ReleasePort();
}

void TCodeUpdaterMainDispForm::m_ComportComboBoxChange(int)
{
    m_Ports->ComboBoxChange();
    ShowSelectedPortLook();
}

void TCodeUpdaterMainDispForm::ShowSelectedPortLook()
{
    // The closed list shows its selected item like the open one would.
    const int index = m_ComportComboBox->currentIndex();
    const bool grey = index < 0 || m_Ports->LookOfItem(index, m_ComportComboBox->isEnabled()).grey;
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
    m_Ports->UpdateComPorts();
    QApplication::restoreOverrideCursor();
    ShowSelectedPortLook();
}

// ---- Menu, close and the version panel --------------------------------------

void TCodeUpdaterMainDispForm::m_FileExitMenuItemClick()
{
    close();
}

void TCodeUpdaterMainDispForm::m_HelpAboutMenuItemClick()
{
    if (m_UpdateInProgress)
        return;
    ShowAboutBox();
}

bool TCodeUpdaterMainDispForm::FormCloseQuery()
{
    if (!m_UpdateInProgress)
        return true;
    auto answer
        = platform::ShowMessageBox("Confirm", "Update in progress.  Are you sure you want to quit?",
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
