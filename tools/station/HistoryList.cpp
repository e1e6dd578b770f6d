#include "tools/station/HistoryList.h"

#include "workflow/History.h"

#include <cstdio>
#include <filesystem>
#include <strings.h>

namespace station {

namespace {

// A field by its path ("radio.identifier") as text; "" for null or missing.
std::string Field(const nlohmann::json& record, const std::string& path)
{
    const nlohmann::json* at = &record;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t dot = path.find('.', start);
        const std::string key
            = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!at->is_object()) {
            return {};
        }
        const auto it = at->find(key);
        if (it == at->end()) {
            return {};
        }
        at = &*it;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (at->is_null()) {
        return {};
    }
    if (at->is_string()) {
        return at->get<std::string>();
    }
    return at->dump();
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// Columns of the CSV form.
const char* const kCsvColumns[] = { "started", "ended", "duration_s", "host", "user", "mode",
    "release.name", "release.family", "release.series", "release.version", "release.upgrade_type",
    "port", "device", "adapter.product", "adapter.serial", "radio.identifier",
    "radio.family_answer", "radio.boot_before", "radio.boot_after", "radio.codeplug_format_before",
    "radio.codeplug_format_after", "bytes_written", "return_code", "outcome", "flash_touched",
    "final_text", "backup", "trace", "pid" };

std::string OneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    return text;
}

} // namespace

bool Matches(const nlohmann::json& record, const HistoryQuery& query)
{
    if (!query.radio.empty()
        && strcasecmp(Field(record, "radio.identifier").c_str(), query.radio.c_str()) != 0) {
        return false;
    }
    if (query.port && Field(record, "port") != std::to_string(*query.port)) {
        return false;
    }
    if (query.since) {
        const std::optional<std::time_t> started = history::ParseIsoUtc(Field(record, "started"));
        if (!started || *started < *query.since) {
            return false;
        }
    }
    if (!query.outcome.empty() && Field(record, "outcome") != query.outcome) {
        return false;
    }
    return true;
}

std::string FormatHistory(const std::vector<nlohmann::json>& records, HistoryQuery::Format format)
{
    std::string out;
    if (format == HistoryQuery::Format::Json) {
        nlohmann::json array = nlohmann::json::array();
        for (const nlohmann::json& record : records) {
            array.push_back(record);
        }
        return array.dump(2) + "\n";
    }
    if (format == HistoryQuery::Format::Csv) {
        for (size_t i = 0; i < std::size(kCsvColumns); ++i) {
            out += (i == 0 ? "" : ",") + std::string(kCsvColumns[i]);
        }
        out += "\r\n";
        for (const nlohmann::json& record : records) {
            for (size_t i = 0; i < std::size(kCsvColumns); ++i) {
                out += (i == 0 ? "" : ",") + CsvField(Field(record, kCsvColumns[i]));
            }
            out += "\r\n";
        }
        return out;
    }
    char line[2048];
    std::snprintf(line, sizeof line, "%-20s %-7s %-16s %-28s %-20s %8s  %s\n", "Started", "Port",
        "Radio", "Release", "Outcome", "Duration", "Final text");
    out += line;
    for (const nlohmann::json& record : records) {
        const std::string port = Field(record, "port");
        std::string duration = Field(record, "duration_s");
        if (!duration.empty()) {
            const long seconds = static_cast<long>(std::stod(duration) + 0.5);
            duration = std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "")
                + std::to_string(seconds % 60);
        }
        const auto dash
            = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
        std::snprintf(line, sizeof line, "%-20s %-7s %-16s %-28s %-20s %8s  %s\n",
            dash(Field(record, "started")).c_str(), port.empty() ? "-" : ("COM" + port).c_str(),
            dash(Field(record, "radio.identifier")).c_str(),
            dash(Field(record, "release.name")).c_str(), dash(Field(record, "outcome")).c_str(),
            dash(duration).c_str(), OneLine(Field(record, "final_text")).c_str());
        out += line;
    }
    return out;
}

int ListHistory(const HistoryQuery& query)
{
    const std::string path = history::HistoryFilePath();
    std::error_code error;
    if (path.empty() || !std::filesystem::exists(path, error)) {
        std::fprintf(stderr, "corvel-station: no history yet (%s)\n",
            path.empty() ? "neither XDG_STATE_HOME nor HOME is set" : path.c_str());
        const std::string empty = FormatHistory({}, query.format);
        std::fwrite(empty.data(), 1, empty.size(), stdout);
        return 0;
    }
    int skipped = 0;
    std::vector<nlohmann::json> records;
    for (nlohmann::json& record : history::ReadHistory(path, &skipped)) {
        if (Matches(record, query)) {
            records.push_back(std::move(record));
        }
    }
    const std::string text = FormatHistory(records, query.format);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (skipped > 0) {
        std::fprintf(stderr, "corvel-station: %d line(s) of %s are not records and were left out\n",
            skipped, path.c_str());
    }
    return 0;
}

} // namespace station
