// The real main window on Qt's off-screen platform: construction from a
// release, the labels, the narrow/wide toggle, the access code, the close
// question, About during an update, the port list (rescanned on the menu and
// on tty events), File > Open Release; and against the
// simulated radio: Retrieve fills the version panel (and a failed retrieval
// keeps it), and Start, Stop and Start again run the update inside the click
// handler while the window keeps working (SIGTERM stops it as Stop does).

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <tuple>

#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/TCodeUpdaterMainDispForm.h"
#include "link/LinkCallbacks.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/TtyHotplug.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "tests/download_dsp/DspObjectBuilder.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"
#include "workflow/History.h"
#include "workflow/PortClaim.h"
#include "workflow/ProgressReadout.h"
#include "workflow/UpdateRun.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

int g_ReturnCode = 0;

class Window : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "window_test";
        static char* argv[] = { name, nullptr };
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Both live until the process ends: Qt must not be torn down by
        // static destructors after the test runner has returned.
        if (!QApplication::instance()) {
            new QApplication(argc, argv);
            AppReturnCodeDispForm = new TAppReturnCodeDispForm(g_ReturnCode);
        }
    }

    void SetUp() override
    {
        fs::create_directory(m_Dir / "ports");
        setenv("CORVEL_COM_DIR", (m_Dir / "ports").c_str(), 1);
        // Work files and line traces land in the working directory.
        m_Cwd = fs::current_path();
        fs::create_directory(m_Dir / "work");
        fs::current_path(m_Dir / "work");
    }

    void TearDown() override
    {
        fs::current_path(m_Cwd);
        unsetenv("CORVEL_COM_DIR");
    }

    // A window on a small packed release of the shipped shape (4400 series
    // 6, combined update by default), named `name`.
    std::unique_ptr<TCodeUpdaterMainDispForm> Make(uint8_t family = 0, uint8_t series = 6,
        uint8_t upgradeType = 3, const std::string& name = "Updater_4400_Release_6_10")
    {
        auto window = std::make_unique<TCodeUpdaterMainDispForm>(std::vector<std::string> {},
            platform::OpenFileResources(Pack(family, series, upgradeType, "updater").string()),
            name);
        window->SetMessageBoxes(&m_Recorder);
        return window;
    }

    // A packed release on the program `base`.
    fs::path Pack(uint8_t family, uint8_t series, uint8_t upgradeType, const std::string& base)
    {
        const char* types[] = { "application", "boot", "dsp", "application-boot" };
        const fs::path dir = m_Dir / ("release" + std::to_string(m_Releases++));
        fs::create_directory(dir);
        testsupport::WriteFileText(dir / "base", base);
        std::vector<std::string> args { testsupport::BinPath("corvel-pack").string(), "--base",
            (dir / "base").string(), "--out", (dir / "release").string(), "--family",
            family == 0 ? "4400" : "4600", "--series", std::to_string(series), "--upgrade-type",
            types[upgradeType], "--platform-flag", "1", "--processor", "816", "--boot-version",
            "6.7", "--programming-app-version", "2.12.4", "--tuning-app-version", "3.0.17" };
        const pack::DemoImageShape images[]
            = { { false, 0x010100, 400, 1 }, { true, 0xFE040100, 16 * 3000, 2 },
                  { false, 0x010100, 200, 3 }, { true, 0xFE000100, 800, 4 } };
        std::string texts[4];
        for (int i = 0; i < 4; ++i)
            texts[i] = pack::MakeDemoImage(images[i]);
        if (upgradeType == 2) {
            // A DSP release: an S3 loader and an object file of one page.
            texts[0] = pack::MakeDemoImage({ true, 0x00200000, 400, 1 });
            dsptest::ObjectFile object;
            object.sections.resize(1);
            object.sections[0].data.assign(128, 0x5A);
            const dsptest::Bytes bytes = dsptest::BuildObject(object);
            texts[1].assign(bytes.begin(), bytes.end());
        }
        const char* options[] = { "--app-loader", "--app-code", "--boot-loader", "--boot-code" };
        for (int i = 0; i < 4; ++i) {
            testsupport::WriteFileText(dir / options[i], texts[i]);
            args.insert(args.end(), { options[i], (dir / options[i]).string() });
        }
        const auto r = testsupport::RunProcess(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return dir / "release";
    }

    // Answers the next modal dialog with `code` (OK) or cancels it.
    void AnswerAccessDialog(const QString& code, bool ok)
    {
        QTimer::singleShot(0, [code, ok, this] {
            auto* dialog = qobject_cast<TCodeDownPassDispDlg*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            ++m_Dialogs;
            dialog->m_PasswordEdit->setText(code);
            (ok ? dialog->BitBtn1 : dialog->BitBtn2)->click();
        });
    }

    bool StartRadio(testsupport::SimProcess& radio, std::vector<std::string> options)
    {
        options.insert(options.end(), { "--port", "3" });
        return radio.Start(testsupport::SimBinary(), m_Dir / "ports", options);
    }

    TempDir m_Dir;
    fs::path m_Cwd;
    int m_Releases = 0;
    int m_Dialogs = 0;
    std::vector<std::string> m_Boxes;
    platform::MessageAnswer m_Answer = platform::MessageAnswer::Ok;
    // The window's message boxes, as "caption: text", answered with m_Answer.
    struct Recorder : platform::IMessageBoxes {
        explicit Recorder(Window& test)
            : m_Test(test)
        {
        }
        platform::MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
            platform::MessageIcon, platform::MessageButtons) override
        {
            m_Test.m_Boxes.push_back(caption + ": " + text);
            return m_Test.m_Answer;
        }
        Window& m_Test;
    } m_Recorder { *this };
};

