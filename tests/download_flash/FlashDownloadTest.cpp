// The flash engine against a scripted radio: the exact messages on the wire,
// the status texts, the console lines, the erase waits and the failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "download/FlashDownload.h"
#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "tests/download_flash/FakeFlashRadio.h"
#include "tests/download_flash/FlashSim.h"
#include "tests/support/TestSupport.h"

using namespace download;
using namespace flashtest;
using testsupport::Hex;
using Codes = std::vector<std::string>;

namespace {

const std::string kTimedOut = "Code download timed out or canceled by user.";
const std::string kCommProblem = "Communication problem during code download.";
const std::string kLoader = MakeSRecords('2', 0x020000, Pattern(300, 1));

std::string CodeImage(size_t bytes, uint8_t seed)
{
    return MakeSRecords('3', 0, Pattern(bytes, seed));
}

std::string CodeOf(const Bytes& message)
{
    return Hex(Bytes(message.begin(), message.begin() + 2));
}

// The codes of the messages from the `index`-th start (02 01) up to the next.
Codes StreamCodes(const std::vector<Bytes>& messages, int index)
{
    Codes codes;
    int starts = -1;
    for (const Bytes& m : messages) {
        starts += CodeOf(m) == "02 01";
        if (starts == index)
            codes.push_back(CodeOf(m));
    }
    return codes;
}

struct Options {
    int32_t model = 0;
    bool boot = false;
    bool processor416 = true;
    bool console = false;
};

struct Rig {
    std::shared_ptr<FakeRadioState> radio = std::make_shared<FakeRadioState>();
    CommSession session;
    FakeRadioComponent tickSource { radio, false };
    FakeRadioComponent line { radio, true };
    RecordingProgressBar bar;
    std::vector<std::string> statuses;
    std::vector<std::string> lines;
    testsupport::TempDir dir;
    CodeDownloadReport report;

    explicit Rig(bool componentPath = false)
    {
        if (componentPath) {
            std::string message;
            EXPECT_TRUE(session.OpenComponentPort(&line, message));
            session.SetRepeatAfterNegative(true);
        } else {
            session.SetComponent(&tickSource);
            session.AttachDevice(std::make_unique<FakeRadioDevice>(radio));
        }
        session.SetFraming(CommSession::kFramingFramed);
        session.SetReceiveEnable(true);
    }

    // Runs the download of the two images; an empty text stands for a file
    // that could not be opened.
    FlashResult Run(const std::string& loader, const std::string& code, Options o = {})
    {
        std::FILE* files[2] = {};
        for (int i : { 0, 1 }) {
            const std::string& text = i == 0 ? loader : code;
            const auto path = dir / std::to_string(i);
            testsupport::WriteFileText(path, text);
            files[i] = text.empty() ? nullptr : std::fopen(path.c_str(), "r");
        }
        auto status = [this](const std::string& text) { statuses.push_back(text); };
        auto progress = [this](const std::string& text) { lines.push_back(text); };
        report = DownloadCode(session,
            { files[0], files[1], o.model, o.boot, o.processor416, status, &bar, o.console,
                progress });
        for (std::FILE* f : files) {
            if (f != nullptr)
                std::fclose(f);
        }
        return report.result;
    }

    Codes CodeStream() const { return StreamCodes(radio->messages, 1); }
};

} // namespace

