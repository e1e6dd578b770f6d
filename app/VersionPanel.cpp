// The version panel: what the connected radio reports about itself, read on
// demand with Retrieve, and the dialogs of the window.

#include "app/TCodeUpdaterMainDispForm.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

#include <cstring>

#include "app/QtMessageBox.h"
#include "app/TAboutDialog.h"
#include "app/TCodeDownPassDispDlg.h"
#include "link/ModelTraits.h"
#include "link/RadioQueries.h"
#include "platform/HexText.h"
#include "platform/MessageBox.h"
#include "workflow/UpdateRun.h"

namespace {

QString Dotted(const uint8_t* bytes, int count)
{
    QString text;
    for (int i = 0; i < count; ++i) {
        if (i)
            text += QLatin1Char('.');
        text += QString::number(bytes[i]);
    }
    return text;
}

// A two-part version; 0.0 means the radio has none to report.
QString VersionOrNone(const uint8_t* bytes)
{
    return bytes[0] == 0 && bytes[1] == 0 ? QStringLiteral("Not Applicable") : Dotted(bytes, 2);
}

} // namespace

void TCodeUpdaterMainDispForm::RetrieveVersionInfo()
{
    if (ClaimAndOpenPort(true)) {
        m_RetrieveVersionInfoButton->setEnabled(false);
        uint8_t record[24] = {};
        const QueryResult result = m_Run->ReadVersionInfo(record);
        if (VersionInfoRead(result)) {
            ShowVersionRecord(record);
        } else {
            ShowMessage("Communication",
                "Communication error while retrieving version information.",
                platform::MessageIcon::Error, platform::MessageButtons::Ok);
        }
        m_RetrieveVersionInfoButton->setEnabled(true);
    }
    ReleasePort();
}

void TCodeUpdaterMainDispForm::ShowVersionRecord(const uint8_t* record)
{
    const QString notApplicable = QStringLiteral("Not Applicable");
    FileVersionLabel->setText(Dotted(record + kVersionFileFormat, 2));
    DSPVersionLabel->setText(Dotted(record + kVersionDsp, 3));
    HWControllerVersionHeadingLabel->setText(QStringLiteral("Controller Version:"));
    HWControllerVersionLabel->setText(Dotted(record + kVersionController, 3));
    const bool revisionApplies = ModelTraitsOf(m_Run->TargetModelCode()).showsHardwareRevision;
    HWRevisionLabel->setText(
        revisionApplies ? Dotted(record + kVersionHardware, 3) : notApplicable);
    std::string serial;
    for (int i = 0; i < 8; ++i) {
        if (i > 0)
            serial += '-';
        platform::AppendHexByte(serial, record[kVersionSerial + i]);
    }
    SerialNumberLabel->setText(QString::fromStdString(serial));
    BootLoadVersionLabel->setText(VersionOrNone(record + kVersionBoot));
    SEMVersionLabel->setText(VersionOrNone(record + kVersionSem));
}

void TCodeUpdaterMainDispForm::ShowRunAnswers()
{
    const auto boot = m_Run->RadioBootVersion();
    // Only a panel that shows a reading is brought up to date.
    if (!boot || BootLoadVersionLabel->text().isEmpty())
        return;
    const uint8_t version[2]
        = { static_cast<uint8_t>(boot->first), static_cast<uint8_t>(boot->second) };
    BootLoadVersionLabel->setText(VersionOrNone(version));
}

bool TCodeUpdaterMainDispForm::AskAccessCode(std::string& entered)
{
    TCodeDownPassDispDlg dialog(this);
    dialog.exec();
    entered = dialog.EnteredCode();
    return dialog.OkPressed();
}

void TCodeUpdaterMainDispForm::ShowAboutBox()
{
    TAboutDialog about(this);
    about.exec();
}

bool TCodeUpdaterMainDispForm::AskCodeplugPassword(std::string& entered)
{
    return AskAccessCode(entered);
}

bool TCodeUpdaterMainDispForm::AskConsolePassword(std::string& entered)
{
    if (QtDrawsOffScreen()) {
        WriteConsoleText(m_ConsoleOutput, "\nThe radio asks for its codeplug password: ");
        std::string line;
        char ch = 0;
        while (line.size() < 64 && ::read(m_ConsoleInput, &ch, 1) == 1 && ch != '\n')
            line += ch;
        entered = TrimBlanksAndControls(line);
        return !entered.empty();
    }
    return AskAccessCode(entered);
}