TEST(NameAndRelease, ComesFromTheExecutableName)
{
    // File name, name, release.
    for (const auto& [file, name, release] :
        { std::tuple { "Updater_4400_Release_6_10", "Updater_4400_Release_6_10", "6.10" },
            { "Updater_4400_Release_6_10.exe", "Updater_4400_Release_6_10", "6.10" },
            { "Updater_4600_Release_06_10", "Updater_4600_Release_06_10", "06 10" },
            { "Updater_4400", "Updater_4400", "N/A" }, { "Updater.old.exe", "Updater", "N/A" },
            { "_Release_7_2", "_Release_7_2", "7.2" }, { "Release_1", "Release_1", "1" },
            { "x_", "x_", "N/A" } }) {
        const NameAndRelease r = NameAndReleaseOf(file);
        EXPECT_EQ(r.name, name) << file;
        EXPECT_EQ(r.release, release) << file;
    }
}

TEST_F(Window, LabelsPictureAndUpgradeChoiceFollowTheRelease)
{
    auto w = Make(0, 6, 3);
    EXPECT_EQ(w->m_NameLabel->text(), "Name: Updater_4400_Release_6_10");
    EXPECT_EQ(w->m_TargetReleaseLabel->text(), "6.10");
    EXPECT_EQ(w->m_TargetRadioLabel->text(), "4400");
    EXPECT_EQ(w->m_TargetSeriesLabel->text(), "6");
    EXPECT_EQ(w->m_TargetUpgradeTypeLabel->text(), "Application/Boot");
    EXPECT_EQ(w->PCOVersionLabel->text(), "2.12.4");
    EXPECT_EQ(w->PCAlignVersionLabel->text(), "3.0.17");
    EXPECT_FALSE(w->PortableGPicture->isHidden());
    EXPECT_TRUE(w->PortableXPicture->isHidden());
    EXPECT_FALSE(w->PortableGPicture->pixmap().isNull());
    // Combined release: no choice offered.
    EXPECT_TRUE(w->m_BootRadioButton->isHidden());

    auto mobile = Make(1, 3, 3, "Updater");
    EXPECT_EQ(mobile->m_TargetRadioLabel->text(), "4600");
    EXPECT_EQ(mobile->m_TargetReleaseLabel->text(), "N/A");
    EXPECT_FALSE(mobile->MobileXPicture->isHidden());
    EXPECT_TRUE(mobile->MobileGPicture->isHidden());
    // Application/Boot outside series 4 and 6: the choice is offered.
    EXPECT_FALSE(mobile->m_BootRadioButton->isHidden());
    EXPECT_FALSE(mobile->m_ApplicationRadioButton->isHidden());
    EXPECT_TRUE(mobile->m_ApplicationRadioButton->isChecked());
}

