// Run: build/bin/bench_link (the simulator must sit next to it in bin/).
//
// BM_BareRoundTrip writes the request frame for the file format version and
// reads the 9-byte reply with plain write/poll/read, no protocol code.
// BM_SessionRoundTrip does the same request through CommSession (framing,
// byte-by-byte receive loop, pump, timer). Goal: the session's time per
// round trip at most twice the bare loop's.
// BM_SilentRadioWait waits 4 s for a radio that never answers and reports
// the process's processor time as a share of one core (goal: at most 2%).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "tests/support/SimProcess.h"

namespace {

const uint8_t kRequest[] = { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x60, 0x7E };
constexpr int kReplyBytes = 9; // BA 01 7F 04 1D MAJ MIN SUM 7E

struct Radio {
    std::filesystem::path dir;
    testsupport::SimProcess sim;
    bool ok = false;

    explicit Radio(const std::vector<std::string>& options)
    {
        char pattern[] = "/tmp/corvel-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return;
        }
        dir = pattern;
        ok = sim.Start(testsupport::SimBinary(), dir, options);
    }
    ~Radio()
    {
        sim.Stop();
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }

    // Skips the benchmark when the simulator did not start; otherwise points
    // the COM namespace at its folder.
    bool Usable(benchmark::State& state) const
    {
        if (!ok) {
            state.SkipWithError(sim.Error().c_str());
            return false;
        }
        ::setenv("CORVEL_COM_DIR", dir.c_str(), 1);
        return true;
    }
};

// Opens the session on the simulator's port at 19200 bit/s, framed, with the
// given reply wait; skips the benchmark when the port does not open.
bool OpenFramed(benchmark::State& state, const Radio& radio, CommSession& session, int waitMs)
{
    std::string message;
    if (!session.OpenDevice(radio.sim.Port(), 19200, false, message)) {
        state.SkipWithError(message.c_str());
        return false;
    }
    session.SetFraming(CommSession::kFramingFramed);
    session.SetWaitTime(waitMs);
    return true;
}

double ProcessCpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_BareRoundTrip(benchmark::State& state)
{
    Radio radio({});
    if (!radio.Usable(state)) {
        return;
    }
    int fd = ::open(radio.sim.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    termios settings {};
    ::tcgetattr(fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd, TCSANOW, &settings);
    for (auto _ : state) {
        if (::write(fd, kRequest, sizeof kRequest) != static_cast<ssize_t>(sizeof kRequest)) {
            state.SkipWithError("write failed");
            break;
        }
        uint8_t reply[64];
        int got = 0;
        while (got < kReplyBytes) {
            pollfd entry { fd, POLLIN, 0 };
            if (::poll(&entry, 1, 2000) <= 0) {
                break;
            }
            ssize_t n = ::read(fd, reply + got, sizeof reply - static_cast<size_t>(got));
            if (n > 0) {
                got += static_cast<int>(n);
            }
        }
        if (got != kReplyBytes) {
            state.SkipWithError("no reply");
            break;
        }
    }
    ::close(fd);
}
BENCHMARK(BM_BareRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_SessionRoundTrip(benchmark::State& state)
{
    Radio radio({});
    if (!radio.Usable(state)) {
        return;
    }
    CommSession session;
    SimpleLinkHost host(session);
    if (!OpenFramed(state, radio, session, 2000)) {
        return;
    }
    LinkMessage request;
    request.data[0] = 0x04;
    request.data[1] = 0x1C;
    request.count = 2;
    for (auto _ : state) {
        session.SetReceiveEnable(true);
        session.SendMessage(request);
        LinkMessage reply = session.Exchange(LinkCode(0x04, 0x1D), 4, LinkCode(0x04, 0x20), 2);
        if (reply.count != 4) {
            state.SkipWithError("no reply");
            break;
        }
    }
    session.Close();
}
BENCHMARK(BM_SessionRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_SilentRadioWait(benchmark::State& state)
{
    Radio radio({ "--mute" });
    if (!radio.Usable(state)) {
        return;
    }
    CommSession session;
    SimpleLinkHost host(session);
    if (!OpenFramed(state, radio, session, 4000)) {
        return;
    }
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        session.SetReceiveEnable(true);
        session.SendCode2(0x04, 0x1C, nullptr, 0);
        double cpuStart = ProcessCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        LinkMessage reply = session.Exchange(LinkCode(0x04, 0x1D), 4, LinkCode(0x04, 0x20), 2);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuStart;
        benchmark::DoNotOptimize(reply.count);
    }
    state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
    state.counters["wait_s"] = wall / static_cast<double>(state.iterations());
    session.Close();
}
BENCHMARK(BM_SilentRadioWait)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
