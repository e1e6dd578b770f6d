// Figures of the flash download engine against the simulated radio over a
// pseudo-terminal:
//
//  1. host overhead: the demo release's application image (3.9 MB of data) to a
//     radio that answers at once, beside a bare loop that writes the same
//     frames and reads the same replies with no engine code; goals: at most
//     1% of the image's wire time at 115200 bit/s and at most 2x the bare
//     loop;
//  2. a line paced like a cable at 115200 bit/s with a 200 KB image: elapsed
//     time against the wire time of the bytes that crossed (goal 1.02x) and
//     the processor time of the engine's process (goal 5% of one core);
//  3. peak memory of a process that downloads images of 1 MB and 4 MB
//     (goal: at most 64 MB and the same for both sizes);
//  4. the 200 KB image on the paced line through the simulator's model of a
//     USB serial adapter with a 16 ms and a 1 ms latency timer: both ratios
//     to wire time (figures of a model, no goal).
//
// Usage: corvel-bench-flash [--quick] [--only PART]
//   --quick: smaller images, for a try; --only: run one part (0 to 4)
// Exit status 0 when every goal is met, 1 otherwise.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download/FlashDownload.h"
#include "download/SRecord.h"
#include "link/CommSession.h"
#include "link/DeviceLine.h"
#include "link/SimpleEventLoop.h"
#include "tests/download_flash/FakeFlashRadio.h"
#include "tests/download_flash/FlashSim.h"
#include "tools/pack/DemoImages.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using flashtest::SimRadio;

