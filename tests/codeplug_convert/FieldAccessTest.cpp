#include "codeplug/CodeplugImage.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace codeplugtest;
using Words = std::vector<uint16_t>;

namespace {

// A 5.10 image: header, kind blocks 0 and 1, systems 1 (kind 0), 2 (kind 1)
// and 3 (kind 3), two list blocks.
CodeplugBuilder SmallImage()
{
    CodeplugBuilder b(5, 10);
    b.Header().SetTable(0, 2, 3).SetTable(2, 1, 5);
    b.AddKind(0);
    b.AddKind(1);
    b.AddSystem(1, 0).SetTable(1, 3, 2);
    b.AddSystem(2, 1).SetTable(0, 1, 4);
    b.AddSystem(3, 3);
    b.AddList().SetTable(0, 2, 17);
    b.AddList();
    return b;
}

} // namespace

TEST(CodeplugFieldAccess, FieldsAndNamesIncludingSpillAndBounds)
{
    Words words(kWords, 0xEEEE);
    CodeplugImage image(words.data());
    // A value wider than its field spills into the bits above; bits that
    // would leave the word are dropped, the rest kept.
    words[9] = 0x0000;
    EXPECT_EQ(SetField(image, 9, 0x00FF, 0, 0x1FF), 0x1FFu);
    EXPECT_EQ(words[9], 0x01FF);
    words[11] = 0x1234;
    SetField(image, 11, 0xF000, 12, 0x1F);
    EXPECT_EQ(words[11], 0xF234);

    // Names: ten characters, low byte first, blank-padded or cut.
    WriteName(image, 200, "");
    EXPECT_EQ(Words(words.begin() + 200, words.begin() + 206),
        (Words { 0x2020, 0x2020, 0x2020, 0x2020, 0x2020, 0xEEEE }));
    WriteName(image, 300, "ABCDEFGHIJKLMN");
    EXPECT_EQ(words[304], 'I' | ('J' << 8));
    EXPECT_EQ(words[305], 0xEEEE);
    EXPECT_FALSE(image.Faulted());
    WriteName(image, kCodeplugWords - 2, "XY");
    EXPECT_TRUE(image.Faulted());

    // Outside the buffer: reads 0, writes nothing, faults.
    CodeplugImage outside(words.data());
    EXPECT_EQ(GetField(outside, kCodeplugWords, 0xFFFF, 0), 0);
    EXPECT_TRUE(outside.Faulted());
    SetField(outside, 12, 0xFFFF, 0, 5);
    EXPECT_EQ(words[12], 0xEEEE) << "a faulted image is not written";
}

// The converters find their way with these accessors; the tests here cover
// what the converters do not rely on: broken chains, hostile lengths and
// descriptors, values that leave a field alone.
TEST(CodeplugFieldAccess, FindersStopAtBrokenChains)
{
    CodeplugBuilder b = SmallImage();
    Words words = b.Build();
    CodeplugImage image(words.data());
    EXPECT_EQ(FindKindBlock(image, 4), 0);
    EXPECT_EQ(FindSystemBlock(image, 4), 0);
    EXPECT_EQ(FindListBlock(image, 2), b.StartOf(7));
    EXPECT_EQ(FindListBlock(image, 3), 0);
    EXPECT_EQ(FindListBlock(image, 0), 0);

    // A broken marker or a block of length 0 ends the search, also for
    // blocks after it; so does word 4's value.
    Words broken = words;
    broken[b.StartOf(4)] = 0x5F5E;
    CodeplugImage brokenImage(broken.data());
    EXPECT_EQ(FindSystemBlock(brokenImage, 1), b.StartOf(3));
    EXPECT_EQ(FindSystemBlock(brokenImage, 3), 0);
    Words zero = words;
    zero[b.StartOf(2) + 1] = 0x4000;
    CodeplugImage zeroImage(zero.data());
    EXPECT_EQ(FindKindBlock(zeroImage, 0), b.StartOf(1));
    EXPECT_EQ(FindSystemBlock(zeroImage, 1), 0);
    Words shortChain = words;
    shortChain[4] = static_cast<uint16_t>(b.StartOf(6));
    CodeplugImage shortImage(shortChain.data());
    EXPECT_EQ(FindSystemBlock(shortImage, 3), b.StartOf(5));
    EXPECT_EQ(FindListBlock(shortImage, 1), 0);

    // Lengths that lead out of the buffer do not crash the walk.
    Words runaway(kWords, 0);
    for (const auto& [at, value] : { std::pair { 0, 0x5F5F }, { 1, 0x3FFF }, { 4, 0xFFFF },
             { 0x3FFF, 0x5F5F }, { 0x4000, 0x3FFF }, { 0x7FFE, 0x5F5F }, { 0x7FFF, 0xBFFF } })
        runaway[static_cast<size_t>(at)] = static_cast<uint16_t>(value);
    CodeplugImage runawayImage(runaway.data());
    EXPECT_EQ(FindListBlock(runawayImage, 1), 0);
    EXPECT_FALSE(runawayImage.Faulted());
    for (int n = 0; n < 17; ++n)
        EXPECT_EQ(FindKindBlock(runawayImage, n), 0);
}