TEST(FlashDownload, BlocksPairsAndPaddingOnTheWire)
{
    // Data sizes around a pair of 128-byte blocks; lines after the end
    // record are never sent.
    const std::pair<size_t, std::string> cases[] = {
        { 0, "" },
        { 256, "S3150000010000000000000000000000000000000000E9\r\n" },
        { 130, "" },
        { 258, "" },
    };
    for (const auto& [size, extra] : cases) {
        SCOPED_TRACE(size);
        Rig rig;
        const Bytes data = Pattern(size, 2);
        ASSERT_EQ(
            rig.Run(kLoader, MakeSRecords('3', 0x100000, data) + extra), FlashResult::Success);
        EXPECT_EQ(rig.radio->badFrames, 0);

        // The data in file order, padded with 0xFF to whole pairs of blocks.
        const size_t pairs = size <= 256 ? 1 : (size + 255) / 256;
        Bytes expected = data;
        expected.resize(pairs * 256, 0xFF);
        ASSERT_EQ(rig.radio->streams.size(), 2u);
        EXPECT_EQ(rig.radio->streams[1], expected);
        // Only the code's blocks count as flash written.
        EXPECT_EQ(rig.report.codeBytesAccepted, static_cast<long long>(expected.size()));
        EXPECT_TRUE(rig.report.flashTouched);

        Codes codes = { "02 01" };
        for (size_t p = 0; p < pairs; ++p)
            codes.insert(codes.end(), { "02 09", "02 09", "02 05" });
        codes.insert(codes.end(), { "02 04", "09 00" });
        EXPECT_EQ(rig.CodeStream(), codes);
        // Back to 19200 bit/s (rate index 1) after the code, not after the loader.
        EXPECT_EQ(Hex(rig.radio->messages.back()), "09 00 01");
        EXPECT_EQ(StreamCodes(rig.radio->messages, 0).back(), "02 04");
    }
}

TEST(FlashDownload, StatusTextsAndEraseWaitByModelCode)
{
    struct Case {
        int32_t model;
        bool boot;
        const char* eraseText; // null: none
        int ticks;
    };
    const Case cases[] = {
        { 4, false, "Erasing flash (40 seconds)...", 720 },
        { 0, false, "Erasing flash (2 seconds)...", 36 },
        { 8, false, "Erasing flash (2 seconds)...", 36 },
        { 2, false, "Erasing flash (80 seconds)...", 1440 },
        { 4, true, nullptr, 18 },
        { 1, false, nullptr, 18 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "model " << c.model << " boot " << c.boot);
        Rig rig;
        ASSERT_EQ(rig.Run(kLoader, CodeImage(200, 3), { c.model, c.boot }), FlashResult::Success);
        Codes expected = { "Preparing to download ...", "Downloading Loader code...",
            c.boot ? "Downloading Bootloader code..." : "Downloading Application code...",
            "Download finished." };
        if (c.eraseText != nullptr)
            expected.insert(expected.begin() + 2, c.eraseText);
        EXPECT_EQ(rig.statuses, expected);
        EXPECT_EQ(rig.radio->ticks, c.ticks);
        // The flash-type query follows the loader for model code 1 only.
        EXPECT_EQ(StreamCodes(rig.radio->messages, 0).back(), c.model == 1 ? "02 0B" : "02 04");
    }
}

TEST(FlashDownload, FlashTypeCheckOfModelCodeOne)
{
    struct Case {
        bool processor416;
        Bytes reply;
        FlashResult result;
    };
    const Case cases[] = {
        { true, { 0x02, 0x0C, 0x00, 0x04 }, FlashResult::Success },
        { true, { 0x02, 0x0C, 0x00, 0x08 }, FlashResult::WrongFlashType },
        { false, { 0x02, 0x0C, 0x00, 0x08 }, FlashResult::Success },
        { false, { 0x02, 0x0C, 0x00, 0x04 }, FlashResult::WrongFlashType },
        { true, { 0x02, 0x0C, 0x04, 0x00 }, FlashResult::WrongFlashType },
        { true, { 0x02, 0x0D, 0x00, 0x04 }, FlashResult::WrongFlashType }, // not a flash-type reply
        { true, { 0x02, 0x0C }, FlashResult::WrongFlashType }, // no type at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.reply) + (c.processor416 ? " 416" : " 816"));
        Rig rig;
        rig.radio->flashTypeReply = c.reply;
        EXPECT_EQ(rig.Run(kLoader, CodeImage(64, 4), { 1, false, c.processor416, true }), c.result);
        const bool wrong = c.result == FlashResult::WrongFlashType;
        EXPECT_EQ(rig.radio->streams.size(), wrong ? 1u : 2u);
        if (wrong) {
            // No erase wait and no text of the engine's own (the caller
            // explains); the loader's console line is out.
            EXPECT_EQ(rig.radio->ticks, 0);
            EXPECT_EQ(rig.statuses.back(), "Downloading Loader code...");
            EXPECT_EQ(rig.lines.back(), "\rDownloading Loader code...100% complete...Done.\n");
            EXPECT_FALSE(rig.report.flashTouched);
            EXPECT_EQ(rig.report.codeBytesAccepted, 0);
        }
    }

    // A loader that never answers is a broken link, not a wrong processor.
    Rig rig;
    rig.radio->closeOnFlashType = true;
    EXPECT_EQ(rig.Run(kLoader, CodeImage(64, 4), { .model = 1 }), FlashResult::CommProblem);
    EXPECT_EQ(rig.statuses.back(), kCommProblem);
    EXPECT_EQ(rig.radio->streams.size(), 1u);
}

