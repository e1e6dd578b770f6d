#include "workflow/UpdateSequences.h"

#include "workflow/CodeplugCarryOver.h"

#include "download/DspDownload.h"
#include "download/FlashDownload.h"
#include "link/CommSession.h"
#include "link/LinkCallbacks.h"
#include "platform/MessageBox.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/PostUpdate.h"
#include "workflow/ProductTitle.h"
#include "workflow/RunNotes.h"
#include "workflow/TargetChecks.h"
#include "workflow/UpdateHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kConsoleError = "Error.";
constexpr const char* kConsoleErrorLine = "\nError.";
constexpr const char* kConsoleComError = "\nCOM error.";
constexpr const char* kConsoleDoneLine = "Done.\n";

// What the sequences need to know of a download's result.
enum class DownloadOutcome {
    Succeeded,
    WrongProcessor, // the flash loader found the other processor's flash
    Failed, // the engine has shown its text
};

DownloadOutcome OutcomeOf(download::FlashResult result)
{
    switch (result) {
    case download::FlashResult::Success:
        return DownloadOutcome::Succeeded;
    case download::FlashResult::WrongFlashType:
        return DownloadOutcome::WrongProcessor;
    default:
        return DownloadOutcome::Failed;
    }
}

DownloadOutcome OutcomeOf(download::DspResult result)
{
    return result == download::DspResult::Success ? DownloadOutcome::Succeeded
                                                  : DownloadOutcome::Failed;
}

// A step text on the console (console use only).
void Console(IUpdateHost& host, const std::string& text)
{
    if (host.ConsoleMode()) {
        host.WriteConsoleText(text);
    }
}

// A step text in the status label (window use only).
void WindowStatus(IUpdateHost& host, const std::string& text)
{
    if (!host.ConsoleMode()) {
        host.ShowStatusText(text);
    }
}

// The window shows a step in its status label; the console announces it as
// a line of its own ending in "...".
void Announce(IUpdateHost& host, const std::string& text)
{
    if (host.ConsoleMode()) {
        host.WriteConsoleText("\n" + text + "...");
    } else {
        host.ShowStatusText(text);
    }
}

// The final text in the window: a download the radio broke off also names
// the file that holds the codeplug as it was read out.
std::string PostUpdateWindowText(const IUpdateHost& host, PostUpdateResult post)
{
    if (post == kPostUpdateDownloadFailed)
        return DownloadFailedStatusText(host.CodeplugBackupName());
    return PostUpdateText(post);
}

// The radio now runs the boot code of the set just written.
void NoteBootSetWritten(IUpdateHost& host)
{
    const ResourceAttributes& attributes = host.Attributes();
    if (host.UseBootTwo()) {
        host.NoteRadioBootVersion(attributes.BootTwoMajor, attributes.BootTwoMinor);
    } else {
        host.NoteRadioBootVersion(attributes.BootMajor, attributes.BootMinor);
    }
}

void DeleteWorkFiles(IUpdateHost& host)
{
    for (const std::string& name : { host.LoaderFileName(), host.CodeFileName() }) {
        if (!name.empty()) {
            std::error_code ignored;
            std::filesystem::remove(name, ignored);
        }
    }
}