// The one walk over the chain that finders, validation, the layout switch,
// the 5.10 defaults and the tool's listing use.
TEST(CodeplugFieldAccess, BlockWalkStepsByTheCurrentLengthAndSaysWhyItStopped)
{
    CodeplugBuilder b = SmallImage();
    Words words = b.Build();
    CodeplugImage image(words.data());
    std::vector<std::pair<int, ::BlockType>> seen;
    BlockWalk walk(image, ChainBound::ChainEnd);
    while (walk.Next()) {
        seen.emplace_back(walk.Start(), walk.Type());
        EXPECT_EQ(walk.Length(), words[static_cast<size_t>(walk.Start() + 1)] & 0x3FFF);
    }
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[3], std::make_pair(b.StartOf(3), ::BlockType::System));
    EXPECT_EQ(seen[7], std::make_pair(b.StartOf(7), ::BlockType::List));
    EXPECT_EQ(walk.Stopped(), WalkStop::Bound);
    EXPECT_EQ(walk.Position(), words[4] - 128);
    EXPECT_FALSE(walk.Next()) << "a stopped walk stays stopped";

    // Up to word 4 itself the walk goes on past the chain end and stops at
    // the first word without a marker.
    BlockWalk announced(image, ChainBound::Announced);
    int blocks = 0;
    while (announced.Next())
        ++blocks;
    EXPECT_EQ(blocks, 8);
    EXPECT_EQ(announced.Stopped(), WalkStop::NoMarker);

    // A block shortened while the walk stands on it is left by its new
    // length: the walk then finds no marker where the next block was.
    Words shortened = words;
    CodeplugImage shortenedImage(shortened.data());
    BlockWalk changing(shortenedImage, ChainBound::ChainEnd);
    ASSERT_TRUE(changing.Next() && changing.Next());
    shortened[static_cast<size_t>(changing.Start() + 1)] -= 1;
    EXPECT_FALSE(changing.Next());
    EXPECT_EQ(changing.Stopped(), WalkStop::NoMarker);
    EXPECT_EQ(changing.Position(), b.StartOf(2) - 1);

    Words zero = words;
    zero[static_cast<size_t>(b.StartOf(5) + 1)] = 0x8000;
    CodeplugImage zeroImage(zero.data());
    BlockWalk zeroWalk(zeroImage, ChainBound::ChainEnd);
    while (zeroWalk.Next()) { }
    EXPECT_EQ(zeroWalk.Stopped(), WalkStop::ZeroLength);
    EXPECT_EQ(zeroWalk.Position(), b.StartOf(5));

    CodeplugImage absent(nullptr);
    BlockWalk none(absent, ChainBound::ChainEnd);
    EXPECT_FALSE(none.Next());
    EXPECT_EQ(none.Stopped(), WalkStop::PastBuffer);
}

