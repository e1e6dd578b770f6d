// The real main window on Qt's off-screen platform: construction from a
// release, the labels, the narrow/wide toggle, the access code, the close
// question, About during an update and the port list.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/TCodeUpdaterMainDispForm.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"
#include "tests/support/TestSupport.h"
#include "workflow/FirmwareCatalogue.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

int g_ReturnCode = 0;

struct Box {
    std::string caption;
    std::string text;
};

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
        platform::SetMessageBoxHandler([this](const std::string& caption, const std::string& text,
                                           platform::MessageIcon, platform::MessageButtons) {
            m_Boxes.push_back({ caption, text });
            return m_Answer;
        });
    }

    void TearDown() override
    {
        platform::SetMessageBoxHandler({});
        unsetenv("CORVEL_COM_DIR");
    }

    // A release file holding just an attribute record.
    std::unique_ptr<platform::ResourceSource> Release(
        uint8_t family, uint8_t series, uint8_t upgradeType)
    {
        ResourceAttributes record;
        record.RadioFamily = family;
        record.SeriesNumber = series;
        record.UpgradeType = upgradeType;
        record.PlatformFlag = 1;
        std::memcpy(record.ProgrammingAppVersion.data(), "2.12.4", 7);
        std::memcpy(record.TuningAppVersion.data(), "3.0.17", 7);
        auto bytes = EncodeResourceAttributes(record);
        platform::ResourceArchiveWriter writer;
        std::string error;
        EXPECT_TRUE(writer.Add(std::string(kResourceAttributesName), "TEXT",
            std::vector<uint8_t>(bytes.begin(), bytes.end()), &error))
            << error;
        fs::path path = m_Dir / ("release" + std::to_string(m_Releases++));
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        EXPECT_TRUE(writer.WriteArchive(fd, &error)) << error;
        close(fd);
        return platform::OpenFileResources(path.string());
    }

    std::unique_ptr<TCodeUpdaterMainDispForm> Make(uint8_t family = 0, uint8_t series = 6,
        uint8_t upgradeType = 3, const std::string& name = "Updater_4400_Release_6_10")
    {
        return std::make_unique<TCodeUpdaterMainDispForm>(
            std::vector<std::string> {}, Release(family, series, upgradeType), name);
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

    TempDir m_Dir;
    int m_Releases = 0;
    int m_Dialogs = 0;
    std::vector<Box> m_Boxes;
    platform::MessageAnswer m_Answer = platform::MessageAnswer::Ok;
};

TEST(NameAndRelease, ComesFromTheExecutableName)
{
    struct Case {
        const char* file;
        const char* name;
        const char* release;
    };
    const Case cases[] = {
        { "Updater_4400_Release_6_10", "Updater_4400_Release_6_10", "6.10" },
        { "Updater_4400_Release_6_10.exe", "Updater_4400_Release_6_10", "6.10" },
        { "Updater_4600_Release_06_10", "Updater_4600_Release_06_10", "06 10" },
        { "Updater_4400", "Updater_4400", "N/A" },
        { "Updater.old.exe", "Updater", "N/A" },
        { "_Release_7_2", "_Release_7_2", "7.2" },
        { "Release_1", "Release_1", "1" },
        { "x_", "x_", "N/A" },
    };
    for (const auto& c : cases) {
        NameAndRelease r = NameAndReleaseOf(c.file);
        EXPECT_EQ(r.name, c.name) << c.file;
        EXPECT_EQ(r.release, c.release) << c.file;
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

TEST_F(Window, ToggleWidensAndNarrowsFromTheCurrentWidth)
{
    auto w = Make();
    EXPECT_EQ(w->width(), 417);
    EXPECT_EQ(w->m_ToggleVersionInfoSpeedButton->text(), ">>");
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_EQ(w->width(), 695);
    EXPECT_EQ(w->m_ToggleVersionInfoSpeedButton->text(), "<<");
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_EQ(w->width(), 417);
    w->resize(500, w->height());
    w->m_ToggleVersionInfoSpeedButton->click();
    EXPECT_EQ(w->width(), 778);
}

TEST_F(Window, AccessCodeIsAskedOnceAndMustMatchExactly)
{
    // No ports exist: an update that starts stops at the claim with its box.
    auto w = Make(0, 6, 3);
    const std::string unavailable = "Selected COM port is in use or not available.";

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
    EXPECT_EQ(m_Boxes[0].caption, "COM Port");
    EXPECT_EQ(m_Boxes[0].text, unavailable);
    EXPECT_EQ(w->m_StatusLabel->text(), "Idle");
    EXPECT_EQ(w->m_StartButton->text(), "Start");

    // Granted once: no dialog any more.
    w->m_StartButton->click();
    EXPECT_EQ(m_Dialogs, 4);
    EXPECT_EQ(m_Boxes.size(), 2u);
}

TEST_F(Window, BootChoiceAsksForTheOtherCode)
{
    auto w = Make(1, 3, 3); // choice offered
    w->m_BootRadioButton->setChecked(true);
    AnswerAccessDialog("pelican", true);
    w->m_StartButton->click();
    EXPECT_FALSE(w->m_AccessGranted);
    AnswerAccessDialog("marigold", true);
    w->m_StartButton->click();
    EXPECT_TRUE(w->m_AccessGranted);

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
    EXPECT_EQ(m_Boxes[0].caption, "Confirm");
    EXPECT_EQ(m_Boxes[0].text, "Update in progress.  Are you sure you want to quit?");
    EXPECT_TRUE(w->m_UpdateInProgress);

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
    EXPECT_FALSE(w->m_UpdateInProgress);
    EXPECT_EQ(w->windowTitle(), "Corvel Code Updater");
    EXPECT_EQ(w->m_StartButton->text(), "Start");
}

TEST_F(Window, PortListKeepsAllPortsAndSkipsMissingOnes)
{
    auto w = Make();
    ASSERT_EQ(w->m_ComportComboBox->count(), 255);
    EXPECT_EQ(w->m_ComportComboBox->currentIndex(), 0);
    EXPECT_EQ(w->m_ComportComboBox->itemText(254), "COM255");

    // A port appears; the menu command rescans and keeps the selection.
    testsupport::PtyPair pty;
    fs::create_symlink(pty.SlavePath(), m_Dir / "ports" / "COM4");
    w->m_UpdateCOMPortsMenuItem->trigger();
    EXPECT_EQ(w->m_ComportComboBox->currentIndex(), 0);
    // Choosing a grey item moves to the first present port.
    w->m_ComportComboBox->setCurrentIndex(9);
    EXPECT_EQ(w->m_ComportComboBox->currentIndex(), 3);
    EXPECT_EQ(w->m_ComportComboBox->currentText(), "COM4");
}

} // namespace
