#include "codeplug/CodeplugConvert.h"
#include "codeplug/QUVParmsFormat5859.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

using namespace codeplugtest;

namespace {

void ToSplit11(std::vector<uint16_t>& words)
{
    CodeplugImage image(words.data());
    SwitchDirectoryLayout(image, DirectoryLayout::Split11);
}

template <typename Step>
bool RunStep(std::vector<uint16_t>& words, bool up, int32_t* change = nullptr)
{
    CodeplugImage image(words.data());
    Step step;
    const bool ok = up ? step.ConvertUp(image) : step.ConvertDown(image);
    if (change)
        *change = step.SizeChange();
    return ok;
}

std::vector<uint16_t> Record(const ParsedTable& t, int i)
{
    return std::vector<uint16_t>(t.data.begin() + i * t.size, t.data.begin() + (i + 1) * t.size);
}

uint16_t Fixed(const ParsedBlock& b, int word)
{
    return b.fixed.at(static_cast<size_t>(word - 3));
}

// Records the hook calls of a run and what the block looked like at them.
class HookRecorder : public QUVParmsFormatConvertBase {
public:
    explicit HookRecorder(uint8_t formatId) { m_FormatId = formatId; }
    std::vector<std::string> calls;

protected:
    void Note(const std::string& name) { calls.push_back(name); }
    void HeaderHook() override { Note("header"); }
    void HeaderPostRestructureHook() override
    {
        Note("header-post length " + std::to_string(GetBlockLength(Image(), BlockRef::Header())));
    }
    void Kind0Hook() override { Note("kind0"); }
    void Kind13Hook() override { Note("kind13"); }
    void Kind4Hook() override { Note("kind4"); }
    void Kind5Hook() override { Note("kind5"); }
    void Kind0PostRestructureHook() override { Note("kind0-post"); }
    void Kind13PostRestructureHook() override { Note("kind13-post"); }
    void Kind4PostRestructureHook() override { Note("kind4-post"); }
    void Kind5PostRestructureHook() override { Note("kind5-post"); }
    void System0Hook(int n) override { Note("sys0:" + std::to_string(n)); }
    void System1Hook(int n) override { Note("sys1:" + std::to_string(n)); }
    void System3Hook(int n) override { Note("sys3:" + std::to_string(n)); }
    void System4Hook(int n) override { Note("sys4:" + std::to_string(n)); }
    void System5Hook(int n) override { Note("sys5:" + std::to_string(n)); }
    void System0PostRestructureHook(int n) override { Note("sys0-post:" + std::to_string(n)); }
    void System1PostRestructureHook(int n) override
    {
        const BlockRef ref = BlockRef::System(n);
        Note("sys1-post:" + std::to_string(n) + " length "
            + std::to_string(GetBlockLength(Image(), ref)) + " tables "
            + std::to_string(GetTableCount(Image(), ref)));
    }
    void System3PostRestructureHook(int n) override { Note("sys3-post:" + std::to_string(n)); }
    void System4PostRestructureHook(int n) override { Note("sys4-post:" + std::to_string(n)); }
    void System5PostRestructureHook(int n) override { Note("sys5-post:" + std::to_string(n)); }
    void ListHook1(int n) override { Note("list1:" + std::to_string(n)); }
    void ListHook2(int n) override { Note("list2:" + std::to_string(n)); }
    void ListHook3(int n) override { Note("list3:" + std::to_string(n)); }
    void ListHook4(int n) override { Note("list4:" + std::to_string(n)); }
    void ListHook5(int n) override { Note("list5:" + std::to_string(n)); }
    void ListPostRestructureHook(int n) override { Note("list-post:" + std::to_string(n)); }
};

std::vector<std::string> ListCalls(int n, bool up)
{
    std::vector<std::string> calls;
    if (up)
        calls.push_back("list-post:" + std::to_string(n));
    for (int k = 1; k <= 5; ++k)
        calls.push_back("list" + std::to_string(k) + ":" + std::to_string(n));
    return calls;
}

} // namespace

// ---- Converter base -------------------------------------------------------------

