// The update history: how a run is classified, the record's fields, and
// appending from many processes at once.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "tests/support/TestSupport.h"
#include "workflow/History.h"

using testsupport::TempDir;

namespace {

TEST(History, OutcomeFollowsReturnCodeAndHowFarTheFlashWasWritten)
{
    using history::Outcome;
    struct Case {
        history::RunFacts facts;
        Outcome outcome;
    };
    const Case cases[] = {
        { { 0, true, true, false }, Outcome::Updated },
        { { 1, true, true, false }, Outcome::BootUpgraded },
        { { 2, false, false, false }, Outcome::Refused },
        { { 2, true, false, false }, Outcome::FailedWriting },
        { { 2, true, true, false }, Outcome::FailedAfterWriting },
        // Stopped wins over everything the run reached.
        { { 2, true, false, true }, Outcome::Stopped },
        { { 2, false, false, true }, Outcome::Stopped },
    };
    for (const Case& c : cases) {
        const Outcome outcome = history::ClassifyOutcome(c.facts);
        EXPECT_EQ(outcome, c.outcome) << history::OutcomeText(c.outcome);
        EXPECT_EQ(history::OutcomeFromText(history::OutcomeText(outcome)), outcome);
    }
    EXPECT_FALSE(history::OutcomeFromText("Updated"));
}

TEST(History, RecordHasEveryFieldWithNullWhereUnknown)
{
    history::Record record;
    record.pid = 4242;
    record.started = 1796810401; // 2026-12-09T10:00:01Z
    record.mode = "console";
    record.port = 3;
    record.radio.identifier = "001A2B3C4D5E6F70";
    record.steps.push_back({ "Extracting embedded files...", 0.0123456 });
    record.returnCode = 2;
    record.outcome = history::Outcome::FailedWriting;
    const nlohmann::json json = nlohmann::json::parse(history::ToJson(record).dump());

    for (const char* key : { "schema", "pid", "started", "ended", "duration_s", "host", "user",
             "mode", "release", "port", "device", "adapter", "radio", "steps", "bytes_written",
             "return_code", "outcome", "flash_touched", "final_text", "backup", "trace" }) {
        EXPECT_TRUE(json.contains(key)) << key;
    }
    for (const char* key : { "name", "family", "series", "version", "upgrade_type" }) {
        EXPECT_TRUE(json["release"].contains(key)) << key;
    }
    for (const char* key : { "identifier", "family_answer", "boot_before", "boot_after",
             "codeplug_format_before", "codeplug_format_after" }) {
        EXPECT_TRUE(json["radio"].contains(key)) << key;
    }
    EXPECT_EQ(json["schema"], 1);
    EXPECT_EQ(json["started"], "2026-12-09T10:00:01Z");
    EXPECT_TRUE(json["ended"].is_null());
    EXPECT_TRUE(json["device"].is_null());
    EXPECT_TRUE(json["adapter"]["serial"].is_null());
    EXPECT_TRUE(json["backup"].is_null());
    EXPECT_EQ(json["outcome"], "failed-writing");
    EXPECT_EQ(json["radio"]["identifier"], "001A2B3C4D5E6F70");
    EXPECT_EQ(json["steps"][0]["text"], "Extracting embedded files...");
    EXPECT_DOUBLE_EQ(json["steps"][0]["s"].get<double>(), 0.012);

    EXPECT_EQ(history::ParseIsoUtc("2026-12-09T10:00:01Z"), record.started);
    EXPECT_EQ(history::ParseIsoUtc("2026-12-09"), record.started - 36001);
    EXPECT_FALSE(history::ParseIsoUtc("2026-12-09T10:00:01"));
    EXPECT_FALSE(history::ParseIsoUtc("yesterday"));
}

TEST(History, FileFollowsXdgStateHomeThenHomeAndAFailureIsReportedNotThrown)
{
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string state = savedState != nullptr ? savedState : "";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";

    ::setenv("XDG_STATE_HOME", "/var/tmp/state", 1);
    EXPECT_EQ(history::HistoryFilePath(), "/var/tmp/state/corvel/history.jsonl");
    // A relative XDG_STATE_HOME is not a state folder.
    ::setenv("XDG_STATE_HOME", "relative", 1);
    ::setenv("HOME", "/home/tech", 1);
    EXPECT_EQ(history::HistoryFilePath(), "/home/tech/.local/state/corvel/history.jsonl");
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(history::HistoryFilePath(), "");
    std::string error;
    EXPECT_FALSE(history::AppendLine(history::HistoryFilePath(), "{}", error));
    EXPECT_FALSE(error.empty());
    // The state folder is a file: nothing can be created below it.
    TempDir dir;
    testsupport::WriteFileText(dir / "state", "not a folder");
    EXPECT_FALSE(history::Append(history::Record {}, (dir / "state" / "history.jsonl").string()));
    EXPECT_FALSE(history::AppendLine((dir / "state" / "history.jsonl").string(), "{}", error));
    EXPECT_NE(error.find((dir / "state").string()), std::string::npos) << error;

    ::setenv("HOME", home.c_str(), 1);
    if (savedState != nullptr) {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    }
}

TEST(History, SixteenParallelAppendersLoseNoLine)
{
    TempDir dir;
    const std::string path = (dir / "state" / "corvel" / "history.jsonl").string();
    constexpr int kWriters = 16;
    constexpr int kRecords = 150;
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Records of different lengths, some longer than a pipe buffer's
            // atomic write, so that interleaving would show.
            for (int i = 0; i < kRecords; ++i) {
                history::Record record;
                record.pid = writer;
                record.port = i;
                record.finalText
                    = std::string(static_cast<size_t>(10 + (i * 97 + writer * 31) % 6000), 'x');
                if (!history::Append(record, path)) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::string text = testsupport::ReadFileText(path);
    std::set<std::pair<long, int>> seen;
    size_t lines = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "the last line is not ended";
        const nlohmann::json json
            = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
        ASSERT_TRUE(json.is_object()) << "line " << lines + 1 << " does not parse";
        EXPECT_TRUE(seen.insert({ json["pid"].get<long>(), json["port"].get<int>() }).second);
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kWriters * kRecords));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kRecords));
    int skipped = -1;
    EXPECT_EQ(history::ReadHistory(path, &skipped).size(), lines);
    EXPECT_EQ(skipped, 0);
}

} // namespace