// An open work file, closed when the object goes.
class WorkFile {
public:
    explicit WorkFile(const std::string& name)
        : m_File(name.empty() ? nullptr : std::fopen(name.c_str(), "r"))
    {
    }
    ~WorkFile()
    {
        if (m_File != nullptr) {
            std::fclose(m_File);
        }
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    FILE* Get() const { return m_File; }

private:
    FILE* m_File;
};

// Runs the flash download of the two merged work files. A work file that
// cannot be opened reaches the engine as no stream, which it reports.
DownloadOutcome DownloadWorkFiles(IUpdateHost& host, bool boot, bool textProgress)
{
    WorkFile loader(host.LoaderFileName());
    WorkFile code(host.CodeFileName());
    download::CodeDownload job;
    job.loaderStream = loader.Get();
    job.codeStream = code.Get();
    job.targetModelCode = host.TargetModelCode();
    job.bootFlag = boot;
    job.processorFlag = host.Attributes().Processor416 != 0;
    job.showStatus = [&host](const std::string& text) { host.ShowStatusText(text); };
    job.progressBar = &host.ProgressBar();
    job.textProgressFlag = textProgress;
    job.showProgressLine = [&host](const std::string& text) { host.WriteConsoleText(text); };
    const download::CodeDownloadReport report = download::DownloadCode(host.Session(), job);
    if (RunNotes* notes = host.Notes()) {
        notes->codeBytesWritten += report.codeBytesAccepted;
        notes->flashTouched = notes->flashTouched || report.flashTouched;
    }
    return OutcomeOf(report.result);
}

// The DSP download of the merged work files: the loader as S-record text,
// the object file ("Code.OUT") as a read-only binary descriptor. A file that
// cannot be opened reaches the engine as no stream (or descriptor -1), which
// it reports.
DownloadOutcome DownloadDspWorkFiles(IUpdateHost& host)
{
    WorkFile loader(host.LoaderFileName());
    const std::string codeName = host.CodeFileName();
    const int object = codeName.empty() ? -1 : ::open(codeName.c_str(), O_RDONLY | O_CLOEXEC);
    download::DspDownloadJob job;
    job.loaderStream = loader.Get();
    job.objectFd = object;
    job.targetModelCode = host.TargetModelCode();
    job.showStatus = [&host](const std::string& text) { host.ShowStatusText(text); };
    job.executableDirectory = host.ExecutableDirectory();
    job.progressBar = &host.ProgressBar();
    const download::DspResult result = download::DownloadDsp(host.Session(), job);
    if (object >= 0) {
        ::close(object);
    }
    return OutcomeOf(result);
}

} // namespace

const char* PostUpdateText(int postUpdateResult)
{
    switch (postUpdateResult) {
    case kPostUpdateFormatUnsupported:
    case kPostUpdateNothingToDo:
    case kPostUpdateConverted:
        return kTextDone;
    case kPostUpdateUploadFailed:
        return kTextUploadError;
    case kPostUpdateDownloadFailed:
        return kTextDownloadError;
    default:
        return kTextNotResponding;
    }
}

int PostUpdateReturnCode(int postUpdateResult)
{
    switch (postUpdateResult) {
    case kPostUpdateFormatUnsupported:
    case kPostUpdateNothingToDo:
    case kPostUpdateConverted:
        return kReturnSuccess;
    default:
        return kReturnGeneralError;
    }
}

namespace {

// A damaged release is refused before a port is claimed: nothing reaches the
// line and nothing is written to the working directory.
bool RefuseDamagedRelease(IUpdateHost& host)
{
    std::string damaged;
    if (host.ReleaseIsWhole(damaged)) {
        return false;
    }
    const std::string text = ReleaseDamagedText(damaged);
    host.SetReturnCode(kReturnGeneralError);
    if (host.ConsoleMode()) {
        host.WriteConsoleText("\n" + text);
    } else {
        host.ShowStatusText(kTextIdle);
        host.ShowMessage(kProductTitle, text, platform::MessageIcon::Error);
    }
    return true;
}

} // namespace

