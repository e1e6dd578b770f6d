// The simulator's start-up, publishing, framing, queries and frame log,
// driven over its pseudo-terminal with hand-built frames.

#include "SimDriver.h"

#include "tests/support/TestSupport.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <unistd.h>

using namespace simtest;
using testsupport::Hex;
using testsupport::TempDir;
namespace fs = std::filesystem;

TEST(RadioSim, PublishesItsPortAndRemovesItAtTheEnd)
{
    TempDir dir;
    // A stale entry of a gone terminal and a taken number are skipped.
    fs::create_symlink("/dev/pts/does-not-exist", dir / "COM1");
    SimProcess a, b;
    ASSERT_TRUE(a.Start(dir)) << a.Stderr();
    ASSERT_TRUE(b.Start(dir)) << b.Stderr();
    EXPECT_TRUE(std::regex_match(a.Device(), std::regex("/dev/pts/[0-9]+"))) << a.Device();
    EXPECT_EQ(a.Port(), 2);
    EXPECT_EQ(b.Port(), 3);
    EXPECT_EQ(fs::read_symlink(dir / "COM2").string(), a.Device());
    EXPECT_EQ(fs::read_symlink(dir / "COM3").string(), b.Device());

    // An explicit number replaces a dangling leftover but not a live entry.
    const std::string program = testsupport::SimBinary().string();
    SimProcess c;
    ASSERT_TRUE(c.Start(dir, { "--port", "1" })) << c.Stderr();
    EXPECT_EQ(c.Port(), 1);
    auto taken = testsupport::RunProcess(
        { program, "--com-dir", dir.Path().string(), "--port", "2" }, {}, {}, 5s);
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_NE(taken.err.find("COM2 already exists"), std::string::npos) << taken.err;

    // SIGTERM, SIGINT and SIGHUP end it cleanly, and each removes only its own entry.
    EXPECT_EQ(a.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "COM2")));
    EXPECT_TRUE(fs::exists(dir / "COM3"));
    EXPECT_EQ(b.Stop(SIGINT), 0);
    EXPECT_EQ(c.Stop(SIGHUP), 0);
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    // The environment names the directory when the option does not.
    auto noDir = testsupport::RunProcess({ program }, { { "CORVEL_COM_DIR", "" } }, {}, 5s);
    EXPECT_EQ(noDir.exitCode, 2);
    EXPECT_NE(noDir.err.find("--com-dir"), std::string::npos);
    auto viaEnv = testsupport::RunProcess(
        { program, "--idle-exit", "0.2" }, { { "CORVEL_COM_DIR", dir.Path().string() } }, {}, 5s);
    EXPECT_EQ(viaEnv.exitCode, 0);
    EXPECT_EQ(viaEnv.out.rfind("COM1 /dev/pts/", 0), 0u) << viaEnv.out;
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// Each bad option ends the program with status 2 before it publishes a
// port. (--help and --version: the packaging suite.)
TEST(RadioSim, UsageErrors)
{
    auto sim = testsupport::SimBinary().string();
    TempDir dir;
    for (std::vector<std::string> bad :
        { std::vector<std::string> { "--port", "0" }, { "--port", "256" },
            { "--boot-version", "6" }, { "--boot-version", "6.256" }, { "--serial", "0011" },
            { "--negative", "bogus" }, { "--negative", "boot:x" }, { "--family", "handheld" },
            { "--password", "12a4" }, { "--password", "123456789" }, { "--line-rate", "fast" },
            { "--idle-exit", "-1" }, { "--control-heads", "0,,1" }, { "--corrupt-rate", "1.5" },
            { "--seed", "x" }, { "--unknown", "1" }, { "--log" }, { "stray" } }) {
        std::vector<std::string> argv { sim, "--com-dir", dir.Path().string() };
        argv.insert(argv.end(), bad.begin(), bad.end());
        auto r = testsupport::RunProcess(argv, {}, {}, 5s);
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_TRUE(r.out.empty()) << bad[0];
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(RadioSim, AnswersProbeBaudAndEveryQuery)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir,
        { "--family", "mobile", "--boot-version", "6.7", "--format-version", "5.9", "--dsp-version",
            "0A0B0C", "--controller-version", "040506", "--hardware-revision", "070809", "--serial",
            "BA7E10FF00112233", "--sem-version", "BF00", "--probe-reply", "01020304" }));
    Line line(sim.Device());
    ASSERT_TRUE(line.IsOpen());

    // The probe is sent raw with its own header.
    line.Write({ 0xBA, 0x7F, 0x4F, 0x09, 0x01, 0x77, 0x77, 0x77, 0xC3, 0x7E });
    auto probe = line.ReadFrame();
    ASSERT_TRUE(probe);
    EXPECT_EQ(Hex(*probe), "BA 01 7F 09 02 01 02 03 04 6B 7E");

    // Baud-rate messages get no answer.
    line.Send({ 0x09, 0x00, 0x05 });
    EXPECT_TRUE(line.Quiet(300ms));

    EXPECT_EQ(line.AskHex({ 0x04, 0x1C }), "BA 01 7F 04 1D 05 09 51 7E");
    EXPECT_EQ(line.AskHex({ 0x04, 0x0B }), "BA 01 7F 04 0C 0A 0B 0C 4F 7E");
    EXPECT_EQ(line.AskHex({ 0x04, 0x09 }), "BA 01 7F 04 0A 04 05 06 63 7E");
    EXPECT_EQ(line.AskHex({ 0x04, 0x07 }), "BA 01 7F 04 08 07 08 09 5C 7E");
    EXPECT_EQ(line.AskHex({ 0x04, 0x2D }), "BA 01 7F 04 2E 06 07 41 7E");
    // The SEM reply's checksum is 0x7E and goes out escaped.
    EXPECT_EQ(line.AskHex({ 0x04, 0x3E }), "BA 01 7F 04 3F BF 00 10 01 7E");
    EXPECT_EQ(line.AskHex({ 0x04, 0x67 }), "BA 01 7F 04 68 00 14 7E");
    // Serial bytes 0xBA, 0x7E and 0x10 go out escaped.
    EXPECT_EQ(line.AskHex({ 0x04, 0x04 }), "BA 01 7F 04 05 10 00 10 01 10 02 FF 00 11 22 33 CA 7E");
}

