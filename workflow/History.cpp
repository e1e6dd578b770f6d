#include "workflow/History.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace history {

namespace {

struct OutcomeName {
    Outcome outcome;
    const char* text;
};

constexpr OutcomeName kOutcomeNames[] = {
    { Outcome::Refused, "refused" },
    { Outcome::BootUpgraded, "boot-upgraded" },
    { Outcome::FailedWriting, "failed-writing" },
    { Outcome::FailedAfterWriting, "failed-after-writing" },
    { Outcome::Updated, "updated" },
    { Outcome::Stopped, "stopped" },
};

template <typename T> nlohmann::json OrNull(const std::optional<T>& value)
{
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json OrNull(const std::string& value)
{
    return value.empty() ? nlohmann::json(nullptr) : nlohmann::json(value);
}

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Closes a descriptor when it goes out of scope (which also drops its lock).
class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_Fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_Fd >= 0) {
            ::close(m_Fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_Fd; }

private:
    int m_Fd;
};

} // namespace

const char* OutcomeText(Outcome outcome)
{
    for (const OutcomeName& name : kOutcomeNames) {
        if (name.outcome == outcome) {
            return name.text;
        }
    }
    return "refused";
}

std::optional<Outcome> OutcomeFromText(std::string_view text)
{
    for (const OutcomeName& name : kOutcomeNames) {
        if (text == name.text) {
            return name.outcome;
        }
    }
    return std::nullopt;
}

Outcome ClassifyOutcome(const RunFacts& facts)
{
    if (facts.stopped) {
        return Outcome::Stopped;
    }
    if (facts.returnCode == 0) {
        return Outcome::Updated;
    }
    if (facts.returnCode == 1) {
        return Outcome::BootUpgraded;
    }
    if (!facts.flashTouched) {
        return Outcome::Refused;
    }
    return facts.codeWritten ? Outcome::FailedAfterWriting : Outcome::FailedWriting;
}

std::string FormatUtc(std::time_t when, const char* format)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    char text[128];
    return std::strftime(text, sizeof text, format, &utc) > 0 ? text : "";
}

std::string IsoUtc(std::time_t when)
{
    return FormatUtc(when, "%Y-%m-%dT%H:%M:%SZ");
}

std::optional<std::time_t> ParseIsoUtc(std::string_view text)
{
    std::tm utc {};
    const std::string copy(text);
    const char* end = nullptr;
    if (copy.size() == 10) {
        end = strptime(copy.c_str(), "%Y-%m-%d", &utc);
    } else {
        end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return timegm(&utc);
}

nlohmann::json ToJson(const Record& record)
{
    nlohmann::json steps = nlohmann::json::array();
    for (const Step& step : record.steps) {
        // Milliseconds are enough for a step and keep the line short.
        const double seconds
            = static_cast<double>(static_cast<long long>(step.seconds * 1000)) / 1000;
        steps.push_back({ { "text", step.text }, { "s", seconds } });
    }
    nlohmann::json json = nlohmann::json::object();
    json["schema"] = kSchema;
    json["pid"] = record.pid;
    json["started"] = record.started ? nlohmann::json(IsoUtc(record.started)) : nullptr;
    json["ended"] = record.ended ? nlohmann::json(IsoUtc(record.ended)) : nullptr;
    json["duration_s"] = OrNull(record.durationSeconds);
    json["host"] = OrNull(record.host);
    json["user"] = OrNull(record.user);
    json["mode"] = OrNull(record.mode);
    json["release"] = {
        { "name", OrNull(record.release.name) },
        { "family", OrNull(record.release.family) },
        { "series", OrNull(record.release.series) },
        { "version", OrNull(record.release.version) },
        { "upgrade_type", OrNull(record.release.upgradeType) },
    };
    json["port"] = OrNull(record.port);
    json["device"] = OrNull(record.device);
    json["adapter"] = {
        { "product", OrNull(record.adapter.product) },
        { "serial", OrNull(record.adapter.serial) },
    };
    json["radio"] = {
        { "identifier", OrNull(record.radio.identifier) },
        { "family_answer", OrNull(record.radio.familyAnswer) },
        { "boot_before", OrNull(record.radio.bootBefore) },
        { "boot_after", OrNull(record.radio.bootAfter) },
        { "codeplug_format_before", OrNull(record.radio.codeplugFormatBefore) },
        { "codeplug_format_after", OrNull(record.radio.codeplugFormatAfter) },
    };
    json["steps"] = std::move(steps);
    json["bytes_written"] = OrNull(record.bytesWritten);
    json["return_code"] = OrNull(record.returnCode);
    json["outcome"]
        = record.outcome ? nlohmann::json(OutcomeText(*record.outcome)) : nlohmann::json(nullptr);
    json["flash_touched"] = OrNull(record.flashTouched);
    json["final_text"] = OrNull(record.finalText);
    json["backup"] = OrNull(record.backup);
    json["trace"] = OrNull(record.trace);
    return json;
}

std::string HistoryFilePath()
{
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            return {};
        }
        base = std::string(home) + "/.local/state";
    }
    return base + "/corvel/history.jsonl";
}

bool AppendLine(const std::string& path, const std::string& line, std::string& error)
{
    if (path.empty()) {
        error = "no history folder (neither XDG_STATE_HOME nor HOME is set)";
        return false;
    }
    const std::filesystem::path file(path);
    std::error_code folderError;
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), folderError);
        if (folderError) {
            error = "cannot create " + file.parent_path().string() + ": " + folderError.message();
            return false;
        }
    }
    const Descriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.Get() < 0) {
        error = ErrnoText("cannot open " + path);
        return false;
    }
    int locked = 0;
    while ((locked = ::flock(fd.Get(), LOCK_EX)) != 0 && errno == EINTR) { }
    if (locked != 0) {
        error = ErrnoText("cannot lock " + path);
        return false;
    }
    struct stat before { };
    if (::fstat(fd.Get(), &before) != 0) {
        error = ErrnoText("cannot read the size of " + path);
        return false;
    }
    const std::string text = line + "\n";
    ssize_t written = 0;
    while ((written = ::write(fd.Get(), text.data(), text.size())) < 0 && errno == EINTR) { }
    if (written != static_cast<ssize_t>(text.size())) {
        error = written < 0 ? ErrnoText("cannot write " + path)
                            : "cannot write " + path + ": the disk is full";
        // Half a line would spoil the line after it: cut the file back.
        if (written > 0 && ::ftruncate(fd.Get(), before.st_size) != 0) {
            error += " (and the partial line could not be removed)";
        }
        return false;
    }
    if (::fsync(fd.Get()) != 0) {
        error = ErrnoText("cannot sync " + path);
        return false;
    }
    return true;
}

bool Append(const Record& record, const std::string& path)
{
    std::string error;
    if (AppendLine(path,
            ToJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), error)) {
        return true;
    }
    const std::string message = "corvel: history not written: " + error + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
    (void)ignored;
    return false;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string UserName()
{
    struct passwd entry { };
    struct passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr
        && found->pw_name != nullptr) {
        return found->pw_name;
    }
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

std::vector<nlohmann::json> ReadHistory(const std::string& path, int* skipped)
{
    std::vector<nlohmann::json> records;
    int bad = 0;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_object()) {
            records.push_back(std::move(json));
        } else {
            ++bad;
        }
    }
    if (skipped != nullptr) {
        *skipped = bad;
    }
    return records;
}

} // namespace history