bool RunSelectedUpdate(IUpdateHost& host, bool bootChosen)
{
    if (RefuseDamagedRelease(host)) {
        return false;
    }
    const ResourceAttributes& attributes = host.Attributes();
    const bool bootSet = UpgradeTypeOf(attributes) == UpgradeType::ApplicationBoot
        && host.BootRadioButtonChecked();
    bool extracted = false;
    bool dspUsed = false;
    DownloadOutcome result = DownloadOutcome::Succeeded;
    bool succeeded = false;

    host.EnterUpdateState();
    host.ShowStatusText(kTextExtracting);
    do {
        if (!host.ClaimAndOpenPort(false)) {
            host.ShowStatusText(kTextIdle);
            break;
        }
        if (bootChosen) {
            if (!CheckBootVersion(host)) {
                break;
            }
        } else {
            host.SetUseBootTwo(false);
        }
        if (!host.ExtractFirmwareSet(bootSet)) {
            host.ShowStatusText(kTextIdle);
            break;
        }
        extracted = true;
        host.ShowStatusText(kTextCheckingTarget);
        if (!CheckTargetRadio(host)) {
            break;
        }

        if (UpgradeTypeOf(attributes) == UpgradeType::Dsp) {
            dspUsed = true;
            result = DownloadDspWorkFiles(host);
        } else {
            result = DownloadWorkFiles(host, bootChosen, false);
        }

        if ((bootChosen || bootSet) && result == DownloadOutcome::Succeeded) {
            NoteBootSetWritten(host);
        }
        if (!bootChosen && !bootSet && !dspUsed && host.UpdateInProgress()
            && result == DownloadOutcome::Succeeded) {
            const PostUpdateResult post = RunPostUpdate(host);
            succeeded = PostUpdateReturnCode(post) == kReturnSuccess;
            host.ShowStatusText(PostUpdateWindowText(host, post));
            if (post == kPostUpdateFormatUnsupported) {
                host.ShowMessage(
                    kProductTitle, kTextConversionNotSupported, platform::MessageIcon::Information);
            }
        } else if (result == DownloadOutcome::Succeeded) {
            // Boot or DSP code: nothing follows the download.
            succeeded = bootChosen || bootSet || dspUsed;
        } else if (result == DownloadOutcome::WrongProcessor) {
            host.ShowMessage(kProductTitle,
                attributes.Processor416 != 0 ? kTextProcessor416 : kTextProcessor816,
                platform::MessageIcon::Error);
            host.ShowStatusText(kTextIdle);
            host.ProgressBar().SetPosition(0);
        }
        // Any other result keeps the engine's last status text.
    } while (false);
    host.LeaveUpdateState(extracted);
    return succeeded;
}

namespace {

// Extracts the firmware set (the boot code's or the application's) and checks
// the radio, as both paths of the combined sequence do before their first
// download. False, with `consoleError` on the console, when either fails.
bool PrepareCombinedDownload(IUpdateHost& host, bool boot, const char* consoleError)
{
    if (!host.ExtractFirmwareSet(boot)) {
        host.SetReturnCode(kReturnGeneralError);
        Console(host, consoleError);
        WindowStatus(host, kTextIdle);
        return false;
    }
    Console(host, kTextDone);
    Announce(host, kTextCheckingTarget);
    if (!CheckTargetRadio(host)) {
        DeleteWorkFiles(host);
        host.SetReturnCode(kReturnGeneralError);
        Console(host, consoleError);
        return false;
    }
    Console(host, kConsoleDoneLine);
    return true;
}

// The boot-upgrade path of the combined sequence. True when the application
// download ran after the boot code (window use), its result in `result`;
// false when the sequence ends here (console use: the job is run again).
bool RunBootUpgradePath(IUpdateHost& host, DownloadOutcome& result)
{
    if (!PrepareCombinedDownload(host, true, kConsoleError)) {
        return false;
    }
    result = DownloadWorkFiles(host, true, host.ConsoleMode());
    host.ShowStatusText(kTextIdle);
    DeleteWorkFiles(host);
    if (result != DownloadOutcome::Succeeded) {
        host.SetReturnCode(kReturnGeneralError);
        Console(host, kConsoleErrorLine);
        WindowStatus(host, kTextIdle);
        return false;
    }
    NoteBootSetWritten(host);
    if (host.ConsoleMode()) {
        // The operator puts the radio back into bootload mode and runs the
        // job again for the application code.
        host.SetReturnCode(kReturnBootUpgraded);
        return false;
    }

    host.ShowMessage(kProductTitle, kTextBootUpgraded, platform::MessageIcon::Information);
    host.Session().SetRadioBaudRate(kFastBaudRate);
    host.FocusRetrieveButton();

    host.ShowStatusText(kTextExtracting);
    host.SetUseBootTwo(false);
    if (!host.ExtractFirmwareSet(false)) {
        host.SetReturnCode(kReturnGeneralError);
        host.ShowStatusText(kTextIdle);
        return false;
    }
    host.ShowStatusText(kTextCheckingTarget);
    if (!CheckTargetRadio(host)) {
        // The work files go here as on every other path.
        DeleteWorkFiles(host);
        return false;
    }
    result = DownloadWorkFiles(host, false, host.ConsoleMode());
    DeleteWorkFiles(host);
    return true;
}

// The application path of the combined sequence (boot code current). True
// when the download ran, its result in `result`.
bool RunApplicationPath(IUpdateHost& host, DownloadOutcome& result)
{
    host.SetUseBootTwo(false);
    if (!PrepareCombinedDownload(host, false, kConsoleErrorLine)) {
        return false;
    }
    result = DownloadWorkFiles(host, false, host.ConsoleMode());
    if (result == DownloadOutcome::Succeeded) {
        host.ShowStatusText(kTextIdle);
    }
    DeleteWorkFiles(host);
    return true;
}

} // namespace

