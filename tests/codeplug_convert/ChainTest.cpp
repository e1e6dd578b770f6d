#include "codeplug/CodeplugConvert.h"
#include "codeplug/QUVParmsFormat5859.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

using namespace codeplugtest;

namespace {

void Switch(std::vector<uint16_t>& words, DirectoryLayout layout)
{
    CodeplugImage image(words.data());
    SwitchDirectoryLayout(image, layout);
}

template <typename Converter> int32_t RunOne(std::vector<uint16_t>& words, bool up)
{
    CodeplugImage image(words.data());
    Converter step;
    EXPECT_TRUE(up ? step.ConvertUp(image) : step.ConvertDown(image));
    return step.SizeChange();
}

std::vector<uint8_t> ToWire(const std::vector<uint16_t>& words, int wordCount)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(kCodeplugBytes), 0);
    for (int i = 0; i < wordCount; ++i) {
        bytes[static_cast<size_t>(2 * i)]
            = static_cast<uint8_t>(words[static_cast<size_t>(i)] >> 8);
        bytes[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(words[static_cast<size_t>(i)]);
    }
    return bytes;
}

std::vector<uint16_t> FromWire(const std::vector<uint8_t>& bytes)
{
    std::vector<uint16_t> words(kWords);
    for (int i = 0; i < kWords; ++i)
        words[static_cast<size_t>(i)] = static_cast<uint16_t>(
            (bytes[static_cast<size_t>(2 * i)] << 8) | bytes[static_cast<size_t>(2 * i + 1)]);
    return words;
}

struct Converted {
    CodeplugConvertOutcome outcome;
    int newLength;
    std::string error;
    std::vector<uint8_t> buffer;
};

Converted ConvertWire(std::vector<uint8_t> buffer, int byteCount, int minor)
{
    Converted result;
    buffer.resize(static_cast<size_t>(kCodeplugBytes), 0);
    result.outcome = ConvertCodeplugImage(
        buffer.data(), byteCount, 5, static_cast<uint8_t>(minor), result.newLength, result.error);
    result.buffer = std::move(buffer);
    return result;
}

} // namespace

TEST(CodeplugChain, UpRunsTheLayoutSwitchThen5859Then59510AndDownTheReverse)
{
    const std::vector<uint16_t> original = TypicalCodeplug(8, 2, 3, 2).Build();

    std::vector<uint16_t> chained = original;
    int32_t change = 0;
    {
        CodeplugImage image(chained.data());
        ASSERT_TRUE(ConvertCodeplugUp(image, 3, 5, change));
    }
    std::vector<uint16_t> stepwise = original;
    Switch(stepwise, DirectoryLayout::Split11);
    const int32_t first = RunOne<QUVParmsFormat5859>(stepwise, true);
    const int32_t second = RunOne<QUVParmsFormat59510>(stepwise, true);
    EXPECT_EQ(chained, stepwise);
    EXPECT_EQ(change, first + second);
    EXPECT_EQ(change, chained[4] - original[4]);
    EXPECT_EQ(chained[3], 0x050A);
    EXPECT_NO_THROW(ParseChain(chained, true));

    std::vector<uint16_t> back = chained;
    {
        CodeplugImage image(back.data());
        ASSERT_TRUE(ConvertCodeplugDown(image, 3, 5, change));
    }
    std::vector<uint16_t> backStepwise = stepwise;
    const int32_t down1 = RunOne<QUVParmsFormat59510>(backStepwise, false);
    const int32_t down2 = RunOne<QUVParmsFormat5859>(backStepwise, false);
    Switch(backStepwise, DirectoryLayout::Split12);
    EXPECT_EQ(back, backStepwise);
    EXPECT_EQ(change, down1 + down2);
    EXPECT_EQ(back[3], 0x0508);
    EXPECT_EQ(back[2] >> 12, 15) << "the header's directory is back in the old split";

    // Unknown indexes are refused.
    std::vector<uint16_t> words = original;
    CodeplugImage image(words.data());
    EXPECT_FALSE(ConvertCodeplugUp(image, 3, 6, change));
    EXPECT_EQ(words, original);
}

