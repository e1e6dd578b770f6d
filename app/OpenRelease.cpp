// File > Open Release...: the plain program carries no firmware; a release
// (Updater_...) is a program of its own. The chosen file is started with no
// arguments, so that it shows its own window.

#include "app/TCodeUpdaterMainDispForm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>

#include <cerrno>
#include <cstring>

#include "platform/OwnResources.h"
#include "workflow/ProductTitle.h"
#include "workflow/UpdateRun.h"

namespace {

// Why `path` is no release that can be started, or empty when it is one: an
// executable file that carries a release's firmware.
std::string ReleaseFileProblem(const std::string& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        return path + " cannot be opened: " + std::strerror(errno) + ".";
    if (!S_ISREG(info.st_mode))
        return path + " is not a file.";
    std::string error;
    if (!platform::OpenFileResources(path)->IsAvailable(&error))
        return path + " is not a release: it carries no firmware (" + error + ").";
    if (::access(path.c_str(), X_OK) != 0)
        return path + " is a release but not executable; make it so with chmod +x.";
    return {};
}

} // namespace

void TCodeUpdaterMainDispForm::m_FileOpenReleaseMenuItemClick()
{
    if (m_Run->UpdateInProgress())
        return;
    if (const auto chosen
        = AskForFile(tr("Open Release"), tr("Releases (Updater_*);;All files (*)")))
        OpenRelease(*chosen);
}

void TCodeUpdaterMainDispForm::OpenRelease(const std::string& path)
{
    std::string problem = ReleaseFileProblem(path);
    if (problem.empty() && !QProcess::startDetached(QString::fromStdString(path), {}))
        problem = path + " could not be started.";
    if (!problem.empty())
        ShowMessage(
            kProductTitle, problem, platform::MessageIcon::Error, platform::MessageButtons::Ok);
}