TEST(CodeplugFieldAccess, BlockAccessorsAndTableStartBounds)
{
    CodeplugBuilder b = SmallImage();
    Words words = b.Build();
    CodeplugImage image(words.data());

    // Negative values leave a field as it is; other values change only it.
    const BlockRef system1 = BlockRef::System(1);
    const uint16_t directory = words[b.StartOf(3) + 2];
    SetTableCount(image, system1, -1);
    SetDirectoryOffset(image, system1, -5);
    SetRecordCount(image, system1, 1, -1);
    SetRecordSize(image, system1, 1, -1);
    SetBlockLength(image, system1, -1);
    EXPECT_EQ(words[b.StartOf(3) + 2], directory);
    EXPECT_EQ(GetRecordCount(image, system1, 1), 3);
    EXPECT_EQ(GetBlockLength(image, system1), 96 + 6);
    SetRecordCount(image, system1, 1, 9);
    EXPECT_EQ(GetRecordCount(image, system1, 1), 9);
    EXPECT_EQ(GetRecordSize(image, system1, 1), 2);
    SetTableCount(image, system1, 21);
    EXPECT_EQ(GetTableCount(image, system1), 21);
    EXPECT_EQ(GetDirectoryOffset(image, system1), 81);
    EXPECT_FALSE(image.Faulted());

    // A block that is not there faults instead of standing in for the header.
    EXPECT_EQ(GetBlockLength(image, BlockRef::System(9)), 0);
    EXPECT_TRUE(image.Faulted());
    EXPECT_NE(image.FaultReason().find("system block 9"), std::string::npos);

    // Descriptors claiming 255 records of 255 words before table 2.
    words = b.Build();
    words[b.StartOf(3) + 81 + 0] = 0xFFFF;
    words[b.StartOf(3) + 81 + 1] = 0xFFFF;
    CodeplugImage wide(words.data());
    EXPECT_EQ(TableStart(wide, b.StartOf(3), 2).start, -1);
    EXPECT_TRUE(wide.Faulted());
    // A block near the end of the buffer whose directory offset points
    // beyond it.
    Words nearEnd(kWords, 0);
    nearEnd[kCodeplugWords - 10 + 2] = 0x07FF;
    CodeplugImage far(nearEnd.data());
    EXPECT_EQ(TableStart(far, kCodeplugWords - 10, 3).start, -1);
    EXPECT_TRUE(far.Faulted());
}

TEST(CodeplugFieldAccess, ReplaceTableMovesTheRestAndAdjustsLengths)
{
    CodeplugBuilder b = SmallImage();
    Words words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, true);
    CodeplugImage image(words.data());
    const int chainEnd = words[4];

    const uint16_t records[] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };
    // System 1 table 1: 3 x 2 words become 2 x 5.
    EXPECT_EQ(ReplaceTable(image, 1, 1, records, 2, 5), chainEnd + 4);
    std::vector<ParsedBlock> after = ParseChain(words, true);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[3].tables[1], (ParsedTable { 2, 5, Words(records, records + 10) }));
    EXPECT_EQ(after[3].length, before[3].length + 4);
    for (size_t i = 4; i < after.size(); ++i) {
        EXPECT_EQ(after[i].start, before[i].start + 4);
        EXPECT_EQ(after[i].tables, before[i].tables);
    }
    EXPECT_EQ(words[chainEnd + 4 - 128], 0x7E00) << "the trailer moved along";

    // Removing the content: the rest moves back down.
    EXPECT_EQ(ReplaceTable(image, 1, 1, nullptr, 0, 2), chainEnd - 6);
    after = ParseChain(words, true);
    EXPECT_EQ(after[3].tables[1], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(after[3].length, before[3].length - 6);
    EXPECT_EQ(after[4].tables, before[4].tables);
    EXPECT_EQ(words[chainEnd - 6 - 128], 0x7E00);
    EXPECT_EQ(words[chainEnd - 6], 0) << "nothing stale is left behind the image";
    EXPECT_FALSE(image.Faulted());

    ReplaceTable(image, 7, 0, records, 1, 1);
    EXPECT_TRUE(image.Faulted()) << "no such system";
}

// Moving and zeroing inside the buffer are pinned by the converters' round
// trips; what stays here are the bounds.
TEST(CodeplugFieldAccess, MoveAndZeroWordsStayInTheBuffer)
{
    // Growth that would push data out of the buffer is refused unchanged.
    Words full(kWords, 0);
    full[kCodeplugWords - 3] = 7;
    CodeplugImage fullImage(full.data());
    MoveWords(fullImage, 5, 0);
    EXPECT_TRUE(fullImage.Faulted());
    EXPECT_EQ(full[kCodeplugWords - 3], 7);
    CodeplugImage negative(full.data());
    MoveWords(negative, -1, 3);
    EXPECT_TRUE(negative.Faulted());
    CodeplugImage pastEnd(full.data());
    ZeroWords(pastEnd, kCodeplugWords - 2, 3);
    EXPECT_TRUE(pastEnd.Faulted());
}

TEST(CodeplugFieldAccess, FormatIndexes)
{
    Words words(kWords, 0);
    CodeplugImage image(words.data());
    const std::pair<uint16_t, int> cases[] = { { 0x0505, 0 }, { 0x0508, 3 }, { 0x0509, 4 },
        { 0x050A, 5 }, { 0x0504, 255 }, { 0x050B, 255 }, { 0x0608, 255 }, { 0x0000, 255 } };
    for (const auto& [version, index] : cases) {
        words[3] = version;
        EXPECT_EQ(CodeplugFormatIndex(image), index) << std::hex << version;
        EXPECT_EQ(FormatIndexOfVersion(version >> 8, version & 0xFF), index);
    }
    for (const auto& [index, major, minor] :
        { std::tuple { 5, 5, 10 }, { 0, 5, 5 }, { 6, 0, 0 }, { 255, 0, 0 } }) {
        const FormatVersion v = VersionOfFormatIndex(index);
        EXPECT_EQ((std::pair<int, int>(v.major, v.minor)), std::pair(major, minor)) << index;
    }
    CodeplugImage absent(nullptr);
    EXPECT_EQ(CodeplugFormatIndex(absent), 255);
}

