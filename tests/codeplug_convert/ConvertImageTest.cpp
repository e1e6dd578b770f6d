#include "codeplug/CodeplugConvert.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

using namespace codeplugtest;
using Bytes = std::vector<uint8_t>;
using Outcome = CodeplugConvertOutcome;

namespace {

std::vector<uint16_t> FromWire(const Bytes& bytes)
{
    std::vector<uint16_t> words(kWords);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint16_t>((bytes.at(2 * i) << 8) | bytes.at(2 * i + 1));
    return words;
}

struct Converted {
    Outcome outcome;
    int newLength;
    std::string error;
    Bytes buffer;
};

Converted ConvertWire(Bytes buffer, int byteCount, int minor)
{
    Converted result;
    buffer.resize(static_cast<size_t>(kCodeplugBytes), 0);
    result.outcome = ConvertCodeplugImage(
        buffer.data(), byteCount, 5, static_cast<uint8_t>(minor), result.newLength, result.error);
    result.buffer = std::move(buffer);
    return result;
}

} // namespace

TEST(CodeplugConvertImage, OutcomesAndNewLength)
{
    const CodeplugBuilder b = TypicalCodeplug(8, 2, 2, 2);
    const Bytes wire = b.BuildWire();
    const int byteCount = static_cast<int>(wire.size());

    // 5.8 to 5.10: the chain, the 5.10 defaults, and the new length.
    Converted c = ConvertWire(wire, byteCount, 10);
    ASSERT_EQ(c.outcome, Outcome::Converted) << c.error;
    std::vector<uint16_t> expected = b.Build();
    int32_t change = 0;
    CodeplugImage image(expected.data());
    ASSERT_TRUE(ConvertCodeplugUp(image, 3, 5, change));
    ASSERT_TRUE(ApplyFormat510Defaults(image));
    EXPECT_EQ(c.newLength, byteCount + 2 * change);
    EXPECT_EQ(c.newLength, 2 * expected[4]);
    EXPECT_EQ(FromWire(c.buffer), expected);

    // Down from 5.10 to 5.9: no 5.10 defaults.
    Converted d = ConvertWire(c.buffer, c.newLength, 9);
    ASSERT_EQ(d.outcome, Outcome::Converted) << d.error;
    ASSERT_TRUE(ConvertCodeplugDown(image, 4, 5, change));
    EXPECT_EQ(d.newLength, c.newLength + 2 * change);
    EXPECT_EQ(FromWire(d.buffer), expected);

    // The same format: nothing changes.
    Converted same = ConvertWire(wire, byteCount, 8);
    EXPECT_EQ(same.outcome, Outcome::SameFormat);
    EXPECT_EQ(same.newLength, byteCount);
    EXPECT_TRUE(std::equal(wire.begin(), wire.end(), same.buffer.begin()));

    // Formats older than 5.8, or unknown, on either side.
    for (int minor : { 7, 11, 4 })
        EXPECT_EQ(ConvertWire(wire, byteCount, minor).outcome, Outcome::UnsupportedFormat) << minor;
    const Bytes oldWire = SmallCodeplug(7).BuildWire();
    Converted u = ConvertWire(oldWire, static_cast<int>(oldWire.size()), 9);
    EXPECT_EQ(u.outcome, Outcome::UnsupportedFormat);
    EXPECT_NE(u.error.find("5.7"), std::string::npos) << u.error;

    // An odd byte count: the last byte is the high byte of the last word.
    const uint8_t odd[] = { 0x12, 0x34, 0x56 };
    std::vector<uint16_t> oddWords(kWords, 0xFFFF);
    DecodeWireWords(odd, 3, oddWords.data());
    EXPECT_EQ(std::vector<uint16_t>(oddWords.begin(), oddWords.begin() + 3),
        (std::vector<uint16_t> { 0x1234, 0x5600, 0 }));
    uint8_t back[4] = { 0, 0, 0, 0xEE };
    EncodeWireWords(oddWords.data(), 3, back);
    EXPECT_EQ(Bytes(back, back + 4), (Bytes { 0x12, 0x34, 0x56, 0xEE }));

    // Invalid images and lengths. Bytes after the count are not part of the
    // codeplug: a count that cuts the chain short makes it invalid.
    Bytes broken = wire;
    broken[0] = 0;
    EXPECT_EQ(ConvertWire(broken, byteCount, 10).outcome, Outcome::InvalidImage);
    for (int count : { 0, kCodeplugBytes + 1, 200 })
        EXPECT_EQ(ConvertWire(wire, count, 10).outcome, Outcome::InvalidImage) << count;
}

