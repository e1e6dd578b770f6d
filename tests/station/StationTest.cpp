// corvel-station against simulated radios: the rows, outcomes and history
// records of a mixed run, plain output for a log and the live table on a
// terminal; and the parts it reads its jobs with.

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "tests/workflow/WorkflowRig.h"
#include "tools/station/ConsoleStream.h"
#include "tools/station/HistoryList.h"
#include "tools/station/Station.h"
#include "workflow/History.h"

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

using Kind = station::ConsoleStream::Event::Kind;

// The events of `console` fed to a stream in pieces of `piece` bytes, as one
// text.
std::string Events(const std::string& console, size_t piece)
{
    station::ConsoleStream stream;
    std::string text;
    const auto add = [&text](const std::vector<station::ConsoleStream::Event>& events) {
        for (const auto& event : events) {
            const bool progress = event.kind == Kind::Progress;
            text += std::string(progress               ? "progress:"
                            : event.kind == Kind::Step ? "step:"
                                                       : "text:")
                + event.text + (progress ? std::to_string(event.percent) : "") + "|";
        }
    };
    for (size_t at = 0; at < console.size(); at += piece)
        add(stream.Feed(console.substr(at, piece)));
    add(stream.Finish());
    return text;
}

TEST(StationConsoleStream, StepsProgressAndTextsInPiecesCutAnywhere)
{
    const std::string console
        = "\nExtracting embedded files......Done.\nChecking target radio......Done.\n"
          "\rDownloading Loader code...0% complete\rDownloading Loader code...0% complete"
          "\rDownloading Loader code...57% complete"
          "\rDownloading Loader code...100% complete...Done.\n"
          "Done.\nSaving codeplug to Codeplug_001A2B3C4D5E6F70_20261209T100001Z.bin..."
          "Done.\nDownloading codeplug...\nAn error occurred while downloading the codeplug.";
    const std::string expected
        = "step:Extracting embedded files...|step:Checking target radio...|"
          "step:Downloading Loader code...|progress:Downloading Loader code...0|"
          "progress:Downloading Loader code...57|progress:Downloading Loader code...100|"
          "text:Done.|step:Saving codeplug to Codeplug_001A2B3C4D5E6F70_20261209T100001Z.bin...|"
          "step:Downloading codeplug...|"
          "text:An error occurred while downloading the codeplug.|";
    // Whole, and byte by byte: the same events.
    for (const size_t piece : { console.size(), size_t { 1 }, size_t { 7 } }) {
        EXPECT_EQ(Events(console, piece), expected) << "pieces of " << piece;
    }
    EXPECT_EQ(station::IdentifierInText("Saving codeplug to Codeplug_001A2B3C4D5E6F70_2026.bin..."),
        "001A2B3C4D5E6F70");
    EXPECT_EQ(station::IdentifierInText("Codeplug_unknown_2026.bin"), "");
    EXPECT_EQ(station::IdentifierInText("Codeplug_001A2B3C4D5E6F7"), "");
}