TEST(FlashDownload, VerifyFailureStopsTheStream)
{
    {
        Rig rig;
        rig.radio->verifyFailPair = 2;
        EXPECT_EQ(rig.Run(kLoader, CodeImage(1024, 5)), FlashResult::VerifyFailed);
        EXPECT_EQ(rig.statuses.back(), "Flash Verify failed at address: 0x00102030");
        // Two pairs went out; no further block and no end message.
        EXPECT_EQ(rig.CodeStream(),
            (Codes { "02 01", "02 09", "02 09", "02 05", "02 09", "02 09", "02 05" }));
        // The first pair and the first block of the second count as written.
        EXPECT_EQ(rig.report.codeBytesAccepted, 384);
    }
    // In the loader stream the code never follows.
    Rig rig;
    rig.radio->faultStream = 0;
    rig.radio->verifyFailPair = 1;
    EXPECT_EQ(rig.Run(kLoader, CodeImage(64, 5)), FlashResult::VerifyFailed);
    EXPECT_EQ(rig.radio->streams.size(), 1u);
}

TEST(FlashDownload, ProgressBarAndConsoleLines)
{
    // A code stream of 4000 bytes without data records: maximum 4000/4 + 64.
    {
        Rig rig;
        std::string code = "S0030000FC\r\n";
        for (int i = 0; i < 331; ++i)
            code += "S5030000FC\r\n";
        code += "xx\r\nS9030000FC\r\n";
        ASSERT_EQ(code.size(), 4000u);
        ASSERT_EQ(rig.Run(kLoader, code, { .console = true }), FlashResult::Success);
        EXPECT_EQ(rig.bar.minimum, 0);
        EXPECT_EQ(rig.bar.maximum, 1064);
        EXPECT_EQ(Codes(rig.lines.end() - 3, rig.lines.end()),
            (Codes { "\rDownloading Application code...6% complete",
                "\rDownloading Application code...12% complete",
                "\rDownloading Application code...100% complete...Done.\n" }));
        EXPECT_EQ(std::vector<int>(rig.bar.positions.end() - 3, rig.bar.positions.end()),
            (std::vector<int> { 0, 64, 128 }));
    }
    // Data records count 3 (S1, S2) or 4 (S3) each, a block 64; a full block
    // leaves when the next record's first word arrives.
    {
        Rig rig;
        ASSERT_EQ(rig.Run(MakeSRecords('2', 0, Pattern(256, 7)), CodeImage(256, 8)),
            FlashResult::Success);
        EXPECT_EQ(rig.bar.positions,
            (std::vector<int> { 0, 9 * 3 + 64, 16 * 3 + 128, 0, 9 * 4 + 64, 16 * 4 + 128 }));
        EXPECT_TRUE(rig.lines.empty()); // no console lines without the flag
    }
    // The counter outruns a file of long records; the bar and the percentage
    // stop at the maximum.
    Rig rig;
    std::string code = MakeSRecords('3', 0, Pattern(48 * 200, 9), 48);
    code.erase(std::remove(code.begin(), code.end(), '\r'), code.end());
    ASSERT_EQ(rig.Run(kLoader, code, { .console = true }), FlashResult::Success);
    EXPECT_LE(
        *std::max_element(rig.bar.positions.begin(), rig.bar.positions.end()), rig.bar.maximum);
    EXPECT_EQ(rig.lines[rig.lines.size() - 2], "\rDownloading Application code...100% complete");
}