namespace {

constexpr double kByteSeconds = 10.0 / 115200.0;

fs::path SelfDir()
{
    return fs::read_symlink("/proc/self/exe").parent_path();
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage {};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Workspace {
    fs::path dir;
    Workspace()
    {
        char pattern[] = "/tmp/corvel-bench-flash-XXXXXX";
        dir = ::mkdtemp(pattern);
        fs::create_directories(dir / "com");
    }
    ~Workspace()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// The engine's side: opens the simulated radio, sends the loader and then
// the code stream; returns the seconds of the code stream (negative on
// failure).
struct EngineRun {
    double seconds = -1;
    double cpuSeconds = 0;
    download::FlashResult result = download::FlashResult::Success;
};

EngineRun RunEngine(
    const Workspace& ws, SimRadio& sim, const fs::path& loaderPath, const fs::path& codePath)
{
    EngineRun run;
    CommSession session;
    std::string message;
    if (!session.OpenDevice(sim.Port(), 19200, false, message)) {
        std::fprintf(stderr, "open: %s\n", message.c_str());
        return run;
    }
    (void)ws;
    SimpleLinkHost host(session);
    session.SetFraming(CommSession::kFramingFramed);
    session.SetReceiveEnable(true);
    session.SetRadioBaudRate(115200);
    session.SetWaitTime(download::kDownloadWaitMs);
    download::FlashDownloadEngine engine(session, {});
    std::FILE* loader = std::fopen(loaderPath.c_str(), "r");
    std::FILE* code = std::fopen(codePath.c_str(), "r");
    run.result = engine.DownloadStream(loader, download::kKindLoader, false);
    if (run.result == download::FlashResult::Success) {
        const double cpu = CpuSeconds();
        const auto started = Clock::now();
        run.result = engine.DownloadStream(code, download::kKindApplication, true);
        run.seconds = Seconds(Clock::now() - started);
        run.cpuSeconds = CpuSeconds() - cpu;
    }
    std::fclose(loader);
    std::fclose(code);
    session.Close();
    return run;
}

// ------------------------------------------------------------ bare loop

struct Frames {
    std::vector<std::vector<uint8_t>> blocks; // framed data blocks
    std::vector<uint8_t> start, match, end;
    uint64_t bytes = 0; // frame bytes the PC writes
};

std::vector<uint8_t> Frame(const uint8_t* message, int count)
{
    std::vector<uint8_t> frame(3 + 2 * (count + 1) + 1);
    frame.resize(static_cast<size_t>(CommSession::BuildFrame(message, count, frame.data())));
    return frame;
}

Frames BuildFrames(const fs::path& image)
{
    Frames f;
    const uint8_t start[] = { 0x02, 0x01 }, match[] = { 0x02, 0x05 }, end[] = { 0x02, 0x04 };
    f.start = Frame(start, 2);
    f.match = Frame(match, 2);
    f.end = Frame(end, 2);
    std::vector<uint8_t> data;
    std::FILE* file = std::fopen(image.c_str(), "r");
    char line[download::kRecordLineSize];
    while (download::ReadRecordLine(file, line)) {
        if (download::IsEndRecord(line)) {
            break;
        }
        const int kind = download::RecordKind(line);
        const int length = kind >= 0 && kind <= 2 ? download::DataLength(line) : -1;
        for (int k = 0; k < 2 * length; k += 4) {
            const uint16_t w = download::DataWord(line, download::DataOffset(kind) + k);
            data.push_back(static_cast<uint8_t>(w & 0xFF));
            data.push_back(static_cast<uint8_t>(w >> 8));
        }
    }
    std::fclose(file);
    data.resize(std::max<size_t>(256, (data.size() + 255) / 256 * 256), 0xFF);
    uint8_t message[130] = { 0x02, 0x09 };
    for (size_t at = 0; at < data.size(); at += 128) {
        std::memcpy(message + 2, data.data() + at, 128);
        f.blocks.push_back(Frame(message, 130));
        f.bytes += f.blocks.back().size();
    }
    f.bytes += f.start.size() + f.end.size() + f.match.size() * (f.blocks.size() / 2);
    return f;
}

class BareLine {
public:
    explicit BareLine(const fs::path& device)
    {
        m_Fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t {};
        ::tcgetattr(m_Fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_Fd, TCSANOW, &t);
    }
    ~BareLine() { ::close(m_Fd); }
    bool Ok() const { return m_Fd >= 0; }
    void Write(const std::vector<uint8_t>& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_Fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p { m_Fd, POLLOUT, 0 };
                ::poll(&p, 1, 100);
            }
        }
    }
    // Reads one reply frame (up to its end byte); false after 15 s.
    bool ReadFrame()
    {
        for (;;) {
            uint8_t buf[64];
            const ssize_t n = ::read(m_Fd, buf, sizeof buf);
            if (n > 0) {
                received += static_cast<uint64_t>(n);
                if (std::memchr(buf, 0x7E, static_cast<size_t>(n)) != nullptr) {
                    return true;
                }
                continue;
            }
            pollfd p { m_Fd, POLLIN, 0 };
            if (::poll(&p, 1, 15000) <= 0) {
                return false;
            }
        }
    }
    uint64_t received = 0;

private:
    int m_Fd = -1;
};

// The bare loop: the same frames, the same replies, no engine.
double RunBare(const fs::path& device, const Frames& f, uint64_t& received)
{
    BareLine line(device);
    if (!line.Ok()) {
        return -1;
    }
    const auto started = Clock::now();
    line.Write(f.start);
    bool ok = line.ReadFrame();
    for (size_t i = 0; ok && i + 1 < f.blocks.size(); i += 2) {
        line.Write(f.blocks[i]);
        ok = line.ReadFrame();
        line.Write(f.blocks[i + 1]);
        ok = ok && line.ReadFrame();
        line.Write(f.match);
        ok = ok && line.ReadFrame();
    }
    line.Write(f.end);
    const double seconds = Seconds(Clock::now() - started);
    received = line.received;
    return ok ? seconds : -1;
}

// Bytes that crossed the line in the code stream (from its start request
// on), from the simulator's log.
uint64_t CodeStreamBytes(const fs::path& log)
{
    uint64_t bytes = 0;
    int starts = 0;
    for (const auto& line : flashtest::ReadSimLog(log)) {
        if (line.find(">> BA 7F 01 02 01 7D 7E") != std::string::npos) {
            ++starts;
        }
        if (starts >= 2) {
            bytes += (line.size() - line.find(' ', line.find(' ') + 1)) / 3;
        }
    }
    return bytes;
}

bool StartSim(SimRadio& sim, const Workspace& ws, std::vector<std::string> options)
{
    options.insert(options.end(), { "--restart", "none", "--idle-exit", "120" });
    if (!sim.Start(SelfDir() / "corvel-radio-sim", ws.dir / "com", options)) {
        std::fprintf(stderr, "simulator: %s\n", sim.Error().c_str());
        return false;
    }
    return true;
}

// ------------------------------------------------------------ memory

// Peak resident size of this process so far, in KB (VmHWM: the high-water
// mark of the current program image only, unlike ru_maxrss, which keeps
// what a forked parent had).
long HighWaterKb()
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) {
            break;
        }
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return kb;
}

