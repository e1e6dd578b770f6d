// Figures of corvel-station against simulated radios:
//
//  1. eight radios on lines paced like a cable at 115200 bit/s, a release
//     with about 200 KB of application code: every radio first alone (one
//     station run each), then all eight in one station run. Goals: each
//     radio's job in the shared run takes at most 1.05x its time alone; the
//     station process itself uses at most 1% of one core (its own processor
//     time over its wall time, read from /proc once it has ended, without its
//     jobs) and at most 32 MB (its peak resident memory, VmHWM, sampled every
//     50 ms while it runs);
//  2. thirty-two radios on unpaced lines in one station run. Goal: all
//     updated, none failed.
//
// A job's time is the duration its history record gives (the job's own clock
// from its start to its end), so the time a process takes to start is left
// out on both sides.
//
// Usage: corvel-bench-station [--only PART]
//   --only: run one part (1 or 2)
// Exit status 0 when every goal is met, 1 otherwise.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kCodeBytes = 200 * 1024;
constexpr double kShareGoal = 1.05;
constexpr double kCpuGoal = 0.01;
constexpr long kMemoryGoalKb = 32 * 1024;

// The release: the demo application loader and about 200 KB of code, packed
// onto the built updater.
bool MakeRelease(const fs::path& dir, fs::path& release)
{
    std::ofstream(dir / "loader.srec") << pack::MakeDemoImage(pack::DemoAppLoaderShape());
    std::ofstream(dir / "code.srec") << pack::MakeDemoImage({ true, 0xFE040100, kCodeBytes, 2 });
    release = dir / "Updater_4400_Release_6_10";
    const auto packed = testsupport::RunProcess(
        { testsupport::BinPath("corvel-pack").string(), "--base",
            testsupport::BinPath("corvel-updater").string(), "--out", release.string(), "--family",
            "4400", "--series", "6", "--upgrade-type", "application", "--platform-flag", "1",
            "--processor", "816", "--boot-version", "6.7", "--programming-app-version", "2.12.4",
            "--tuning-app-version", "3.0.17", "--app-loader", (dir / "loader.srec").string(),
            "--app-code", (dir / "code.srec").string() },
        {}, {}, std::chrono::minutes(2));
    if (packed.exitCode != 0) {
        std::fprintf(stderr, "corvel-pack: %s%s\n", packed.out.c_str(), packed.err.c_str());
    }
    return packed.exitCode == 0;
}

// Simulated radios on COM3 onwards, each with its own identifier.
struct Radios {
    std::vector<std::unique_ptr<testsupport::SimProcess>> sims;

    bool Start(const fs::path& comDir, int count, bool paced)
    {
        for (int i = 0; i < count; ++i) {
            char identifier[17];
            std::snprintf(identifier, sizeof identifier, "00000000BE0C%04X", i + 1);
            std::vector<std::string> options { "--port", std::to_string(3 + i), "--identifier",
                identifier, "--boot-version", "6.7" };
            if (paced) {
                options.insert(options.end(), { "--line-rate", "115200" });
            }
            auto sim = std::make_unique<testsupport::SimProcess>();
            if (!sim->Start(testsupport::SimBinary(), comDir, options)) {
                std::fprintf(stderr, "radio on COM%d: %s\n", 3 + i, sim->Error().c_str());
                return false;
            }
            sims.push_back(std::move(sim));
        }
        return true;
    }
};

// One station run and what it cost the station process itself.
struct StationRun {
    int exitCode = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0; // the station's own, without its jobs
    double jobsCpuSeconds = 0; // all its jobs together
    long peakKb = 0;
    std::map<int, nlohmann::json> records; // by port
};

long PeakKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Processor seconds of an ended but not yet reaped process from /proc: its
// own (utime + stime) and that of the children it reaped (cutime + cstime).
struct CpuSeconds {
    double own = -1;
    double children = -1;
};

CpuSeconds CpuSecondsOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ticks[4] = {};
    // Field 3 (state) comes first; utime, stime, cutime and cstime are
    // fields 14 to 17.
    for (int number = 3; number <= 17 && fields >> field; ++number) {
        if (number >= 14) {
            ticks[number - 14] = std::stoull(field);
        }
    }
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return { static_cast<double>(ticks[0] + ticks[1]) / tick,
        static_cast<double>(ticks[2] + ticks[3]) / tick };
}