TEST(RadioSim, IgnoresBrokenFramesAndKeepsListening)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir));
    Line line(sim.Device());

    // None of these gets an answer: a bad checksum, a wrong first header
    // byte, the radio's own header, an escape followed by an unknown code, an
    // escape right before the end, frames too short to hold header and
    // checksum, and an oversized frame whose sum works out.
    Bytes huge { 0xBA, 0x7F, 0x01, 0x04, 0x1C };
    huge.insert(huge.end(), 5000, 0x00);
    huge.insert(huge.end(), { 0x60, 0x7E });
    for (const Bytes& frame : { Bytes { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x61, 0x7E },
             Bytes { 0xBA, 0x7D, 0x01, 0x04, 0x1C, 0x62, 0x7E },
             Bytes { 0xBA, 0x01, 0x7F, 0x04, 0x1C, 0x60, 0x7E },
             Bytes { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x10, 0x05, 0x60, 0x7E },
             Bytes { 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x60, 0x10, 0x7E },
             Bytes { 0xBA, 0x7F, 0x7E, 0xBA, 0x7E }, huge }) {
        line.Write(frame);
    }
    EXPECT_TRUE(line.Quiet(300ms));
    // Garbage, then a start byte inside a frame begins a new one.
    line.Write(
        { 0x7E, 0x55, 0x10, 0xBA, 0x7F, 0x01, 0x04, 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x60, 0x7E });
    EXPECT_EQ(line.Receive(), (Bytes { 0x04, 0x1D, 5, 8 }));
    // A PC checksum that needs escaping is understood: 7F + 01 + 02 + 00 = 0x82, so the
    // checksum is 0x7E, sent as 10 01.
    line.Write({ 0xBA, 0x7F, 0x01, 0x02, 0x00, 0x10, 0x01, 0x7E });
    EXPECT_EQ(line.Receive(), (Bytes { 0x02, 0x07 }));
    // Random noise does not kill it.
    Bytes noise;
    for (int i = 0; i < 20000; ++i)
        noise.push_back(static_cast<uint8_t>(i * 7919 + (i >> 3)));
    line.Write(noise);
    line.Write({ 0x7E });
    line.Quiet(200ms);
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x2E, 6, 10 }));
    EXPECT_FALSE(sim.WaitForExit(0ms));
}