bool RunCombinedUpdate(IUpdateHost& host)
{
    if (RefuseDamagedRelease(host)) {
        return false;
    }
    bool succeeded = false;
    host.EnterUpdateState();
    Announce(host, kTextExtracting);
    do {
        if (!host.ClaimAndOpenPort(false)) {
            host.SetReturnCode(kReturnGeneralError);
            Console(host, kConsoleError);
            WindowStatus(host, kTextIdle);
            break;
        }

        bool majorMismatch = false;
        bool commError = false;
        bool familyMismatch = false;
        const bool needsBoot = CheckBootForCombined(host, majorMismatch, commError, familyMismatch);

        DownloadOutcome result = DownloadOutcome::Succeeded;
        bool downloaded = false;
        if (needsBoot) {
            downloaded = RunBootUpgradePath(host, result);
            // The console job ends after the boot code: that is its success.
            succeeded = !downloaded && host.ConsoleMode() && result == DownloadOutcome::Succeeded;
        } else if (majorMismatch) {
            host.SetReturnCode(kReturnGeneralError);
            ReportText(host, kTextBootMajorMismatch);
        } else if (commError) {
            host.SetReturnCode(kReturnGeneralError);
            ReportText(host, kTextBootCommError);
        } else if (familyMismatch) {
            const char* text = host.Attributes().RadioFamily == 0 ? kTextWrongFamilyPortable
                                                                  : kTextWrongFamilyMobile;
            host.SetReturnCode(kReturnGeneralError);
            if (host.ConsoleMode()) {
                host.WriteConsoleText(text);
            } else {
                host.ShowStatusText(kTextIdle);
                host.ShowMessage(kProductTitle, text, platform::MessageIcon::Error);
            }
        } else {
            downloaded = RunApplicationPath(host, result);
        }
        if (!downloaded) {
            break;
        }

        if (host.UpdateInProgress() && result == DownloadOutcome::Succeeded) {
            const PostUpdateResult post = RunPostUpdate(host);
            host.SetReturnCode(PostUpdateReturnCode(post));
            succeeded = PostUpdateReturnCode(post) == kReturnSuccess;
            if (!host.ConsoleMode() && post == kPostUpdateFormatUnsupported) {
                host.ShowMessage(
                    kProductTitle, kTextConversionNotSupported, platform::MessageIcon::Information);
            }
            ReportText(host,
                host.ConsoleMode() ? std::string(PostUpdateText(post))
                                   : PostUpdateWindowText(host, post));
        } else {
            host.SetReturnCode(kReturnGeneralError);
            Console(host, kConsoleComError);
        }
    } while (false);
    host.LeaveUpdateState(false);
    return succeeded;
}