StationRun RunStation(const testsupport::TempDir& ws, const fs::path& release, int firstPort,
    int count, const std::string& name)
{
    StationRun run;
    const fs::path out = ws.Path() / (name + ".out");
    const fs::path work = ws.Path() / ("work-" + name);
    const std::string ports
        = std::to_string(firstPort) + "-" + std::to_string(firstPort + count - 1);
    const std::string station = testsupport::BinPath("corvel-station").string();
    const auto started = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(null, STDIN_FILENO);
        ::dup2(fd, STDOUT_FILENO);
        ::setenv("CORVEL_COM_DIR", (ws.Path() / "com").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (ws.Path() / "state").c_str(), 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::execl(station.c_str(), station.c_str(), "--json", "--work-dir", work.c_str(),
            release.c_str(), ports.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) {
        return run;
    }
    // Until it has ended: its peak memory so far. Once ended it stays a
    // zombie (WNOWAIT) so that /proc still has its own processor time.
    for (;;) {
        siginfo_t info {};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
            && info.si_pid == pid) {
            break;
        }
        run.peakKb = std::max(run.peakKb, PeakKb(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    const CpuSeconds cpu = CpuSecondsOf(pid);
    run.cpuSeconds = cpu.own;
    run.jobsCpuSeconds = cpu.children;
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::ifstream file(out);
    const std::string text(
        (std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The JSON array follows the event lines.
    const size_t array = text.rfind("\n[");
    const nlohmann::json records = nlohmann::json::parse(
        array == std::string::npos ? text : text.substr(array + 1), nullptr, false);
    if (records.is_array()) {
        for (const nlohmann::json& record : records) {
            if (record.is_object() && record["port"].is_number_integer()) {
                run.records[record["port"].get<int>()] = record;
            }
        }
    }
    return run;
}

std::string OutcomeOf(const StationRun& run, int port)
{
    const auto it = run.records.find(port);
    return it != run.records.end() && it->second["outcome"].is_string()
        ? it->second["outcome"].get<std::string>()
        : "no record";
}

double DurationOf(const StationRun& run, int port)
{
    const auto it = run.records.find(port);
    return it != run.records.end() && it->second["duration_s"].is_number()
        ? it->second["duration_s"].get<double>()
        : -1;
}

// The seconds each step of a record took: to the next step, the last one to
// the end of the run.
std::vector<std::pair<std::string, double>> StepSeconds(const nlohmann::json& record)
{
    std::vector<std::pair<std::string, double>> steps;
    const nlohmann::json& list = record["steps"];
    const double end = record["duration_s"].is_number() ? record["duration_s"].get<double>() : 0;
    for (size_t i = 0; list.is_array() && i < list.size(); ++i) {
        const double at = list[i]["s"].get<double>();
        const double next = i + 1 < list.size() ? list[i + 1]["s"].get<double>() : end;
        steps.emplace_back(list[i]["text"].get<std::string>(), next - at);
    }
    return steps;
}

const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

bool PartPaced(const testsupport::TempDir& ws, const fs::path& release)
{
    constexpr int kRadios = 8;
    std::printf("1. %d radios at 115200 bit/s, %llu KB of code\n", kRadios,
        static_cast<unsigned long long>(kCodeBytes / 1024));
    Radios radios;
    if (!radios.Start(ws.Path() / "com", kRadios, true)) {
        return false;
    }
    bool met = true;
    std::vector<double> alone(kRadios, -1);
    std::map<int, nlohmann::json> aloneRecords;
    for (int i = 0; i < kRadios; ++i) {
        const StationRun run = RunStation(ws, release, 3 + i, 1, "alone" + std::to_string(i));
        alone[static_cast<size_t>(i)] = DurationOf(run, 3 + i);
        if (run.records.count(3 + i) != 0) {
            aloneRecords[3 + i] = run.records.at(3 + i);
        }
        if (OutcomeOf(run, 3 + i) != "updated") {
            std::printf("   COM%d alone: %s\n", 3 + i, OutcomeOf(run, 3 + i).c_str());
            met = false;
        }
    }
    const StationRun shared = RunStation(ws, release, 3, kRadios, "shared");
    std::printf("   port   alone s   shared s   ratio (goal <= %.2f)\n", kShareGoal);
    double worst = 0;
    int worstPort = 0;
    for (int i = 0; i < kRadios; ++i) {
        const int port = 3 + i;
        const double together = DurationOf(shared, port);
        const double ratio = alone[static_cast<size_t>(i)] > 0 && together > 0
            ? together / alone[static_cast<size_t>(i)]
            : 0;
        const bool updated = OutcomeOf(shared, port) == "updated";
        std::printf("   COM%-3d %8.2f %10.2f %8.3f   %s\n", port, alone[static_cast<size_t>(i)],
            together, ratio, updated ? "" : OutcomeOf(shared, port).c_str());
        met = met && updated && ratio > 0;
        if (ratio > worst) {
            worst = ratio;
            worstPort = port;
        }
    }
    const bool shareMet = worst > 0 && worst <= kShareGoal;
    std::printf("   worst ratio %.3f: %s\n", worst, Verdict(shareMet));
    if (aloneRecords.count(worstPort) != 0 && shared.records.count(worstPort) != 0) {
        // Where the worst radio's time went, step by step.
        const auto before = StepSeconds(aloneRecords.at(worstPort));
        const auto after = StepSeconds(shared.records.at(worstPort));
        std::printf("   COM%d step by step, s alone / shared:\n", worstPort);
        for (size_t i = 0; i < before.size() && i < after.size(); ++i) {
            std::printf("     %-44s %7.2f %7.2f\n", before[i].first.substr(0, 44).c_str(),
                before[i].second, after[i].second);
        }
    }
    const double cpuShare = shared.wallSeconds > 0 ? shared.cpuSeconds / shared.wallSeconds : 1;
    const bool cpuMet = shared.cpuSeconds >= 0 && cpuShare <= kCpuGoal;
    std::printf("   station process: %.3f s processor time in %.1f s = %.2f%% of a core "
                "(goal <= %.0f%%): %s\n",
        shared.cpuSeconds, shared.wallSeconds, 100 * cpuShare, 100 * kCpuGoal, Verdict(cpuMet));
    std::printf("   its %d jobs: %.2f s processor time together, %.1f%% of a core each\n", kRadios,
        shared.jobsCpuSeconds,
        shared.wallSeconds > 0 ? 100 * shared.jobsCpuSeconds / kRadios / shared.wallSeconds : 0);
    const bool memoryMet = shared.peakKb > 0 && shared.peakKb <= kMemoryGoalKb;
    std::printf("   station process: peak memory %.1f MB (goal <= %ld MB): %s\n",
        static_cast<double>(shared.peakKb) / 1024, kMemoryGoalKb / 1024, Verdict(memoryMet));
    std::printf("   station exit status %d\n", shared.exitCode);
    return met && shared.exitCode == 0 && shareMet && cpuMet && memoryMet;
}

bool PartMany(const testsupport::TempDir& ws, const fs::path& release)
{
    constexpr int kRadios = 32;
    std::printf("2. %d radios on unpaced lines\n", kRadios);
    Radios radios;
    if (!radios.Start(ws.Path() / "com", kRadios, false)) {
        return false;
    }
    const StationRun run = RunStation(ws, release, 3, kRadios, "many");
    std::map<std::string, int> outcomes;
    for (int i = 0; i < kRadios; ++i) {
        ++outcomes[OutcomeOf(run, 3 + i)];
    }
    for (const auto& [outcome, count] : outcomes) {
        std::printf("   %-16s %d\n", outcome.c_str(), count);
    }
    const bool met = outcomes["updated"] == kRadios && run.exitCode == 0;
    std::printf("   in %.1f s, station exit status %d; all updated, none failed: %s\n",
        run.wallSeconds, run.exitCode, Verdict(met));
    return met;
}

} // namespace

int main(int argc, char** argv)
{
    int only = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--only PART]\n", argv[0]);
            return 2;
        }
    }
    testsupport::TempDir ws;
    fs::create_directories(ws / "com");
    fs::path release;
    if (!MakeRelease(ws.Path(), release)) {
        return 1;
    }
    bool met = true;
    if (only == 0 || only == 1) {
        met = PartPaced(ws, release) && met;
    }
    if (only == 0 || only == 2) {
        met = PartMany(ws, release) && met;
    }
    return met ? 0 : 1;
}