TEST(CodeplugConverterBase, HooksRunInOrderAtTheirCallPoints)
{
    CodeplugBuilder b(5, 9);
    b.AddKind(3);
    b.AddKind(0);
    b.AddKind(6);
    b.AddSystem(2, 6); // a kind without a converter record: skipped
    b.AddSystem(1, 1);
    b.AddSystem(3, 0);
    b.AddList();
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    ToSplit11(words);
    const int headerLength = words[1] & 0x3FFF;
    const int system1Length = ParseChain(words, true)[5].length;

    const ParsedBlock otherKind = ParseChain(words, true)[4];
    HookRecorder up(5);
    CodeplugImage image(words.data());
    ASSERT_TRUE(up.ConvertUp(image));
    // The system of kind 6 is not restructured.
    const ParsedBlock otherKindAfter = ParseChain(words, true)[4];
    EXPECT_EQ(otherKindAfter.length, otherKind.length);
    EXPECT_EQ(otherKindAfter.fixed, otherKind.fixed);
    EXPECT_EQ(otherKindAfter.tables, otherKind.tables);
    std::vector<std::string> expected = {
        // The header's post-restructure hook sees the new length, the other
        // blocks' hooks see the new directory but the old length.
        "header-post length " + std::to_string(headerLength + 20),
        "header",
        "kind0-post",
        "kind0",
        "kind13-post",
        "kind13",
        "sys1-post:1 length " + std::to_string(system1Length) + " tables 17",
        "sys1:1",
        "sys0-post:3",
        "sys0:3",
    };
    for (int n = 1; n <= 2; ++n) {
        for (const std::string& call : ListCalls(n, true))
            expected.push_back(call);
    }
    EXPECT_EQ(up.calls, expected);
    EXPECT_EQ(words[3], 0x050A);
    EXPECT_EQ(up.SizeChange(), 20 + 2);

    HookRecorder down(5);
    ASSERT_TRUE(down.ConvertDown(image));
    expected = { "header", "kind0", "kind13", "sys1:1", "sys0:3" };
    for (int n = 1; n <= 2; ++n) {
        for (const std::string& call : ListCalls(n, false))
            expected.push_back(call);
    }
    EXPECT_EQ(down.calls, expected);
    EXPECT_EQ(words[3], 0x0509);
    EXPECT_EQ(down.SizeChange(), -22);
}

TEST(CodeplugConverterBase, RestructuringAddsAndRemovesFixedWordsAndTables)
{
    CodeplugBuilder b = TypicalCodeplug(9, 1, 2, 2);
    std::vector<uint16_t> words = b.Build();
    for (int i = 5; i < 49; ++i) {
        if (i != 14)
            words[static_cast<size_t>(i)] = static_cast<uint16_t>(0x3000 + i);
    }
    ToSplit11(words);
    const std::vector<uint16_t> original = words;
    const std::vector<ParsedBlock> before = ParseChain(words, true);

    // The base alone (no hooks) with the 5.10 size records.
    HookRecorder step(5);
    CodeplugImage image(words.data());
    ASSERT_TRUE(step.ConvertUp(image));
    const std::vector<ParsedBlock> after = ParseChain(words, true);
    ASSERT_EQ(after.size(), before.size());

    // Header: 20 zero words before the directory, which moves to word 69.
    EXPECT_EQ(after[0].directoryOffset, 69);
    EXPECT_EQ(after[0].length, before[0].length + 20);
    for (int i = 5; i < 49; ++i)
        EXPECT_EQ(Fixed(after[0], i), original[static_cast<size_t>(i)]);
    EXPECT_EQ(Fixed(after[0], 3), 0x050A);
    for (int i = 49; i < 69; ++i)
        EXPECT_EQ(Fixed(after[0], i), 0) << i;
    EXPECT_EQ(after[0].tables, before[0].tables);

    // Systems: kinds 1, 3 and 4 gain 2, 6 and 6 empty tables at the end of
    // the directory; their data start moves to 146, 354 and 319.
    const int added[] = { 0, 2, 6, 6, 0 };
    const int starts[] = { 96, 146, 354, 319, 57 };
    for (int s = 0; s < 5; ++s) {
        const ParsedBlock& was = before[5 + static_cast<size_t>(s)];
        const ParsedBlock& now = after[5 + static_cast<size_t>(s)];
        EXPECT_EQ(now.tables.size(), was.tables.size() + static_cast<size_t>(added[s]));
        EXPECT_EQ(now.directoryOffset + static_cast<int>(now.tables.size()), starts[s]);
        EXPECT_EQ(now.length, was.length + added[s]);
        EXPECT_EQ(now.fixed, was.fixed);
        for (size_t k = 0; k < was.tables.size(); ++k)
            EXPECT_EQ(now.tables[k], was.tables[k]);
        for (size_t k = was.tables.size(); k < now.tables.size(); ++k)
            EXPECT_EQ(now.tables[k], ParsedTable {});
    }
    for (size_t i = 10; i < after.size(); ++i)
        EXPECT_EQ(after[i].tables, before[i].tables);
    EXPECT_EQ(step.SizeChange(), 20 + 2 + 6 + 6);
    EXPECT_EQ(words[4], original[4] + 34);

    // Down again gives the original image back, word for word.
    HookRecorder back(5);
    ASSERT_TRUE(back.ConvertDown(image));
    words[3] = original[3];
    EXPECT_EQ(words, original);
    EXPECT_EQ(back.SizeChange(), -34);
}

