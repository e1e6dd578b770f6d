// The console job of a small packed release against a simulated radio that
// fails on purpose: the line closes at chosen points of each stage, bytes are
// damaged on the line, the radio refuses requests or stops answering.
//
// Whatever happens, every run must end within its time limit, must not
// crash, and must end in one of two ways: return code 0 with the radio
// holding exactly the image, or return code 2 with a message. The radio's
// stored data (only pairs the protocol confirmed) must always be a prefix of
// the image, so a block that was never confirmed can never show up there.

#include "tests/workflow/WorkflowRig.h"

#include "platform/ResourceArchive.h"
#include "platform/StopSignals.h"
#include "workflow/History.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <future>
#include <optional>
#include <random>
#include <regex>
#include <set>

using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 7;
constexpr size_t kBlockBytes = 128;
// A small release: the loader fills 6 blocks, the code 120 blocks.
constexpr size_t kLoaderBytes = 700;
constexpr size_t kCodeBytes = 15300;
// Far above the longest wait of the updater (15 s for a download answer):
// a run that reaches it hung.
constexpr auto kRunLimit = std::chrono::seconds(75);

enum class Outcome { Completed, FailedWithMessage, Other };

// True when `stored` (what the radio kept, padded to whole blocks with
// 0xFF) is a prefix of `image` followed by at most the padding of the last
// blocks.
bool IsConfirmedPrefix(const std::vector<uint8_t>& stored, std::vector<uint8_t> image)
{
    image.resize((image.size() + 2 * kBlockBytes - 1) / kBlockBytes * kBlockBytes, 0xFF);
    return stored.size() <= image.size() && std::equal(stored.begin(), stored.end(), image.begin());
}

