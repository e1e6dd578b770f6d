#include "workflow/FailureTrace.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "link/LinkTrace.h"

namespace {

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

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
    for (int attempt = 1; attempt < 100; ++attempt) {
        std::string name = std::string("Corvel_trace_") + stamp;
        if (attempt > 1)
            name += "_" + std::to_string(attempt);
        name += ".log";
        const std::string path = prefix + name;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        std::string header = "# Corvel Code Updater line trace: seconds since start, direction "
                             "(>> to the radio, << from the radio, -- event), bytes\n";
        if (trace.DroppedLines() > 0)
            header += "# " + std::to_string(trace.DroppedLines()) + " older lines dropped\n";
        const bool ok = WriteAll(fd, header) && WriteAll(fd, text);
        ::close(fd);
        if (!ok) {
            ::unlink(path.c_str());
            return {};
        }
        return name;
    }
    return {};
}