// ---- Format 5859 ----------------------------------------------------------------------

TEST(CodeplugFormat5859, HeaderUpGrowsTablesAddsFavouritesAndDefaults)
{
    CodeplugBuilder b(5, 8);
    b.Header().SetTable(0, 5, 3).SetTable(2, 2, 2).Word(25, 0x0300).Word(70, 0x1200);
    b.AddKind(0);
    b.AddSystem(1, 0);
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, false);
    ToSplit11(words);
    int32_t change = 0;
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true, &change));
    const std::vector<ParsedBlock> after = ParseChain(words, true);

    const ParsedTable& zones = after[0].tables[0];
    EXPECT_EQ(zones.count, 16);
    EXPECT_EQ(zones.size, 3);
    std::vector<uint16_t> expectZones = before[0].tables[0].data;
    expectZones.resize(48, 0);
    expectZones[6] = 0x123C; // header word 70, set by the kind-0 system hook
    EXPECT_EQ(zones.data, expectZones);
    EXPECT_EQ(after[0].tables[2], before[0].tables[2]);

    const ParsedTable& favourites = after[0].tables[3];
    EXPECT_EQ(favourites.count, 16);
    EXPECT_EQ(favourites.size, 1);
    EXPECT_EQ(favourites.data, std::vector<uint16_t>(16, 0xFF01));
    const uint16_t name[] = { 0x4146, 0x4F56, 0x4952, 0x4554, 0x2053 };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Fixed(after[0], 39 + i), name[i]);

    EXPECT_EQ(words[25], 0x0301);
    EXPECT_EQ(words[70], 0x123C);
    EXPECT_EQ(words[3], 0x0509);
    EXPECT_EQ(after[0].length, before[0].length + 33 + 16);
    // Table 2 of the kind-0 system had no records: only its size changes.
    EXPECT_EQ(change, 33 + 16);

    // A header whose table 3 has a record size keeps table 3 and its name.
    CodeplugBuilder kept(5, 8);
    kept.Header().SetTable(0, 16, 3).SetTable(3, 4, 2).Word(39, 0x4241).Word(25, 0x0707);
    kept.AddKind(0);
    kept.AddSystem(1, 0);
    kept.AddList();
    words = kept.Build();
    const std::vector<ParsedBlock> keptBefore = ParseChain(words, false);
    ToSplit11(words);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
    const std::vector<ParsedBlock> keptAfter = ParseChain(words, true);
    EXPECT_EQ(keptAfter[0].tables, keptBefore[0].tables);
    EXPECT_EQ(keptAfter[0].fixed, [&] {
        std::vector<uint16_t> f = keptBefore[0].fixed;
        f[0] = 0x0509;
        return f;
    }());
}

TEST(CodeplugFormat5859, LevelShiftsBothWays)
{
    struct Case {
        int from;
        int up;
        int down;
    };
    const Case cases[] = {
        { 0, 4, 0 },
        { 4, 8, 0 },
        { 5, 9, 1 },
        { 11, 15, 7 },
        { 12, 16, 8 },
        { 16, 16, 12 },
        { 31, 16, 27 },
    };
    for (const Case& c : cases) {
        CodeplugBuilder b(5, 8);
        b.AddKind(0);
        b.AddKind(4);
        b.AddSystem(1, 1).Word(10, static_cast<uint16_t>(0xC1FF | (c.from << 9)));
        b.AddSystem(2, 3).Word(10, static_cast<uint16_t>(c.from << 9));
        b.AddSystem(3, 4).Word(248, static_cast<uint16_t>(0xABC0 | c.from));
        b.AddList();
        std::vector<uint16_t> words = b.Build();
        const std::vector<uint16_t> original = words;
        ToSplit11(words);
        ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
        std::vector<ParsedBlock> after = ParseChain(words, true);
        EXPECT_EQ(Fixed(after[3], 10), 0xC1FF | (c.up << 9)) << c.from;
        EXPECT_EQ(Fixed(after[4], 10), c.up << 9) << c.from;
        EXPECT_EQ(Fixed(after[5], 248), 0xABC0 | c.up) << c.from;

        words = original;
        ToSplit11(words);
        ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, false));
        after = ParseChain(words, true);
        EXPECT_EQ(Fixed(after[3], 10), 0xC1FF | ((c.down & 0x1F) << 9)) << c.from;
        EXPECT_EQ(Fixed(after[5], 248), 0xABC0 | c.down) << c.from;
    }

    // Not idempotent: every run up adds 4 again, up to 16.
    CodeplugBuilder b(5, 8);
    b.AddKind(1);
    b.AddSystem(1, 1).Word(10, 2 << 9);
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    ToSplit11(words);
    const int expected[] = { 6, 10, 14, 16, 16 };
    for (int value : expected) {
        ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
        EXPECT_EQ(Fixed(ParseChain(words, true)[2], 10) >> 9, value);
    }
}