std::set<std::string> FilesIn(const std::filesystem::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Only line traces (named after the failure) may stay after a failed job.
bool OnlyTraces(const std::filesystem::path& dir)
{
    const auto names = FilesIn(dir);
    return std::ranges::all_of(
        names, [](const std::string& n) { return n.starts_with("Corvel_trace_"); });
}

// A simulated radio with `options` on COM<kPort> of a namespace of its own,
// and a working, output and state folder for one console job.
struct Bench {
    explicit Bench(const std::vector<std::string>& options)
        : radio(comDir.Path(), kPort, options, out.Path())
    {
        EXPECT_TRUE(radio.Ready());
    }
    ProcessResult Job(const std::filesystem::path& updater, const std::filesystem::path& workDir,
        const testsupport::OutputWatch& watch = {})
    {
        return workflowtest::RunConsoleJob(updater, kPort, comDir.Path(), workDir, kRunLimit,
            { { "XDG_STATE_HOME", state.Path().string() } }, watch);
    }
    // The job, sent `signal` once its console shows `marker`, with the radio
    // stopped after it; `afterSignal` is how long it ran on (unset when the
    // marker never came).
    ProcessResult JobSignalled(
        const std::filesystem::path& updater, const std::string& marker, int signal)
    {
        std::optional<Clock::time_point> sentAt;
        ProcessResult job = Job(updater, work.Path(), [&](const std::string& text, int pid) {
            if (!sentAt && text.find(marker) != std::string::npos) {
                ::kill(pid, signal);
                sentAt = Clock::now();
            }
        });
        if (sentAt)
            afterSignal = Clock::now() - *sentAt;
        radio.Stop();
        return job;
    }
    std::vector<nlohmann::json> History() const
    {
        return history::ReadHistory((state.Path() / "corvel" / "history.jsonl").string());
    }
    TempDir comDir;
    TempDir work;
    TempDir out;
    TempDir state;
    workflowtest::SimulatedRadio radio;
    std::optional<Clock::duration> afterSignal;
};

// The small release, packed once for the suite.
class FaultInjection : public ::testing::Test {
protected:
    static std::filesystem::path Release()
    {
        static const TempDir dir;
        static const ProcessResult made
            = workflowtest::PackImages(dir / "Updater_small", s_Loader, s_Code);
        EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
        return dir / "Updater_small";
    }
    void SetUp() override { ASSERT_TRUE(std::filesystem::exists(Release())); }

    // One console job against a radio with the given faults. Checks what
    // must hold for every run and returns the outcome.
    Outcome Run(const std::vector<std::string>& faults)
    {
        SCOPED_TRACE(testing::PrintToString(faults));
        TempDir out;
        std::vector<std::string> options { "--boot-version", "6.7", "--restart-delay", "100",
            "--loader-out", (out.Path() / "loader.bin").string(), "--code-out",
            (out.Path() / "code.bin").string() };
        options.insert(options.end(), faults.begin(), faults.end());
        Bench b(options);
        const std::filesystem::path& work = b.work.Path();
        const ProcessResult job = b.Job(Release(), work);
        EXPECT_LT(b.radio.Stop(), 128);
        const std::vector<uint8_t> loader = ReadFileBytes(out.Path() / "loader.bin");
        const std::vector<uint8_t> code = ReadFileBytes(out.Path() / "code.bin");
        const std::string context = "return code " + std::to_string(job.exitCode)
            + (job.timedOut ? " (hung)" : "") + ", console:\n" + job.out + "\nerrors:\n" + job.err;

        // Only confirmed pairs reach the radio's store: never data that
        // differs from the image.
        EXPECT_TRUE(IsConfirmedPrefix(loader, s_Loader)) << context;
        EXPECT_TRUE(IsConfirmedPrefix(code, s_Code)) << context;

        Outcome outcome = Outcome::Other;
        if (!job.timedOut && job.exitCode == 0) {
            outcome = Outcome::Completed;
            // A completed update left the whole image in the radio.
            EXPECT_GE(loader.size(), s_Loader.size()) << context;
            EXPECT_GE(code.size(), s_Code.size()) << context;
            EXPECT_NE(job.out.find("Resetting radio...Done."), std::string::npos) << context;
            // Neither work files nor a line trace stay behind.
            EXPECT_TRUE(std::filesystem::is_empty(work)) << context;
        } else if (!job.timedOut && job.exitCode == 2) {
            // The last line says what went wrong; a line trace saved for
            // support is named after it and lies in the working directory.
            static const std::regex traceLine(
                "\nLine trace saved to (Corvel_trace_[0-9A-Z]+\\.log)\\.$");
            std::string text = job.out;
            std::smatch trace;
            if (std::regex_search(text, trace, traceLine)) {
                EXPECT_TRUE(std::filesystem::exists(work / trace[1].str())) << context;
                text = trace.prefix().str();
            }
            const std::string last = text.substr(text.rfind('\n') + 1);
            if (!last.empty() && last.find("Done.") == std::string::npos
                && last.find("% complete") == std::string::npos) {
                outcome = Outcome::FailedWithMessage;
            }
        }
        if (outcome != Outcome::Completed && outcome != Outcome::FailedWithMessage) {
            ADD_FAILURE() << "hung, crashed or ended without a message; " << context;
        }
        return outcome;
    }

    struct Case {
        std::vector<std::string> options;
        std::optional<Outcome> expected; // none: completed or failed with message
    };

    // Runs the cases side by side, a few at a time: most of a faulty run is
    // the updater waiting for an answer that does not come.
    void RunAll(const std::vector<Case>& cases)
    {
        constexpr size_t kAtOnce = 6;
        for (size_t first = 0; first < cases.size(); first += kAtOnce) {
            std::vector<std::future<Outcome>> running;
            const size_t end = std::min(cases.size(), first + kAtOnce);
            for (size_t i = first; i < end; ++i) {
                running.push_back(std::async(
                    std::launch::async, [this, &cases, i] { return Run(cases[i].options); }));
            }
            for (size_t i = first; i < end; ++i) {
                const Outcome outcome = running[i - first].get();
                if (cases[i].expected) {
                    EXPECT_EQ(outcome, *cases[i].expected) << "case " << i;
                }
            }
        }
    }

    static inline const std::vector<uint8_t> s_Loader
        = workflowtest::PatternBytes(kLoaderBytes, 11);
    static inline const std::vector<uint8_t> s_Code = workflowtest::PatternBytes(kCodeBytes, 12);
};

// Distinct numbers from [low, high], drawn with a fixed seed so that a
// failing run can be repeated.
std::vector<int> Draw(std::mt19937& random, int count, int low, int high)
{
    std::set<int> picked;
    std::uniform_int_distribution<int> pick(low, high);
    while (static_cast<int>(picked.size()) < std::min(count, high - low + 1)) {
        picked.insert(pick(random));
    }
    return { picked.begin(), picked.end() };
}

} // namespace

