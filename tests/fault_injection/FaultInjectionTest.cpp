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

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>

using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

constexpr int kPort = 7;
constexpr size_t kBlockBytes = 128;
// A small release: the loader fills 6 blocks, the code 120 blocks.
constexpr size_t kLoaderBytes = 700;
constexpr size_t kCodeBytes = 15300;
constexpr size_t kLoaderBlocks = (kLoaderBytes + kBlockBytes - 1) / kBlockBytes;
constexpr size_t kCodeBlocks = (kCodeBytes + kBlockBytes - 1) / kBlockBytes;
// Far above the longest wait of the updater (15 s for a download answer):
// a run that reaches it hung.
constexpr auto kRunLimit = std::chrono::seconds(75);

enum class Outcome { Completed, FailedWithMessage, Hung, Crashed, Other };
const char* const kOutcomeNames[]
    = { "completed", "failed with message", "hung", "crashed", "other" };

// What the suite saw, printed at the end.
std::mutex g_TallyMutex;
int g_Runs = 0;
long g_Faults = 0; // one per close, refusal, silence; damaged bytes
int g_Outcomes[5] = {};

class TallyPrinter : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::printf("fault injection: %d runs, %ld faults injected; outcomes:", g_Runs, g_Faults);
        for (int i = 0; i < 5; ++i) {
            std::printf("%s %d %s", i == 0 ? "" : ",", g_Outcomes[i], kOutcomeNames[i]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
};
const auto* const g_Printer = ::testing::AddGlobalTestEnvironment(new TallyPrinter);

// True when `stored` (what the radio kept, padded to whole blocks with
// 0xFF) begins with a prefix of `image` and holds nothing else.
bool IsConfirmedPrefix(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& image)
{
    const size_t common = std::min(stored.size(), image.size());
    if (!std::equal(stored.begin(), stored.begin() + static_cast<long>(common), image.begin())) {
        return false;
    }
    if (stored.size() > image.size()) {
        const size_t paddedEnd = (image.size() + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
        return stored.size() <= paddedEnd + kBlockBytes
            && std::all_of(stored.begin() + static_cast<long>(image.size()), stored.end(),
                [](uint8_t b) { return b == 0xFF; });
    }
    return true;
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
    static void SetUpTestSuite()
    {
        s_ReleaseDir = new TempDir;
        const std::filesystem::path dir = s_ReleaseDir->Path();
        testsupport::WriteFileText(dir / "loader.srec", ReleaseImage(false, 0x010100, s_Loader));
        testsupport::WriteFileText(dir / "code.srec", ReleaseImage(true, 0xFE040100, s_Code));
        const ProcessResult made = workflowtest::PackRelease(dir / "Updater_small",
            { "--upgrade-type", "application", "--app-loader", (dir / "loader.srec").string(),
                "--app-code", (dir / "code.srec").string() });
        s_MakeResult = made.exitCode;
        s_MakeOutput = made.out + made.err;
    }
    static void TearDownTestSuite()
    {
        delete s_ReleaseDir;
        s_ReleaseDir = nullptr;
    }

    void SetUp() override { ASSERT_EQ(s_MakeResult, 0) << s_MakeOutput; }

    // One console job against a radio with the given faults. `faultsFired`
    // is the number of faults the options inject (damaged bytes are counted
    // from the simulator's report instead). Checks what must hold for every
    // run and returns the outcome.
    Outcome Run(const std::vector<std::string>& faults, long faultsFired, const std::string& label)
    {
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
        const auto started = std::chrono::steady_clock::now();
        const ProcessResult job = workflowtest::RunConsoleJob(
            s_ReleaseDir->Path() / "Updater_small", kPort, comDir.Path(), work.Path(), kRunLimit);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        EXPECT_LT(radio.Stop(), 128);
        const long damaged = radio.DamagedBytes();
        const std::vector<uint8_t> loader = ReadFileBytes(out.Path() / "loader.bin");
        const std::vector<uint8_t> code = ReadFileBytes(out.Path() / "code.bin");
        const std::string context = "damaged bytes " + std::to_string(damaged) + ", return code "
            + std::to_string(job.exitCode) + ", console:\n" + job.out + "\nerrors:\n" + job.err;

        // Only confirmed pairs reach the radio's store: never data that
        // differs from the image.
        EXPECT_TRUE(IsConfirmedPrefix(loader, s_Loader)) << context;
        EXPECT_TRUE(IsConfirmedPrefix(code, s_Code)) << context;

        Outcome outcome = Outcome::Other;
        if (job.timedOut) {
            outcome = Outcome::Hung;
        } else if (job.exitCode >= 128) {
            outcome = Outcome::Crashed;
        } else if (job.exitCode == 0) {
            outcome = Outcome::Completed;
            // A completed update left the whole image in the radio.
            EXPECT_GE(loader.size(), s_Loader.size()) << context;
            EXPECT_GE(code.size(), s_Code.size()) << context;
            EXPECT_NE(job.out.find("Resetting radio...Done."), std::string::npos) << context;
            // Neither work files nor a line trace stay behind.
            EXPECT_TRUE(std::filesystem::is_empty(work.Path())) << context;
        } else if (job.exitCode == 2) {
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
            ADD_FAILURE() << kOutcomeNames[static_cast<int>(outcome)] << "; " << context;
        }
        {
            std::lock_guard<std::mutex> tally(g_TallyMutex);
            ++g_Runs;
            g_Faults += faultsFired + damaged;
            ++g_Outcomes[static_cast<int>(outcome)];
        }
        std::printf("  %s: return code %d after %lld ms, %ld bytes damaged\n", label.c_str(),
            job.exitCode, static_cast<long long>(took.count()), damaged);
        return outcome;
    }

    struct Case {
        std::vector<std::string> options;
        long faults = 1; // faults the options fire
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
                running.push_back(std::async(std::launch::async, [this, &cases, i] {
                    std::string label;
                    for (const std::string& option : cases[i].options) {
                        label += (label.empty() ? "" : " ") + option;
                    }
                    return Run(
                        cases[i].options, cases[i].faults, label.empty() ? "no fault" : label);
                }));
            }
            for (size_t i = first; i < end; ++i) {
                const Outcome outcome = running[i - first].get();
                if (cases[i].expected) {
                    EXPECT_EQ(outcome, *cases[i].expected) << "case " << i;
                } else {
                    EXPECT_TRUE(
                        outcome == Outcome::Completed || outcome == Outcome::FailedWithMessage)
                        << "case " << i;
                }
            }
        }
    }

    static inline TempDir* s_ReleaseDir = nullptr;
    static inline int s_MakeResult = -1;
    static inline std::string s_MakeOutput;
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
    // In the loader and the code stream, by block.
    for (int block : Draw(random, 3, 1, static_cast<int>(kLoaderBlocks))) {
        cases.push_back(
            { { "--fault-stage", "loader", "--close-after-block", std::to_string(block) }, 1,
                Outcome::FailedWithMessage });
    }
    for (int block : Draw(random, 6, 1, static_cast<int>(kCodeBlocks))) {
        cases.push_back({ { "--fault-stage", "code", "--close-after-block", std::to_string(block) },
            1, Outcome::FailedWithMessage });
    }
    // Anywhere from the first query on, by frame: the target checks, the
    // loader and the code stream.
    for (int frame : Draw(random, 6, 1, 40)) {
        cases.push_back(
            { { "--close-after-frames", std::to_string(frame) }, 1, Outcome::FailedWithMessage });
    }
    RunAll(cases);
}

