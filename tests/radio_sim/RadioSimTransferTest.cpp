// The simulator's download, restart, codeplug and DSP sides, played from the
// PC's end with hand-built messages.

#include "SimDriver.h"

#include "tests/support/TestSupport.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace simtest;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

const Bytes kAck { 0x02, 0x07 };

Bytes Pattern(size_t size, unsigned seed)
{
    Bytes out(size);
    unsigned x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

Bytes Slice(const Bytes& data, size_t from, size_t size)
{
    return Bytes(
        data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + size));
}

Bytes BlockMessage(const Bytes& data128)
{
    return Concat({ 0x02, 0x09 }, data128);
}

// The sum the radio must report for a pair: little-endian words.
Bytes PairSumReply(const Bytes& pair)
{
    unsigned sum = 0;
    for (size_t i = 0; i < pair.size(); i += 2)
        sum += pair[i] | pair[i + 1] << 8;
    return { 0x02, 0x02, static_cast<uint8_t>(sum >> 8 & 0xFF), static_cast<uint8_t>(sum & 0xFF) };
}

// Sends a whole stream the way the flash engine does: start, pairs of
// blocks with their sum exchange, end. `data` is a multiple of 256 bytes.
void SendStream(Line& line, const Bytes& data, uint8_t startSub = 0x01)
{
    ASSERT_EQ(line.Ask({ 0x02, startSub }), kAck);
    for (size_t at = 0; at < data.size(); at += 256) {
        Bytes pair = Slice(data, at, 256);
        ASSERT_EQ(line.Ask(BlockMessage(Slice(pair, 0, 128))), kAck) << "pair at " << at;
        ASSERT_EQ(line.Ask(BlockMessage(Slice(pair, 128, 128))), PairSumReply(pair));
        ASSERT_EQ(line.Ask({ 0x02, 0x05 }), kAck);
    }
    line.Send({ 0x02, 0x04 });
}

// The PC's scrambling of one plain block with two keystream bytes.
Bytes Scramble(const Bytes& plain, uint8_t k1, uint8_t k2)
{
    Bytes s(128);
    s[0] = plain[1] ^ k1;
    s[1] = plain[0] ^ k2;
    unsigned mask = s[1] << 8 | s[0];
    for (size_t i = 2; i < 128; i += 2) {
        unsigned w = (plain[i] << 8 | plain[i + 1]) ^ mask;
        s[i] = static_cast<uint8_t>(w & 0xFF);
        s[i + 1] = static_cast<uint8_t>(w >> 8);
    }
    return s;
}

// DES-ECB keystream, key "K#K#K#K#", 8-bit output feedback from the
// identifier 00 1A 2B 3C 4D 5E 6F 70, as produced by
// openssl enc -des-ecb -K 4b234b234b234b23 -nopad (legacy provider).
const uint8_t kKeystream[8] = { 0xC3, 0x99, 0x19, 0xC7, 0x4A, 0x8A, 0xAA, 0x55 };

uint16_t BigEndianSum(const Bytes& data)
{
    unsigned sum = 0;
    for (size_t i = 0; i < data.size(); i += 2)
        sum += data[i] << 8 | data[i + 1];
    return static_cast<uint16_t>(sum);
}

} // namespace

TEST(RadioSimFlash, StreamsArriveByteForByteAndTheRadioRestarts)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--loader-out",
        (dir / "loader.bin").string(), "--code-out", (dir / "code.bin").string(), "--flash-type",
        "8", "--restart-delay", "300", "--new-format-version", "5.10", "--exit-after-restart" }));
    Line line(sim.DevicePath());
    Bytes loader = Pattern(512, 1);
    Bytes code = Pattern(1536, 2);
    // 0xBA, 0x7E and 0x10 inside the data must survive the framing.
    code[5] = 0xBA;
    code[6] = 0x7E;
    code[7] = 0x10;

    SendStream(line, loader);
    EXPECT_EQ(line.Ask({ 0x02, 0x0B }), (Bytes { 0x02, 0x0C, 0x00, 0x08 }));
    EXPECT_EQ(ReadFileBytes(dir / "loader.bin"), loader);
    EXPECT_EQ(line.Ask({ 0x04, 0x1C }), (Bytes { 0x04, 0x1D, 5, 8 }));
    SendStream(line, code);
    line.Send({ 0x09, 0x00, 0x01 });
    // The restart message comes after the delay, not at once.
    EXPECT_TRUE(line.Quiet(150ms));
    EXPECT_EQ(line.Receive(2s), (Bytes { 0x07, 0x25 }));
    EXPECT_EQ(line.Ask({ 0x04, 0x1C }), (Bytes { 0x04, 0x1D, 5, 10 }));
    EXPECT_EQ(ReadFileBytes(dir / "code.bin"), code);
    EXPECT_EQ(sim.WaitExit(4s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / sim.Port())));
}