TEST(ProgressReadout, PercentElapsedAndTimeLeftOrSecondsOfAWait)
{
    EXPECT_EQ(MeasuredProgressText(0, 3.2), "0%  0:03 elapsed");
    EXPECT_EQ(MeasuredProgressText(25, 30), "25%  0:30 elapsed  1:30 left");
    EXPECT_EQ(MeasuredProgressText(50, 425), "50%  7:05 elapsed  7:05 left");
    EXPECT_EQ(MeasuredProgressText(100, 61), "100%  1:01 elapsed");
    EXPECT_EQ(FixedWaitText(20), "20 s left");
    EXPECT_EQ(FixedWaitText(-1), "0 s left");
}

TEST_F(Window, ProgressTextBesideTheBarDuringAnUpdateOnly)
{
    auto w = Make();
    QLabel* text = w->m_ProgressTextLabel;
    w->m_ProgressBar->setValue(40);
    EXPECT_TRUE(text->text().isEmpty()); // idle: nothing

    w->Run().EnterUpdateState();
    w->ProgressBar().SetPosition(0);
    w->ProgressBar().SetPosition(40);
    EXPECT_TRUE(text->text().startsWith(QStringLiteral("40%  0:0"))) << text->text().toStdString();
    EXPECT_TRUE(text->text().endsWith(QStringLiteral(" left"))) << text->text().toStdString();
    // A fixed wait of 100 ticks of 200 ms: 20 s, counting down.
    w->StartTimedProgress(200);
    EXPECT_EQ(text->text(), "20 s left");
    w->m_ProgressBar->setValue(50);
    EXPECT_EQ(text->text(), "10 s left");
    w->StopTimedProgress();
    EXPECT_TRUE(text->text().isEmpty());
    // The status texts themselves stay as they are.
    EXPECT_EQ(w->m_StatusLabel->text(), "Idle");
    w->Run().LeaveUpdateState(false);
    EXPECT_TRUE(text->text().isEmpty());
}

TEST_F(Window, PlainProgramWithoutFirmwareOffersNoStart)
{
    TCodeUpdaterMainDispForm plain({}, nullptr, "corvel-updater");
    plain.SetMessageBoxes(&m_Recorder);
    EXPECT_EQ(plain.m_StatusLabel->text().toStdString(),
        "This program carries no firmware. Open a release (Updater_...) to update a radio.");
    // (A release offers Start: every test that clicks it.)
    EXPECT_FALSE(plain.m_StartButton->isEnabled());

    // File > Open Release starts an executable release with no arguments;
    // this one's program notes how it was started.
    const fs::path started = Pack(0, 6, 0, "#!/bin/sh\necho \"$#\" > \"$0.started\"\nexit 0\n");
    const fs::perms exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(started, exec, fs::perm_options::remove);
    const fs::path script = m_Dir / "script";
    testsupport::WriteFileText(script, "#!/bin/sh\n");
    fs::permissions(script, fs::perms::owner_all);
    plain.OpenRelease(script.string());
    plain.OpenRelease(started.string());
    plain.OpenRelease((m_Dir / "missing").string());
    ASSERT_EQ(m_Boxes.size(), 3u);
    EXPECT_NE(m_Boxes[0].find(script.string() + " is not a release"), std::string::npos)
        << m_Boxes[0];
    EXPECT_NE(m_Boxes[1].find("not executable"), std::string::npos) << m_Boxes[1];
    EXPECT_NE(m_Boxes[2].find("cannot be opened"), std::string::npos) << m_Boxes[2];
    fs::permissions(started, exec, fs::perm_options::add);
    plain.OpenRelease(started.string());
    EXPECT_EQ(m_Boxes.size(), 3u);
    const fs::path note = started.string() + ".started";
    for (int i = 0; i < 500 && !fs::exists(note); ++i)
        QThread::msleep(10);
    EXPECT_EQ(testsupport::ReadFileText(note), "0\n");
}