TEST(StationPorts, NumbersRangesAndMistakes)
{
    std::string error;
    EXPECT_EQ(station::ParsePorts({ "3", "COM4", "7-10" }, error),
        (std::vector<int> { 3, 4, 7, 8, 9, 10 }));
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>> {
             { "0" }, { "256" }, { "x" }, { "5-3" }, { "3", "2-4" }, {}, { "-3" }, { "3-" } }) {
        error.clear();
        EXPECT_FALSE(station::ParsePorts(bad, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(StationReturnCode, AllUpdatedSomeBootUpgradedOrAnythingElse)
{
    const auto code = [](std::vector<std::string> outcomes) {
        std::vector<station::Row> rows(outcomes.size());
        for (size_t i = 0; i < outcomes.size(); ++i) {
            rows[i].outcome = outcomes[i];
        }
        return station::StationReturnCode(rows);
    };
    EXPECT_EQ(code({ "updated", "updated" }), 0);
    EXPECT_EQ(code({ "updated", "boot-upgraded" }), 1);
    EXPECT_EQ(code({ "boot-upgraded", "refused" }), 2);
    EXPECT_EQ(code({ "updated", "stopped" }), 2);
    EXPECT_EQ(code({ "failed-after-writing" }), 2);
}

TEST(StationHistory, FiltersAndFormats)
{
    std::vector<nlohmann::json> records;
    const auto add = [&](int port, const char* id, const char* started, const char* outcome) {
        history::Record record;
        record.port = port;
        record.radio.identifier = id;
        record.started = *history::ParseIsoUtc(started);
        record.outcome = history::OutcomeFromText(outcome);
        record.finalText = "line one\nline, \"two\"";
        records.push_back(history::ToJson(record));
    };
    add(3, "00000000000000AA", "2026-12-08T23:59:59Z", "updated");
    add(4, "00000000000000BB", "2026-12-09T00:00:00Z", "refused");
    add(3, "00000000000000BB", "2026-12-09T08:00:00Z", "updated");

    const auto count = [&](const station::HistoryQuery& query) {
        int n = 0;
        for (const auto& record : records) {
            n += station::Matches(record, query) ? 1 : 0;
        }
        return n;
    };
    station::HistoryQuery query;
    EXPECT_EQ(count(query), 3);
    query.radio = "00000000000000bb";
    EXPECT_EQ(count(query), 2);
    query.port = 3;
    EXPECT_EQ(count(query), 1);
    query = {};
    query.since = history::ParseIsoUtc("2026-12-09");
    EXPECT_EQ(count(query), 2);
    query.outcome = "refused";
    EXPECT_EQ(count(query), 1);

    const std::string csv = station::FormatHistory(records, station::HistoryQuery::Format::Csv);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")).find("started,ended,duration_s"), 0u);
    // A text with a comma, quotes and a line break stays one field.
    EXPECT_NE(csv.find(",\"line one\nline, \"\"two\"\"\","), std::string::npos) << csv;
    const auto json = nlohmann::json::parse(
        station::FormatHistory(records, station::HistoryQuery::Format::Json));
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json[2]["started"], "2026-12-09T08:00:00Z");
}

// ---- Station runs against simulated radios ---------------------------------

// A small release: little loader and code, so that runs take seconds.
fs::path SmallRelease()
{
    static const TempDir dir;
    static const ProcessResult made = workflowtest::PackImages(dir / "Updater_Station",
        workflowtest::PatternBytes(512, 1), workflowtest::PatternBytes(32768, 2),
        workflowtest::PatternBytes(512, 3), workflowtest::PatternBytes(2048, 4));
    EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
    return dir / "Updater_Station";
}

class StationRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(SmallRelease())); }

    // A simulated radio on COM<port> with the serial `identifier`.
    void AddRadio(int port, const std::string& identifier, std::vector<std::string> options)
    {
        std::vector<std::string> args { "--port", std::to_string(port), "--identifier", identifier,
            "--restart-delay", "50" };
        args.insert(args.end(), options.begin(), options.end());
        auto radio = std::make_unique<testsupport::SimProcess>();
        ASSERT_TRUE(radio->Start(testsupport::SimBinary(), m_Com.Path(), args,
            std::chrono::seconds(10), m_Out / ("radio" + std::to_string(port) + ".err")))
            << radio->Error();
        m_Radios.push_back(std::move(radio));
    }

    std::map<std::string, std::string> Environment() const
    {
        return { { "CORVEL_COM_DIR", m_Com.Path().string() },
            { "XDG_STATE_HOME", (m_Out / "state").string() }, { "TERM", "" } };
    }

    std::string HistoryPath() const
    {
        return (m_Out / "state" / "corvel" / "history.jsonl").string();
    }

    TempDir m_Com;
    TempDir m_Out;
    TempDir m_Work;
    std::vector<std::unique_ptr<testsupport::SimProcess>> m_Radios;
};

