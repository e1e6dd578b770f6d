#pragma once

#include <nlohmann/json.hpp>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace station {

// `corvel-station history`: which records to list and how.
struct HistoryQuery {
    enum class Format { Table, Json, Csv };
    Format format = Format::Table;
    std::string radio; // identifier, any case
    std::optional<int> port;
    std::optional<std::time_t> since;
    std::string outcome;
};

bool Matches(const nlohmann::json& record, const HistoryQuery& query);

// The records as the format asks, newest last (the file's order).
std::string FormatHistory(const std::vector<nlohmann::json>& records, HistoryQuery::Format format);

// Lists the history file; returns the exit status.
int ListHistory(const HistoryQuery& query);

} // namespace station
