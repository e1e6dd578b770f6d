// The flash engine against the simulated radio over a pseudo-terminal: what
// the radio stores, the fault paths as they look on the wire, and Stop.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <unistd.h>

#include "download/FlashDownload.h"
#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "tests/download_flash/FlashSim.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"

using namespace download;
using namespace flashtest;
namespace fs = std::filesystem;

namespace {

// What the radio holds after a stream of `data`: the data padded with 0xFF
// to whole pairs of 128-byte blocks (at least one pair).
std::vector<uint8_t> PaddedToPairs(std::vector<uint8_t> data)
{
    data.resize(std::max<size_t>(256, (data.size() + 255) / 256 * 256), 0xFF);
    return data;
}

// The data bytes of well-formed S1/S2/S3 text (CR LF lines), in file order.
std::vector<uint8_t> DataOf(const std::string& text)
{
    std::vector<uint8_t> data;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line) && line[1] != '9' && line[1] != '7';) {
        for (size_t i = 6 + 2 * size_t(line[1] - '0'); line[1] != '0' && i + 3 < line.size();
             i += 2)
            data.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    return data;
}

// The hex bytes of the PC's frames in the simulator's log ("0.012 >> BA 7F ...").
std::vector<std::string> FramesFromPc(const fs::path& log)
{
    std::vector<std::string> frames;
    for (const auto& line : ReadSimLog(log)) {
        if (const size_t at = line.find(" >> "); at != std::string::npos)
            frames.push_back(line.substr(at + 4));
    }
    return frames;
}

struct SimRig {
    // First member: the folder outlives the simulator, which writes its
    // output files into it on the way out.
    testsupport::TempDir dir;
    SimRadio sim;
    CommSession session;
    std::unique_ptr<SimpleLinkHost> host;
    std::vector<std::string> statuses;
    std::vector<std::string> progress;

    // Starts the simulator and opens the link at 115200 bit/s as the window
    // does before a download.
    void Open(std::vector<std::string> options)
    {
        fs::create_directories(dir / "com");
        ::setenv("CORVEL_COM_DIR", (dir / "com").c_str(), 1);
        options.insert(options.end(),
            { "--log", (dir / "sim.log").string(), "--loader-out", (dir / "loader.bin").string(),
                "--code-out", (dir / "code.bin").string(), "--idle-exit", "60" });
        ASSERT_TRUE(sim.Start(testsupport::SimBinary(), dir / "com", options)) << sim.Error();
        std::string message;
        ASSERT_TRUE(session.OpenDevice(sim.Port(), 19200, false, message)) << message;
        host = std::make_unique<SimpleLinkHost>(session);
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
        session.SetRadioBaudRate(115200);
    }

    // A small loader and code, for the fault runs.
    void OpenSmall(const std::vector<std::string>& options)
    {
        Open(options);
        WriteImage(dir / "loader.s", '2', 0x020000, 4096, 32, 3);
        WriteImage(dir / "code.s", '3', 0x100000, 8192, 48, 4);
    }

    // Ends the simulator once it has taken in everything that was sent.
    void StopSimWhenQuiet()
    {
        std::error_code ec;
        auto last = fs::file_size(dir / "sim.log", ec);
        for (int quiet = 0; quiet < 4;) {
            ::usleep(50000);
            const auto size = fs::file_size(dir / "sim.log", ec);
            quiet = size == last ? quiet + 1 : 0;
            last = size;
        }
        sim.Stop();
    }

    FlashResult Download()
    {
        std::FILE* loader = std::fopen((dir / "loader.s").c_str(), "r");
        std::FILE* code = std::fopen((dir / "code.s").c_str(), "r");
        auto status = [this](const std::string& text) { statuses.push_back(text); };
        auto lines = [this](const std::string& text) { progress.push_back(text); };
        const FlashResult result
            = DownloadCode(session, { loader, code, 1, false, true, status, nullptr, true, lines })
                  .result;
        std::fclose(loader);
        std::fclose(code);
        return result;
    }
};

} // namespace

