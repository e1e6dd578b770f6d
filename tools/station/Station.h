#pragma once

#include "tools/station/ConsoleStream.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace station {

using Clock = std::chrono::steady_clock;

// One port of the station and the job that runs on it.
struct Row {
    int port = 0;
    std::string device; // empty when the port is absent
    std::string adapter; // USB product string, empty for none
    std::filesystem::path dir; // WORKDIR/COM<n>

    // The running (or last) job.
    pid_t pid = -1;
    int out = -1; // read end of the job's console stream
    int log = -1; // WORKDIR/COM<n>/console.log
    bool exited = false;
    int returnCode = -1; // exit status, or -1 when it died of a signal
    int signal = 0;
    ConsoleStream stream;
    int runs = 0;
    Clock::time_point start;
    Clock::time_point stepStart;
    Clock::time_point end;
    std::time_t startedWall = 0;

    std::string step;
    int percent = -1;
    std::string identifier;
    std::string lastText;
    std::optional<nlohmann::json> record; // its history record, once found
    std::vector<nlohmann::json> records; // every run's record
    std::string outcome; // empty while it runs

    bool Running() const { return pid > 0; }
    bool Finished() const { return runs > 0 && pid <= 0; }
};

// What the operator asked for.
struct Options {
    std::string release;
    std::vector<int> ports;
    bool adapters = false;
    std::filesystem::path workDir;
    bool plain = false;
    bool again = false;
    bool json = false;
};

// "3", "COM3", "7-10": the port numbers, in the order given, or nullopt with
// `error` set (a bad number, a reversed range, a port given twice).
std::optional<std::vector<int>> ParsePorts(
    const std::vector<std::string>& words, std::string& error);

// Every free port whose USB adapter is a programming adapter of `family`
// ("4400", "4600").
std::vector<int> ProgrammingAdapterPorts(const std::string& family);

// "station-20261209T100001Z"
std::string DefaultWorkDirName(std::time_t when);

// "1:05", "12:00", "1:02:03"
std::string Duration(double seconds);

// Outcome a job ended with when no history record says it: from the return
// code, or "stopped" when the station stopped it.
std::string OutcomeWithoutRecord(const Row& row, bool stopRequested);

// Return code of the station: 0 every radio updated, 1 some boot-upgraded and
// none failed, 2 anything else.
int StationReturnCode(const std::vector<Row>& rows);

// The summary table: port, identifier, outcome, duration, backup, trace.
std::string SummaryTable(const std::vector<Row>& rows);

// Runs the station; returns its return code.
int RunStation(const Options& options);

} // namespace station
