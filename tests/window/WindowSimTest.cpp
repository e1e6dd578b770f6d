// The window against the simulated radio: Retrieve fills the version panel
// (and a failed retrieval keeps it), and Start, Stop and Start again run
// the update inside the click handler while the window keeps working.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

#include "app/TAppReturnCodeDispForm.h"
#include "app/TCodeDownPassDispDlg.h"
#include "app/TCodeUpdaterMainDispForm.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

int g_SimReturnCode = 0;

class WindowWithRadio : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "window_test";
        static char* argv[] = { name, nullptr };
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance()) {
            new QApplication(argc, argv);
            AppReturnCodeDispForm = new TAppReturnCodeDispForm(g_SimReturnCode);
        }
    }

    void SetUp() override
    {
        fs::create_directory(m_Dir / "ports");
        setenv("CORVEL_COM_DIR", (m_Dir / "ports").c_str(), 1);
        platform::SetMessageBoxHandler([this](const std::string& caption, const std::string& text,
                                           platform::MessageIcon, platform::MessageButtons) {
            m_Boxes.push_back(caption + ": " + text);
            return platform::MessageAnswer::Ok;
        });
        m_Cwd = fs::current_path();
        fs::create_directory(m_Dir / "work");
        fs::current_path(m_Dir / "work");
    }

    void TearDown() override
    {
        fs::current_path(m_Cwd);
        platform::SetMessageBoxHandler({});
        unsetenv("CORVEL_COM_DIR");
    }

    bool StartRadio(testsupport::SimProcess& radio, std::vector<std::string> options)
    {
        options.insert(options.end(), { "--port", "3" });
        return radio.Start(testsupport::SimBinary(), m_Dir / "ports", options);
    }

    // A small release of the shipped shape: 4400 series 6, combined update.
    fs::path PackRelease()
    {
        const fs::path loader = m_Dir / "loader.s2", code = m_Dir / "code.s3",
                       bootLoader = m_Dir / "boot-loader.s2", bootCode = m_Dir / "boot.s3";
        testsupport::WriteFileText(loader, pack::MakeDemoImage({ false, 0x010100, 400, 1 }));
        testsupport::WriteFileText(code, pack::MakeDemoImage({ true, 0xFE040100, 16 * 3000, 2 }));
        testsupport::WriteFileText(bootLoader, pack::MakeDemoImage({ false, 0x010100, 200, 3 }));
        testsupport::WriteFileText(bootCode, pack::MakeDemoImage({ true, 0xFE000100, 800, 4 }));
        const fs::path base = m_Dir / "base";
        testsupport::WriteFileText(base, "updater");
        const fs::path release = m_Dir / "Updater_4400_Release_6_10";
        auto r = testsupport::RunProcess({ testsupport::BinPath("corvel-pack").string(), "--base",
            base.string(), "--out", release.string(), "--family", "4400", "--series", "6",
            "--upgrade-type", "application-boot", "--platform-flag", "1", "--processor", "816",
            "--boot-version", "6.7", "--programming-app-version", "2.12.4", "--tuning-app-version",
            "3.0.17", "--app-loader", loader.string(), "--app-code", code.string(), "--boot-loader",
            bootLoader.string(), "--boot-code", bootCode.string() });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return release;
    }

    std::unique_ptr<TCodeUpdaterMainDispForm> Make(const fs::path& release)
    {
        auto w = std::make_unique<TCodeUpdaterMainDispForm>(std::vector<std::string> {},
            platform::OpenFileResources(release.string()), release.filename().string());
        w->m_ComportComboBox->setCurrentIndex(2); // COM3
        return w;
    }

    TempDir m_Dir;
    fs::path m_Cwd;
    std::vector<std::string> m_Boxes;
};

TEST_F(WindowWithRadio, RetrieveFillsThePanelAndAFailureKeepsIt)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio, { "--boot-version", "0.0", "--serial", "000AFF1B2C3D4E5F" }))
        << radio.Error();
    auto w = Make(PackRelease());
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

TEST_F(WindowWithRadio, StartStopAndStartAgain)
{
    testsupport::SimProcess radio;
    ASSERT_TRUE(StartRadio(radio, { "--boot-version", "6.7", "--line-rate", "115200" }))
        << radio.Error();
    auto w = Make(PackRelease());
    w->show();

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
        if (w->m_UpdateInProgress
            && w->m_StatusLabel->text().startsWith(QStringLiteral("Downloading Application"))) {
            seen.push_back(w->windowTitle());
            ++stops;
            w->m_StartButton->click();
        }
    });
    watcher.start(20);

    w->m_StartButton->click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(w->m_UpdateInProgress);
    EXPECT_EQ(w->m_StartButton->text(), "Start");
    EXPECT_EQ(w->windowTitle(), "Corvel Code Updater");
    EXPECT_EQ(w->m_ProgressBar->value(), 0);
    EXPECT_TRUE(w->m_ComportComboBox->isEnabled());

    // Again, without the dialog; the port was released and claims again.
    w->m_StartButton->click();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(stops, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "Corvel Code Updater [COM3]");
    EXPECT_TRUE(m_Boxes.empty()) << m_Boxes.front();
    // No work file stays behind (only the failure traces of the stopped runs).
    for (const auto& entry : fs::directory_iterator(fs::current_path()))
        EXPECT_EQ(entry.path().filename().string().rfind("Corvel_trace_", 0), 0u) << entry.path();
}

} // namespace