TEST(CodeplugFormat5859, Kind0SystemUp)
{
    CodeplugBuilder b(5, 8);
    b.AddKind(0);
    b.AddSystem(1, 0).SetTable(2, 3, 2, { 1, 0xF002, 3, 4, 5, 6 }).SetTable(7, 2, 3);
    b.AddSystem(2, 0).SetTable(2, 2, 4).SetTable(6, 1, 5).Word(67, 0x0001);
    b.AddList();
    // Header word 70 lies in header table 0 here.
    b.Header().SetTable(0, 16, 3).SetTable(3, 1, 1).Word(70, 0x1200);
    std::vector<uint16_t> words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, false);
    ToSplit11(words);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
    const std::vector<ParsedBlock> after = ParseChain(words, true);

    // 2-word records become 4 words with the defaults in words 2 and 3.
    const ParsedTable& grown = after[2].tables[2];
    EXPECT_EQ(grown.size, 4);
    EXPECT_EQ(grown.data,
        (std::vector<uint16_t> { 1, 0xF002, 549, 659, 3, 4, 549, 659, 5, 6, 549, 659 }));
    EXPECT_EQ(after[2].tables[7], before[2].tables[7]);
    EXPECT_EQ(after[2].tables[6].size, 9);
    EXPECT_EQ(after[2].tables[7].size, 3) << "a record size is kept where set";
    EXPECT_EQ(after[2].tables[8].size, 2);
    const uint16_t alias[] = { 0x5953, 0x2053, 0x4C41, 0x4149, 0x2053 }; // "SYS ALIAS "
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Fixed(after[2], 65 + i), alias[i]);
    EXPECT_EQ(after[2].length, before[2].length + 6);

    // Records of 4 words already: content, alias and set sizes unchanged.
    EXPECT_EQ(after[3].tables[2], before[3].tables[2]);
    EXPECT_EQ(after[3].tables[6], before[3].tables[6]);
    EXPECT_EQ(Fixed(after[3], 67), 1);
    EXPECT_EQ(Fixed(after[3], 65), 0);
    EXPECT_EQ(after[3].length, before[3].length);
    EXPECT_EQ(words[70], 0x123C);
}

TEST(CodeplugFormat5859, Kind0WordsMoveBetweenKindBlockAndFirstKind0System)
{
    CodeplugBuilder b(5, 8);
    const int kindWords[] = { 10, 11, 12, 13, 27, 28, 30 };
    const int systemWords[] = { 18, 19, 21, 22, 23, 24, 25 };
    Block& kind = b.AddKind(0);
    for (int i = 0; i < 7; ++i)
        kind.Word(kindWords[i], static_cast<uint16_t>(0x1000 + i));
    b.AddKind(1);
    b.AddSystem(1, 1);
    b.AddSystem(2, 0);
    b.AddSystem(3, 0);
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    ToSplit11(words);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
    std::vector<ParsedBlock> after = ParseChain(words, true);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(Fixed(after[4], systemWords[i]), 0x1000 + i);
        EXPECT_EQ(Fixed(after[5], systemWords[i]), 0);
    }
    // Down copies the system words back.
    for (int i = 0; i < 7; ++i)
        words[static_cast<size_t>(after[4].start + systemWords[i])]
            = static_cast<uint16_t>(0x2000 + i);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, false));
    after = ParseChain(words, true);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(Fixed(after[1], kindWords[i]), 0x2000 + i);
}