TEST_F(StationRun, FourRadiosOneClosingOneOldBootTwoNormal)
{
    // The normal radios carry their codeplug over (no restart message): each
    // saves a backup; equal formats spare the conversion wait.
    const std::vector<std::string> carry { "--restart", "none", "--codeplug",
        testsupport::SourcePath("scripts/demo-data/codeplug-5.8.bin").string(), "--format-version",
        "5.8", "--new-format-version", "5.8", "--boot-version", "6.7" };
    AddRadio(3, "0000000000000003", carry);
    std::vector<std::string> closing = carry;
    closing.insert(closing.end(), { "--close-after-block", "12" });
    AddRadio(4, "0000000000000004", closing);
    AddRadio(5, "0000000000000005", { "--boot-version", "6.5", "--new-boot-version", "6.7" });
    AddRadio(6, "0000000000000006", carry);

    const ProcessResult run
        = testsupport::RunProcess({ testsupport::BinPath("corvel-station").string(), "--work-dir",
                                      m_Work.Path().string(), SmallRelease().string(), "3-6" },
            Environment(), {}, std::chrono::minutes(3));
    const std::string context = run.out + "\nerrors:\n" + run.err;
    ASSERT_FALSE(run.timedOut) << context;
    EXPECT_EQ(run.exitCode, 2) << context;

    // Plain output (not a terminal): dated lines per port, progress at the
    // 10% marks only.
    static const std::regex line("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ COM[3-6] .+$");
    static const std::regex progress(" (\\d+)%$");
    const std::string events = run.out.substr(0, run.out.find("\n\nPort"));
    std::istringstream lines(events);
    int progressLines = 0;
    for (std::string text; std::getline(lines, text);) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        std::smatch percent;
        if (std::regex_search(text, percent, progress)) {
            EXPECT_EQ(std::stoi(percent[1]) % 10, 0) << text;
            ++progressLines;
        }
    }
    EXPECT_GT(progressLines, 0) << context;
    EXPECT_NE(events.find("COM6 Downloading Application code... 50%"), std::string::npos)
        << context;

    // The summary: one row per port with its outcome.
    const std::map<int, std::string> outcomes { { 3, "updated" }, { 4, "failed-writing" },
        { 5, "boot-upgraded" }, { 6, "updated" } };
    for (const auto& [port, outcome] : outcomes) {
        // A radio is named once its application code answers (the codeplug
        // carry-over asks for its serial); the update sends nothing extra for
        // the history, so the others stay unnamed.
        const std::string named
            = outcome == "updated" ? "000000000000000" + std::to_string(port) : "-";
        const std::regex row("\nCOM" + std::to_string(port) + " +" + named + " +" + outcome + " ");
        EXPECT_TRUE(std::regex_search(run.out, row)) << "COM" << port << "\n" << context;
    }

    // Four records, each naming its own radio, port and working folder.
    const auto records = history::ReadHistory(HistoryPath());
    ASSERT_EQ(records.size(), 4u) << context;
    std::set<int> ports;
    for (const auto& record : records) {
        const int port = record["port"].get<int>();
        ports.insert(port);
        SCOPED_TRACE("COM" + std::to_string(port));
        if (outcomes.at(port) == "updated") {
            EXPECT_EQ(record["radio"]["identifier"], "000000000000000" + std::to_string(port));
        } else {
            EXPECT_TRUE(record["radio"]["identifier"].is_null());
        }
        EXPECT_EQ(record["outcome"], outcomes.at(port));
        EXPECT_EQ(record["mode"], "console");
        EXPECT_EQ(record["release"]["name"], "Updater_Station");
        const fs::path dir = m_Work.Path() / ("COM" + std::to_string(port));
        if (port == 3 || port == 6) {
            ASSERT_TRUE(record["backup"].is_string());
            const fs::path backup = record["backup"].get<std::string>();
            EXPECT_EQ(backup.parent_path(), dir);
            EXPECT_TRUE(fs::exists(backup));
            EXPECT_EQ(record["return_code"], 0);
            EXPECT_EQ(record["bytes_written"], 32768);
        } else {
            EXPECT_TRUE(record["backup"].is_null());
        }
        if (port == 4) {
            EXPECT_TRUE(record["flash_touched"].get<bool>());
            ASSERT_TRUE(record["trace"].is_string());
            EXPECT_EQ(fs::path(record["trace"].get<std::string>()).parent_path(), dir);
        }
        if (port == 5) {
            EXPECT_EQ(record["return_code"], 1);
            EXPECT_EQ(record["radio"]["boot_before"], "6.5");
            EXPECT_EQ(record["radio"]["boot_after"], "6.7");
        }
        // The job's log holds each progress record once.
        const std::string console = testsupport::ReadFileText(dir / "console.log");
        std::string previous;
        for (size_t at = console.find('\r'); at != std::string::npos;) {
            const size_t next = console.find_first_of("\r\n", at + 1);
            const std::string record
                = console.substr(at, next == std::string::npos ? next : next - at);
            EXPECT_NE(record, previous);
            previous = record;
            at = next == std::string::npos ? next : console.find('\r', next);
        }
    }
    EXPECT_EQ(ports, (std::set<int> { 3, 4, 5, 6 }));

    // --json: the same records as an array.
    const ProcessResult listed
        = testsupport::RunProcess({ testsupport::BinPath("corvel-station").string(), "history",
                                      "--json", "--outcome", "updated" },
            Environment());
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(nlohmann::json::parse(listed.out).size(), 2u) << listed.out;
}