TEST(CodeplugChain, DirectConversionBetween58And59KeepsEveryTableWhereItBelongs)
{
    const std::vector<uint16_t> original = TypicalCodeplug(8, 3, 5, 3).Build();
    const std::vector<ParsedBlock> before = ParseChain(original, false);

    std::vector<uint16_t> words = original;
    int32_t up = 0;
    {
        CodeplugImage image(words.data());
        ASSERT_TRUE(ConvertCodeplugUp(image, 3, 4, up));
    }
    // A 5.9 image keeps its directory words in the old split, with every
    // table where it was (only the tables that 5.9 adds change).
    EXPECT_EQ(words[3], 0x0509);
    const std::vector<ParsedBlock> middle = ParseChain(words, false);
    ASSERT_EQ(middle.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        ASSERT_EQ(middle[i].tables.size(), 15u);
        EXPECT_EQ(middle[i].length, before[i].length);
        for (size_t k = 0; k < 15; ++k)
            EXPECT_EQ(middle[i].tables[k].data, before[i].tables[k].data) << k;
    }
    EXPECT_EQ(up, 0);

    int32_t down = 0;
    {
        CodeplugImage image(words.data());
        ASSERT_TRUE(ConvertCodeplugDown(image, 3, 4, down));
    }
    EXPECT_EQ(down, 0);
    const std::vector<ParsedBlock> after = ParseChain(words, false);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(after[i].start, before[i].start);
        EXPECT_EQ(after[i].length, before[i].length);
        EXPECT_EQ(after[i].directoryOffset, before[i].directoryOffset);
        EXPECT_EQ(after[i].fixed, before[i].fixed);
        for (size_t k = 0; k < 15; ++k) {
            EXPECT_EQ(after[i].tables[k].data, before[i].tables[k].data) << k;
            EXPECT_EQ(after[i].tables[k].count, before[i].tables[k].count) << k;
            // The empty tables that 5.9 introduces keep the record size
            // that the step up gave them.
            const bool new59 = before[i].type == kSystem
                && ((before[i].kind == 1 && k == 9)
                    || ((before[i].kind == 3 || before[i].kind == 4) && k == 13));
            const int expectedSize = new59 ? 2 : before[i].tables[k].size;
            EXPECT_EQ(after[i].tables[k].size, expectedSize) << k;
        }
    }
    EXPECT_EQ(words[4], original[4]);
    EXPECT_EQ(std::vector<uint16_t>(words.begin() + words[4] - 128, words.begin() + words[4]),
        std::vector<uint16_t>(
            original.begin() + original[4] - 128, original.begin() + original[4]));

    // Up from 5.8 with 2-word records in the kind-0 systems' table 2: the
    // records grow in place and every other table stays as it was.
    CodeplugBuilder grow = TypicalCodeplug(8, 2, 2, 3);
    for (size_t i = 5; i < 15; ++i) {
        if (grow.At(i).kind == 0)
            grow.At(i).SetTable(2, 3, 2);
    }
    std::vector<uint16_t> grown = grow.Build();
    const std::vector<ParsedBlock> growBefore = ParseChain(grown, false);
    {
        CodeplugImage image(grown.data());
        ASSERT_TRUE(ConvertCodeplugUp(image, 3, 4, up));
    }
    EXPECT_EQ(up, 2 * 3 * 2);
    const std::vector<ParsedBlock> growAfter = ParseChain(grown, false);
    ASSERT_EQ(growAfter.size(), growBefore.size());
    for (size_t i = 0; i < growBefore.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        for (size_t k = 0; k < 15; ++k) {
            if (growBefore[i].type == kSystem && growBefore[i].kind == 0 && k == 2) {
                const std::vector<uint16_t>& was = growBefore[i].tables[k].data;
                EXPECT_EQ(growAfter[i].tables[k].data,
                    (std::vector<uint16_t> { was[0], was[1], 549, 659, was[2], was[3], 549, 659,
                        was[4], was[5], 549, 659 }));
            } else {
                EXPECT_EQ(growAfter[i].tables[k].data, growBefore[i].tables[k].data) << k;
            }
        }
    }

    // A 5.9 image with content in the tables 5.9 introduced loses exactly
    // those on the way down.
    CodeplugBuilder b(5, 9);
    b.AddKind(1);
    b.AddSystem(1, 1).SetTable(8, 2, 9).SetTable(9, 3, 2).SetTable(10, 2, 3).SetTable(11, 2, 2);
    b.AddList().SetTable(0, 1, 17);
    std::vector<uint16_t> nine = b.Build();
    const std::vector<ParsedBlock> nineBefore = ParseChain(nine, false);
    {
        CodeplugImage image(nine.data());
        ASSERT_TRUE(ConvertCodeplugDown(image, 3, 4, down));
    }
    const std::vector<ParsedBlock> nineAfter = ParseChain(nine, false);
    EXPECT_EQ(down, -12);
    EXPECT_EQ(nineAfter[2].tables[9], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(nineAfter[2].tables[10], (ParsedTable { 0, 3, {} }));
    EXPECT_EQ(nineAfter[2].tables[8], nineBefore[2].tables[8]);
    EXPECT_EQ(nineAfter[2].tables[11], nineBefore[2].tables[11]);
    EXPECT_EQ(nineAfter[3].tables, nineBefore[3].tables);
}