// The post-update sequence checks first and converts after the radio's reset:
// the two steps give what the one call gives.
TEST(CodeplugConvertImage, PrepareThenRunGivesTheSameImage)
{
    const Bytes wire = TypicalCodeplug(9, 2, 3, 2).BuildWire();
    const int byteCount = static_cast<int>(wire.size());
    const Converted once = ConvertWire(wire, byteCount, 8);
    ASSERT_EQ(once.outcome, Outcome::Converted) << once.error;

    CodeplugConversion conversion;
    std::string error;
    ASSERT_EQ(conversion.Prepare(wire.data(), byteCount, 5, 8, error), Outcome::Due) << error;
    EXPECT_EQ(FormatVersionText(conversion.From()) + " -> " + FormatVersionText(conversion.To()),
        "5.9 -> 5.8");
    Bytes buffer(static_cast<size_t>(kCodeplugBytes), 0xAA);
    int newLength = 0;
    ASSERT_EQ(conversion.Run(buffer.data(), newLength, error), Outcome::Converted) << error;
    EXPECT_EQ(newLength, once.newLength);
    EXPECT_EQ(buffer, once.buffer);
    EXPECT_EQ(conversion.Run(buffer.data(), newLength, error), Outcome::Failed)
        << "the prepared image is used up";

    EXPECT_EQ(conversion.Prepare(wire.data(), byteCount, 5, 9, error), Outcome::SameFormat);
    EXPECT_EQ(conversion.Run(buffer.data(), newLength, error), Outcome::Failed);
    EXPECT_EQ(newLength, byteCount);
}

TEST(CodeplugConvertImage, HostileImagesStopTheConversionAndLeaveTheBufferAlone)
{
    auto expectFailed = [](const std::vector<uint16_t>& words, int minor, const std::string& what,
                            const std::string& reason) {
        SCOPED_TRACE(what);
        std::vector<uint16_t> copy = words;
        CodeplugImage check(copy.data());
        std::string why;
        EXPECT_TRUE(CheckCodeplug(check, &why)) << why;
        Bytes wire(static_cast<size_t>(kCodeplugBytes), 0);
        EncodeWireWords(words.data(), 2 * words[4], wire.data());
        const Converted c = ConvertWire(wire, 2 * words[4], minor);
        EXPECT_EQ(c.outcome, Outcome::Failed);
        EXPECT_EQ(c.buffer, wire);
        EXPECT_FALSE(c.error.empty());
        EXPECT_NE(c.error.find(reason), std::string::npos) << c.error;
    };

    // Two systems numbered 1: the header announces two, system 2 is missing.
    CodeplugBuilder twice(5, 9);
    twice.AddKind(0);
    twice.AddSystem(1, 0);
    twice.AddSystem(1, 0);
    twice.AddList();
    expectFailed(twice.Build(), 10, "missing system", "system block 2");

    // Record counts and sizes that put a table beyond the buffer.
    CodeplugBuilder beyond = SmallCodeplug(9, 1);
    std::vector<uint16_t> words = beyond.Build();
    words[static_cast<size_t>(beyond.StartOf(2) + 129 + 3)] = 0xFFFF;
    words[static_cast<size_t>(beyond.StartOf(2) + 129 + 4)] = 0xFFFF;
    expectFailed(words, 10, "tables beyond the buffer", "");
    expectFailed(words, 8, "tables beyond the buffer, down", "");

    // Growth that would push the image out of the 65536-byte buffer.
    expectFailed(HugeCodeplug().Build(), 10, "too large", "65536");

    // A block that would outgrow its 14-bit length field.
    CodeplugBuilder longBlock = SmallCodeplug(9, 1);
    longBlock.At(2).SetTable(7, 200, 36).SetTable(4, 250, 32);
    expectFailed(longBlock.Build(), 10, "block too long", "length");
}