TEST_F(FaultInjection, LineClosedAtRandomPoints)
{
    std::mt19937 random(20261208u);
    std::vector<Case> cases;
    const auto add = [&cases](std::vector<std::string> options) {
        cases.push_back({ std::move(options), Outcome::FailedWithMessage });
    };
    // In the loader (6 blocks) and the code stream (120 blocks), by block.
    for (int block : Draw(random, 3, 1, 6)) {
        add({ "--fault-stage", "loader", "--close-after-block", std::to_string(block) });
    }
    for (int block : Draw(random, 6, 1, 120)) {
        add({ "--fault-stage", "code", "--close-after-block", std::to_string(block) });
    }
    // Anywhere from the first query on, by frame: the target checks, the
    // loader and the code stream.
    for (int frame : Draw(random, 6, 1, 40)) {
        add({ "--close-after-frames", std::to_string(frame) });
    }
    RunAll(cases);
}

TEST_F(FaultInjection, DamagedBytesNeverGiveWrongData)
{
    std::vector<Case> cases;
    for (int seed = 1; seed <= 12; ++seed) {
        const char* rates[] = { "0.0001", "0.0003", "0.001", "0.003", "0.01" };
        cases.push_back(
            { { "--corrupt-rate", rates[seed % 5], "--seed", std::to_string(seed) }, {} });
    }
    RunAll(cases);
}

TEST_F(FaultInjection, NoFaultRefusalsAndSilenceAtEachStage)
{
    constexpr auto kFailed = Outcome::FailedWithMessage;
    RunAll({
        { {}, Outcome::Completed }, // the baseline: no fault at all
        { { "--negative", "boot" }, kFailed },
        // A radio that does not know the family request still gets updated.
        { { "--negative", "family" }, Outcome::Completed },
        { { "--negative", "start:1" }, kFailed },
        { { "--negative", "start:2" }, kFailed },
        { { "--negative", "flash-type" }, {} },
        { { "--fault-stage", "loader", "--verify-fail", "2" }, kFailed },
        { { "--fault-stage", "code", "--verify-fail", "7" }, kFailed },
        { { "--fault-stage", "loader", "--wrong-sum", "1" }, {} },
        { { "--fault-stage", "code", "--wrong-sum", "20" }, {} },
        // Silence ends with a message, except for the family request.
        { { "--silent", "family" }, Outcome::Completed },
        { { "--silent", "boot" }, kFailed },
        { { "--fault-stage", "loader", "--silent-after-block", "3" }, kFailed },
        { { "--fault-stage", "code", "--silent-after-block", "30" }, kFailed },
    });
}

TEST_F(FaultInjection, APulledCableEndsTheJobAtOnce)
{
    Bench b({ "--boot-version", "6.7", "--restart-delay", "100", "--fault-stage", "code",
        "--close-after-block", "60" });
    const std::filesystem::path entry = b.comDir.Path() / ("COM" + std::to_string(kPort));
    auto running = std::async(std::launch::async, [&] { return b.Job(Release(), b.work.Path()); });
    // The simulated radio closes its side of the line in the middle of the
    // code stream, as a pulled adapter does; its COM entry goes with it.
    while (std::filesystem::is_symlink(entry)
        && running.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) { }
    const auto closedAt = Clock::now();
    const ProcessResult job = running.get();
    const auto waited = Clock::now() - closedAt;
    const std::string context = "console:\n" + job.out + "\nerrors:\n" + job.err;

    // Well under the download's 15 s answer time: the wait ended when the
    // line went, not when it gave up on the radio.
    EXPECT_LT(waited, std::chrono::seconds(4)) << context;
    EXPECT_FALSE(job.timedOut) << context;
    EXPECT_EQ(job.exitCode, 2) << context;
    EXPECT_NE(job.out.find("\nCOM error.\n"), std::string::npos) << context;
    // No work file stays; the support trace names the cause.
    const std::set<std::string> left = FilesIn(b.work.Path());
    ASSERT_EQ(left.size(), 1u) << context;
    ASSERT_TRUE(OnlyTraces(b.work.Path())) << *left.begin();
    const std::string trace = testsupport::ReadFileText(b.work / *left.begin());
    EXPECT_TRUE(trace.find("device removed") != std::string::npos
        || trace.find("line hung up") != std::string::npos)
        << trace;
}