// A tty event source the test drives: each byte written is an event.
class FakeHotplug : public platform::ITtyHotplug {
public:
    explicit FakeHotplug(int& events)
    {
        EXPECT_EQ(::pipe2(m_Pipe, O_NONBLOCK | O_CLOEXEC), 0);
        events = m_Pipe[1];
    }
    ~FakeHotplug() override
    {
        ::close(m_Pipe[0]);
        ::close(m_Pipe[1]);
    }
    int Descriptor() const override { return m_Pipe[0]; }
    bool DrainEvents() override
    {
        char bytes[16];
        bool any = false;
        while (::read(m_Pipe[0], bytes, sizeof bytes) > 0)
            any = true;
        return any;
    }

private:
    int m_Pipe[2] = { -1, -1 };
};

// Lets the window handle its events until `done` or about five seconds.
void ProcessEventsUntil(const std::function<bool()>& done)
{
    for (int i = 0; i < 500 && !done(); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
}

TEST_F(Window, PortListRescansOnTheMenuAndOnTtyEvents)
{
    auto w = Make();
    int events = -1;
    w->SetTtyHotplug(std::make_unique<FakeHotplug>(events));
    // The list's contents themselves are the port handling's own tests.
    ASSERT_EQ(w->m_ComportComboBox->count(), 255);
    const PortClaim& ports = w->Run().Ports();

    // A port appears; the menu command rescans, and the grey selection moves
    // to it.
    testsupport::PtyPair com2;
    testsupport::PtyPair com3;
    fs::create_symlink(com3.SlavePath(), m_Dir / "ports" / "COM3");
    w->m_UpdateCOMPortsMenuItem->trigger();
    EXPECT_EQ(w->m_ComportComboBox->currentIndex(), 2);
    // Choosing a grey item moves to the first present port.
    w->m_ComportComboBox->setCurrentIndex(9);
    EXPECT_EQ(w->m_ComportComboBox->currentText(), "COM3");

    // An adapter comes as COM2: it is listed without the menu, and the
    // selection stays on COM3.
    fs::create_symlink(com2.SlavePath(), m_Dir / "ports" / "COM2");
    ASSERT_EQ(::write(events, "a", 1), 1);
    ProcessEventsUntil([&] { return ports.PortPresent(2) == PortClaim::kPortFree; });
    EXPECT_EQ(ports.PortPresent(2), PortClaim::kPortFree);
    EXPECT_EQ(w->m_ComportComboBox->currentText(), "COM3");

    // The selected port goes: the first present port is selected.
    fs::remove(m_Dir / "ports" / "COM3");
    ASSERT_EQ(::write(events, "r", 1), 1);
    ProcessEventsUntil([&] { return ports.PortPresent(3) == PortClaim::kPortMissing; });
    EXPECT_EQ(w->m_ComportComboBox->currentText(), "COM2");
}

TEST_F(Window, ToggleWidensAndNarrowsFromTheCurrentWidth)
{
    auto w = Make();
    EXPECT_EQ(w->width(), 417);
    EXPECT_EQ(w->m_ToggleVersionInfoSpeedButton->text(), ">>");
    // Narrowed, nothing of the panel shows at the right edge.
    EXPECT_FALSE(w->m_TargetVersionInfoGroupBox->isVisibleTo(w.get()));
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_TRUE(w->m_TargetVersionInfoGroupBox->isVisibleTo(w.get()));
    EXPECT_EQ(w->width(), 695);
    EXPECT_EQ(w->m_ToggleVersionInfoSpeedButton->text(), "<<");
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_EQ(w->width(), 417);
    w->resize(500, w->height());
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_EQ(w->width(), 778);
}

TEST_F(Window, AccessCodeIsAskedOnceMustMatchExactlyAndFollowsTheUpgradeType)
{
    // No ports exist: an update that starts stops at the claim with its box.
    auto w = Make(0, 6, 3);

    AnswerAccessDialog("Pelican", true);
    w->m_StartButton->click();
    AnswerAccessDialog("pelican", false);
    w->m_StartButton->click();
    AnswerAccessDialog("marigold", true);
    w->m_StartButton->click();
    EXPECT_EQ(m_Dialogs, 3);
    EXPECT_TRUE(m_Boxes.empty());
    EXPECT_FALSE(w->m_AccessGranted);

    AnswerAccessDialog("  pelican\t", true);
    w->m_StartButton->click();
    EXPECT_TRUE(w->m_AccessGranted);
    ASSERT_EQ(m_Boxes.size(), 1u);
    EXPECT_EQ(m_Boxes[0], "COM Port: Selected COM port is in use or not available.");
    EXPECT_EQ(w->m_StatusLabel->text(), "Idle");
    EXPECT_EQ(w->m_StartButton->text(), "Start");

    // Granted once: no dialog any more.
    w->m_StartButton->click();
    EXPECT_EQ(m_Dialogs, 4);
    EXPECT_EQ(m_Boxes.size(), 2u);

    // The boot choice asks for the other code.
    auto choice = Make(1, 3, 3); // choice offered
    choice->m_BootRadioButton->setChecked(true);
    AnswerAccessDialog("pelican", true);
    choice->m_StartButton->click();
    EXPECT_FALSE(choice->m_AccessGranted);
    AnswerAccessDialog("marigold", true);
    choice->m_StartButton->click();
    EXPECT_TRUE(choice->m_AccessGranted);

    auto boot = Make(0, 2, 1); // a boot release
    AnswerAccessDialog("marigold", true);
    boot->m_StartButton->click();
    EXPECT_TRUE(boot->m_AccessGranted);

    auto combined = Make(0, 4, 3); // combined: always "pelican"
    AnswerAccessDialog("marigold", true);
    combined->m_StartButton->click();
    EXPECT_FALSE(combined->m_AccessGranted);
}

TEST_F(Window, CloseDuringAnUpdateAsksAndYesStopsAndRemovesWorkFiles)
{
    auto w = Make();
    w->show();
    // Idle: closes without a question.
    EXPECT_TRUE(w->close());
    EXPECT_TRUE(m_Boxes.empty());

    w->show();
    w->EnterUpdateState();
    EXPECT_EQ(w->windowTitle(), "Corvel Code Updater [COM1]");
    EXPECT_EQ(w->m_StartButton->text(), "Stop");
    EXPECT_FALSE(w->m_ComportComboBox->isEnabled());

    m_Answer = platform::MessageAnswer::No;
    EXPECT_FALSE(w->close());
    ASSERT_EQ(m_Boxes.size(), 1u);
    EXPECT_EQ(m_Boxes[0], "Confirm: Update in progress.  Are you sure you want to quit?");
    EXPECT_TRUE(w->Run().UpdateInProgress());

    // About is ignored while the update runs: no box, no dialog.
    bool aboutShown = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            aboutShown = true;
            modal->close();
        }
    });
    w->m_HelpAboutMenuItem->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(aboutShown);

    m_Answer = platform::MessageAnswer::Yes;
    EXPECT_TRUE(w->close());
    EXPECT_FALSE(w->Run().UpdateInProgress());
    EXPECT_EQ(w->windowTitle(), "Corvel Code Updater");
    EXPECT_EQ(w->m_StartButton->text(), "Start");
}

