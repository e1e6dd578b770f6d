#pragma once

#include <nlohmann/json.hpp>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The update history: one JSON object per line in
// ${XDG_STATE_HOME:-$HOME/.local/state}/corvel/history.jsonl for every update
// run (window, console job, every job of a station) and for the codeplug
// tool's reads and writes. Lines are appended under an exclusive lock in one
// write each and synced, so parallel jobs never interleave or lose a line.
namespace history {

inline constexpr int kSchema = 1;

// How a run ended, as an operator needs to know it.
enum class Outcome {
    Refused, // nothing was written to the radio's flash
    BootUpgraded, // return code 1: run again for the application code
    FailedWriting, // the flash was being written: the radio waits in bootload mode
    FailedAfterWriting, // new code is in the radio, the codeplug carry-over failed
    Updated,
    Stopped, // the operator or a signal stopped it
};

const char* OutcomeText(Outcome outcome);
std::optional<Outcome> OutcomeFromText(std::string_view text);

// What a finished run is known to have done to the radio.
struct RunFacts {
    int returnCode = 2;
    bool flashTouched = false; // the flash was erased or written (loader's erase onwards)
    bool codeWritten = false; // a code download ran to its end
    bool stopped = false;
};

// refused / boot-upgraded / failed-writing / failed-after-writing / updated /
// stopped, from the return code and how far the run came.
Outcome ClassifyOutcome(const RunFacts& facts);

struct Step {
    std::string text;
    double seconds = 0; // since the run started
};

// One history record. Fields that are unknown stay empty and are written as
// null.
struct Record {
    long pid = 0;
    std::time_t started = 0;
    std::time_t ended = 0;
    std::optional<double> durationSeconds;
    std::string host;
    std::string user;
    std::string mode; // "window", "console", "codeplug-read", "codeplug-write"

    struct Release {
        std::optional<std::string> name; // file name of the release executable
        std::optional<std::string> family; // "4400", "4600"
        std::optional<int> series;
        std::optional<std::string> version;
        std::optional<std::string> upgradeType;
    } release;

    std::optional<int> port;
    std::optional<std::string> device;
    struct Adapter {
        std::optional<std::string> product;
        std::optional<std::string> serial;
    } adapter;

    struct Radio {
        std::optional<std::string> identifier; // 16 hex digits
        std::optional<std::string> familyAnswer; // "portable", "mobile"
        std::optional<std::string> bootBefore; // "6.7"
        std::optional<std::string> bootAfter;
        std::optional<std::string> codeplugFormatBefore; // "5.8"
        std::optional<std::string> codeplugFormatAfter;
    } radio;

    std::vector<Step> steps;
    std::optional<long long> bytesWritten;
    std::optional<int> returnCode;
    std::optional<Outcome> outcome;
    std::optional<bool> flashTouched;
    std::optional<std::string> finalText;
    std::optional<std::string> backup; // absolute path
    std::optional<std::string> trace; // absolute path
};

// strftime of the UTC time `when`.
std::string FormatUtc(std::time_t when, const char* format);
// "2026-12-09T10:00:01Z"
std::string IsoUtc(std::time_t when);
// Parses IsoUtc's form, also a bare date "2026-12-09" (midnight UTC).
std::optional<std::time_t> ParseIsoUtc(std::string_view text);

nlohmann::json ToJson(const Record& record);

// ${XDG_STATE_HOME:-$HOME/.local/state}/corvel/history.jsonl; empty when
// neither variable gives an absolute directory.
std::string HistoryFilePath();

// Appends `line` and a line feed to the file at `path` (created, with its
// folders, when missing): under an exclusive flock, with O_APPEND, in one
// write, synced. A write that could not go through completely is cut off
// again, so the file never holds half a line. False with the reason in
// `error`.
bool AppendLine(const std::string& path, const std::string& line, std::string& error);

// Appends the record to the history file. When the history cannot be
// written, says so in one line on standard error and returns false; the
// caller goes on as if nothing happened.
bool Append(const Record& record, const std::string& path = HistoryFilePath());

// Host name and user name of this process (empty when unknown).
std::string HostName();
std::string UserName();

// Reads a history file: every line that parses as a JSON object, in file
// order; `skipped` counts the lines that did not.
std::vector<nlohmann::json> ReadHistory(const std::string& path, int* skipped = nullptr);

} // namespace history