TEST(RadioSimFlash, WrongSumVerifyFailureAndUnconfirmedPairs)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--code-out",
        (dir / "code.bin").string(), "--wrong-sum", "2", "--restart", "none" }));
    Line line(sim.DevicePath());
    Bytes code = Pattern(768, 3);
    SendStream(line, Pattern(256, 4));
    ASSERT_EQ(line.Ask({ 0x02, 0x01 }), kAck);
    ASSERT_EQ(line.Ask(BlockMessage(Slice(code, 0, 128))), kAck);
    ASSERT_EQ(line.Ask(BlockMessage(Slice(code, 128, 128))), PairSumReply(Slice(code, 0, 256)));
    ASSERT_EQ(line.Ask({ 0x02, 0x05 }), kAck);
    ASSERT_EQ(line.Ask(BlockMessage(Slice(code, 256, 128))), kAck);
    auto wrong = line.Ask(BlockMessage(Slice(code, 384, 128)));
    ASSERT_TRUE(wrong);
    EXPECT_EQ(Slice(*wrong, 0, 2), (Bytes { 0x02, 0x02 }));
    EXPECT_NE(*wrong, PairSumReply(Slice(code, 256, 256)));
    // Mismatch: acknowledged, and every resend too, without a new sum.
    ASSERT_EQ(line.Ask({ 0x02, 0x06 }), kAck);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(line.Ask(BlockMessage(Slice(code, 384, 128))), kAck);

    // The next update begins with the loader again; the fault fired once.
    Bytes loader2 = Pattern(256, 5);
    SendStream(line, loader2);
    SendStream(line, code);
    EXPECT_TRUE(line.Quiet(700ms)); // --restart none
    EXPECT_EQ(ReadFileBytes(dir / "code.bin"), code);

    // A verify failure after pair 1, with its address; nothing is kept.
    SimProcess verify;
    ASSERT_TRUE(verify.Start({ "--com-dir", dir.Path().string(), "--code-out",
        (dir / "v.bin").string(), "--verify-fail", "1:DEADBE7E", "--fault-repeat" }));
    Line vline(verify.DevicePath());
    for (int run = 0; run < 2; ++run) {
        SendStream(vline, Pattern(256, 7));
        ASSERT_EQ(vline.Ask({ 0x02, 0x01 }), kAck);
        ASSERT_EQ(vline.Ask(BlockMessage(Slice(code, 0, 128))), kAck);
        ASSERT_TRUE(vline.Ask(BlockMessage(Slice(code, 128, 128))));
        EXPECT_EQ(vline.Ask({ 0x02, 0x05 }), (Bytes { 0x02, 0x0A, 0xDE, 0xAD, 0xBE, 0x7E }));
        vline.Send({ 0x02, 0x04 });
        EXPECT_TRUE(vline.Quiet(400ms)); // no restart after a failed stream
    }
    verify.Signal(SIGTERM);
    EXPECT_EQ(verify.WaitExit(3s), 0);
    EXPECT_TRUE(ReadFileBytes(dir / "v.bin").empty());
    EXPECT_TRUE(fs::exists(dir / "v.bin"));
}