// How the open list draws item `row`: whether its text is grey (its darkest
// pixel is RGB 128, 128, 128), or has pixels of the normal text colour, or of
// the highlighted text on the highlight colour.
struct ItemInk {
    bool grey = false;
    bool normal = false;
    bool highlighted = false;
};
ItemInk InkOfOpenListItem(QComboBox* box, int row)
{
    box->showPopup();
    QAbstractItemView* view = box->view();
    view->scrollTo(view->model()->index(row, 0));
    QApplication::processEvents();
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    const QImage image = view->viewport()->grab(rect).toImage();
    const QPalette normal = QApplication::palette();
    ItemInk ink;
    bool highlightText = false;
    bool highlightBase = false;
    QColor darkest = Qt::white;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (qGray(pixel.rgb()) < qGray(darkest.rgb()))
                darkest = pixel;
            ink.normal = ink.normal || pixel == normal.color(QPalette::Text);
            highlightText = highlightText || pixel == normal.color(QPalette::HighlightedText);
            highlightBase = highlightBase || pixel == normal.color(QPalette::Highlight);
        }
    }
    ink.highlighted = highlightText && highlightBase;
    ink.grey = darkest == QColor(128, 128, 128);
    box->hidePopup();
    return ink;
}

TEST_F(Window, OpenListDrawsFreePortsNormallyAndSelectsTheFirstAtStart)
{
    // COM3 and COM5 are free before the window starts; the others are missing.
    testsupport::PtyPair com3;
    testsupport::PtyPair com5;
    fs::create_symlink(com3.SlavePath(), m_Dir / "ports" / "COM3");
    fs::create_symlink(com5.SlavePath(), m_Dir / "ports" / "COM5");
    auto w = Make();
    w->show();
    EXPECT_EQ(w->m_ComportComboBox->currentText(), "COM3");
    const ItemInk selected = InkOfOpenListItem(w->m_ComportComboBox, 2);
    EXPECT_TRUE(selected.highlighted);
    EXPECT_FALSE(selected.grey);
    const ItemInk free = InkOfOpenListItem(w->m_ComportComboBox, 4);
    EXPECT_TRUE(free.normal);
    EXPECT_FALSE(free.grey);
    const ItemInk missing = InkOfOpenListItem(w->m_ComportComboBox, 0);
    EXPECT_TRUE(missing.grey);
    EXPECT_FALSE(missing.normal);

    // COM5 goes away while chosen: the update stops at the claim and the
    // closed box shows its grey selection; free COM3 still draws normally.
    w->m_ComportComboBox->setCurrentIndex(4);
    fs::remove(m_Dir / "ports" / "COM5");
    AnswerAccessDialog("pelican", true);
    w->m_StartButton->click();
    ASSERT_EQ(m_Boxes.size(), 1u);
    EXPECT_EQ(w->m_ComportComboBox->currentIndex(), 4);
    const ItemInk stillFree = InkOfOpenListItem(w->m_ComportComboBox, 2);
    EXPECT_TRUE(stillFree.normal);
    EXPECT_FALSE(stillFree.grey);
}