// Child mode: one whole DownloadCode against an already running simulator;
// prints the peak resident size in KB.
int ChildDownload(int port, const char* loader, const char* code)
{
    CommSession session;
    std::string message;
    if (!session.OpenDevice(port, 19200, false, message)) {
        return 3;
    }
    SimpleLinkHost host(session);
    session.SetFraming(CommSession::kFramingFramed);
    session.SetReceiveEnable(true);
    session.SetRadioBaudRate(115200);
    std::FILE* l = std::fopen(loader, "r");
    std::FILE* c = std::fopen(code, "r");
    const download::FlashResult result
        = download::DownloadCode(session, { l, c, 1, true, true, {}, nullptr, false, {} }).result;
    std::fclose(l);
    std::fclose(c);
    std::printf("%ld\n", HighWaterKb());
    return result == download::FlashResult::Success ? 0 : 2;
}

// Peak resident size in KB of a fresh process downloading the images.
long PeakKb(const Workspace& ws, const fs::path& loader, const fs::path& code)
{
    SimRadio sim;
    if (!StartSim(sim, ws, {})) {
        return -1;
    }
    const std::string command = fs::read_symlink("/proc/self/exe").string() + " --child-download "
        + std::to_string(sim.Port()) + " " + loader.string() + " " + code.string();
    std::FILE* child = ::popen(command.c_str(), "r");
    long kb = -1;
    if (child == nullptr || std::fscanf(child, "%ld", &kb) != 1) {
        kb = -1;
    }
    const int status = child != nullptr ? ::pclose(child) : -1;
    sim.Stop();
    if (status != 0) {
        std::fprintf(stderr, "memory run failed (%d)\n", status);
        return -1;
    }
    return kb;
}

