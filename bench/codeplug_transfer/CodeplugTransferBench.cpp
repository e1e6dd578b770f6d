// Reading and writing a radio's codeplug of 64 KiB against the simulated
// radio on a line paced like a cable at 19200 bit/s (the radio runs its
// application code):
//
//  1. read: identifier, codeplug information, upload;
//  2. write: identifier, codeplug information, upload of the backup, the
//     radio's reset wait (360 ticks of 55 ms), download, read-back.
//
// Each is compared with the wire time of the bytes that crossed the line
// (10 bits a byte) plus the sequence's fixed waits; goal: at most 1.05x.
// Runs once; exit status 0 when both goals are met.

#include "codeplug/CodeplugImage.h"
#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"
#include "workflow/CodeplugCarryOver.h"
#include "workflow/CodeplugJobs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kByteSeconds = 10.0 / 19200.0;

class QuietHost : public ICodeplugJobHost {
public:
    void Step(const std::string&) override { }
    void Note(const std::string&) override { }
    void Progress(int32_t, int32_t) override { }
    bool AskPassword(std::string&) override { return false; }
};

// A valid 5.10 codeplug whose block chain fills the buffer up to the 128
// trailing words: 65536 bytes. List blocks of at most 16000 data words carry
// the bulk (a block's length has 14 bits).
std::vector<uint8_t> FullCodeplug()
{
    auto build = [](int filler) {
        codeplugtest::CodeplugBuilder b(5, 10);
        b.AddKind(0);
        b.AddSystem(1, 0);
        b.AddList();
        for (int left = filler; left > 0; left -= 16000) {
            const int words = std::min(left, 16000);
            b.AddList().SetTable(5, words / 255, 255).SetTable(6, words % 255, 1);
        }
        return b;
    };
    const int end = kCodeplugWords - kChainTrailer;
    int filler = end - (build(0).Build()[kHeaderWordChainEnd] - kChainTrailer) - 3 * 38;
    for (int round = 0; round < 3; ++round)
        filler += end - (build(filler).Build()[kHeaderWordChainEnd] - kChainTrailer);
    return build(filler).BuildWire();
}

// Bytes in both directions in the simulator's frame log.
uint64_t LoggedBytes(const fs::path& log)
{
    std::ifstream in(log);
    uint64_t bytes = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time, direction, byte;
        fields >> time >> direction;
        if (direction != ">>" && direction != "<<")
            continue;
        while (fields >> byte)
            ++bytes;
    }
    return bytes;
}

struct Run {
    CodeplugJobReport report;
    double seconds = 0;
    uint64_t bytes = 0;
};

Run RunJob(const fs::path& dir, const std::string& name, bool write)
{
    Run run;
    const fs::path log = dir / (name + ".log");
    testsupport::SimProcess sim;
    if (!sim.Start(testsupport::SimBinary(), dir / "com",
            { "--line-rate", "19200", "--log", log.string(), "--format-version", "5.10",
                "--codeplug", (dir / "radio.bin").string(), "--codeplug-out",
                (dir / "stored.bin").string(), "--idle-exit", "120" })) {
        run.report.message = "simulator: " + sim.Error();
        return run;
    }
    CommSession session;
    SimpleEventLoop loop;
    session.SetMessagePump(&loop);
    std::string message;
    if (!session.OpenDevice(sim.Port(), 19200, false, message)) {
        run.report.message = "open: " + message;
        return run;
    }
    session.SetFraming(CommSession::kFramingFramed);
    session.SetReceiveEnable(true);
    QuietHost host;
    const auto started = Clock::now();
    if (write) {
        CodeplugFileImage image;
        if (!LoadCodeplugForWrite((dir / "radio.bin").string(), image, message)) {
            run.report.message = message;
            return run;
        }
        CodeplugWriteOptions options;
        options.backupFolder = dir.string();
        run.report = WriteCodeplugJob(session, host, image, options);
    } else {
        run.report = ReadCodeplugJob(session, host, (dir / "read.bin").string());
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    session.Close();
    sim.Stop();
    run.bytes = LoggedBytes(log);
    return run;
}

} // namespace

int main()
{
    char pattern[] = "/tmp/corvel-bench-codeplug-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    fs::create_directories(dir / "com");
    ::setenv("CORVEL_COM_DIR", (dir / "com").c_str(), 1);
    const std::vector<uint8_t> codeplug = FullCodeplug();
    testsupport::WriteFileBytes(dir / "radio.bin", codeplug);
    std::printf("codeplug of %zu bytes, line paced at 19200 bit/s\n", codeplug.size());

    bool met = true;
    const double resetWait = kConversionWaitTicks * 0.055;
    for (bool write : { false, true }) {
        const Run run = RunJob(dir, write ? "write" : "read", write);
        if (run.report.result != CodeplugJobResult::Done) {
            std::fprintf(
                stderr, "%s failed: %s\n", write ? "write" : "read", run.report.message.c_str());
            met = false;
            continue;
        }
        const double wire = static_cast<double>(run.bytes) * kByteSeconds;
        const double fixed = write ? resetWait : 0.0;
        const double ratio = run.seconds / (wire + fixed);
        std::printf("%s: %.2f s elapsed; %llu bytes crossed = %.2f s of wire time, fixed waits "
                    "%.2f s; ratio %.4f (goal <= 1.05)\n",
            write ? "write" : "read", run.seconds, static_cast<unsigned long long>(run.bytes), wire,
            fixed, ratio);
        met &= ratio <= 1.05;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return met ? 0 : 1;
}