TEST_F(Window, RetrieveFillsThePanelAndAFailureKeepsIt)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio, { "--boot-version", "0.0", "--serial", "000AFF1B2C3D4E5F" }))
        << radio.Error();
    auto w = Make();
    w->m_ComportComboBox->setCurrentIndex(2); // COM3
    ASSERT_EQ(w->m_ComportComboBox->currentText(), "COM3");
    EXPECT_EQ(w->HWControllerVersionHeadingLabel->text(), "HC08 Software Version:");

    w->m_RetrieveVersionInfoButton->click();
    EXPECT_TRUE(m_Boxes.empty()) << m_Boxes.front();
    EXPECT_EQ(w->FileVersionLabel->text(), "5.8");
    EXPECT_EQ(w->DSPVersionLabel->text(), "1.2.3");
    EXPECT_EQ(w->HWControllerVersionHeadingLabel->text(), "Controller Version:");
    EXPECT_EQ(w->HWControllerVersionLabel->text(), "2.16.0");
    // Model code 0 (4400 series 6): no hardware revision; boot 0.0 reads
    // as not applicable.
    EXPECT_EQ(w->HWRevisionLabel->text(), "Not Applicable");
    EXPECT_EQ(w->SerialNumberLabel->text(), "00-0A-FF-1B-2C-3D-4E-5F");
    EXPECT_EQ(w->BootLoadVersionLabel->text(), "Not Applicable");
    EXPECT_EQ(w->SEMVersionLabel->text(), "1.0");
    EXPECT_TRUE(w->m_RetrieveVersionInfoButton->isEnabled());
    radio.Stop();

    // A radio that answers nothing: the box, and the panel as it was.
    testsupport::SimProcess mute;
    ASSERT_TRUE(StartRadio(mute, { "--mute" })) << mute.Error();
    w->m_RetrieveVersionInfoButton->click();
    ASSERT_EQ(m_Boxes.size(), 1u);
    EXPECT_EQ(
        m_Boxes[0], "Communication: Communication error while retrieving version information.");
    EXPECT_EQ(w->SerialNumberLabel->text(), "00-0A-FF-1B-2C-3D-4E-5F");
    EXPECT_TRUE(w->m_RetrieveVersionInfoButton->isEnabled());
}