TEST(RadioSim, NegativeSilentAndMutedRequests)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir,
        { "--negative", "boot:2,sem,start:1,upload:1", "--silent", "family,dsp:1,download:1" }));
    Line line(sim.Device());
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x20 }));
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x20 }));
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x2E, 6, 10 }));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(line.Ask({ 0x04, 0x3E }), (Bytes { 0x04, 0x20 }));
    EXPECT_EQ(line.Ask({ 0x02, 0x01 }), (Bytes { 0x02, 0x0A }));
    EXPECT_EQ(line.Ask({ 0x02, 0x01 }), (Bytes { 0x02, 0x07 }));
    line.Send({ 0x04, 0x67 });
    EXPECT_TRUE(line.Quiet(300ms));
    line.Send({ 0x04, 0x0B });
    EXPECT_TRUE(line.Quiet(300ms));
    EXPECT_EQ(line.Ask({ 0x04, 0x0B }), (Bytes { 0x04, 0x0C, 1, 2, 3 }));
    EXPECT_FALSE(line.Ask({ 0x04, 0x67 }, 300ms));
    EXPECT_EQ(line.Ask({ 0x03, 0x07 }), (Bytes { 0x04, 0x20 }));
    EXPECT_EQ(line.Ask({ 0x03, 0x07 }), (Bytes { 0x03, 13 }));
    line.Receive(); // the first block
    line.Send({ 0x03, 0x04 });
    EXPECT_FALSE(line.Ask({ 0x03, 0x00 }, 300ms));
    EXPECT_EQ(line.Ask({ 0x03, 0x00 }), (Bytes { 0x03, 13 }));

    SimProcess mute;
    ASSERT_TRUE(mute.Start(dir, { "--mute" }));
    Line quiet(mute.Device());
    quiet.Write({ 0xBA, 0x7F, 0x4F, 0x09, 0x01, 0x77, 0x77, 0x77, 0xC3, 0x7E });
    quiet.Send({ 0x04, 0x2D });
    EXPECT_TRUE(quiet.Quiet(400ms));
}

