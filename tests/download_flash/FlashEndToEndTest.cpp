// The flash engine against the simulated radio over a pseudo-terminal: what
// the radio stores, the fault paths as they look on the wire, and Stop.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
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

// The hex bytes of a log line ("0.012345 >> BA 7F ...") and its direction.
std::string LogBytes(const std::string& line)
{
    const auto at = line.find(' ', line.find(' ') + 1);
    return at == std::string::npos ? std::string() : line.substr(at + 1);
}
// The simulator lives in the same bin folder as this program.
fs::path SimBinary()
{
    return fs::read_symlink("/proc/self/exe").parent_path() / "corvel-radio-sim";
}

bool FromPc(const std::string& line)
{
    return line.find(" >> ") != std::string::npos;
}

class SimRig {
    // First member: the folder outlives the simulator, which writes its
    // output files into it on the way out.
    testsupport::TempDir m_TempDir;
    fs::path m_Dir = m_TempDir.Path();

public:
    SimRig()
    {
        fs::create_directories(m_Dir / "com");
        ::setenv("CORVEL_COM_DIR", (m_Dir / "com").c_str(), 1);
    }

    // Starts the simulator and opens the link at 115200 bit/s as the window
    // does before a download.
    void Open(std::vector<std::string> options)
    {
        options.insert(options.end(),
            { "--log", LogPath().string(), "--loader-out", (m_Dir / "loader.bin").string(),
                "--code-out", (m_Dir / "code.bin").string(), "--idle-exit", "60" });
        ASSERT_TRUE(sim.Start(SimBinary(), m_Dir / "com", options)) << sim.Error();
        std::string message;
        ASSERT_TRUE(session.OpenDevice(sim.Port(), 19200, false, message)) << message;
        host = std::make_unique<SimpleLinkHost>(session);
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
        session.SetRadioBaudRate(115200);
    }

    std::vector<uint8_t> Image(const char* name, char type, size_t bytes, uint8_t seed)
    {
        return WriteImage(m_Dir / name, type, type == '2' ? 0x020000 : 0x100000, bytes,
            type == '2' ? 32 : 48, seed);
    }

    int Download(int32_t model = 1, bool console = false)
    {
        std::FILE* loader = std::fopen((m_Dir / "loader.s").c_str(), "r");
        std::FILE* code = std::fopen((m_Dir / "code.s").c_str(), "r");
        auto status = [this](void*, const std::string& text) { statuses.push_back(text); };
        auto lines = [this](void*, void*, const std::string& text) { progress.push_back(text); };
        const int result = DownloadCode(session, loader, code, status, nullptr, model, nullptr,
            false, true, nullptr, console, lines, nullptr);
        std::fclose(loader);
        std::fclose(code);
        return result;
    }

    void Write(const char* name, const std::string& text)
    {
        testsupport::WriteFileText(m_Dir / name, text);
    }

    fs::path LogPath() const { return m_Dir / "sim.log"; }
    std::vector<uint8_t> Stored(const char* name) const
    {
        return testsupport::ReadFileBytes(m_Dir / name);
    }

    SimRadio sim;
    CommSession session;
    std::unique_ptr<SimpleLinkHost> host;
    std::vector<std::string> statuses;
    std::vector<std::string> progress;