// Line traces the window left in the working directory.
std::vector<fs::path> TracesInWorkDir()
{
    return testsupport::FilesStartingWith(fs::current_path(), "Corvel_trace_");
}

TEST_F(Window, BootUpgradeLeavesNoTraceAndThePanelShowsTheNewBootVersion)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(
        radio, { "--boot-version", "6.5", "--new-boot-version", "6.7", "--line-rate", "115200" }))
        << radio.Error();
    auto w = Make(0, 6, 1); // a boot release
    w->m_ComportComboBox->setCurrentIndex(2); // COM3
    w->m_RetrieveVersionInfoButton->click();
    ASSERT_EQ(w->BootLoadVersionLabel->text(), "6.5");

    AnswerAccessDialog("marigold", true);
    w->m_StartButton->click();
    EXPECT_EQ(m_Dialogs, 1);
    EXPECT_TRUE(m_Boxes.empty()) << m_Boxes.front();
    EXPECT_TRUE(w->Run().LastRunSucceeded()) << w->m_StatusLabel->text().toStdString();
    // A boot download never shows "Done.", yet it went through: no trace.
    EXPECT_TRUE(TracesInWorkDir().empty()) << TracesInWorkDir().front();
    EXPECT_EQ(w->m_StatusLabel->text().indexOf(QStringLiteral("Line trace")), -1);
    EXPECT_EQ(w->BootLoadVersionLabel->text(), "6.7");

    // A run that fails leaves its trace and names it.
    radio.Stop();
    testsupport::SimProcess mute;
    ASSERT_TRUE(StartRadio(mute, { "--mute" })) << mute.Error();
    w->m_StartButton->click();
    EXPECT_FALSE(w->Run().LastRunSucceeded());
    EXPECT_EQ(TracesInWorkDir().size(), 1u);
    EXPECT_NE(w->m_StatusLabel->text().indexOf(QStringLiteral("Line trace")), -1);
    EXPECT_EQ(w->BootLoadVersionLabel->text(), "6.7");
}

TEST_F(Window, DspDownloadLeavesNoTrace)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio, { "--boot-version", "6.7" })) << radio.Error();
    auto w = Make(0, 6, 2); // a DSP release
    w->m_ComportComboBox->setCurrentIndex(2); // COM3
    AnswerAccessDialog("pelican", true);
    w->m_StartButton->click();
    EXPECT_TRUE(m_Boxes.empty()) << m_Boxes.front();
    // A DSP download ends with "Download finished", never with "Done.".
    EXPECT_EQ(w->m_StatusLabel->text(), "Download finished");
    EXPECT_TRUE(w->Run().LastRunSucceeded());
    EXPECT_TRUE(TracesInWorkDir().empty()) << TracesInWorkDir().front();
}

TEST_F(Window, StartStopAndStartAgain)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio, { "--boot-version", "6.7", "--line-rate", "115200" }))
        << radio.Error();
    auto w = Make();
    w->m_ComportComboBox->setCurrentIndex(2); // COM3
    w->show();

    w->CatchStopSignals();

    int dialogs = 0;
    int stops = 0;
    std::vector<QString> seen;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<TCodeDownPassDispDlg*>(QApplication::activeModalWidget())) {
            ++dialogs;
            dialog->m_PasswordEdit->setText(QStringLiteral("pelican"));
            dialog->BitBtn1->click();
            return;
        }
        // Stop once the code is on its way: the window works inside the run.
        // The second time SIGTERM stops it, as Stop does.
        if (w->Run().UpdateInProgress() && seen.size() < 2
            && w->m_StatusLabel->text().startsWith(QStringLiteral("Downloading Application"))) {
            seen.push_back(w->windowTitle());
            ++stops;
            if (stops == 1)
                w->m_StartButton->click();
            else
                ::raise(SIGTERM);
        }
    });
    watcher.start(20);

    w->m_StartButton->click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(w->Run().UpdateInProgress());
    EXPECT_EQ(w->m_StartButton->text(), "Start");
    EXPECT_EQ(w->windowTitle(), "Corvel Code Updater");
    EXPECT_EQ(w->m_ProgressBar->value(), 0);
    EXPECT_TRUE(w->m_ComportComboBox->isEnabled());

    // Again, without the dialog; the port was released and claims again.
    // SIGTERM stops the run and then closes the window.
    w->m_StartButton->click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(stops, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "Corvel Code Updater [COM3]");
    EXPECT_TRUE(m_Boxes.empty()) << m_Boxes.front();
    EXPECT_FALSE(w->Run().UpdateInProgress());
    EXPECT_FALSE(w->isVisible());
    // No work file stays behind (only the failure traces of the stopped runs).
    for (const auto& entry : fs::directory_iterator(fs::current_path()))
        EXPECT_EQ(entry.path().filename().string().rfind("Corvel_trace_", 0), 0u) << entry.path();
}