TEST(RadioSimFlash, SilenceAndClosingTheLineMidStream)
{
    TempDir dir;
    SimProcess silent;
    ASSERT_TRUE(silent.Start({ "--com-dir", dir.Path().string(), "--silent-after-block", "3" }));
    Line line(silent.DevicePath());
    SendStream(line, Pattern(256, 8));
    Bytes code = Pattern(512, 9);
    ASSERT_EQ(line.Ask({ 0x02, 0x01 }), kAck);
    ASSERT_EQ(line.Ask(BlockMessage(Slice(code, 0, 128))), kAck);
    ASSERT_TRUE(line.Ask(BlockMessage(Slice(code, 128, 128))));
    ASSERT_EQ(line.Ask({ 0x02, 0x05 }), kAck);
    line.Send(BlockMessage(Slice(code, 256, 128)));
    EXPECT_TRUE(line.Quiet(400ms));
    line.Send({ 0x04, 0x2D });
    EXPECT_TRUE(line.Quiet(300ms));

    SimProcess closing;
    ASSERT_TRUE(closing.Start({ "--com-dir", dir.Path().string(), "--fault-stage", "loader",
        "--close-after-block", "2", "--loader-out", (dir / "loader.bin").string() }));
    Line cline(closing.DevicePath());
    ASSERT_EQ(cline.Ask({ 0x02, 0x01 }), kAck);
    ASSERT_EQ(cline.Ask(BlockMessage(Pattern(128, 10))), kAck);
    cline.Send(BlockMessage(Pattern(128, 11)));
    EXPECT_TRUE(cline.HangsUp(3s));
    EXPECT_EQ(closing.WaitExit(3s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / closing.Port())));
    EXPECT_TRUE(ReadFileBytes(dir / "loader.bin").empty()); // the pair was never confirmed
}

TEST(RadioSimFlash, BootDownloadSetsTheNewBootVersionAndControlHeadsFollowCode)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--family", "mobile",
        "--boot-version", "6.3", "--new-boot-version", "6.10", "--boot-out",
        (dir / "boot.bin").string(), "--code-out", (dir / "code.bin").string(), "--restart",
        "heads", "--control-heads", "0,0,1", "--head-interval", "100", "--restart-delay", "0" }));
    Line line(sim.DevicePath());
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x2E, 6, 3 }));
    EXPECT_EQ(line.Ask({ 0x04, 0x67 }), (Bytes { 0x04, 0x68, 0 }));
    Bytes boot = Pattern(256, 12);
    SendStream(line, Pattern(256, 13));
    SendStream(line, boot);
    EXPECT_TRUE(line.Quiet(500ms)); // a boot download does not restart into the new code
    EXPECT_EQ(line.Ask({ 0x04, 0x2D }), (Bytes { 0x04, 0x2E, 6, 10 }));
    EXPECT_EQ(ReadFileBytes(dir / "boot.bin"), boot);
    EXPECT_FALSE(fs::exists(dir / "code.bin"));

    Bytes app = Pattern(512, 14);
    SendStream(line, Pattern(256, 15));
    SendStream(line, app);
    EXPECT_EQ(line.Receive(), (Bytes { 0x09, 0x03, 0x00, 0x00 }));
    EXPECT_EQ(line.Receive(), (Bytes { 0x09, 0x03, 0x00, 0x00 }));
    EXPECT_EQ(line.Receive(), (Bytes { 0x09, 0x03, 0x00, 0x01 }));
    EXPECT_TRUE(line.Quiet(300ms));
    EXPECT_EQ(ReadFileBytes(dir / "code.bin"), app);
    EXPECT_EQ(ReadFileBytes(dir / "boot.bin"), boot);
}