TEST_F(FaultInjection, CorvelPortsNamesTheUpdateRunningOnAPort)
{
    // A radio that does not answer the boot request keeps the job waiting
    // on the port for a while.
    Bench b({ "--silent", "boot", "--restart-delay", "100" });
    auto running = std::async(std::launch::async, [&] { return b.Job(Release(), b.work.Path()); });
    const std::string expected = "Why: an update is running on this port (process ";
    std::string report;
    while (report.find(expected) == std::string::npos
        && running.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        report = testsupport::RunProcess({ testsupport::BinPath("corvel-ports").string() },
            { { "CORVEL_COM_DIR", b.comDir.Path().string() } }, {}, std::chrono::seconds(30))
                     .out;
    }
    const ProcessResult job = running.get();
    EXPECT_EQ(job.exitCode, 2);
    EXPECT_NE(report.find(expected), std::string::npos) << report;
    EXPECT_NE(report.find(", release Updater_small); wait for it to finish.\n"), std::string::npos)
        << report;
    EXPECT_EQ(report.find("kill"), std::string::npos) << report;
}

// A damaged release is refused as a whole before a port is claimed: no byte
// on the line, no file in the working directory, return code 2. Before, a
// combined release with damaged application code wrote its boot code into
// the radio first, and damage to the program part went unnoticed.
TEST_F(FaultInjection, DamagedReleaseIsRefusedBeforeTheLine)
{
    TempDir dir;
    const std::filesystem::path good = dir / "Updater_combined";
    const ProcessResult made = workflowtest::PackImages(
        good, s_Loader, s_Code, s_Loader, s_Code, { "--chunk-size", "20000" });
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    const std::vector<uint8_t> release = ReadFileBytes(good);
    const auto archive = platform::ResourceArchive::Open(good.string(), nullptr);
    ASSERT_TRUE(archive);
    // The application code in several chunks; the last one is damaged.
    int chunks = 0;
    while (archive->Find("Code_" + std::to_string(chunks + 1), "TEXT") != nullptr)
        ++chunks;
    ASSERT_GE(chunks, 2);
    const std::string lastName = "Code_" + std::to_string(chunks);
    const platform::ArchiveEntry* lastCode = archive->Find(lastName, "TEXT");
    const platform::ArchiveEntry* record = archive->Find("ResourceAttributes_", "TEXT");
    ASSERT_NE(record, nullptr);

    const std::pair<uint64_t, std::string> damages[] = {
        { lastCode->offset + lastCode->size - 10, lastName },
        // In the program's section table, which nothing reads at run time:
        // the program still starts, and only the recorded digest tells.
        { archive->BaseSize() - 100, "ProgramPart_" },
        { record->offset + 62, "ResourceAttributes_" },
        { release.size() - 64 - 20, "archive directory" },
        { release.size() - 3, "archive trailer" },
    };
    for (const auto& [offset, part] : damages) {
        SCOPED_TRACE(part);
        std::vector<uint8_t> bytes = release;
        bytes[offset] ^= 0x01;
        const std::filesystem::path damaged = dir / "Updater_damaged";
        testsupport::WriteFileBytes(damaged, bytes);
        std::filesystem::permissions(damaged, std::filesystem::perms::owner_all);

        TempDir out;
        Bench b({ "--boot-version", "6.5", "--loader-out", (out / "loader.bin").string(),
            "--code-out", (out / "code.bin").string() });
        const ProcessResult job = b.Job(damaged, b.work.Path());
        b.radio.Stop();
        EXPECT_EQ(job.exitCode, 2) << job.out;
        EXPECT_NE(
            job.out.find("\nThis release is damaged (resource " + part + "): obtain a new copy."),
            std::string::npos)
            << job.out;
        EXPECT_TRUE(b.radio.LoggedFrames(">>").empty()) << "the release went to the line";
        EXPECT_TRUE(ReadFileBytes(out / "loader.bin").empty());
        EXPECT_TRUE(ReadFileBytes(out / "code.bin").empty());
        EXPECT_TRUE(FilesIn(b.work.Path()).empty());
    }
}

