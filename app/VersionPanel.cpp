// The version panel: what the connected radio reports about itself, read on
// demand with Retrieve, and the dialogs of the window.

#include "app/TCodeUpdaterMainDispForm.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/TAboutDialog.h"
#include "app/TCodeDownPassDispDlg.h"
#include "link/ModelTraits.h"
#include "link/RadioQueries.h"
#include "platform/MessageBox.h"

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

} // namespace

void TCodeUpdaterMainDispForm::RetrieveVersionInfo()
{
    if (ClaimAndOpenPort(true)) {
        m_RetrieveVersionInfoButton->setEnabled(false);
        uint8_t record[24] = {};
        const QueryResult result
            = QueryVersionInfo(*m_CommSession, m_TargetModelCode, record, true);
        if (VersionInfoRead(result)) {
            ShowVersionRecord(record);
        } else {
            platform::ShowMessageBox("Communication",
                "Communication error while retrieving version information.",
                platform::MessageIcon::Error);
        }
        m_RetrieveVersionInfoButton->setEnabled(true);
    }
    ReleasePort();
}

void TCodeUpdaterMainDispForm::ShowVersionRecord(const uint8_t* record)
{
    const QString notApplicable = QStringLiteral("Not Applicable");
    FileVersionLabel->setText(Dotted(record + 0, 2));
    DSPVersionLabel->setText(Dotted(record + 2, 3));
    HWControllerVersionHeadingLabel->setText(QStringLiteral("Controller Version:"));
    HWControllerVersionLabel->setText(Dotted(record + 5, 3));
    const bool revisionApplies = ModelTraitsOf(m_TargetModelCode).showsHardwareRevision;
    HWRevisionLabel->setText(revisionApplies ? Dotted(record + 8, 3) : notApplicable);
    QString serial;
    for (int i = 11; i <= 18; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", record[i]);
        if (i > 11)
            serial += QLatin1Char('-');
        serial += QLatin1String(pair);
    }
    SerialNumberLabel->setText(serial);
    BootLoadVersionLabel->setText(
        record[19] == 0 && record[20] == 0 ? notApplicable : Dotted(record + 19, 2));
    SEMVersionLabel->setText(
        record[21] == 0 && record[22] == 0 ? notApplicable : Dotted(record + 21, 2));
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
    const QString platformName = QGuiApplication::platformName();
    if (m_ConsoleMode
        && (platformName == QLatin1String("offscreen")
            || platformName == QLatin1String("minimal"))) {
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