TEST(CodeplugChain, RoundTrip59To510AndBack)
{
    CodeplugBuilder b = TypicalCodeplug(9, 3, 4, 3);
    for (size_t i = 5; i < 20; ++i) {
        Block& s = b.At(i);
        if (s.kind == 1)
            s.SetTable(10, 0, 3);
        if (s.kind == 3 || s.kind == 4)
            s.SetTable(14, 0, 3);
        if (s.kind == 5)
            s.SetTable(3, 0, 37);
    }
    const std::vector<uint16_t> original = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(original, false);
    std::vector<uint16_t> words = original;
    int32_t up = 0;
    int32_t down = 0;
    {
        CodeplugImage image(words.data());
        ASSERT_TRUE(ConvertCodeplugUp(image, 4, 5, up));
        EXPECT_NO_THROW(ParseChain(words, true));
        ASSERT_TRUE(ConvertCodeplugDown(image, 4, 5, down));
    }
    EXPECT_EQ(up, -down);
    const std::vector<ParsedBlock> after = ParseChain(words, false);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(after[i].start, before[i].start);
        EXPECT_EQ(after[i].length, before[i].length);
        EXPECT_EQ(after[i].directoryOffset, before[i].directoryOffset);
        ASSERT_EQ(after[i].tables.size(), 15u);
        for (size_t k = 0; k < 15; ++k) {
            EXPECT_EQ(after[i].tables[k].count, before[i].tables[k].count) << k;
            EXPECT_EQ(after[i].tables[k].size, before[i].tables[k].size) << k;
            // Tables whose fields moved into new words lose those values.
            const int kind = before[i].kind;
            const bool moved = (before[i].type == kList && k <= 1)
                || (before[i].type == kSystem && (kind == 1 || kind == 3) && (k == 5 || k == 6))
                || (before[i].type == kSystem && kind == 4 && k == 6);
            if (!moved) {
                EXPECT_EQ(after[i].tables[k].data, before[i].tables[k].data) << k;
            }
        }
    }
    EXPECT_EQ(words[4], original[4]);
}

TEST(CodeplugConvertImage, OutcomesAndNewLength)
{
    const CodeplugBuilder b = TypicalCodeplug(8, 2, 2, 2);
    const std::vector<uint8_t> wire = b.BuildWire();
    const int byteCount = static_cast<int>(wire.size());

    // 5.8 to 5.10: the chain, the 5.10 defaults, and the new length.
    Converted c = ConvertWire(wire, byteCount, 10);
    ASSERT_EQ(c.outcome, CodeplugConvertOutcome::Converted) << c.error;
    std::vector<uint16_t> expected = b.Build();
    int32_t change = 0;
    {
        CodeplugImage image(expected.data());
        ASSERT_TRUE(ConvertCodeplugUp(image, 3, 5, change));
        ASSERT_TRUE(ApplyFormat510Defaults(image));
    }
    EXPECT_EQ(c.newLength, byteCount + 2 * change);
    EXPECT_EQ(c.newLength, 2 * expected[4]);
    EXPECT_EQ(FromWire(c.buffer), expected);

    // Down from 5.10 to 5.9: no 5.10 defaults.
    Converted d = ConvertWire(c.buffer, c.newLength, 9);
    ASSERT_EQ(d.outcome, CodeplugConvertOutcome::Converted) << d.error;
    std::vector<uint16_t> downExpected = expected;
    {
        CodeplugImage image(downExpected.data());
        ASSERT_TRUE(ConvertCodeplugDown(image, 4, 5, change));
    }
    EXPECT_EQ(d.newLength, c.newLength + 2 * change);
    EXPECT_EQ(FromWire(d.buffer), downExpected);

    // The same format: nothing changes.
    Converted same = ConvertWire(wire, byteCount, 8);
    EXPECT_EQ(same.outcome, CodeplugConvertOutcome::SameFormat);
    EXPECT_EQ(same.newLength, byteCount);
    EXPECT_TRUE(std::equal(wire.begin(), wire.end(), same.buffer.begin()));

    // Formats older than 5.8, or unknown, on either side.
    for (int minor : { 7, 11, 4 }) {
        Converted u = ConvertWire(wire, byteCount, minor);
        EXPECT_EQ(u.outcome, CodeplugConvertOutcome::UnsupportedFormat) << minor;
    }
    CodeplugBuilder old(5, 7);
    old.AddKind(0);
    old.AddSystem(1, 0);
    old.AddList();
    const std::vector<uint8_t> oldWire = old.BuildWire();
    Converted u = ConvertWire(oldWire, static_cast<int>(oldWire.size()), 9);
    EXPECT_EQ(u.outcome, CodeplugConvertOutcome::UnsupportedFormat);
    EXPECT_NE(u.error.find("5.7"), std::string::npos) << u.error;

    // An odd byte count: the last byte is the high byte of the last word.
    const uint8_t odd[] = { 0x12, 0x34, 0x56 };
    std::vector<uint16_t> oddWords(kWords, 0xFFFF);
    DecodeWireWords(odd, 3, oddWords.data());
    EXPECT_EQ(oddWords[0], 0x1234);
    EXPECT_EQ(oddWords[1], 0x5600);
    EXPECT_EQ(oddWords[2], 0);
    uint8_t back[4] = { 0, 0, 0, 0xEE };
    EncodeWireWords(oddWords.data(), 3, back);
    EXPECT_EQ(
        std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t> { 0x12, 0x34, 0x56, 0xEE }));

    // Invalid images and lengths.
    std::vector<uint8_t> broken = wire;
    broken[0] = 0;
    EXPECT_EQ(ConvertWire(broken, byteCount, 10).outcome, CodeplugConvertOutcome::InvalidImage);
    EXPECT_EQ(ConvertWire(wire, 0, 10).outcome, CodeplugConvertOutcome::InvalidImage);
    EXPECT_EQ(
        ConvertWire(wire, kCodeplugBytes + 1, 10).outcome, CodeplugConvertOutcome::InvalidImage);
    // Bytes after the count are not part of the codeplug: a count that cuts
    // the chain short makes it invalid.
    EXPECT_EQ(ConvertWire(wire, 200, 10).outcome, CodeplugConvertOutcome::InvalidImage);
}