// A 5.8 codeplug whose conversion to 5.9 grows the image first (the header
// gains records and the favourites table) and then shrinks it by more (the
// kind-5 system's membership list becomes one bitmap record). `filler` data
// words in further list blocks (at most 16000 a block) lengthen the chain.
CodeplugBuilder GrowsThenShrinks(int filler)
{
    CodeplugBuilder b(5, 8);
    b.Header().SetTable(0, 2, 3);
    b.AddKind(5);
    b.AddSystem(1, 5).SetTable(1, 120, 2);
    b.AddList();
    for (int left = filler; left > 0; left -= 16000) {
        const int words = std::min(left, 16000);
        Block& fill = b.AddList();
        fill.SetTable(5, words / 255, words >= 255 ? 255 : 0);
        fill.SetTable(6, words % 255, words % 255 ? 1 : 0);
    }
    return b;
}

// Full-length files: the words past the chain end that fall off the end of
// the buffer while a step grows the image are no loss; codeplug data that
// would be pushed out still stops the conversion.
TEST(CodeplugConvertImage, FullLengthImagesConvertUnlessCodeplugDataWouldBeLost)
{
    const CodeplugBuilder b = GrowsThenShrinks(8000);
    Bytes wire = b.BuildWire();
    const Converted shortFile = ConvertWire(wire, static_cast<int>(wire.size()), 9);
    ASSERT_EQ(shortFile.outcome, Outcome::Converted) << shortFile.error;
    const int change = (shortFile.newLength - static_cast<int>(wire.size())) / 2;
    ASSERT_LT(change, 0);
    const int chainBytes = 2 * (FromWire(shortFile.buffer)[4] - 128);

    // The same codeplug as a 65536-byte file, the rest padded as a radio's
    // download pads it.
    Bytes full = wire;
    full.resize(static_cast<size_t>(kCodeplugBytes), 0x20);
    const Converted fullFile = ConvertWire(full, kCodeplugBytes, 9);
    ASSERT_EQ(fullFile.outcome, Outcome::Converted) << fullFile.error;
    EXPECT_EQ(fullFile.newLength, kCodeplugBytes + 2 * change);
    EXPECT_TRUE(std::equal(
        fullFile.buffer.begin(), fullFile.buffer.begin() + chainBytes, shortFile.buffer.begin()))
        << "the same codeplug comes out";
    EXPECT_EQ(fullFile.buffer[static_cast<size_t>(chainBytes)], 0x7E);
    EXPECT_EQ(fullFile.buffer[static_cast<size_t>(chainBytes) + 256], 0x20)
        << "what follows the chain moved down with it";

    // A chain that reaches so close to the end of the buffer that the growth
    // before the shrink would push its last words out.
    // Three filler blocks of 38 words' directory each.
    int filler = kWords - 20 - (GrowsThenShrinks(0).Build()[4] - 128) - 3 * 38;
    for (int round = 0; round < 3; ++round)
        filler += (kWords - 20) - (GrowsThenShrinks(filler).Build()[4] - 128);
    const CodeplugBuilder nearlyFull = GrowsThenShrinks(filler);
    Bytes nearly = nearlyFull.BuildWire();
    ASSERT_EQ(nearlyFull.Build()[4] - 128, kWords - 20);
    nearly.resize(static_cast<size_t>(kCodeplugBytes), 0x20);
    const Converted refused = ConvertWire(nearly, kCodeplugBytes, 9);
    EXPECT_EQ(refused.outcome, Outcome::Failed);
    EXPECT_NE(refused.error.find("65536"), std::string::npos) << refused.error;
    EXPECT_EQ(refused.buffer, nearly);
}