// Runs the station on a pseudo-terminal; returns everything it wrote there
// and its exit status.
std::pair<std::string, int> RunOnTerminal(const std::vector<std::string>& args,
    const std::map<std::string, std::string>& env, std::chrono::seconds limit)
{
    int master = -1;
    struct winsize size { };
    size.ws_row = 30;
    size.ws_col = 160;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pollfd fd { master, POLLIN, 0 };
        if (::poll(&fd, 1, 200) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return { out, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status) };
}

TEST_F(StationRun, LiveTableOnATerminalRedrawsInPlaceAndEndsWithTheSummary)
{
    AddRadio(3, "0000000000000003", { "--boot-version", "6.7" });
    AddRadio(4, "0000000000000004", { "--boot-version", "6.7" });
    std::map<std::string, std::string> env = Environment();
    env["TERM"] = "xterm";
    const auto [out, status]
        = RunOnTerminal({ testsupport::BinPath("corvel-station").string(), "--work-dir",
                            m_Work.Path().string(), SmallRelease().string(), "3", "4" },
            env, std::chrono::seconds(120));
    EXPECT_EQ(status, 0) << out;
    // Drawn with cursor addressing ("ESC [ row ; col H"), not line by line.
    const std::regex addressing("\x1b\\[\\d+;\\d+H");
    const auto moves = std::distance(
        std::sregex_iterator(out.begin(), out.end(), addressing), std::sregex_iterator());
    EXPECT_GT(moves, 4) << out;
    EXPECT_EQ(out.find("Z COM3 "), std::string::npos) << "plain lines on a terminal";
    EXPECT_NE(out.find("Downloading"), std::string::npos);
    // After the table: the summary.
    const size_t summary = out.rfind("Port   Radio");
    ASSERT_NE(summary, std::string::npos) << out;
    const std::string tail = out.substr(summary);
    EXPECT_TRUE(std::regex_search(tail, std::regex("COM3 +\\S+ +updated")));
    EXPECT_TRUE(std::regex_search(tail, std::regex("COM4 +\\S+ +updated")));
}

} // namespace