// Whatever ends a job (a signal, a full disk), no work file of it stays, and
// the next job in the same directory runs. Before, SIGTERM killed the job on
// the spot and left the merged files (and no trace); a full disk left part
// files that made every later job fail with "could not read the embedded
// loader file".
TEST_F(FaultInjection, WorkFilesGoOnEverySignalAndFailure)
{
    const std::vector<std::string> normal = { "--boot-version", "6.7", "--restart-delay", "100" };
    auto goodJob = [&](const std::filesystem::path& work) {
        Bench b(normal);
        const ProcessResult job = b.Job(Release(), work);
        b.radio.Stop();
        EXPECT_EQ(job.exitCode, 0) << job.out;
        EXPECT_TRUE(OnlyTraces(work));
    };

    // A signal while the radio is silent in the middle of the code download
    // (a wait of up to 15 s): the job stops at once, deletes its work files,
    // writes its trace, says why, and its history record says it was
    // stopped after the flash was touched.
    for (const int signal : { SIGTERM, SIGINT, SIGHUP }) {
        SCOPED_TRACE(platform::StopSignalName(signal));
        std::vector<std::string> silent = normal;
        silent.insert(silent.end(), { "--fault-stage", "code", "--silent-after-block", "30" });
        Bench b(silent);
        const ProcessResult job
            = b.JobSignalled(Release(), "Downloading Application code...", signal);
        ASSERT_TRUE(b.afterSignal) << job.out;
        EXPECT_EQ(job.exitCode, 2) << job.out;
        EXPECT_LT(*b.afterSignal, std::chrono::seconds(5)) << job.out;
        EXPECT_NE(
            job.out.find(std::string("\nStopped by ") + platform::StopSignalName(signal) + "."),
            std::string::npos)
            << job.out;
        EXPECT_NE(job.out.find("\nLine trace saved to Corvel_trace_"), std::string::npos)
            << job.out;
        const std::set<std::string> left = FilesIn(b.work.Path());
        EXPECT_EQ(left.size(), 1u) << testing::PrintToString(left);
        EXPECT_TRUE(OnlyTraces(b.work.Path())) << testing::PrintToString(left);
        const auto records = b.History();
        ASSERT_EQ(records.size(), 1u) << job.out;
        EXPECT_EQ(records[0]["outcome"], "stopped") << records[0].dump();
        EXPECT_EQ(records[0]["flash_touched"], true) << records[0].dump();
        EXPECT_EQ(records[0]["return_code"], 2) << records[0].dump();
        EXPECT_EQ(records[0]["trace"],
            (std::filesystem::canonical(b.work.Path()) / *left.begin()).string());
        if (signal == SIGHUP)
            goodJob(b.work.Path());
    }

    // A signal once the radio is updated and restarted stops nothing: the job
    // keeps its success, and its return code and history record agree.
    // Before, it returned 2 and said "Stopped by SIGTERM." while its record
    // said "updated". (Should the signal come only after the job let go of
    // its signals, the job dies of it with its record already written.)
    {
        Bench b(normal);
        const ProcessResult job = b.JobSignalled(Release(), "Resetting radio...Done.", SIGTERM);
        ASSERT_TRUE(b.afterSignal) << job.out;
        EXPECT_TRUE(job.exitCode == 0 || job.exitCode == 128 + SIGTERM) << job.out;
        EXPECT_EQ(job.out.find("Stopped by"), std::string::npos) << job.out;
        EXPECT_TRUE(FilesIn(b.work.Path()).empty());
        const auto records = b.History();
        ASSERT_EQ(records.size(), 1u) << job.out;
        EXPECT_EQ(records[0]["outcome"], "updated") << records[0].dump();
        EXPECT_EQ(records[0]["return_code"], 0) << records[0].dump();
    }

    // A full disk while the release is extracted: the directory is named as
    // the trouble, nothing of the job stays, and once there is room again
    // the next job in the same directory succeeds.
    {
        testsupport::SmallFilesystem small(24 * 1024);
        Bench b(normal);
        const ProcessResult job = b.Job(Release(), small.Path());
        b.radio.Stop();
        EXPECT_EQ(job.exitCode, 2) << job.out;
        EXPECT_NE(job.out.find("cannot write in the working directory " + small.Path().string()
                      + ": " + (small.Mounted() ? "No space left on device" : "File too large")),
            std::string::npos)
            << job.out;
        EXPECT_TRUE(OnlyTraces(small.Path())) << testing::PrintToString(FilesIn(small.Path()));
        small.Grow(8 * 1024 * 1024);
        goodJob(small.Path());
    }
}