TEST(RadioSimCodeplug, UploadWithAndWithoutPassword)
{
    TempDir dir;
    Bytes codeplug = Pattern(300, 20);
    testsupport::WriteFileBytes(dir / "cp.bin", codeplug);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--codeplug",
        (dir / "cp.bin").string(), "--upload-fill", "EE" }));
    Line line(sim.DevicePath());
    EXPECT_EQ(line.Ask({ 0x04, 0x04 }),
        (Bytes { 0x04, 0x05, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70 }));
    EXPECT_EQ(line.Ask({ 0x03, 0x07 }), (Bytes { 0x03, 13 }));
    Bytes padded = codeplug;
    padded.resize(512, 0xEE);
    EXPECT_EQ(line.Receive(), Concat({ 0x03, 0x02 }, Slice(padded, 0, 128)));
    for (size_t at = 128; at < 512; at += 128)
        EXPECT_EQ(line.Ask({ 0x03, 0x08 }), Concat({ 0x03, 0x02 }, Slice(padded, at, 128)));
    line.Send({ 0x03, 0x04 });
    EXPECT_TRUE(line.Quiet(300ms));

    SimProcess locked;
    ASSERT_TRUE(
        locked.Start({ "--com-dir", dir.Path().string(), "--codeplug", (dir / "cp.bin").string(),
            "--password", "1234", "--grant", "14", "--verdict-noise", "2" }));
    Line pline(locked.DevicePath());
    EXPECT_EQ(pline.Ask({ 0x03, 0x07 }), (Bytes { 0x03, 11 }));
    // Wrong answer: noise, then asked again.
    EXPECT_EQ(pline.Ask({ 0x03, 0x0C, 0x12, 0x35, 0xFF, 0xFF }), (Bytes { 0x07, 0x25 }));
    EXPECT_EQ(pline.Receive(), (Bytes { 0x07, 0x25 }));
    EXPECT_EQ(pline.Receive(), (Bytes { 0x03, 11 }));
    // "12345" is not "1234" either: the unused nibbles must be 0xF.
    pline.Send({ 0x03, 0x0C, 0x12, 0x34, 0x5F, 0xFF });
    pline.Receive();
    pline.Receive();
    EXPECT_EQ(pline.Receive(), (Bytes { 0x03, 11 }));
    pline.Send({ 0x03, 0x0C, 0x12, 0x34, 0xFF, 0xFF });
    pline.Receive();
    pline.Receive();
    EXPECT_EQ(pline.Receive(), (Bytes { 0x03, 14 }));
    EXPECT_EQ(pline.Receive(), Concat({ 0x03, 0x02 }, Slice(codeplug, 0, 128)));
    // Abandoned with (3,4) in the middle of the password exchange of a download.
    pline.Send({ 0x03, 0x04 });
    EXPECT_EQ(pline.Ask({ 0x03, 0x00 }), (Bytes { 0x03, 11 }));
    pline.Send({ 0x03, 0x04 });
    EXPECT_TRUE(pline.Quiet(300ms));
}

TEST(RadioSimCodeplug, DownloadIsUnscrambledSummedStoredAndUploadedAgain)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        { "--com-dir", dir.Path().string(), "--codeplug-out", (dir / "stored.bin").string(),
            "--sum-every", "2", "--fault-stage", "download", "--wrong-sum", "2" }));
    Line line(sim.DevicePath());
    Bytes plain = Pattern(512, 30);
    plain[0] = 0x5F; // a first word whose bytes differ, so a swapped unmasking shows
    plain[1] = 0x10;

    auto download = [&](bool secondRun) {
        ASSERT_EQ(line.Ask({ 0x03, 0x00 }), (Bytes { 0x03, 13 }));
        ASSERT_EQ(line.Receive(), (Bytes { 0x03, 0x08 }));
        for (int b = 0; b < 4; ++b) {
            Bytes block = Slice(plain, static_cast<size_t>(b) * 128, 128);
            auto reply = line.Ask(
                Concat({ 0x03, 0x02 }, Scramble(block, kKeystream[2 * b], kKeystream[2 * b + 1])));
            ASSERT_TRUE(reply);
            if (b % 2 == 0) {
                EXPECT_EQ(*reply, (Bytes { 0x03, 0x08 }));
                continue;
            }
            uint16_t sum = BigEndianSum(Slice(plain, static_cast<size_t>(b - 1) * 128, 256));
            Bytes right { 0x03, 0x03, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum) };
            if (b == 3 && !secondRun)
                EXPECT_NE(*reply, right); // report 2 of the first download is wrong
            else
                EXPECT_EQ(*reply, right) << "block " << b;
            EXPECT_EQ(line.Ask({ 0x03, static_cast<uint8_t>(*reply == right ? 0x05 : 0x06) }),
                (Bytes { 0x03, 0x08 }));
        }
        line.Send({ 0x03, 0x04 });
    };
    download(false);
    usleep(200000);
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), plain);
    // The radio now holds it: an upload returns it.
    EXPECT_EQ(line.Ask({ 0x03, 0x07 }), (Bytes { 0x03, 13 }));
    EXPECT_EQ(line.Receive(), Concat({ 0x03, 0x02 }, Slice(plain, 0, 128)));
    line.Send({ 0x03, 0x04 });
    // A second download starts the keystream afresh from the identifier.
    std::filesystem::remove(dir / "stored.bin");
    download(true);
    usleep(200000);
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), plain);
}