TEST(FlashDownload, LinkFailuresEndTheDownload)
{
    // The line closes under the engine: a communication problem, not a
    // string of empty replies taken for answers.
    {
        Rig rig;
        rig.radio->closeAfterBlocks = 6;
        EXPECT_EQ(rig.Run(kLoader, CodeImage(2048, 10)), FlashResult::CommProblem);
        EXPECT_EQ(rig.statuses.back(), kCommProblem);
        EXPECT_EQ(CodeOf(rig.radio->messages.back()), "02 09");
    }
    // Stop pressed while the radio is silent: the wait ends with result 4 and
    // the code stream never starts; on the component path (an idle line) it
    // is a communication problem.
    for (const bool component : { false, true }) {
        Rig rig(component);
        SimpleLinkHost host(rig.session);
        rig.radio->silentAfterBlocks = component ? 1 : 2;
        host.Loop().PostDelayed(150, [&] { rig.session.SetReceiveEnable(false); });
        EXPECT_EQ(rig.Run(kLoader, CodeImage(64, 11)),
            component ? FlashResult::CommProblem : FlashResult::TimedOut);
        EXPECT_EQ(rig.statuses.back(), component ? kCommProblem : kTimedOut);
        EXPECT_EQ(rig.CodeStream(), Codes {});
    }
    // Stop during the erase wait ends it at once; the code's start then
    // finds the flag cleared.
    Rig rig;
    rig.radio->stopOnTick = 100;
    rig.radio->onStop = [&] { rig.session.SetReceiveEnable(false); };
    EXPECT_EQ(rig.Run(kLoader, CodeImage(64, 12), { .model = 4 }), FlashResult::TimedOut);
    EXPECT_EQ(rig.radio->ticks, 100);
    EXPECT_EQ(rig.statuses.back(), kTimedOut);
    EXPECT_EQ(rig.CodeStream(), Codes { "02 01" });
}

TEST(FlashDownload, NegativeRepliesOnTheComponentPathAreRepeated)
{
    Rig rig(true);
    rig.radio->negativeStarts = 2;
    rig.radio->negativeSumReports = 1;
    const Bytes code = Pattern(256, 13);
    ASSERT_EQ(rig.Run(kLoader, MakeSRecords('3', 0, code)), FlashResult::Success);
    // Two refused starts before the loader's; the refused second block came again.
    EXPECT_EQ(StreamCodes(rig.radio->messages, 0), Codes { "02 01" });
    EXPECT_EQ(StreamCodes(rig.radio->messages, 1), Codes { "02 01" });
    EXPECT_EQ(StreamCodes(rig.radio->messages, 2),
        (Codes {
            "02 01", "02 09", "02 09", "02 09", "02 05", "02 09", "02 09", "02 05", "02 04" }));
    ASSERT_EQ(rig.radio->streams.size(), 2u);
    EXPECT_EQ(rig.radio->streams[1], code);
}

TEST(FlashDownload, UnreadableOrDamagedImagesStopBeforeTheirData)
{
    // Odd data length, a cut line, a byte count that is not hex.
    for (const std::string bad : { "S30A00000010AABBCCDDEE27", "S315000000100102030405060708",
             "S3G50000001001020304050607080900" }) {
        SCOPED_TRACE(bad);
        Rig rig;
        // Header, one good record, the bad one (line 3), then more data.
        const std::string code = "S0030000FC\r\n" + SRecordLine('3', 0, Pattern(16, 14)) + "\r\n"
            + bad + "\r\n" + MakeSRecords('3', 0x20, Pattern(512, 15));
        EXPECT_EQ(rig.Run(kLoader, code), FlashResult::ImageProblem);
        EXPECT_EQ(rig.statuses.back(),
            "Download stopped: damaged record in line 3 of the Application code file.");
        EXPECT_EQ(rig.CodeStream(), Codes { "02 01" });
    }
    // No loader at all: nothing is sent.
    Rig rig;
    EXPECT_EQ(rig.Run("", ""), FlashResult::ImageProblem);
    EXPECT_TRUE(rig.radio->messages.empty());
    EXPECT_EQ(rig.statuses.back(), "Download stopped: the Loader code file could not be read.");
}
