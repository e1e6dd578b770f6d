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
#include <fcntl.h>
#include <future>
#include <optional>
#include <poll.h>
#include <random>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

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

// An S-record image as releases carry them: ending with an S9 record.
std::string ReleaseImage(bool s3, uint32_t address, const std::vector<uint8_t>& data)
{
    std::string text = workflowtest::MakeImage(s3, address, data);
    text.erase(text.rfind("\r\n", text.size() - 3) + 2);
    return text + "S9030000FC\r\n";
}

// The small release, packed once for the suite.
class FaultInjection : public ::testing::Test {
protected:
    static std::filesystem::path Release()
    {
        static const TempDir dir;
        static const ProcessResult made = [] {
            testsupport::WriteFileText(
                dir / "loader.srec", ReleaseImage(false, 0x010100, s_Loader));
            testsupport::WriteFileText(dir / "code.srec", ReleaseImage(true, 0xFE040100, s_Code));
            return workflowtest::PackRelease(dir / "Updater_small",
                { "--upgrade-type", "application", "--app-loader", (dir / "loader.srec").string(),
                    "--app-code", (dir / "code.srec").string() });
        }();
        EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
        return dir / "Updater_small";
    }
    void SetUp() override { ASSERT_TRUE(std::filesystem::exists(Release())); }