TEST(RadioSim, FaultsCountedInFramesAndDamagedBytes)
{
    TempDir dir;
    SimProcess silent;
    ASSERT_TRUE(silent.Start(dir, { "--silent-after-frames", "3" }));
    Line sline(silent.Device());
    sline.Write({ 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x61, 0x7E }); // invalid: not counted
    EXPECT_TRUE(sline.Ask({ 0x04, 0x2D }));
    EXPECT_TRUE(sline.Ask({ 0x04, 0x1C }));
    EXPECT_FALSE(sline.Ask({ 0x04, 0x2D }, 400ms));
    EXPECT_FALSE(sline.Ask({ 0x04, 0x2D }, 300ms));

    // Every byte damaged: nothing valid gets through in either direction.
    SimProcess noisy;
    ASSERT_TRUE(noisy.Start(
        dir, { "--corrupt-rate", "1", "--seed", "7", "--log", (dir / "noisy.log").string() }));
    Line nline(noisy.Device());
    for (int i = 0; i < 20; ++i)
        nline.Send({ 0x04, 0x2D });
    EXPECT_FALSE(nline.Receive(500ms));
    EXPECT_EQ(noisy.Stop(), 0);
    EXPECT_NE(noisy.Stderr().find("bytes damaged on the line"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileText(dir / "noisy.log").find("04 2D"), std::string::npos);
}

TEST(RadioSim, CheckSpeedDropsFramesSentAtTheWrongSpeed)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir, { "--check-speed" }));
    Line line(sim.Device());
    line.SetSpeed(19200);
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
    // The first frame read after the PC changed its speed is given the benefit
    // of the doubt (the PC may have switched right after writing it); later
    // ones at the wrong speed are garbage to the radio, still at 19200.
    line.SetSpeed(115200);
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
    EXPECT_FALSE(line.Ask({ 0x04, 0x2D }, 300ms));
    EXPECT_FALSE(line.Ask({ 0x04, 0x2D }, 300ms));
    // The baud-rate message crosses whatever the speeds; then the radio follows.
    line.Send({ 0x09, 0x00, 0x05 });
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
    line.SetSpeed(9600);
    line.Ask({ 0x04, 0x2D }, 300ms);
    EXPECT_FALSE(line.Ask({ 0x04, 0x2D }, 300ms));
    EXPECT_NE(sim.Stderr().find("9600 bit/s while the radio listens at 115200"), std::string::npos)
        << sim.Stderr();

    // After an application code stream the radio is back at 19200, and the PC
    // may switch right after its own baud-rate message.
    line.SetSpeed(115200);
    line.Ask({ 0x04, 0x2D }, 300ms);
    for (int stream = 0; stream < 2; ++stream) {
        EXPECT_EQ(line.Ask({ 0x02, 0x01 }), (Bytes { 0x02, 0x07 }));
        Bytes block(130, 0x00);
        block[0] = 0x02;
        block[1] = 0x09;
        EXPECT_EQ(line.Ask(block), (Bytes { 0x02, 0x07 }));
        EXPECT_EQ(line.Ask(block), (Bytes { 0x02, 0x02, 0x00, 0x00 }));
        EXPECT_EQ(line.Ask({ 0x02, 0x05 }), (Bytes { 0x02, 0x07 }));
        if (stream == 0)
            line.Send({ 0x02, 0x04 });
    }
    Bytes both = PcFrame({ 0x02, 0x04 });
    for (uint8_t b : PcFrame({ 0x09, 0x00, 0x01 }))
        both.push_back(b);
    line.Write(both);
    line.SetSpeed(19200);
    EXPECT_EQ(line.Receive(), (Bytes { 0x07, 0x25 }));
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
    EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
}

TEST(RadioSim, LogsEveryFrameBothWays)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(dir, { "--log", (dir / "sim.log").string() }));
    {
        Line line(sim.Device());
        line.Write({ 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x60, 0x7E });
        ASSERT_TRUE(line.ReadFrame());
        line.Write({ 0xBA, 0x7F, 0x01, 0x04, 0x1C, 0x61, 0x7E }); // bad sum: logged, unanswered
        line.Quiet(200ms);
        line.Send({ 0x04, 0x04 });
        ASSERT_TRUE(line.ReadFrame());
    }
    ASSERT_EQ(sim.Stop(), 0);

    std::istringstream log(testsupport::ReadFileText(dir / "sim.log"));
    const std::vector<std::string> expected
        = { ">> BA 7F 01 04 1C 60 7E", "<< BA 01 7F 04 1D 05 08 52 7E", ">> BA 7F 01 04 1C 61 7E",
              ">> BA 7F 01 04 04 78 7E", "<< BA 01 7F 04 05 00 1A 2B 3C 4D 5E 6F 70 6C 7E" };
    std::regex format(R"(([0-9]+\.[0-9]{6}) ((>>|<<)( [0-9A-F]{2})+))");
    double last = -1;
    size_t count = 0;
    for (std::string l; std::getline(log, l); ++count) {
        std::smatch m;
        ASSERT_TRUE(count < expected.size() && std::regex_match(l, m, format)) << l;
        EXPECT_GE(std::stod(m[1]), last);
        last = std::stod(m[1]);
        EXPECT_EQ(m[2], expected[count]);
    }
    EXPECT_EQ(count, expected.size());
}