TEST(RadioSimCodeplug, ExitsAfterTheDownloadAndBreaksOffWhenTold)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--exit-after-codeplug",
        "--codeplug-out", (dir / "stored.bin").string() }));
    Line line(sim.DevicePath());
    ASSERT_EQ(line.Ask({ 0x03, 0x00 }), (Bytes { 0x03, 13 }));
    ASSERT_EQ(line.Receive(), (Bytes { 0x03, 0x08 }));
    ASSERT_EQ(line.Ask(Concat({ 0x03, 0x02 }, Bytes(128, 0x20))), (Bytes { 0x03, 0x08 }));
    line.Send({ 0x03, 0x04 });
    EXPECT_EQ(sim.WaitExit(3s), 0);
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin").size(), 128u);

    SimProcess broken;
    ASSERT_TRUE(broken.Start({ "--com-dir", dir.Path().string(), "--fault-stage", "download",
        "--silent-after-block", "2" }));
    Line bline(broken.DevicePath());
    ASSERT_EQ(bline.Ask({ 0x03, 0x00 }), (Bytes { 0x03, 13 }));
    ASSERT_EQ(bline.Receive(), (Bytes { 0x03, 0x08 }));
    ASSERT_EQ(bline.Ask(Concat({ 0x03, 0x02 }, Bytes(128, 0x20))), (Bytes { 0x03, 0x08 }));
    bline.Send(Concat({ 0x03, 0x02 }, Bytes(128, 0x20)));
    EXPECT_TRUE(bline.Quiet(400ms));

    SimProcess upload;
    ASSERT_TRUE(upload.Start({ "--com-dir", dir.Path().string(), "--fault-stage", "upload",
        "--close-after-block", "2" }));
    Line uline(upload.DevicePath());
    ASSERT_EQ(uline.Ask({ 0x03, 0x07 }), (Bytes { 0x03, 13 }));
    ASSERT_TRUE(uline.Receive());
    uline.Send({ 0x03, 0x08 });
    ASSERT_TRUE(uline.Receive());
    EXPECT_TRUE(uline.HangsUp(3s));
    EXPECT_EQ(upload.WaitExit(3s), 0);
}

TEST(RadioSimDsp, PagesArriveInTheirFiles)
{
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({ "--com-dir", dir.Path().string(), "--dsp-pages-dir",
        dir.Path().string(), "--fault-stage", "dsp", "--wrong-sum", "3" }));
    Line line(sim.DevicePath());
    SendStream(line, Pattern(256, 40)); // the DSP loader
    Bytes page1 = Pattern(256, 41);
    Bytes page2 = Pattern(512, 42);
    ASSERT_EQ(line.Ask({ 0x02, 0x00 }), kAck);
    for (const Bytes* page : { &page1, &page2 }) {
        for (size_t at = 0; at < page->size(); at += 256) {
            Bytes pair = Slice(*page, at, 256);
            ASSERT_EQ(line.Ask(BlockMessage(Slice(pair, 0, 128))), kAck);
            ASSERT_TRUE(line.Ask(BlockMessage(Slice(pair, 128, 128))));
            ASSERT_EQ(line.Ask({ 0x02, 0x05 }), kAck);
        }
        ASSERT_EQ(line.Ask({ 0x02, 0x08 }), (Bytes { 0x02, 0x03 }));
    }
    line.Send({ 0x02, 0x04 });
    EXPECT_TRUE(line.Quiet(300ms));
    EXPECT_EQ(ReadFileBytes(dir / "page1.bin"), page1);
    // Pair 3 carried a wrong sum that the PC nonetheless confirmed: not kept.
    EXPECT_EQ(ReadFileBytes(dir / "page2.bin"), Slice(page2, 0, 256));
}