TEST(CodeplugConvertImage, HostileImagesStopTheConversionAndLeaveTheBufferAlone)
{
    auto expectFailed = [](const std::vector<uint16_t>& words, int minor,
                            const std::string& what) -> std::string {
        SCOPED_TRACE(what);
        CodeplugImage check(const_cast<uint16_t*>(words.data()));
        std::string reason;
        EXPECT_TRUE(CheckCodeplug(check, &reason)) << reason;
        const std::vector<uint8_t> wire = ToWire(words, words[4]);
        const Converted c = ConvertWire(wire, 2 * words[4], minor);
        EXPECT_EQ(c.outcome, CodeplugConvertOutcome::Failed);
        EXPECT_EQ(c.buffer, wire);
        EXPECT_FALSE(c.error.empty());
        return c.error;
    };

    // Two systems numbered 1: the header announces two, system 2 is missing.
    {
        CodeplugBuilder b(5, 9);
        b.AddKind(0);
        b.AddSystem(1, 0);
        b.AddSystem(1, 0);
        b.AddList();
        const std::string error = expectFailed(b.Build(), 10, "missing system");
        EXPECT_NE(error.find("system block 2"), std::string::npos) << error;
    }
    // Record counts and sizes that put a table beyond the buffer.
    {
        CodeplugBuilder b(5, 9);
        b.AddKind(1);
        b.AddSystem(1, 1);
        b.AddList();
        std::vector<uint16_t> words = b.Build();
        words[static_cast<size_t>(b.StartOf(2) + 129 + 3)] = 0xFFFF;
        words[static_cast<size_t>(b.StartOf(2) + 129 + 4)] = 0xFFFF;
        expectFailed(words, 10, "tables beyond the buffer");
        expectFailed(words, 8, "tables beyond the buffer, down");
    }
    // Growth that would push the image out of the 65536-byte buffer.
    {
        CodeplugBuilder b(5, 9);
        b.Header().SetTable(1, 16, 255);
        b.AddKind(0);
        b.AddSystem(1, 0);
        b.AddList().SetTable(5, 255, 60);
        b.AddList().SetTable(5, 200, 40);
        const std::string error = expectFailed(b.Build(), 10, "too large");
        EXPECT_NE(error.find("65536"), std::string::npos) << error;
    }
    // A block that would outgrow its 14-bit length field.
    {
        CodeplugBuilder b(5, 9);
        b.AddKind(1);
        b.AddSystem(1, 1).SetTable(7, 200, 36).SetTable(4, 250, 32);
        b.AddList();
        const std::string error = expectFailed(b.Build(), 10, "block too long");
        EXPECT_NE(error.find("length"), std::string::npos) << error;
    }
}
