// corvel-station: updates many radios at once, one console job per port, and
// lists the update history.

#include "platform/OwnResources.h"
#include "tools/common/ToolCli.h"
#include "tools/station/HistoryList.h"
#include "tools/station/Station.h"
#include "workflow/FirmwareCatalogue.h"
#include "workflow/History.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "corvel-station";

int Fail(const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app;
    toolcli::Prepare(app,
        { kProgram,
            "corvel-station [options] RELEASE PORT...\n"
            "corvel-station [options] --adapters RELEASE\n"
            "corvel-station history [--json|--csv] [--radio ID] [--port N] [--since DATE]\n"
            "    [--outcome X]",
            "Updates many radios at once: runs the release's console job on every port\n"
            "(RELEASE /d /sp N /c), each in its own working folder WORKDIR/COM<n>, shows\n"
            "them side by side (a live table on a terminal, one line per event otherwise)\n"
            "and ends with a summary. Ports are COM numbers or ranges: 3 4 7-10.\n"
            "Ctrl-C stops every job as Stop does; a second Ctrl-C within 2 s ends them\n"
            "at once. Every update is kept in the history (corvel-station history).",
            "Exit status: 0 every radio updated, 1 some boot code upgraded (run those\n"
            "again) and none failed, 2 anything else." });

    station::Options options;
    std::vector<std::string> portWords;
    std::string workDir;
    app.add_option("RELEASE", options.release, "the release (an updater with its firmware set)")
        ->type_name("RELEASE");
    app.add_option("PORT", portWords, "COM port numbers or ranges: 3 4 7-10")->type_name("PORT...");
    app.add_flag("--adapters", options.adapters,
        "every free port whose USB adapter is a programming\nadapter of the release's family");
    app.add_option("--work-dir", workDir,
           "folder of the run's working folders WORKDIR/COM<n>\n"
           "(default ./station-<UTC date and time>)")
        ->type_name("WORKDIR");
    app.add_flag("--plain", options.plain, "one line per event, also on a terminal");
    app.add_flag("--again", options.again,
        "run the ports whose boot code was upgraded again\nwithout asking");
    app.add_flag("--json", options.json, "print the run's history records as a JSON array");

    station::HistoryQuery query;
    CLI::App* historyCommand
        = app.add_subcommand("history", "list the update history, newest last");
    bool historyJson = false;
    bool historyCsv = false;
    std::string since;
    int port = 0;
    auto* jsonFlag = historyCommand->add_flag("--json", historyJson, "as a JSON array");
    historyCommand->add_flag("--csv", historyCsv, "as CSV")->excludes(jsonFlag);
    historyCommand->add_option("--radio", query.radio, "only this radio identifier");
    historyCommand->add_option("--port", port, "only this COM port number")
        ->check(CLI::Range(1, 255));
    historyCommand->add_option("--since", since,
        "only updates started at or after DATE "
        "(2026-12-09 or 2026-12-09T10:00:00Z)");
    historyCommand->add_option("--outcome", query.outcome,
        "only this outcome: refused, boot-upgraded, failed-writing, failed-after-writing, "
        "updated, stopped");

    if (auto done = toolcli::Parse(app, argc, argv)) {
        return *done;
    }

    if (historyCommand->parsed()) {
        query.format = historyJson ? station::HistoryQuery::Format::Json
            : historyCsv           ? station::HistoryQuery::Format::Csv
                                   : station::HistoryQuery::Format::Table;
        if (port != 0) {
            query.port = port;
        }
        if (!since.empty()) {
            query.since = history::ParseIsoUtc(since);
            if (!query.since) {
                return Fail("not a date: " + since + " (2026-12-09 or 2026-12-09T10:00:00Z)");
            }
        }
        if (!query.outcome.empty() && !history::OutcomeFromText(query.outcome)) {
            return Fail("not an outcome: " + query.outcome);
        }
        return station::ListHistory(query);
    }

    if (options.release.empty()) {
        return Fail("no release given (corvel-station --help)");
    }
    std::error_code error;
    options.release = fs::absolute(options.release, error).string();
    if (::access(options.release.c_str(), X_OK) != 0 || fs::is_directory(options.release, error)) {
        return Fail("cannot run the release " + options.release);
    }
    if (options.adapters) {
        if (!portWords.empty()) {
            return Fail("--adapters takes no ports");
        }
        ResourceAttributes attributes;
        TargetLabelTexts labels;
        auto resources = platform::OpenFileResources(options.release);
        ReadResourceAttributes(resources.get(), attributes, labels);
        const std::string family = FamilyText(attributes.RadioFamily);
        options.ports = station::ProgrammingAdapterPorts(family);
        if (options.ports.empty()) {
            return Fail("no free port with a programming adapter for the " + family + " family");
        }
    } else {
        std::string portError;
        const auto ports = station::ParsePorts(portWords, portError);
        if (!ports) {
            return Fail(portError);
        }
        options.ports = *ports;
    }
    options.workDir = workDir.empty() ? fs::path(station::DefaultWorkDirName(std::time(nullptr)))
                                      : fs::path(workDir);
    options.workDir = fs::absolute(options.workDir, error);
    fs::create_directories(options.workDir, error);
    if (error) {
        return Fail("cannot create " + options.workDir.string() + ": " + error.message());
    }
    try {
        return station::RunStation(options);
    } catch (const std::exception& failure) {
        return Fail(failure.what());
    }
}
