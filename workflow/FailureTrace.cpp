#include "workflow/FailureTrace.h"

#include <ctime>

#include "link/LinkTrace.h"
#include "platform/FileWrite.h"

std::string SaveFailureTrace(const LinkTrace& trace, const std::string& directory)
{
    const std::string text = trace.Text();
    if (text.empty())
        return {};
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string prefix = directory.empty() ? std::string() : directory + "/";
    const std::string stem = std::string("Corvel_trace_") + stamp;
    std::string header = "# Corvel Code Updater line trace: seconds since start, direction "
                         "(>> to the radio, << from the radio, -- event), bytes\n";
    if (trace.DroppedLines() > 0)
        header += "# " + std::to_string(trace.DroppedLines()) + " older lines dropped\n";
    // Written beside its name and linked in whole, under the first free name.
    platform::AtomicFileWriter file;
    const bool ok = file.Open(prefix + stem + ".log") && file.Write(header.data(), header.size())
        && file.Write(text.data(), text.size())
        && file.CommitNumbered(
            [&](unsigned k) {
                return stem + (k == 0 ? std::string() : "_" + std::to_string(k + 1)) + ".log";
            },
            99);
    if (!ok)
        return {};
    return file.Path().substr(prefix.size());
}