void WriteText(const fs::path& path, const std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

bool Check(bool ok, const char* what)
{
    std::printf("  %-58s %s\n", what, ok ? "met" : "MISSED");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--child-download") == 0) {
        return ChildDownload(std::atoi(argv[2]), argv[3], argv[4]);
    }
    bool quick = false;
    int only = 0; // 0: every part
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: corvel-bench-flash [--quick] [--only PART]\n");
            return 2;
        }
    }
    auto wanted = [only](int part) { return only == 0 || only == part; };
    Workspace ws;
    ::setenv("CORVEL_COM_DIR", (ws.dir / "com").c_str(), 1);
    bool allMet = true;

    // The demo release's application loader and application code (3953772
    // data bytes in 16-byte records); --quick takes an eighth of the code.
    const fs::path loader = ws.dir / "loader.s";
    const fs::path app = ws.dir / "app.s";
    pack::DemoImageShape appShape = pack::DemoAppCodeShape();
    if (quick) {
        appShape.dataBytes = 494224;
    }
    const size_t appBytes = appShape.dataBytes;
    WriteText(loader, pack::MakeDemoImage(pack::DemoAppLoaderShape()));
    WriteText(app, pack::MakeDemoImage(appShape));

    // 0. The engine and the link session alone, with a radio answering in
    // memory: what the host spends without a pseudo-terminal in between.
    if (wanted(0)) {
        auto radio = std::make_shared<flashtest::FakeRadioState>();
        CommSession session;
        session.AttachDevice(std::make_unique<flashtest::FakeRadioDevice>(radio));
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
        session.SetWaitTime(download::kDownloadWaitMs);
        download::FlashDownloadEngine engine(session, {});
        std::FILE* code = std::fopen(app.c_str(), "r");
        const double cpu = CpuSeconds();
        const auto started = Clock::now();
        const download::FlashResult result
            = engine.DownloadStream(code, download::kKindApplication, false);
        const double seconds = Seconds(Clock::now() - started);
        const double cpuUsed = CpuSeconds() - cpu;
        std::fclose(code);
        const double blocks = static_cast<double>((appBytes + 255) / 256 * 2);
        std::printf("0. in memory (no line): result %d, %.3f s elapsed, %.3f s processor, "
                    "%.1f us per block\n",
            static_cast<int>(result), seconds, cpuUsed, 1e6 * cpuUsed / blocks);
        radio->messages.clear();
        radio->messages.shrink_to_fit();
        radio->streams.clear();
        radio->streams.shrink_to_fit();
    }

    // 1. Host overhead.
    if (wanted(1)) {
        const Frames frames = BuildFrames(app);
        double bestEngine = 1e9, bestBare = 1e9, engineCpu = 0, bareCpu = 0;
        uint64_t received = 0;
        for (int round = 0; round < 2; ++round) {
            SimRadio bareSim;
            if (!StartSim(bareSim, ws, {})) {
                return 1;
            }
            const fs::path device
                = fs::read_symlink(ws.dir / "com" / ("COM" + std::to_string(bareSim.Port())));
            const double cpuBefore = CpuSeconds();
            const double bare = RunBare(device, frames, received);
            bareCpu = CpuSeconds() - cpuBefore;
            bareSim.Stop();
            SimRadio sim;
            if (!StartSim(sim, ws, {})) {
                return 1;
            }
            const EngineRun run = RunEngine(ws, sim, loader, app);
            sim.Stop();
            if (bare < 0 || run.result != download::FlashResult::Success) {
                std::fprintf(stderr, "run failed: bare %.3f, engine result %d\n", bare,
                    static_cast<int>(run.result));
                return 1;
            }
            bestBare = std::min(bestBare, bare);
            bestEngine = std::min(bestEngine, run.seconds);
            engineCpu = run.cpuSeconds;
        }
        const double wire = static_cast<double>(frames.bytes + received) * kByteSeconds;
        std::printf("1. host overhead, application image of %zu data bytes (%zu blocks)\n",
            appBytes, frames.blocks.size());
        std::printf("   wire time at 115200 bit/s: %.1f s (%llu bytes)\n", wire,
            static_cast<unsigned long long>(frames.bytes + received));
        std::printf("   engine: %.3f s = %.2f%% of wire time; bare loop: %.3f s; ratio %.2fx\n",
            bestEngine, 100.0 * bestEngine / wire, bestBare, bestEngine / bestBare);
        std::printf("   processor time: engine %.3f s, bare loop %.3f s (last round)\n", engineCpu,
            bareCpu);
        allMet &= Check(bestEngine <= 0.01 * wire, "engine time <= 1% of wire time");
        allMet &= Check(bestEngine <= 2.0 * bestBare, "engine time <= 2x bare loop");
    }

    // 2. Paced line. Best of three rounds: the machine's other work only
    // ever adds time, elapsed and processor time alike.
    if (wanted(2)) {
        const fs::path shortApp = ws.dir / "short.s";
        flashtest::WriteImage(shortApp, '3', 0x100000, quick ? 48 * 1000 : 48 * 4267, 48, 3);
        const Frames frames = BuildFrames(shortApp);
        // The stream ends with the return to 19200 bit/s, after which the
        // line stays quiet for a fixed pause while the radio switches: the
        // radio's time, neither the line's nor the host's.
        const double pause = DeviceLine::kRateSwitchPauseMs / 1000.0;
        double bestRatio = 1e9, bestBare = 1e9, bestCpu = 1e9, wire = 0, bareWire = 0;
        double simCpuShare = 0;
        uint64_t bytes = 0;
        for (int round = 0; round < 3; ++round) {
            const fs::path log = ws.dir / "paced.log";
            SimRadio sim;
            const double simCpu = CpuSeconds(RUSAGE_CHILDREN);
            if (!StartSim(sim, ws, { "--line-rate", "115200", "--log", log.string() })) {
                return 1;
            }
            const EngineRun run = RunEngine(ws, sim, loader, shortApp);
            sim.Stop();
            // The simulator polls just before each reply is due, to keep the
            // line's timing.
            simCpuShare = (CpuSeconds(RUSAGE_CHILDREN) - simCpu) / run.seconds;
            if (run.result != download::FlashResult::Success) {
                std::fprintf(stderr, "paced run failed: %d\n", static_cast<int>(run.result));
                return 1;
            }
            bytes = CodeStreamBytes(log);
            wire = static_cast<double>(bytes) * kByteSeconds;
            const double ratio = (run.seconds - pause) / wire;
            // The bare loop on the same paced line shows what the simulator,
            // the pseudo-terminal and the machine add by themselves.
            SimRadio bareSim;
            if (!StartSim(bareSim, ws, { "--line-rate", "115200" })) {
                return 1;
            }
            uint64_t received = 0;
            const double bare = RunBare(
                fs::read_symlink(ws.dir / "com" / ("COM" + std::to_string(bareSim.Port()))), frames,
                received);
            bareSim.Stop();
            bareWire = static_cast<double>(frames.bytes + received) * kByteSeconds;
            std::printf("   round %d: engine %.3f s (ratio %.4f without the radio's %.1f s "
                        "rate-switch pause), processor %.2f%%; bare loop %.3f s (ratio %.4f)\n",
                round + 1, run.seconds, ratio, pause, 100.0 * run.cpuSeconds / run.seconds, bare,
                bare / bareWire);
            bestRatio = std::min(bestRatio, ratio);
            bestBare = std::min(bestBare, bare / bareWire);
            bestCpu = std::min(bestCpu, run.cpuSeconds / run.seconds);
        }
        std::printf("2. paced line at 115200 bit/s, %llu bytes crossed in the code stream "
                    "(%.3f s of wire time)\n",
            static_cast<unsigned long long>(bytes), wire);
        std::printf("   best ratio: engine %.4f, bare loop %.4f; processor %.2f%% of one core\n",
            bestRatio, bestBare, 100.0 * bestCpu);
        std::printf(
            "   (the simulator used %.1f%% of one core in the last round)\n", 100.0 * simCpuShare);
        allMet &= Check(bestRatio <= 1.02, "elapsed <= 1.02x wire time");
        allMet &= Check(bestCpu <= 0.05, "processor use <= 5% of one core");
    }

    // 3. Peak memory, for two image sizes.
    if (wanted(3)) {
        const fs::path small = ws.dir / "small.s";
        const fs::path large = ws.dir / "large.s";
        flashtest::WriteImage(small, '3', 0x100000, quick ? 48 * 5000 : 48 * 21845, 48, 4);
        flashtest::WriteImage(large, '3', 0x100000, quick ? 48 * 20000 : 48 * 87381, 48, 5);
        const long smallKb = PeakKb(ws, loader, small);
        const long largeKb = PeakKb(ws, loader, large);
        std::printf("3. peak memory: %.1f MB (%s image), %.1f MB (%s image)\n", smallKb / 1024.0,
            quick ? "240 KB" : "1 MB", largeKb / 1024.0, quick ? "960 KB" : "4 MB");
        allMet &= Check(smallKb > 0 && largeKb > 0 && largeKb <= 64 * 1024, "peak <= 64 MB");
        allMet &= Check(largeKb - smallKb <= 512, "peak constant in image size (within 512 KB)");
    }
    // 4. A USB serial adapter between radio and PC, as the simulator models
    // it: replies held for the adapter's latency timer (16 ms, the usual
    // default of FTDI-based adapters) or 1 ms (what the udev rule and the
    // low-latency request give). One run each; figures of a model, not of a
    // real adapter.
    if (wanted(4)) {
        const fs::path shortApp = ws.dir / "short.s";
        flashtest::WriteImage(shortApp, '3', 0x100000, quick ? 48 * 1000 : 48 * 4267, 48, 3);
        const double pause = DeviceLine::kRateSwitchPauseMs / 1000.0;
        double ratios[2] = { 0, 0 };
        const int latencies[2] = { 16, 1 };
        double wire = 0;
        std::printf("4. USB adapter model (corvel-radio-sim --adapter-latency), %s image on a "
                    "line paced at 115200 bit/s:\n",
            quick ? "48 KB" : "200 KB");
        for (int i = 0; i < 2; ++i) {
            const fs::path log = ws.dir / "adapter.log";
            SimRadio sim;
            if (!StartSim(sim, ws,
                    { "--line-rate", "115200", "--adapter-latency", std::to_string(latencies[i]),
                        "--log", log.string() })) {
                return 1;
            }
            const EngineRun run = RunEngine(ws, sim, loader, shortApp);
            sim.Stop();
            if (run.result != download::FlashResult::Success) {
                std::fprintf(stderr, "adapter run failed: %d\n", static_cast<int>(run.result));
                return 1;
            }
            wire = static_cast<double>(CodeStreamBytes(log)) * kByteSeconds;
            ratios[i] = (run.seconds - pause) / wire;
            std::printf("   latency timer %2d ms: %.3f s for %.3f s of wire time\n", latencies[i],
                run.seconds - pause, wire);
        }
        std::printf("   ratio to wire time: %.2fx with a 16 ms latency timer, %.2fx with 1 ms\n",
            ratios[0], ratios[1]);
        std::printf("   (a model of an adapter that holds received bytes, not a measurement of "
                    "a real one)\n");
    }

    return allMet ? 0 : 1;
}