    // One console job against a radio with the given faults. Checks what
    // must hold for every run and returns the outcome.
    Outcome Run(const std::vector<std::string>& faults)
    {
        std::string label = "no fault";
        for (size_t i = 0; i < faults.size(); ++i) {
            label = (i == 0 ? "" : label + " ") + faults[i];
        }
        SCOPED_TRACE(label);
        TempDir comDir;
        TempDir work;
        TempDir out;
        std::vector<std::string> options { "--boot-version", "6.7", "--restart-delay", "100",
            "--loader-out", (out.Path() / "loader.bin").string(), "--code-out",
            (out.Path() / "code.bin").string() };
        options.insert(options.end(), faults.begin(), faults.end());
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort, options, out.Path());
        EXPECT_TRUE(radio.Ready());
        const ProcessResult job
            = workflowtest::RunConsoleJob(Release(), kPort, comDir.Path(), work.Path(), kRunLimit);
        EXPECT_LT(radio.Stop(), 128);
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
            EXPECT_TRUE(std::filesystem::is_empty(work.Path())) << context;
        } else if (!job.timedOut && job.exitCode == 2) {
            // The last line says what went wrong; a line trace saved for
            // support is named after it and lies in the working directory.
            static const std::regex traceLine(
                "\nLine trace saved to (Corvel_trace_[0-9A-Z]+\\.log)\\.$");
            std::string text = job.out;
            std::smatch trace;
            if (std::regex_search(text, trace, traceLine)) {
                EXPECT_TRUE(std::filesystem::exists(work.Path() / trace[1].str())) << context;
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
    TempDir comDir;
    TempDir work;
    TempDir out;
    workflowtest::SimulatedRadio radio(comDir.Path(), kPort,
        { "--boot-version", "6.7", "--restart-delay", "100", "--fault-stage", "code",
            "--close-after-block", "60" },
        out.Path());
    ASSERT_TRUE(radio.Ready());
    const std::filesystem::path entry = comDir.Path() / ("COM" + std::to_string(kPort));
    auto running = std::async(std::launch::async, [&] {
        return workflowtest::RunConsoleJob(Release(), kPort, comDir.Path(), work.Path(), kRunLimit);
    });
    // The simulated radio closes its side of the line in the middle of the
    // code stream, as a pulled adapter does; its COM entry goes with it.
    using Clock = std::chrono::steady_clock;
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
    int traces = 0;
    for (const auto& file : std::filesystem::directory_iterator(work.Path())) {
        const std::string name = file.path().filename().string();
        ASSERT_TRUE(name.starts_with("Corvel_trace_")) << name;
        const std::string trace = testsupport::ReadFileText(file.path());
        EXPECT_TRUE(trace.find("device removed") != std::string::npos
            || trace.find("line hung up") != std::string::npos)
            << trace;
        ++traces;
    }
    EXPECT_EQ(traces, 1) << context;
}

TEST_F(FaultInjection, CorvelPortsNamesTheUpdateRunningOnAPort)
{
    TempDir comDir;
    TempDir work;
    TempDir out;
    // A radio that does not answer the boot request keeps the job waiting
    // on the port for a while.
    workflowtest::SimulatedRadio radio(
        comDir.Path(), kPort, { "--silent", "boot", "--restart-delay", "100" }, out.Path());
    ASSERT_TRUE(radio.Ready());
    auto running = std::async(std::launch::async, [&] {
        return workflowtest::RunConsoleJob(Release(), kPort, comDir.Path(), work.Path(), kRunLimit);
    });
    const std::string expected = "Why: an update is running on this port (process ";
    std::string report;
    while (report.find(expected) == std::string::npos
        && running.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        report = testsupport::RunProcess({ testsupport::BinPath("corvel-ports").string() },
            { { "CORVEL_COM_DIR", comDir.Path().string() } }, {}, std::chrono::seconds(30))
                     .out;
    }
    const ProcessResult job = running.get();
    EXPECT_EQ(job.exitCode, 2);
    EXPECT_NE(report.find(expected), std::string::npos) << report;
    EXPECT_NE(report.find(", release Updater_small); wait for it to finish.\n"), std::string::npos)
        << report;
    EXPECT_EQ(report.find("kill"), std::string::npos) << report;
}

// --- A release checked whole, and work files that never outlive their job --

namespace {

// A console job started in the background whose output is followed, so
// that a signal can reach it at a chosen point.
struct SignalledJob {
    int exitCode = -1;
    bool signalSent = false;
    std::string out;
    std::chrono::milliseconds afterSignal { 0 }; // from the signal to the end
};

// Runs the console job "/d /sp port /c" with its history in `stateDir` and
// sends `signal` once its console output contains `marker`.
SignalledJob RunAndSignal(const std::filesystem::path& updater, int port,
    const std::filesystem::path& comDir, const std::filesystem::path& workDir,
    const std::filesystem::path& stateDir, const std::string& marker, int signal)
{
    SignalledJob job;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return job;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        if (::chdir(workDir.c_str()) != 0)
            ::_exit(127);
        ::setenv("CORVEL_COM_DIR", comDir.c_str(), 1);
        ::setenv("XDG_STATE_HOME", stateDir.c_str(), 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        const std::string portText = std::to_string(port);
        ::execl(updater.c_str(), updater.c_str(), "/d", "/sp", portText.c_str(), "/c",
            static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    const auto limit = std::chrono::steady_clock::now() + kRunLimit;
    std::chrono::steady_clock::time_point sentAt;
    char buffer[4096];
    for (;;) {
        pollfd entry { out[0], POLLIN, 0 };
        ::poll(&entry, 1, 100);
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n > 0)
            job.out.append(buffer, static_cast<size_t>(n));
        if (!job.signalSent && job.out.find(marker) != std::string::npos) {
            ::kill(child, signal);
            job.signalSent = true;
            sentAt = std::chrono::steady_clock::now();
        }
        if (n == 0 || std::chrono::steady_clock::now() > limit)
            break;
    }
    ::close(out[0]);
    int status = 0;
    if (std::chrono::steady_clock::now() > limit)
        ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    job.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (job.signalSent) {
        job.afterSignal = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - sentAt);
    }
    return job;
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
    for (const std::string& name : FilesIn(dir)) {
        if (name.rfind("Corvel_trace_", 0) != 0)
            return false;
    }
    return true;
}

} // namespace

// A damaged release is refused as a whole before a port is claimed: no byte
// on the line, no file in the working directory, return code 2. Before, a
// combined release with damaged application code wrote its boot code into
// the radio first, and damage to the program part went unnoticed.
TEST_F(FaultInjection, DamagedReleaseIsRefusedBeforeTheLine)
{
    TempDir dir;
    testsupport::WriteFileText(dir / "loader.srec", ReleaseImage(false, 0x010100, s_Loader));
    testsupport::WriteFileText(dir / "code.srec", ReleaseImage(true, 0xFE040100, s_Code));
    testsupport::WriteFileText(dir / "boot.srec", ReleaseImage(true, 0xFE000100, s_Code));
    const std::filesystem::path good = dir / "Updater_combined";
    const ProcessResult made = workflowtest::PackRelease(good,
        { "--upgrade-type", "application-boot", "--chunk-size", "20000", "--app-loader",
            (dir / "loader.srec").string(), "--app-code", (dir / "code.srec").string(),
            "--boot-loader", (dir / "loader.srec").string(), "--boot-code",
            (dir / "boot.srec").string() });
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

    struct Damage {
        uint64_t offset;
        std::string part;
    };
    const Damage damages[] = {
        { lastCode->offset + lastCode->size - 10, lastName },
        // In the program's section table, which nothing reads at run time:
        // the program still starts, and only the recorded digest tells.
        { archive->BaseSize() - 100, "ProgramPart_" },
        { record->offset + 62, "ResourceAttributes_" },
        { release.size() - 64 - 20, "archive directory" },
        { release.size() - 3, "archive trailer" },
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.part);
        std::vector<uint8_t> bytes = release;
        bytes[damage.offset] ^= 0x01;
        const std::filesystem::path damaged = dir / "Updater_damaged";
        testsupport::WriteFileBytes(damaged, bytes);
        std::filesystem::permissions(damaged, std::filesystem::perms::owner_all);

        TempDir comDir;
        TempDir work;
        TempDir out;
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort,
            { "--boot-version", "6.5", "--loader-out", (out.Path() / "loader.bin").string(),
                "--code-out", (out.Path() / "code.bin").string() },
            out.Path());
        ASSERT_TRUE(radio.Ready());
        const ProcessResult job
            = workflowtest::RunConsoleJob(damaged, kPort, comDir.Path(), work.Path(), kRunLimit);
        radio.Stop();
        EXPECT_EQ(job.exitCode, 2) << job.out;
        EXPECT_NE(job.out.find("\nThis release is damaged (resource " + damage.part
                      + "): obtain a new copy."),
            std::string::npos)
            << job.out;
        EXPECT_TRUE(radio.LoggedFrames(">>").empty()) << "the release went to the line";
        EXPECT_TRUE(ReadFileBytes(out.Path() / "loader.bin").empty());
        EXPECT_TRUE(ReadFileBytes(out.Path() / "code.bin").empty());
        EXPECT_TRUE(FilesIn(work.Path()).empty());
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
        TempDir comDir;
        TempDir out;
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort, normal, out.Path());
        EXPECT_TRUE(radio.Ready());
        const ProcessResult job
            = workflowtest::RunConsoleJob(Release(), kPort, comDir.Path(), work, kRunLimit);
        radio.Stop();
        EXPECT_EQ(job.exitCode, 0) << job.out;
        EXPECT_TRUE(OnlyTraces(work));
    };

    // A signal while the radio is silent in the middle of the code download
    // (a wait of up to 15 s): the job stops at once, deletes its work files,
    // writes its trace, says why, and its history record says it was
    // stopped after the flash was touched.
    for (const int signal : { SIGTERM, SIGINT, SIGHUP }) {
        SCOPED_TRACE(platform::StopSignalName(signal));
        TempDir comDir;
        TempDir work;
        TempDir out;
        TempDir state;
        std::vector<std::string> silent = normal;
        silent.insert(silent.end(), { "--fault-stage", "code", "--silent-after-block", "30" });
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort, silent, out.Path());
        ASSERT_TRUE(radio.Ready());
        const SignalledJob job = RunAndSignal(Release(), kPort, comDir.Path(), work.Path(),
            state.Path(), "Downloading Application code...", signal);
        radio.Stop();
        ASSERT_TRUE(job.signalSent) << job.out;
        EXPECT_EQ(job.exitCode, 2) << job.out;
        EXPECT_LT(job.afterSignal, std::chrono::seconds(5)) << job.out;
        EXPECT_NE(
            job.out.find(std::string("\nStopped by ") + platform::StopSignalName(signal) + "."),
            std::string::npos)
            << job.out;
        EXPECT_NE(job.out.find("\nLine trace saved to Corvel_trace_"), std::string::npos)
            << job.out;
        const std::set<std::string> left = FilesIn(work.Path());
        EXPECT_EQ(left.size(), 1u) << testing::PrintToString(left);
        EXPECT_TRUE(OnlyTraces(work.Path())) << testing::PrintToString(left);
        const auto records
            = history::ReadHistory((state.Path() / "corvel" / "history.jsonl").string());
        ASSERT_EQ(records.size(), 1u) << job.out;
        EXPECT_EQ(records[0]["outcome"], "stopped") << records[0].dump();
        EXPECT_EQ(records[0]["flash_touched"], true) << records[0].dump();
        EXPECT_EQ(records[0]["return_code"], 2) << records[0].dump();
        EXPECT_EQ(records[0]["trace"],
            (std::filesystem::canonical(work.Path()) / *left.begin()).string());
        if (signal == SIGHUP)
            goodJob(work.Path());
    }

    // A signal once the radio is updated and restarted stops nothing: the job
    // keeps its success, and its return code and history record agree.
    // Before, it returned 2 and said "Stopped by SIGTERM." while its record
    // said "updated". (Should the signal come only after the job let go of
    // its signals, the job dies of it with its record already written.)
    {
        TempDir comDir;
        TempDir work;
        TempDir out;
        TempDir state;
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort, normal, out.Path());
        ASSERT_TRUE(radio.Ready());
        const SignalledJob job = RunAndSignal(Release(), kPort, comDir.Path(), work.Path(),
            state.Path(), "Resetting radio...Done.", SIGTERM);
        radio.Stop();
        ASSERT_TRUE(job.signalSent) << job.out;
        EXPECT_TRUE(job.exitCode == 0 || job.exitCode == 128 + SIGTERM) << job.out;
        EXPECT_EQ(job.out.find("Stopped by"), std::string::npos) << job.out;
        EXPECT_TRUE(FilesIn(work.Path()).empty());
        const auto records
            = history::ReadHistory((state.Path() / "corvel" / "history.jsonl").string());
        ASSERT_EQ(records.size(), 1u) << job.out;
        EXPECT_EQ(records[0]["outcome"], "updated") << records[0].dump();
        EXPECT_EQ(records[0]["return_code"], 0) << records[0].dump();
    }

    // A full disk while the release is extracted: the directory is named as
    // the trouble, nothing of the job stays, and once there is room again
    // the next job in the same directory succeeds.
    {
        testsupport::SmallFilesystem small(24 * 1024);
        TempDir comDir;
        TempDir out;
        workflowtest::SimulatedRadio radio(comDir.Path(), kPort, normal, out.Path());
        ASSERT_TRUE(radio.Ready());
        const ProcessResult job
            = workflowtest::RunConsoleJob(Release(), kPort, comDir.Path(), small.Path(), kRunLimit);
        radio.Stop();
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