    // Ends the simulator once it has taken in everything that was sent.
    void StopSimWhenQuiet()
    {
        std::error_code ec;
        auto last = fs::file_size(LogPath(), ec);
        for (int quiet = 0; quiet < 4;) {
            ::usleep(50000);
            const auto size = fs::file_size(LogPath(), ec);
            quiet = size == last ? quiet + 1 : 0;
            last = size;
        }
        sim.Stop();
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
    rig.Write("loader.s", loaderText);
    rig.Write("code.s", codeText);
    ASSERT_EQ(rig.Download(1, true), kFlashSuccess) << rig.statuses.back();
    EXPECT_EQ(rig.statuses,
        (std::vector<std::string> { "Preparing to download ...", "Downloading Loader code...",
            "Downloading Application code...", "Download finished." }));
    EXPECT_EQ(rig.progress.back(), "\rDownloading Application code...100% complete...Done.\n");

    // The radio restarts on the new code and the line is back at 19200 bit/s
    // on both sides: its restart message gets through.
    rig.session.SetWaitTime(4000);
    rig.session.SetReceiveEnable(true);
    const LinkMessage restart
        = rig.session.Exchange(LinkCode(0x07, 0x25), 2, LinkCode(0x07, 0x25), 2);
    EXPECT_EQ(restart.count, 2);

    rig.sim.Stop();
    // Compared whole, without printing megabytes on a failure.
    const auto loader = rig.Stored("loader.bin");
    const auto code = rig.Stored("code.bin");
    EXPECT_TRUE(loader == PaddedToPairs(SRecordData(loaderText))) << loader.size() << " bytes";
    EXPECT_TRUE(code == PaddedToPairs(SRecordData(codeText))) << code.size() << " bytes";
    EXPECT_EQ(code.size(), 3953920u); // 3953772 data bytes in whole pairs of blocks
}

TEST(FlashEndToEnd, RadioFaultsOnTheWire)
{
    // A wrong sum: the PC says so (02 06) and resends the pair's second
    // block after each acknowledgement; the fourth resend ends the download.
    {
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.Open({ "--wrong-sum", "3" }));
        rig.Image("loader.s", '2', 4096, 3);
        rig.Image("code.s", '3', 8192, 4);
        EXPECT_EQ(rig.Download(), kFlashTimedOut);
        EXPECT_EQ(rig.statuses.back(), "Code download timed out or canceled by user.");
        rig.StopSimWhenQuiet();
        const auto log = ReadSimLog(rig.LogPath()).lines;
        std::vector<std::string> fromPc;
        for (const auto& line : log) {
            if (FromPc(line)) {
                fromPc.push_back(LogBytes(line));
            }
        }
        ASSERT_GE(fromPc.size(), 6u);

        const size_t verdict = fromPc.size() - 5;
        EXPECT_EQ(fromPc[verdict], "BA 7F 01 02 06 78 7E");
        for (size_t i = verdict + 1; i < fromPc.size(); ++i) {
            EXPECT_EQ(fromPc[i], fromPc[verdict - 1]) << "resend " << i - verdict;
        }
        // Pairs 1 and 2 were confirmed before it.
        EXPECT_EQ(fromPc[verdict - 3], "BA 7F 01 02 05 79 7E");
    }
    // A verify failure after the second pair.
    {
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.Open({ "--verify-fail", "2:A1B2C3D4" }));
        rig.Image("loader.s", '2', 4096, 3);
        rig.Image("code.s", '3', 8192, 4);
        EXPECT_EQ(rig.Download(), kFlashVerifyFailed);
        EXPECT_EQ(rig.statuses.back(), "Flash Verify failed at address: 0xA1B2C3D4");
    }
    // The radio closes the line in the middle of the code: the download
    // ends as a communication problem (the line found closed) or at the end
    // of the wait, never as a success.
    {
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.Open({ "--close-after-block", "5" }));
        rig.Image("loader.s", '2', 4096, 3);
        rig.Image("code.s", '3', 8192, 4);
        const int result = rig.Download();
        EXPECT_TRUE(result == kFlashCommProblem || result == kFlashTimedOut) << result;
        EXPECT_EQ(rig.statuses.back(),
            result == kFlashCommProblem ? "Communication problem during code download."
                                        : "Code download timed out or canceled by user.");
        EXPECT_TRUE(rig.sim.WaitForExit(std::chrono::seconds(5)));
    }
    // A loader that reports the other flash type: the code never goes out.
    {
        SimRig rig;
        ASSERT_NO_FATAL_FAILURE(rig.Open({ "--flash-type", "8" }));
        rig.Image("loader.s", '2', 4096, 3);
        rig.Image("code.s", '3', 8192, 4);
        EXPECT_EQ(rig.Download(), kFlashWrongFlashType);
        rig.sim.Stop();
        EXPECT_TRUE(rig.Stored("code.bin").empty());
    }
}

TEST(FlashEndToEnd, SilentRadioEndsWithinOneWait)
{
    SimRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open({ "--silent-after-block", "5" }));
    rig.Image("loader.s", '2', 4096, 3);
    rig.Image("code.s", '3', 8192, 4);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Download(), kFlashTimedOut);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(rig.statuses.back(), "Code download timed out or canceled by user.");
    // One 15 s wait, not one per remaining block.
    EXPECT_LT(elapsed, std::chrono::seconds(25));
    EXPECT_FALSE(rig.host->Timer().Active());
}

TEST(FlashEndToEnd, StopEndsTheDownloadAtTheNextWait)
{
    SimRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Open({ "--line-rate", "115200" }));
    rig.Image("loader.s", '2', 2048, 5);
    rig.Image("code.s", '3', 100 * 1024, 6);
    // Stop, as the window's button does it: the receive-enable flag drops.
    rig.host->Loop().PostDelayed(2500, [&] { rig.session.SetReceiveEnable(false); });
    EXPECT_EQ(rig.Download(1, true), kFlashTimedOut);
    EXPECT_EQ(rig.statuses.back(), "Code download timed out or canceled by user.");
    // The code stream had begun and did not end.
    EXPECT_EQ(rig.statuses[rig.statuses.size() - 2], "Downloading Application code...");
    rig.StopSimWhenQuiet();
    const auto log = ReadSimLog(rig.LogPath()).lines;
    int ends = 0;
    for (const auto& line : log) {
        ends += LogBytes(line) == "BA 7F 01 02 04 7A 7E";
    }
    EXPECT_EQ(ends, 1) << "only the loader's end of download";
}