TEST_F(FaultInjection, DamagedBytesNeverGiveWrongData)
{
    // Damaged bytes are counted from the simulator's report.
    std::vector<Case> cases;
    const std::pair<const char*, int> rates[] = { { "0.0001", 1 }, { "0.0001", 2 }, { "0.0001", 7 },
        { "0.0001", 8 }, { "0.0003", 3 }, { "0.0003", 4 }, { "0.0003", 9 }, { "0.0003", 10 },
        { "0.001", 5 }, { "0.001", 11 }, { "0.003", 6 }, { "0.01", 12 } };
    for (const auto& [rate, seed] : rates) {
        cases.push_back({ { "--corrupt-rate", rate, "--seed", std::to_string(seed) }, 0, {} });
    }
    RunAll(cases);
}

TEST_F(FaultInjection, NoFaultRefusalsAndSilenceAtEachStage)
{
    RunAll({
        { {}, 0, Outcome::Completed }, // the baseline: no fault at all
        { { "--negative", "boot" }, 1, Outcome::FailedWithMessage },
        // A radio that does not know the family request still gets updated.
        { { "--negative", "family" }, 1, Outcome::Completed },
        { { "--negative", "start:1" }, 1, Outcome::FailedWithMessage },
        { { "--negative", "start:2" }, 1, Outcome::FailedWithMessage },
        { { "--negative", "flash-type" }, 1, {} },
        { { "--fault-stage", "loader", "--verify-fail", "2" }, 1, Outcome::FailedWithMessage },
        { { "--fault-stage", "code", "--verify-fail", "7" }, 1, Outcome::FailedWithMessage },
        { { "--fault-stage", "loader", "--wrong-sum", "1" }, 1, {} },
        { { "--fault-stage", "code", "--wrong-sum", "20" }, 1, {} },
        // Silence ends with a message, except for the family request.
        { { "--silent", "family" }, 1, Outcome::Completed },
        { { "--silent", "boot" }, 1, Outcome::FailedWithMessage },
        { { "--fault-stage", "loader", "--silent-after-block", "3" }, 1,
            Outcome::FailedWithMessage },
        { { "--fault-stage", "code", "--silent-after-block", "30" }, 1,
            Outcome::FailedWithMessage },
    });
}
