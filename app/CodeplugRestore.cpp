// File > Restore Codeplug...: writes a codeplug file, typically the backup of
// a failed carry-over, into the radio on the selected port, with the steps of
// corvel-codeplug write.

#include "app/TCodeUpdaterMainDispForm.h"

#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

#include "workflow/CodeplugJobs.h"
#include "workflow/ProductTitle.h"
#include "workflow/RunRecorder.h"
#include "workflow/UpdateRun.h"

namespace {

// The window as the codeplug job sees it: the status label, the progress
// bar, the password dialog, and Stop.
class WindowJobHost : public ICodeplugJobHost {
public:
    WindowJobHost(TCodeUpdaterMainDispForm& window)
        : m_Window(window)
    {
    }

    void Step(const std::string& text) override { m_Window.ShowStatusText(text); }
    void Note(const std::string& text) override { m_Window.ShowStatusText(text); }
    void Progress(int32_t bytes, int32_t total) override
    {
        // An upload's end is not known before it comes: it is measured
        // against the largest codeplug.
        const int32_t of = total > 0 ? total : kCodeplugBytes;
        m_Window.m_ProgressBar->setRange(0, 100);
        m_Window.m_ProgressBar->setValue(
            static_cast<int>(std::min<int64_t>(100, static_cast<int64_t>(bytes) * 100 / of)));
    }
    bool AskPassword(std::string& entry) override { return m_Window.AskCodeplugPassword(entry); }
    bool Cancelled() override { return !m_Window.Run().UpdateInProgress(); }

private:
    TCodeUpdaterMainDispForm& m_Window;
};

} // namespace

void TCodeUpdaterMainDispForm::m_FileRestoreCodeplugMenuItemClick()
{
    if (m_Run->UpdateInProgress() || !GrantAccess(BootChosen()))
        return;
    if (const auto chosen
        = AskForFile(tr("Restore Codeplug"), tr("Codeplug files (*.bin);;All files (*)")))
        RestoreCodeplug(*chosen);
}

std::optional<std::string> TCodeUpdaterMainDispForm::AskForFile(
    const QString& title, const QString& filter)
{
    const QString chosen = QFileDialog::getOpenFileName(this, title, QString(), filter);
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.toStdString();
}

void TCodeUpdaterMainDispForm::RestoreCodeplug(const std::string& path)
{
    WindowJobHost host(*this);
    CodeplugJobRecorder recorder(host, true, m_Run->Ports().SelectedPort());
    CodeplugJobReport report;
    // A file that cannot be written is refused before the port is claimed.
    CodeplugFileImage image;
    std::string error;
    if (!LoadCodeplugForWrite(path, image, error)) {
        const std::string refusal = error + "; nothing was written.";
        history::Append(recorder.Finish(report, 1, refusal, false));
        ShowMessage(
            kProductTitle, refusal, platform::MessageIcon::Error, platform::MessageButtons::Ok);
        return;
    }
    if (!ClaimAndOpenPort(true)) {
        ReleasePort();
        // The claim has shown why.
        history::Append(recorder.Finish(report, 2, std::string(), false));
        return;
    }
    EnterUpdateState();
    CodeplugWriteOptions options;
    report = WriteCodeplugJob(m_Run->Session(), recorder, image, options);
    if (report.anotherRadio
        && ShowMessage(kProductTitle, report.message + ".\n\nWrite it into this radio anyway?",
               platform::MessageIcon::Warning, platform::MessageButtons::YesNo)
            == platform::MessageAnswer::Yes) {
        options.otherRadio = true;
        report = WriteCodeplugJob(m_Run->Session(), recorder, image, options);
    }
    const bool stopped = !m_Run->UpdateInProgress();
    LeaveUpdateState(false);
    ReleasePort();
    ShowStatusText(report.message);
    history::Append(
        recorder.Finish(report, static_cast<int>(report.result), report.message, stopped));
    if (report.result == CodeplugJobResult::Done) {
        m_ProgressBar->setValue(100);
        ShowMessage(kProductTitle,
            "The codeplug was written and verified.\nThe radio's codeplug from before is saved in "
                + report.file + ".",
            platform::MessageIcon::Information, platform::MessageButtons::Ok);
    } else if (!stopped && !report.anotherRadio) {
        ShowMessage(kProductTitle, report.message + ".", platform::MessageIcon::Error,
            platform::MessageButtons::Ok);
    }
}