TEST(FlashEndToEnd, DemoReleaseArrivesByteForByte)
{
    SimRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open({ "--restart", "message", "--restart-delay", "300" }));
    // The demo release's application loader and application code (3.9 MB).
    const std::string loaderText = pack::MakeDemoImage(pack::DemoAppLoaderShape());
    const std::string codeText = pack::MakeDemoImage(pack::DemoAppCodeShape());
    testsupport::WriteFileText(rig.dir / "loader.s", loaderText);
    testsupport::WriteFileText(rig.dir / "code.s", codeText);
    const auto loader = DataOf(loaderText);
    const auto code = DataOf(codeText);
    ASSERT_EQ(code.size(), 3953772u);
    ASSERT_EQ(rig.Download(), FlashResult::Success) << rig.statuses.back();
    EXPECT_EQ(rig.statuses,
        (std::vector<std::string> { "Preparing to download ...", "Downloading Loader code...",
            "Downloading Application code...", "Download finished." }));
    EXPECT_EQ(rig.progress.back(), "\rDownloading Application code...100% complete...Done.\n");

    // The radio restarts on the new code and the line is back at 19200 bit/s
    // on both sides: its restart message gets through.
    rig.session.SetWaitTime(4000);
    rig.session.SetReceiveEnable(true);
    EXPECT_EQ(rig.session.Exchange(LinkCode(0x07, 0x25), 2, LinkCode(0x07, 0x25), 2).count, 2);

    rig.sim.Stop();
    // Compared whole, without printing megabytes on a failure.
    const auto storedLoader = testsupport::ReadFileBytes(rig.dir / "loader.bin");
    const auto storedCode = testsupport::ReadFileBytes(rig.dir / "code.bin");
    EXPECT_TRUE(storedLoader == PaddedToPairs(loader)) << storedLoader.size() << " bytes";
    EXPECT_TRUE(storedCode == PaddedToPairs(code)) << storedCode.size() << " bytes";
    EXPECT_EQ(storedCode.size(), 3953920u);
}

TEST(FlashEndToEnd, RadioFaultsOnTheWire)
{
    // A wrong sum: the PC says so (02 06) and resends the pair's second
    // block after each acknowledgement; the fourth resend ends the download.
    {
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.OpenSmall({ "--wrong-sum", "3" }));
        EXPECT_EQ(rig.Download(), FlashResult::TimedOut);
        EXPECT_EQ(rig.statuses.back(), "Code download timed out or canceled by user.");
        rig.StopSimWhenQuiet();
        const auto fromPc = FramesFromPc(rig.dir / "sim.log");
        ASSERT_GE(fromPc.size(), 6u);
        const size_t verdict = fromPc.size() - 5;
        EXPECT_EQ(fromPc[verdict], "BA 7F 01 02 06 78 7E");
        for (size_t i = verdict + 1; i < fromPc.size(); ++i)
            EXPECT_EQ(fromPc[i], fromPc[verdict - 1]) << "resend " << i - verdict;
        // Pairs 1 and 2 were confirmed before it.
        EXPECT_EQ(fromPc[verdict - 3], "BA 7F 01 02 05 79 7E");
    }
    // The radio closes the line or falls silent in the middle of the code:
    // the download ends as a communication problem (the line found closed) or
    // at the end of one wait, never as a success, and no timer is left
    // running.
    for (const char* fault : { "--close-after-block", "--silent-after-block" }) {
        SCOPED_TRACE(fault);
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.OpenSmall({ fault, "5" }));
        const auto started = std::chrono::steady_clock::now();
        const FlashResult result = rig.Download();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(25))
            << "one 15 s wait, not one per remaining block";
        EXPECT_TRUE(result == FlashResult::CommProblem || result == FlashResult::TimedOut)
            << static_cast<int>(result);
        EXPECT_EQ(rig.statuses.back(),
            result == FlashResult::CommProblem ? "Communication problem during code download."
                                               : "Code download timed out or canceled by user.");
        EXPECT_FALSE(rig.host->Timer().Active());
    }
}

TEST(FlashEndToEnd, StopEndsTheDownloadAtTheNextWait)
{
    SimRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open({ "--line-rate", "115200" }));
    WriteImage(rig.dir / "loader.s", '2', 0x020000, 2048, 32, 5);
    WriteImage(rig.dir / "code.s", '3', 0x100000, 100 * 1024, 48, 6);
    // Stop, as the window's button does it: the receive-enable flag drops.
    rig.host->Loop().PostDelayed(2500, [&] { rig.session.SetReceiveEnable(false); });
    EXPECT_EQ(rig.Download(), FlashResult::TimedOut);
    EXPECT_EQ(rig.statuses.back(), "Code download timed out or canceled by user.");
    // The code stream had begun and did not end.
    EXPECT_EQ(rig.statuses[rig.statuses.size() - 2], "Downloading Application code...");
    rig.StopSimWhenQuiet();
    const auto fromPc = FramesFromPc(rig.dir / "sim.log");
    EXPECT_EQ(std::count(fromPc.begin(), fromPc.end(), "BA 7F 01 02 04 7A 7E"), 1)
        << "only the loader's end of download";
}