TEST(CodeplugValidation, AcceptsGoodChainsAndRejectsBrokenOnes)
{
    CodeplugBuilder b = SmallImage();
    const Words good = b.Build();
    auto valid = [](Words words) {
        CodeplugImage image(words.data());
        std::string reason;
        const bool ok = CheckCodeplug(image, &reason);
        EXPECT_EQ(ok, IsCodeplugValid(image));
        EXPECT_EQ(ok, reason.empty()) << reason;
        return ok;
    };
    EXPECT_TRUE(valid(good));

    const auto at = [&](size_t block, int word) { return b.StartOf(block) + word; };
    // Word changes and whether the chain stays valid.
    const struct {
        const char* what;
        std::vector<std::pair<int, uint16_t>> changes;
        bool valid;
    } cases[] = {
        { "no marker", { { 0, 0 } }, false },
        { "header of another type", { { 1, static_cast<uint16_t>(good[1] | 0x4000) } }, false },
        { "chain end 128", { { 4, 128 } }, false },
        { "chain stops short of word 4 - 128", { { 4, static_cast<uint16_t>(good[4] + 1) } },
            false },
        { "the last block overruns it", { { 4, static_cast<uint16_t>(good[4] - 1) } }, false },
        { "chain end beyond the buffer", { { 4, 0xFFFF } }, false },
        { "no list blocks announced", { { 14, 0x0003 } }, false },
        { "55 list blocks", { { 14, 0x3703 } }, false },
        { "17 systems", { { 14, 0x0211 } }, false },
        { "counts match", { { 14, 0x0203 } }, true },
        { "one system more than the chain holds", { { 14, 0x0204 } }, false },
        { "one list too few", { { 14, 0x0103 } }, false },
        { "system kind 7", { { at(5, 3), 0x7003 } }, false },
        { "zero length", { { at(4, 1), static_cast<uint16_t>(good[at(4, 1)] & 0xC000) } }, false },
        { "broken marker", { { at(6, 0), 0x5F5E } }, false },
        // Kinds 1 and 3 count as one: systems of kinds 0, 1 and 3 need two
        // kind blocks; a third kind (4) without its kind block is one too few.
        { "kind 4 without kind block", { { at(5, 3), 0x4003 } }, false },
    };
    for (const auto& c : cases) {
        Words w = good;
        for (const auto& [word, value] : c.changes)
            w[static_cast<size_t>(word)] = value;
        EXPECT_EQ(valid(w), c.valid) << c.what;
    }
    CodeplugBuilder extra = SmallImage();
    extra.AddKind(4);
    EXPECT_FALSE(valid(extra.Build())) << "a kind block without systems of its kind";
    CodeplugImage absent(nullptr);
    EXPECT_FALSE(IsCodeplugValid(absent));
}

TEST(CodeplugDirectoryLayout, SwitchesEveryBlockBothWays)
{
    CodeplugBuilder b = SmallCodeplug(9);
    Words words = b.Build();
    const Words original = words;
    // Old split: 15 tables in bits 12-15.
    EXPECT_EQ(words[2], 0xF000 | 49);
    CodeplugImage image(words.data());
    SwitchDirectoryLayout(image, DirectoryLayout::Split11);
    for (size_t i = 0; i < b.BlockCount(); ++i) {
        const uint16_t d = words[static_cast<size_t>(b.StartOf(i) + 2)];
        EXPECT_EQ(d >> 11, 15);
        EXPECT_EQ(d & 0x07FF, original[static_cast<size_t>(b.StartOf(i) + 2)] & 0x0FFF);
    }
    EXPECT_EQ(GetTableCount(image, BlockRef::System(1)), 15);
    SwitchDirectoryLayout(image, DirectoryLayout::Split12);
    EXPECT_EQ(words, original);

    // A 5-bit count loses its top bit in the old split; the offset keeps its
    // bits 0-10.
    words[2] = static_cast<uint16_t>((17 << 11) | 0x0155);
    SwitchDirectoryLayout(image, DirectoryLayout::Split12);
    EXPECT_EQ(words[2], (1 << 12) | 0x0155);
}