TEST(CodeplugFormat5859, Kind4And5SystemsUp)
{
    CodeplugBuilder b(5, 8);
    b.Header().Word(5, 0x0018); // radio kind code 8
    b.AddKind(4);
    b.AddKind(5);
    // Table 0 as 6-word records: unused (word 0 all ones), in use with a
    // zero word, in use without one.
    b.AddSystem(1, 4).SetTable(
        0, 3, 6, { 0xFFFF, 0, 0, 0, 0, 0, 1, 2, 0, 4, 5, 6, 1, 2, 3, 4, 5, 6 });
    b.AddSystem(2, 5)
        .SetTable(0, 2, 10)
        .SetTable(1, 5, 2, { 0, 0x0003, 0, 0x1F0F, 0, 0x2001, 0, 0x0110, 0, 0x0000 })
        .SetTable(2, 1, 3, { 7, 8, 9 })
        .SetTable(4, 1, 2);
    b.AddSystem(3, 5).SetTable(1, 0, 2).SetTable(2, 1, 3, { 7, 8, 9 });
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, false);
    ToSplit11(words);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
    const std::vector<ParsedBlock> after = ParseChain(words, true);

    EXPECT_EQ(after[3].tables[0].data,
        (std::vector<uint16_t> { 0xFFFF, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
            0xFFFF, 1, 2, 3, 4, 5, 6 }));
    EXPECT_EQ(after[3].tables[12].size, 9);
    EXPECT_EQ(after[3].tables[13].size, 2);

    // Kind 5: 11-word records; the membership list becomes one bitmap record.
    const ParsedBlock& k5 = after[4];
    EXPECT_EQ(k5.tables[0].size, 11);
    EXPECT_EQ(Record(k5.tables[0], 1), [&] {
        std::vector<uint16_t> r = Record(before[4].tables[0], 1);
        r.push_back(0);
        return r;
    }());
    EXPECT_EQ(k5.tables[1], (ParsedTable { 0, 2, {} }));
    ASSERT_EQ(k5.tables[2].count, 1);
    ASSERT_EQ(k5.tables[2].size, 37);
    std::vector<uint16_t> bitmap(37, 0);
    bitmap[0] = 0x2031;
    for (int i = 1; i < 5; ++i)
        bitmap[static_cast<size_t>(i)] = 0x2020;
    bitmap[5 + 0] = 0x9000;
    bitmap[5 + 31] = 0x0001;
    EXPECT_EQ(k5.tables[2].data, bitmap);
    EXPECT_EQ(k5.tables[4], before[4].tables[4]);
    EXPECT_EQ(k5.length, before[4].length + 2 + (37 - 3) - 10);

    // No membership records: tables 1 and 2 stay.
    EXPECT_EQ(after[5].tables[1], before[5].tables[1]);
    EXPECT_EQ(after[5].tables[2], before[5].tables[2]);
}