TEST(RadioSim, EndsByItselfWhenAsked)
{
    TempDir dir;
    // Idle exit counts from the last byte received (with nothing arriving:
    // PublishesItsPortAndRemovesItAtTheEnd).
    SimProcess busy;
    ASSERT_TRUE(busy.Start(dir, { "--idle-exit", "0.6" }));
    Line line(busy.Device());
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(line.Ask({ 0x04, 0x2D }));
        usleep(300000);
    }
    EXPECT_FALSE(busy.WaitForExit(0ms));
    int status = -1;
    EXPECT_TRUE(busy.WaitForExit(3s, &status));
    EXPECT_EQ(status, 0);

    // Its parent ending ends it too.
    auto sim = testsupport::SimBinary().string();
    auto r = testsupport::RunProcess(
        { "/bin/sh", "-c", "\"$0\" --com-dir \"$1\" & sleep 0.3; kill -9 $$", sim,
            dir.Path().string() },
        {}, {}, 5s);
    EXPECT_FALSE(r.timedOut);
    for (int i = 0; i < 100 && !fs::is_empty(dir.Path()); ++i)
        usleep(20000);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// Time from sending a request to its whole answer (the maximum when none comes).
static std::chrono::steady_clock::duration AnswerTime(Line& line, const Bytes& request)
{
    const auto t0 = std::chrono::steady_clock::now();
    if (!line.Ask(request)) {
        ADD_FAILURE() << "no answer";
        return std::chrono::steady_clock::duration::max();
    }
    return std::chrono::steady_clock::now() - t0;
}

TEST(RadioSim, LineRateAndAdapterLatencyDelayRepliesLikeTheHardware)
{
    TempDir dir;
    SimProcess sim;
    // At 1200 bit/s a 7-byte request takes 58 ms in and the 9-byte reply 75 ms out.
    ASSERT_TRUE(sim.Start(dir, { "--line-rate", "1200" }));
    Line line(sim.Device());
    EXPECT_GE(AnswerTime(line, { 0x04, 0x1C }), 125ms);

    // "follow" starts at 19200 and takes the rate of the baud-rate message.
    SimProcess follow;
    ASSERT_TRUE(follow.Start(dir, { "--line-rate", "follow" }));
    Line line2(follow.Device());
    line2.Send({ 0x09, 0x00, 0x00 }); // 9600
    // 7 bytes in and 15 bytes out at 9600 bit/s: 22.9 ms
    EXPECT_GE(AnswerTime(line2, { 0x04, 0x04 }), 22ms);

    // An adapter's latency timer holds a short reply for the whole timer.
    SimProcess adapter;
    ASSERT_TRUE(adapter.Start(dir, { "--adapter-latency", "255" }));
    Line line3(adapter.Device());
    EXPECT_GE(AnswerTime(line3, { 0x04, 0x1C }), 250ms);

    // Eight serial-number replies (over 62 bytes together): the first full
    // packet goes at once, the rest waits for the timer.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i)
        line3.Send({ 0x04, 0x04 });
    std::vector<std::chrono::steady_clock::duration> arrivals;
    for (int i = 0; i < 8; ++i) {
        auto frame = line3.ReadFrame();
        ASSERT_TRUE(frame) << "reply " << i;
        auto message = RadioMessage(*frame);
        ASSERT_TRUE(message);
        EXPECT_EQ((*message)[1], 0x05);
        arrivals.push_back(std::chrono::steady_clock::now() - t0);
    }
    EXPECT_LT(arrivals.front(), 200ms);
    EXPECT_GE(arrivals.back(), 250ms);
}