// File > Restore Codeplug: a bad file is refused before the port is
// claimed; Stop during the radio's reset wait ends the write with nothing
// written and the radio's codeplug saved.
TEST_F(Window, RestoreCodeplugRefusesBadFilesAndStopsDuringTheWait)
{
    const std::vector<uint8_t> codeplug = codeplugtest::TypicalCodeplug(8, 1, 1, 1).BuildWire();
    testsupport::WriteFileBytes(m_Dir / "radio.bin", codeplug);
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio,
        { "--codeplug", (m_Dir / "radio.bin").string(), "--codeplug-out",
            (m_Dir / "stored.bin").string(), "--format-version", "5.10", "--log",
            (m_Dir / "frames.log").string() }))
        << radio.Error();
    auto w = Make();
    w->m_ComportComboBox->setCurrentIndex(2); // COM3
    // This test's own history.
    const fs::path state = m_Dir / "state";
    const std::string savedState
        = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    setenv("XDG_STATE_HOME", state.c_str(), 1);

    std::vector<uint8_t> broken = codeplug;
    broken[0] = 0;
    testsupport::WriteFileBytes(m_Dir / "broken.bin", broken);
    w->RestoreCodeplug((m_Dir / "broken.bin").string());
    ASSERT_EQ(m_Boxes.size(), 1u);
    EXPECT_NE(m_Boxes[0].find("not valid"), std::string::npos) << m_Boxes[0];
    EXPECT_TRUE(testsupport::ReadFileText(m_Dir / "frames.log").find(">>") == std::string::npos);

    std::vector<QString> statuses;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        const QString status = w->m_StatusLabel->text();
        if (statuses.empty() || statuses.back() != status)
            statuses.push_back(status);
        if (w->Run().UpdateInProgress()
            && status == QStringLiteral("Resetting radio and converting codeplug..."))
            w->m_StartButton->click(); // Stop
    });
    watcher.start(10);
    w->RestoreCodeplug((m_Dir / "radio.bin").string());
    watcher.stop();

    EXPECT_EQ(m_Boxes.size(), 1u) << "a stop shows no box";
    EXPECT_EQ(w->m_StatusLabel->text(), "stopped; nothing was written");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                  QStringLiteral("Resetting radio and converting codeplug...")),
        statuses.end());
    EXPECT_EQ(w->m_StartButton->text(), "Start");
    EXPECT_FALSE(fs::exists(m_Dir / "stored.bin"));
    EXPECT_EQ(
        testsupport::FilesStartingWith(fs::current_path(), "Codeplug_001A2B3C4D5E6F70_").size(),
        1u);

    // Each restore left its record: the refused file, and the stopped write
    // with the radio's backup.
    const std::vector<nlohmann::json> records
        = history::ReadHistory((state / "corvel" / "history.jsonl").string());
    setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["mode"], "codeplug-write");
    EXPECT_EQ(records[0]["outcome"], "refused");
    EXPECT_EQ(records[0]["port"], 3);
    EXPECT_EQ(records[1]["outcome"], "stopped");
    EXPECT_EQ(records[1]["radio"]["identifier"], "001A2B3C4D5E6F70");
    EXPECT_EQ(records[1]["final_text"], "stopped; nothing was written");
    EXPECT_NE(records[1]["backup"].get<std::string>().find("Codeplug_001A2B3C4D5E6F70_"),
        std::string::npos);
}

} // namespace