TEST(CodeplugFormat5859, DownRemovesTheTablesOf59)
{
    CodeplugBuilder b(5, 9);
    b.AddKind(1);
    b.AddKind(4);
    b.AddSystem(1, 1).SetTable(8, 2, 9).SetTable(9, 2, 2).SetTable(10, 3, 3).SetTable(11, 1, 2);
    b.AddSystem(2, 3).SetTable(13, 2, 2).SetTable(14, 1, 4).SetTable(12, 1, 9);
    b.AddSystem(3, 4).SetTable(13, 1, 2).SetTable(14, 2, 3).SetTable(0, 1, 6);
    b.AddList();
    std::vector<uint16_t> words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, false);
    ToSplit11(words);
    int32_t change = 0;
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, false, &change));
    const std::vector<ParsedBlock> after = ParseChain(words, true);
    EXPECT_EQ(words[3], 0x0508);

    EXPECT_EQ(after[3].tables[9], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(after[3].tables[10], (ParsedTable { 0, 3, {} }));
    EXPECT_EQ(after[3].tables[8], before[3].tables[8]);
    EXPECT_EQ(after[3].tables[11], before[3].tables[11]);
    EXPECT_EQ(after[3].length, before[3].length - 4 - 9);
    EXPECT_EQ(after[4].tables[13], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(after[4].tables[14], (ParsedTable { 0, 4, {} }));
    EXPECT_EQ(after[4].tables[12], before[4].tables[12]);
    EXPECT_EQ(after[5].tables[13], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(after[5].tables[14], (ParsedTable { 0, 3, {} }));
    EXPECT_EQ(after[5].tables[0], before[5].tables[0]);
    EXPECT_EQ(after[5].length, before[5].length - 2 - 6);
    EXPECT_EQ(change, -(13 + 8 + 8));
    EXPECT_EQ(after.back().tables, before.back().tables);
}

// ---- Format 59510 -------------------------------------------------------------------------

TEST(CodeplugFormat59510, UpMovesFieldsMergesTablesAndRaisesLevels)
{
    CodeplugBuilder b(5, 9);
    b.Header()
        .SetTable(1, 16, 2)
        .Word(5, 0x0004)
        .Word(6, 0x1235)
        .Word(23, 0xFFFF)
        .Word(24, 0x0101)
        .Word(28, 0x0003)
        .Word(46, 0x4100)
        .Word(47, 0x0042);
    Block& kind0 = b.AddKind(0);
    for (int i = 29; i <= 40; ++i)
        kind0.Word(i, 0x1234);
    b.AddKind(1);
    b.AddKind(4);
    b.AddKind(5);
    b.AddSystem(1, 0).SetTable(3, 2, 36).Word(4, 0x0FAF).Word(28, 0xF03F);
    b.AddSystem(2, 1)
        .SetTable(5, 2, 4, { 0xF123, 2, 3, (0xB << 9) | 0x8001, 0x3456, 5, 6, 0 })
        .SetTable(6, 1, 18)
        .SetTable(7, 1, 36)
        .Word(10, 14 << 9);
    b.AddSystem(3, 3).SetTable(5, 1, 6).SetTable(14, 0, 4).Word(10, 3 << 9);
    b.AddSystem(4, 4)
        .SetTable(6, 2, 8, { 1, 0xFFFF, 0xFFFF, 0x0A00, 5, 6, 7, 8, 9, 10, 11, 0, 13, 14, 15, 16 })
        .SetTable(7, 1, 22)
        .SetTable(9, 1, 36)
        .SetTable(11, 1, 32)
        .Word(248, 14)
        .Word(250, 0xB123);
    b.AddSystem(5, 5).SetTable(2, 1, 37).SetTable(3, 2, 2);
    b.AddList().SetTable(0, 2, 17).SetTable(1, 1, 15);
    std::vector<uint16_t> words = b.Build();
    ToSplit11(words);
    {
        // Put recognisable values in the moved fields of kind-1 table 6,
        // kind-3 tables 5 and 6 and the list tables 0 and 1.
        CodeplugImage image(words.data());
        const int k1 = FindSystemBlock(image, 2);
        image.SetWord(TableStart(image, k1, 6).start + 1, 0x1E00 | 0x0101);
        const int k3 = FindSystemBlock(image, 3);
        image.SetWord(TableStart(image, k3, 5).start + 3, 0x0600);
        const int list = FindListBlock(image, 1);
        const int l0 = TableStart(image, list, 0).start;
        image.SetWord(l0 + 14, 0x123B);
        image.SetWord(l0 + 16, 0xFFC0);
        image.SetWord(l0 + 17 + 14, 0x0005);
        image.SetWord(l0 + 17 + 16, 0x0000);
        image.SetWord(TableStart(image, list, 1).start + 11, 0x2C00 | 0xC003);
        ASSERT_FALSE(image.Faulted());
    }
    const std::vector<ParsedBlock> before = ParseChain(words, true);
    const int chainEndBefore = words[4];
    int32_t change = 0;
    ASSERT_TRUE(RunStep<QUVParmsFormat59510>(words, true, &change));
    const std::vector<ParsedBlock> after = ParseChain(words, true);
    EXPECT_EQ(words[3], 0x050A);

    // Header: table 1 grows to 64 records; fields of steps 2 to 6.
    EXPECT_EQ(after[0].tables[1].count, 64);
    EXPECT_EQ(after[0].tables[1].data.size(), 128u);
    EXPECT_EQ(std::vector<uint16_t>(
                  after[0].tables[1].data.begin(), after[0].tables[1].data.begin() + 32),
        before[0].tables[1].data);
    EXPECT_EQ(words[28], 0x0403);
    EXPECT_EQ(words[6], 0x1245);
    EXPECT_EQ(words[24], 0x0102);
    EXPECT_EQ(words[46], 0x4120);
    EXPECT_EQ(words[47], 0x2042);
    EXPECT_EQ(words[48], 0x2020);
    EXPECT_EQ(words[49], 0x2020) << "new header words are space-filled too";
    EXPECT_EQ(words[50], 0x2020);
    EXPECT_EQ(words[23], 0xF0FF);

    // Kind-0 kind block: words 30-39 cleared, neighbours kept.
    EXPECT_EQ(Fixed(after[1], 29), 0x1234);
    for (int i = 30; i <= 39; ++i)
        EXPECT_EQ(Fixed(after[1], i), 0);
    EXPECT_EQ(Fixed(after[1], 40), 0x1234);

    // Kind-0 system: 58-word records; word 4 bits 4-7 into word 28 bits 6-11.
    EXPECT_EQ(after[5].tables[3].size, 58);
    EXPECT_EQ(Record(after[5].tables[3], 1), [&] {
        std::vector<uint16_t> r = Record(before[5].tables[3], 1);
        r.resize(58, 0);
        return r;
    }());
    EXPECT_EQ(Fixed(after[5], 4), 0x0F0F);
    EXPECT_EQ(Fixed(after[5], 28), 0xF000 | (0xA << 6) | 0x003F);

    // Kind-1 system: records widened, fields moved, table 10 merged from table 5.
    const ParsedBlock& k1 = after[6];
    EXPECT_EQ(k1.tables.size(), 17u);
    EXPECT_EQ(k1.tables[5].size, 5);
    EXPECT_EQ(Record(k1.tables[5], 0), (std::vector<uint16_t> { 0xF123, 2, 3, 0x8001, 0xB }));
    EXPECT_EQ(Record(k1.tables[5], 1), (std::vector<uint16_t> { 0x3456, 5, 6, 0, 0 }));
    EXPECT_EQ(k1.tables[6].size, 19);
    EXPECT_EQ(k1.tables[6].data[1], 0x0101);
    EXPECT_EQ(k1.tables[6].data[18], 0xF);
    EXPECT_EQ(k1.tables[7].size, 58);
    EXPECT_EQ(k1.tables[9].size, 2);
    EXPECT_EQ(k1.tables[10].count, 2);
    EXPECT_EQ(k1.tables[10].size, 3);
    EXPECT_EQ(k1.tables[10].data, (std::vector<uint16_t> { 0x0123, 2, 3, 0x0456, 5, 6 }));
    EXPECT_EQ(Fixed(k1, 10) >> 9, 16);

    // Kind-3 system: table 14 had a record size, so no merge.
    const ParsedBlock& k3 = after[7];
    EXPECT_EQ(k3.tables.size(), 21u);
    EXPECT_EQ(k3.tables[14], (ParsedTable { 0, 4, {} }));
    EXPECT_EQ(k3.tables[13].size, 2);
    EXPECT_EQ(k3.tables[5].size, 7);
    EXPECT_EQ(k3.tables[5].data[3], 0);
    EXPECT_EQ(k3.tables[5].data[4], (before[7].tables[5].data[4] & ~0x3F) | 3);
    EXPECT_EQ(Fixed(k3, 10) >> 9, 7);

    // Kind-4 system (radio kind code 4).
    const ParsedBlock& k4 = after[8];
    EXPECT_EQ(k4.tables.size(), 21u);
    EXPECT_EQ(k4.tables[6].size, 13);
    EXPECT_EQ(Record(k4.tables[6], 0),
        (std::vector<uint16_t> { 1, 0x0FFF, 0x0FFF, 0, 5, 6, 7, 8, 0, 0, 0, 0, 5 }));
    EXPECT_EQ(Record(k4.tables[6], 1),
        (std::vector<uint16_t> { 9, 10, 11, 0, 13, 14, 15, 16, 0, 0, 0, 0, 0 }));
    EXPECT_EQ(k4.tables[14].data, (std::vector<uint16_t> { 1, 0x0FFF, 0x0FFF, 9, 10, 11 }));
    EXPECT_EQ(k4.tables[7].size, 26);
    EXPECT_EQ(k4.tables[9].size, 58);
    EXPECT_EQ(k4.tables[11].size, 64);
    EXPECT_EQ(k4.tables[13].size, 2);
    EXPECT_EQ(k4.tables[15], (ParsedTable { 0, 2, {} }));
    EXPECT_EQ(Fixed(k4, 250), 0x0123);
    EXPECT_EQ(Fixed(k4, 263), 0xB << 7);
    EXPECT_EQ(Fixed(k4, 248), 16);

    // Kind-5 system: 59-word records, table 3 reset to (0, 37).
    EXPECT_EQ(after[9].tables[2].size, 59);
    EXPECT_EQ(after[9].tables[3].count, 0);
    EXPECT_EQ(after[9].tables[3].size, 37);

    // List: table 0 records of 18 words, fields moved.
    const ParsedBlock& list = after[10];
    EXPECT_EQ(list.tables[0].size, 18);
    EXPECT_EQ(Record(list.tables[0], 0)[14], 0x1230);
    EXPECT_EQ(Record(list.tables[0], 0)[16], 0xFFCB);
    EXPECT_EQ(Record(list.tables[0], 1)[14], 0);
    EXPECT_EQ(Record(list.tables[0], 1)[16], 5);
    EXPECT_EQ(Record(list.tables[0], 1)[17], 0);
    EXPECT_EQ(list.tables[1].data[11], 0xC003);
    EXPECT_EQ(list.tables[1].data[12] & 0x00FC, 0xB << 2);

    EXPECT_EQ(change, words[4] - chainEndBefore);
}

TEST(CodeplugFormat59510, Format510Defaults)
{
    CodeplugBuilder b(5, 10);
    b.Header().Word(5, 0x0005).Word(52, 0);
    b.AddKind(0);
    b.AddKind(3);
    b.AddKind(4).Word(30, 0x00C4); // fields 3, 0, 1, 0
    b.AddSystem(1, 0).Word(8, 0xAB35).SetTable(3, 0x20, 0); // h = 0x20 < 0x35
    b.AddSystem(2, 0).Word(8, 0x0035).SetTable(3, 0x04, 0).Word(26, 1);
    b.AddSystem(3, 3).SetTable(11, 18, 64).SetTable(12, 1, 3, { 7, 8, 9 });
    b.AddSystem(4, 3).SetTable(11, 16, 1);
    b.AddSystem(5, 4)
        .Word(29, 0x0011)
        .SetTable(0, 2, 6, { 0, 0x0100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
    b.AddList()
        .SetTable(0, 2, 7, { 0, 0, 0, 0, 0, 0, 0x0020, 0, 0, 0, 0, 0, 0, 0x0060 })
        .SetTable(1, 1, 8, { 0, 0, 0, 0, 0, 0, 0x0021, 0 })
        .SetTable(2, 1, 7, { 0, 0, 0, 0, 0, 0, 0x0020 });
    std::vector<uint16_t> words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, true);
    {
        CodeplugImage image(words.data());
        ASSERT_TRUE(ApplyFormat510Defaults(image));
    }
    const std::vector<ParsedBlock> after = ParseChain(words, true);

    EXPECT_EQ(words[52], 0x9248);
    EXPECT_EQ(Fixed(after[3], 30), 0x00D5);
    // Kind-0 systems: word 8's low byte limited by word 84's high byte.
    EXPECT_EQ(Fixed(after[4], 8), 0xAB05);
    EXPECT_EQ(Fixed(after[5], 8), 0x0000);
    // The six fields of the first kind-0 system were all 0: set (the 20
    // spills into bit 11).
    EXPECT_EQ(Fixed(after[4], 27), 14 | (20 << 7));
    EXPECT_EQ(Fixed(after[4], 15), (15 << 5) | (1 << 10));
    EXPECT_EQ(Fixed(after[4], 26), (40 << 8) | 255);
    // The second had word 26 = 1: unchanged.
    EXPECT_EQ(Fixed(after[5], 26), 1);
    EXPECT_EQ(Fixed(after[5], 27), 0);

    // Kind-3 system with 18 records of 64 words in table 11: cut to 16.
    EXPECT_EQ(after[6].tables[11].count, 16);
    EXPECT_EQ(after[6].tables[11].data,
        std::vector<uint16_t>(
            before[6].tables[11].data.begin(), before[6].tables[11].data.begin() + 16 * 64));
    EXPECT_EQ(after[6].tables[12], before[6].tables[12]);
    EXPECT_EQ(after[6].length, before[6].length - 128);
    EXPECT_EQ(after[7].length, before[7].length) << "16 records are kept";
    const int chainEndBefore = before.back().start + before.back().length + 128;
    EXPECT_EQ(words[4], chainEndBefore - 128);

    // Kind-4 system.
    const ParsedBlock& k4 = after[8];
    EXPECT_EQ(Fixed(k4, 262), (14 << 9) | (255 << 1));
    EXPECT_EQ(Fixed(k4, 261), (15 << 5) | (1 << 10) | ((20 << 1) & 0xFFFF));
    EXPECT_EQ(Fixed(k4, 263) & 0x007F, 40);
    EXPECT_EQ(Fixed(k4, 29), 0x1D11);
    EXPECT_EQ(k4.tables[15].size, 2);
    EXPECT_EQ(k4.tables[0].data[1], 0x0104);

    // List records of radio kind code 5: word 6 bits 5-6 from 1 to 2, only
    // in tables 0 and 1.
    const ParsedBlock& list = after[9];
    EXPECT_EQ(list.tables[0].data[6], 0x0040);
    EXPECT_EQ(list.tables[0].data[13], 0x0060);
    EXPECT_EQ(list.tables[1].data[6], 0x0041);
    EXPECT_EQ(list.tables[2].data[6], 0x0020);

    // A header word 52 with bits 13-15 set stays as it is; so does an image
    // without a header.
    words[52] = 0x2001;
    CodeplugImage again(words.data());
    ASSERT_TRUE(ApplyFormat510Defaults(again));
    EXPECT_EQ(words[52], 0x2001);
    std::vector<uint16_t> empty(kWords, 0);
    CodeplugImage none(empty.data());
    EXPECT_TRUE(ApplyFormat510Defaults(none));
    EXPECT_EQ(empty, std::vector<uint16_t>(kWords, 0));
}
