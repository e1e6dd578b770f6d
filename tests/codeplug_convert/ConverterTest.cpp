#include "codeplug/CodeplugConvert.h"
#include "codeplug/QUVParmsFormat5859.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"

#include <gtest/gtest.h>

using namespace codeplugtest;
using Words = std::vector<uint16_t>;
using Expected = std::initializer_list<std::pair<int, int>>;

namespace {

void Switch(Words& words, DirectoryLayout layout)
{
    CodeplugImage image(words.data());
    SwitchDirectoryLayout(image, layout);
}

template <typename Step> bool RunStep(Words& words, bool up, int32_t* change = nullptr)
{
    CodeplugImage image(words.data());
    Step step;
    const bool ok = up ? step.ConvertUp(image) : step.ConvertDown(image);
    if (change)
        *change = step.SizeChange();
    return ok;
}

// The converter chain between format indexes `low` and `high`.
bool RunChain(Words& words, bool up, int low, int high, int32_t& change)
{
    CodeplugImage image(words.data());
    return up ? ConvertCodeplugUp(image, low, high, change)
              : ConvertCodeplugDown(image, low, high, change);
}

// One 5859 step on a built image of format 5.8 or 5.9, run in the 5.10
// directory split, and the chain before (in the old split) and after.
struct StepRun {
    Words words;
    std::vector<ParsedBlock> before;
    std::vector<ParsedBlock> after;
    int32_t change = 0;
    bool ok = false;
};

StepRun Run5859(const CodeplugBuilder& b, bool up)
{
    StepRun r { b.Build(), {}, {}, 0, false };
    r.before = ParseChain(r.words, false);
    Switch(r.words, DirectoryLayout::Split11);
    r.ok = RunStep<QUVParmsFormat5859>(r.words, up, &r.change);
    r.after = ParseChain(r.words, true);
    return r;
}

Words Record(const ParsedTable& t, int i)
{
    return Words(t.data.begin() + i * t.size, t.data.begin() + (i + 1) * t.size);
}

// Record i of a table, cut or padded with zeros to `size` words.
Words Resized(const ParsedTable& t, int i, int size)
{
    Words r = Record(t, i);
    r.resize(static_cast<size_t>(size), 0);
    return r;
}

uint16_t Fixed(const ParsedBlock& b, int word)
{
    return b.fixed.at(static_cast<size_t>(word - 3));
}

void ExpectFixed(const ParsedBlock& b, Expected expected)
{
    for (const auto& [word, value] : expected)
        EXPECT_EQ(Fixed(b, word), value) << "block at " << b.start << ", word " << word;
}

void ExpectWords(const Words& words, Expected expected)
{
    for (const auto& [word, value] : expected)
        EXPECT_EQ(words.at(static_cast<size_t>(word)), value) << "word " << word;
}

// Records the hook calls of a run and what the block looked like at them.
class HookRecorder : public QUVParmsFormatConvertBase {
public:
    explicit HookRecorder(uint8_t formatId) { m_FormatId = formatId; }
    std::vector<std::string> calls;

protected:
    void Note(const std::string& name, int n = -1)
    {
        calls.push_back(n < 0 ? name : name + ":" + std::to_string(n));
    }
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
    void System0Hook(int n) override { Note("sys0", n); }
    void System1Hook(int n) override { Note("sys1", n); }
    void System3Hook(int n) override { Note("sys3", n); }
    void System4Hook(int n) override { Note("sys4", n); }
    void System5Hook(int n) override { Note("sys5", n); }
    void System0PostRestructureHook(int n) override { Note("sys0-post", n); }
    void System1PostRestructureHook(int n) override
    {
        const BlockRef ref = BlockRef::System(n);
        Note("sys1-post:" + std::to_string(n) + " length "
            + std::to_string(GetBlockLength(Image(), ref)) + " tables "
            + std::to_string(GetTableCount(Image(), ref)));
    }
    void System3PostRestructureHook(int n) override { Note("sys3-post", n); }
    void System4PostRestructureHook(int n) override { Note("sys4-post", n); }
    void System5PostRestructureHook(int n) override { Note("sys5-post", n); }
    void ListHook1(int n) override { Note("list1", n); }
    void ListHook2(int n) override { Note("list2", n); }
    void ListHook3(int n) override { Note("list3", n); }
    void ListHook4(int n) override { Note("list4", n); }
    void ListHook5(int n) override { Note("list5", n); }
    void ListPostRestructureHook(int n) override { Note("list-post", n); }
};

void AddListCalls(std::vector<std::string>& calls, bool up)
{
    for (int n = 1; n <= 2; ++n) {
        if (up)
            calls.push_back("list-post:" + std::to_string(n));
        for (int k = 1; k <= 5; ++k)
            calls.push_back("list" + std::to_string(k) + ":" + std::to_string(n));
    }
}

} // namespace

// ---- Converter base -------------------------------------------------------------

TEST(CodeplugConverterBase, HooksRunInOrderAtTheirCallPoints)
{
    CodeplugBuilder b(5, 9);
    for (int kind : { 3, 0, 6 })
        b.AddKind(kind);
    b.AddSystem(2, 6); // a kind without a converter record: skipped
    b.AddSystem(1, 1);
    b.AddSystem(3, 0);
    b.AddList();
    b.AddList();
    Words words = b.Build();
    Switch(words, DirectoryLayout::Split11);
    const int headerLength = words[1] & 0x3FFF;
    const std::vector<ParsedBlock> before = ParseChain(words, true);

    HookRecorder up(5);
    CodeplugImage image(words.data());
    ASSERT_TRUE(up.ConvertUp(image));
    // The system of kind 6 is not restructured.
    const ParsedBlock otherKind = ParseChain(words, true)[4];
    EXPECT_EQ(otherKind.length, before[4].length);
    EXPECT_EQ(otherKind.fixed, before[4].fixed);
    EXPECT_EQ(otherKind.tables, before[4].tables);
    // The header's post-restructure hook sees the new length, the other
    // blocks' hooks see the new directory but the old length.
    std::vector<std::string> expected = { "header-post length " + std::to_string(headerLength + 20),
        "header", "kind0-post", "kind0", "kind13-post", "kind13",
        "sys1-post:1 length " + std::to_string(before[5].length) + " tables 17", "sys1:1",
        "sys0-post:3", "sys0:3" };
    AddListCalls(expected, true);
    EXPECT_EQ(up.calls, expected);
    EXPECT_EQ(words[3], 0x050A);
    EXPECT_EQ(up.SizeChange(), 20 + 2);

    HookRecorder down(5);
    ASSERT_TRUE(down.ConvertDown(image));
    expected = { "header", "kind0", "kind13", "sys1:1", "sys0:3" };
    AddListCalls(expected, false);
    EXPECT_EQ(down.calls, expected);
    EXPECT_EQ(words[3], 0x0509);
    EXPECT_EQ(down.SizeChange(), -22);
}

TEST(CodeplugConverterBase, RestructuringAddsAndRemovesFixedWordsAndTables)
{
    Words words = TypicalCodeplug(9, 1, 2, 2).Build();
    for (int i = 5; i < 49; ++i)
        if (i != 14)
            words[static_cast<size_t>(i)] = static_cast<uint16_t>(0x3000 + i);
    Switch(words, DirectoryLayout::Split11);
    const Words original = words;
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
    EXPECT_EQ(Words(after[0].fixed.begin() + 2, after[0].fixed.begin() + 46),
        Words(original.begin() + 5, original.begin() + 49));
    EXPECT_EQ(Fixed(after[0], 3), 0x050A);
    EXPECT_EQ(Words(after[0].fixed.begin() + 46, after[0].fixed.end()), Words(20, 0));
    EXPECT_EQ(after[0].tables, before[0].tables);

    // Systems: kinds 1, 3 and 4 gain 2, 6 and 6 empty tables at the end of
    // the directory; their data start moves to 146, 354 and 319.
    const int added[] = { 0, 2, 6, 6, 0 };
    const int starts[] = { 96, 146, 354, 319, 57 };
    for (int s = 0; s < 5; ++s) {
        SCOPED_TRACE(s);
        const ParsedBlock& was = before[5 + static_cast<size_t>(s)];
        const ParsedBlock& now = after[5 + static_cast<size_t>(s)];
        EXPECT_EQ(now.tables.size(), was.tables.size() + static_cast<size_t>(added[s]));
        EXPECT_EQ(now.directoryOffset + static_cast<int>(now.tables.size()), starts[s]);
        EXPECT_EQ(now.length, was.length + added[s]);
        EXPECT_EQ(now.fixed, was.fixed);
        for (size_t k = 0; k < now.tables.size(); ++k)
            EXPECT_EQ(now.tables[k], k < was.tables.size() ? was.tables[k] : ParsedTable {});
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
    CodeplugBuilder b = SmallCodeplug(8);
    b.Header().SetTable(0, 5, 3).SetTable(2, 2, 2).Words({ { 25, 0x0300 }, { 70, 0x1200 } });
    auto [words, before, after, change, ok] = Run5859(b, true);
    ASSERT_TRUE(ok);

    Words zones = before[0].tables[0].data;
    zones.resize(48, 0);
    zones[6] = 0x123C; // header word 70, set by the kind-0 system hook
    EXPECT_EQ(after[0].tables[0], (ParsedTable { 16, 3, zones }));
    EXPECT_EQ(after[0].tables[2], before[0].tables[2]);
    EXPECT_EQ(after[0].tables[3], (ParsedTable { 16, 1, Words(16, 0xFF01) }));
    ExpectFixed(after[0],
        { { 39, 0x4146 }, { 40, 0x4F56 }, { 41, 0x4952 }, { 42, 0x4554 }, { 43, 0x2053 } });
    ExpectWords(words, { { 25, 0x0301 }, { 70, 0x123C }, { 3, 0x0509 } });
    EXPECT_EQ(after[0].length, before[0].length + 33 + 16);
    // Table 2 of the kind-0 system had no records: only its size changes.
    EXPECT_EQ(change, 33 + 16);

    // A header whose table 3 has a record size keeps table 3 and its name.
    CodeplugBuilder kept = SmallCodeplug(8);
    kept.Header().SetTable(0, 16, 3).SetTable(3, 4, 2).Words({ { 39, 0x4241 }, { 25, 0x0707 } });
    const StepRun k = Run5859(kept, true);
    ASSERT_TRUE(k.ok);
    const ParsedBlock& keptBefore = k.before[0];
    const ParsedBlock& keptAfter = k.after[0];
    EXPECT_EQ(keptAfter.tables, keptBefore.tables);
    EXPECT_EQ(keptAfter.fixed[0], 0x0509);
    EXPECT_EQ(Words(keptAfter.fixed.begin() + 1, keptAfter.fixed.end()),
        Words(keptBefore.fixed.begin() + 1, keptBefore.fixed.end()));
}

TEST(CodeplugFormat5859, LevelShiftsBothWays)
{
    const int cases[][3] = { // from, up, down
        { 0, 4, 0 }, { 4, 8, 0 }, { 5, 9, 1 }, { 11, 15, 7 }, { 12, 16, 8 }, { 16, 16, 12 },
        { 31, 16, 27 }
    };
    for (const auto& [from, raised, lowered] : cases) {
        SCOPED_TRACE(from);
        CodeplugBuilder b(5, 8);
        b.AddKind(0);
        b.AddKind(4);
        b.AddSystem(1, 1).Word(10, static_cast<uint16_t>(0xC1FF | (from << 9)));
        b.AddSystem(2, 3).Word(10, static_cast<uint16_t>(from << 9));
        b.AddSystem(3, 4).Word(248, static_cast<uint16_t>(0xABC0 | from));
        b.AddList();
        const StepRun up = Run5859(b, true);
        const StepRun down = Run5859(b, false);
        ASSERT_TRUE(up.ok && down.ok);
        EXPECT_EQ(Fixed(up.after[3], 10), 0xC1FF | (raised << 9));
        EXPECT_EQ(Fixed(up.after[4], 10), raised << 9);
        EXPECT_EQ(Fixed(up.after[5], 248), 0xABC0 | raised);
        EXPECT_EQ(Fixed(down.after[3], 10), 0xC1FF | ((lowered & 0x1F) << 9));
        EXPECT_EQ(Fixed(down.after[5], 248), 0xABC0 | lowered);
    }

    // Not idempotent: every run up adds 4 again, up to 16.
    CodeplugBuilder b = SmallCodeplug(8, 1);
    b.At(2).Word(10, 2 << 9);
    Words words = b.Build();
    Switch(words, DirectoryLayout::Split11);
    for (int value : { 6, 10, 14, 16, 16 }) {
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
    const auto [words, before, after, change, ok] = Run5859(b, true);
    ASSERT_TRUE(ok);

    // 2-word records become 4 words with the defaults in words 2 and 3.
    EXPECT_EQ(after[2].tables[2],
        (ParsedTable { 3, 4, { 1, 0xF002, 549, 659, 3, 4, 549, 659, 5, 6, 549, 659 } }));
    EXPECT_EQ(after[2].tables[7], before[2].tables[7]) << "a record size is kept where set";
    EXPECT_EQ(after[2].tables[6].size, 9);
    EXPECT_EQ(after[2].tables[8].size, 2);
    // "SYS ALIAS "
    ExpectFixed(after[2],
        { { 65, 0x5953 }, { 66, 0x2053 }, { 67, 0x4C41 }, { 68, 0x4149 }, { 69, 0x2053 } });
    EXPECT_EQ(after[2].length, before[2].length + 6);

    // Records of 4 words already: content, alias and set sizes unchanged.
    EXPECT_EQ(after[3].tables[2], before[3].tables[2]);
    EXPECT_EQ(after[3].tables[6], before[3].tables[6]);
    ExpectFixed(after[3], { { 67, 1 }, { 65, 0 } });
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
    Words words = b.Build();
    Switch(words, DirectoryLayout::Split11);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(words, true));
    std::vector<ParsedBlock> after = ParseChain(words, true);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(Fixed(after[4], systemWords[i]), 0x1000 + i);
        EXPECT_EQ(Fixed(after[5], systemWords[i]), 0);
        // Down copies the system words back.
        words[static_cast<size_t>(after[4].start + systemWords[i])]
            = static_cast<uint16_t>(0x2000 + i);
    }
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
    const auto [words, before, after, change, ok] = Run5859(b, true);
    ASSERT_TRUE(ok);

    EXPECT_EQ(after[3].tables[0].data,
        (Words { 0xFFFF, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 1, 2, 3, 4,
            5, 6 }));
    EXPECT_EQ(after[3].tables[12].size, 9);
    EXPECT_EQ(after[3].tables[13].size, 2);

    // Kind 5: 11-word records; the membership list becomes one bitmap record.
    const ParsedBlock& k5 = after[4];
    EXPECT_EQ(k5.tables[0].size, 11);
    EXPECT_EQ(Record(k5.tables[0], 1), Resized(before[4].tables[0], 1, 11));
    EXPECT_EQ(k5.tables[1], (ParsedTable { 0, 2, {} }));
    Words bitmap(37, 0);
    bitmap[0] = 0x2031;
    std::fill(bitmap.begin() + 1, bitmap.begin() + 5, 0x2020);
    bitmap[5 + 0] = 0x9000;
    bitmap[5 + 31] = 0x0001;
    EXPECT_EQ(k5.tables[2], (ParsedTable { 1, 37, bitmap }));
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
    auto [words, before, after, change, ok] = Run5859(b, false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(words[3], 0x0508);

    // Block, emptied tables with their sizes, kept tables.
    const struct {
        size_t block;
        std::vector<std::pair<size_t, int>> emptied;
        std::vector<size_t> kept;
    } cases[] = { { 3, { { 9, 2 }, { 10, 3 } }, { 8, 11 } },
        { 4, { { 13, 2 }, { 14, 4 } }, { 12 } }, { 5, { { 13, 2 }, { 14, 3 } }, { 0 } } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block);
        for (const auto& [k, size] : c.emptied)
            EXPECT_EQ(after[c.block].tables[k], (ParsedTable { 0, size, {} }));
        for (size_t k : c.kept)
            EXPECT_EQ(after[c.block].tables[k], before[c.block].tables[k]);
    }
    EXPECT_EQ(after[3].length, before[3].length - 4 - 9);
    EXPECT_EQ(after[5].length, before[5].length - 2 - 6);
    EXPECT_EQ(change, -(13 + 8 + 8));
    EXPECT_EQ(after.back().tables, before.back().tables);
}

// ---- Format 59510 -------------------------------------------------------------------------

TEST(CodeplugFormat59510, UpMovesFieldsMergesTablesAndRaisesLevels)
{
    CodeplugBuilder b(5, 9);
    b.Header().SetTable(1, 16, 2).Words({ { 5, 0x0004 }, { 6, 0x1235 }, { 23, 0xFFFF },
        { 24, 0x0101 }, { 28, 0x0003 }, { 46, 0x4100 }, { 47, 0x0042 } });
    Block& kind0 = b.AddKind(0);
    for (int i = 29; i <= 40; ++i)
        kind0.Word(i, 0x1234);
    for (int kind : { 1, 4, 5 })
        b.AddKind(kind);
    b.AddSystem(1, 0).SetTable(3, 2, 36).Words({ { 4, 0x0FAF }, { 28, 0xF03F } });
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
        .Words({ { 248, 14 }, { 250, 0xB123 } });
    b.AddSystem(5, 5).SetTable(2, 1, 37).SetTable(3, 2, 2);
    b.AddList().SetTable(0, 2, 17).SetTable(1, 1, 15);
    Words words = b.Build();
    Switch(words, DirectoryLayout::Split11);
    {
        // Put recognisable values in the moved fields of kind-1 table 6,
        // kind-3 tables 5 and 6 and the list tables 0 and 1.
        CodeplugImage image(words.data());
        image.SetWord(TableStart(image, FindSystemBlock(image, 2), 6).start + 1, 0x1E00 | 0x0101);
        image.SetWord(TableStart(image, FindSystemBlock(image, 3), 5).start + 3, 0x0600);
        const int list = FindListBlock(image, 1);
        const int l0 = TableStart(image, list, 0).start;
        for (const auto& [at, value] :
            { std::pair { 14, 0x123B }, { 16, 0xFFC0 }, { 31, 0x0005 }, { 33, 0x0000 } })
            image.SetWord(l0 + at, static_cast<uint16_t>(value));
        image.SetWord(TableStart(image, list, 1).start + 11, 0x2C00 | 0xC003);
        ASSERT_FALSE(image.Faulted());
    }
    const std::vector<ParsedBlock> before = ParseChain(words, true);
    const int chainEndBefore = words[4];
    int32_t change = 0;
    ASSERT_TRUE(RunStep<QUVParmsFormat59510>(words, true, &change));
    const std::vector<ParsedBlock> after = ParseChain(words, true);
    EXPECT_EQ(change, words[4] - chainEndBefore);

    // Header: table 1 grows to 64 records; fields of steps 2 to 6; new
    // header words are space-filled too.
    EXPECT_EQ(after[0].tables[1].count, 64);
    EXPECT_EQ(Words(after[0].tables[1].data.begin(), after[0].tables[1].data.begin() + 32),
        before[0].tables[1].data);
    EXPECT_EQ(after[0].tables[1].data.size(), 128u);
    ExpectWords(words,
        { { 3, 0x050A }, { 28, 0x0403 }, { 6, 0x1245 }, { 24, 0x0102 }, { 46, 0x4120 },
            { 47, 0x2042 }, { 48, 0x2020 }, { 49, 0x2020 }, { 50, 0x2020 }, { 23, 0xF0FF } });

    // Kind-0 kind block: words 30-39 cleared, neighbours kept.
    EXPECT_EQ(Words(after[1].fixed.begin() + 26, after[1].fixed.begin() + 38),
        (Words { 0x1234, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1234 }));

    // Kind-0 system: 58-word records; word 4 bits 4-7 into word 28 bits 6-11.
    EXPECT_EQ(after[5].tables[3].size, 58);
    EXPECT_EQ(Record(after[5].tables[3], 1), Resized(before[5].tables[3], 1, 58));
    ExpectFixed(after[5], { { 4, 0x0F0F }, { 28, 0xF000 | (0xA << 6) | 0x003F } });

    // Kind-1 system: records widened, fields moved, table 10 merged from table 5.
    const ParsedBlock& k1 = after[6];
    EXPECT_EQ(k1.tables.size(), 17u);
    EXPECT_EQ(
        k1.tables[5], (ParsedTable { 2, 5, { 0xF123, 2, 3, 0x8001, 0xB, 0x3456, 5, 6, 0, 0 } }));
    EXPECT_EQ(k1.tables[6].size, 19);
    EXPECT_EQ(k1.tables[6].data[1], 0x0101);
    EXPECT_EQ(k1.tables[6].data[18], 0xF);
    EXPECT_EQ(k1.tables[7].size, 58);
    EXPECT_EQ(k1.tables[9].size, 2);
    EXPECT_EQ(k1.tables[10], (ParsedTable { 2, 3, { 0x0123, 2, 3, 0x0456, 5, 6 } }));
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
    EXPECT_EQ(k4.tables[6],
        (ParsedTable { 2, 13,
            { 1, 0x0FFF, 0x0FFF, 0, 5, 6, 7, 8, 0, 0, 0, 0, 5, 9, 10, 11, 0, 13, 14, 15, 16, 0, 0,
                0, 0, 0 } }));
    EXPECT_EQ(k4.tables[14].data, (Words { 1, 0x0FFF, 0x0FFF, 9, 10, 11 }));
    for (const auto& [k, size] : { std::pair { 7, 26 }, { 9, 58 }, { 11, 64 }, { 13, 2 } })
        EXPECT_EQ(k4.tables[static_cast<size_t>(k)].size, size) << k;
    EXPECT_EQ(k4.tables[15], (ParsedTable { 0, 2, {} }));
    ExpectFixed(k4, { { 250, 0x0123 }, { 263, 0xB << 7 }, { 248, 16 } });

    // Kind-5 system: 59-word records, table 3 reset to (0, 37).
    EXPECT_EQ(after[9].tables[2].size, 59);
    EXPECT_EQ(after[9].tables[3], (ParsedTable { 0, 37, {} }));

    // List: table 0 records of 18 words, fields moved.
    const ParsedBlock& list = after[10];
    EXPECT_EQ(list.tables[0].size, 18);
    const Words r0 = Record(list.tables[0], 0);
    const Words r1 = Record(list.tables[0], 1);
    EXPECT_EQ(
        (Words { r0[14], r0[16], r1[14], r1[16], r1[17] }), (Words { 0x1230, 0xFFCB, 0, 5, 0 }));
    EXPECT_EQ(list.tables[1].data[11], 0xC003);
    EXPECT_EQ(list.tables[1].data[12] & 0x00FC, 0xB << 2);
}

TEST(CodeplugFormat59510, Format510Defaults)
{
    CodeplugBuilder b(5, 10);
    b.Header().Words({ { 5, 0x0005 }, { 52, 0 } });
    b.AddKind(0);
    b.AddKind(3);
    b.AddKind(4).Word(30, 0x00C4); // fields 3, 0, 1, 0
    b.AddSystem(1, 0).Word(8, 0xAB35).SetTable(3, 0x20, 0); // h = 0x20 < 0x35
    b.AddSystem(2, 0).Words({ { 8, 0x0035 }, { 26, 1 } }).SetTable(3, 0x04, 0);
    b.AddSystem(3, 3).SetTable(11, 18, 64).SetTable(12, 1, 3, { 7, 8, 9 });
    b.AddSystem(4, 3).SetTable(11, 16, 1);
    b.AddSystem(5, 4)
        .Word(29, 0x0011)
        .SetTable(0, 2, 6, { 0, 0x0100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
    b.AddList()
        .SetTable(0, 2, 7, { 0, 0, 0, 0, 0, 0, 0x0020, 0, 0, 0, 0, 0, 0, 0x0060 })
        .SetTable(1, 1, 8, { 0, 0, 0, 0, 0, 0, 0x0021, 0 })
        .SetTable(2, 1, 7, { 0, 0, 0, 0, 0, 0, 0x0020 });
    Words words = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(words, true);
    {
        CodeplugImage image(words.data());
        ASSERT_TRUE(ApplyFormat510Defaults(image));
    }
    const std::vector<ParsedBlock> after = ParseChain(words, true);

    EXPECT_EQ(words[52], 0x9248);
    EXPECT_EQ(Fixed(after[3], 30), 0x00D5);
    // Kind-0 systems: word 8's low byte limited by word 84's high byte. The
    // six fields of the first were all 0: set (the 20 spills into bit 11).
    ExpectFixed(after[4],
        { { 8, 0xAB05 }, { 27, 14 | (20 << 7) }, { 15, (15 << 5) | (1 << 10) },
            { 26, (40 << 8) | 255 } });
    // The second had word 26 = 1: unchanged.
    ExpectFixed(after[5], { { 8, 0x0000 }, { 26, 1 }, { 27, 0 } });

    // Kind-3 system with 18 records of 64 words in table 11: cut to 16.
    EXPECT_EQ(after[6].tables[11],
        (ParsedTable { 16, 64,
            Words(
                before[6].tables[11].data.begin(), before[6].tables[11].data.begin() + 16 * 64) }));
    EXPECT_EQ(after[6].tables[12], before[6].tables[12]);
    EXPECT_EQ(after[6].length, before[6].length - 128);
    EXPECT_EQ(after[7].length, before[7].length) << "16 records are kept";
    EXPECT_EQ(words[4], before.back().start + before.back().length);

    // Kind-4 system.
    const ParsedBlock& k4 = after[8];
    ExpectFixed(k4,
        { { 262, (14 << 9) | (255 << 1) }, { 261, (15 << 5) | (1 << 10) | (20 << 1) },
            { 29, 0x1D11 } });
    EXPECT_EQ(Fixed(k4, 263) & 0x007F, 40);
    EXPECT_EQ(k4.tables[15].size, 2);
    EXPECT_EQ(k4.tables[0].data[1], 0x0104);

    // List records of radio kind code 5: word 6 bits 5-6 from 1 to 2, only
    // in tables 0 and 1.
    const ParsedBlock& list = after[9];
    EXPECT_EQ((Words { list.tables[0].data[6], list.tables[0].data[13], list.tables[1].data[6],
                  list.tables[2].data[6] }),
        (Words { 0x0040, 0x0060, 0x0041, 0x0020 }));

    // A header word 52 with bits 13-15 set stays as it is; so does an image
    // without a header.
    words[52] = 0x2001;
    CodeplugImage again(words.data());
    ASSERT_TRUE(ApplyFormat510Defaults(again));
    EXPECT_EQ(words[52], 0x2001);
    Words empty(kWords, 0);
    CodeplugImage none(empty.data());
    EXPECT_TRUE(ApplyFormat510Defaults(none));
    EXPECT_EQ(empty, Words(kWords, 0));
}

// ---- The converter chain ----------------------------------------------------------

TEST(CodeplugChain, UpRunsTheLayoutSwitchThen5859Then59510AndDownTheReverse)
{
    const Words original = TypicalCodeplug(8, 2, 3, 2).Build();
    Words chained = original;
    int32_t change = 0;
    ASSERT_TRUE(RunChain(chained, true, 3, 5, change));
    Words stepwise = original;
    int32_t first = 0;
    int32_t second = 0;
    Switch(stepwise, DirectoryLayout::Split11);
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(stepwise, true, &first));
    ASSERT_TRUE(RunStep<QUVParmsFormat59510>(stepwise, true, &second));
    EXPECT_EQ(chained, stepwise);
    EXPECT_EQ(change, first + second);
    EXPECT_EQ(change, chained[4] - original[4]);
    EXPECT_EQ(chained[3], 0x050A);
    EXPECT_NO_THROW(ParseChain(chained, true));

    ASSERT_TRUE(RunChain(chained, false, 3, 5, change));
    ASSERT_TRUE(RunStep<QUVParmsFormat59510>(stepwise, false, &first));
    ASSERT_TRUE(RunStep<QUVParmsFormat5859>(stepwise, false, &second));
    Switch(stepwise, DirectoryLayout::Split12);
    EXPECT_EQ(chained, stepwise);
    EXPECT_EQ(change, first + second);
    EXPECT_EQ(chained[3], 0x0508);
    EXPECT_EQ(chained[2] >> 12, 15) << "the header's directory is back in the old split";

    // Unknown indexes are refused.
    Words words = original;
    EXPECT_FALSE(RunChain(words, true, 3, 6, change));
    EXPECT_EQ(words, original);
}

TEST(CodeplugChain, RoundTrips58To59And59To510)
{
    // 5.8 -> 5.9 -> 5.8 keeps every table where it was, and a 5.9 image
    // keeps its directory words in the old split. The empty tables that 5.9
    // introduces keep the record size that the step up gave them, which is
    // their shape in a 5.9 codeplug.
    Words original = TypicalCodeplug(8, 3, 5, 3).Build();
    Words words = original;
    int32_t change = 1;
    ASSERT_TRUE(RunChain(words, true, 3, 4, change));
    EXPECT_EQ(change, 0);
    EXPECT_EQ(words[3], 0x0509);
    {
        const std::vector<ParsedBlock> before = ParseChain(original, false);
        const std::vector<ParsedBlock> middle = ParseChain(words, false);
        ASSERT_EQ(middle.size(), before.size());
        for (size_t i = 0; i < before.size(); ++i) {
            ASSERT_EQ(middle[i].tables.size(), 15u);
            EXPECT_EQ(middle[i].length, before[i].length) << i;
            for (size_t k = 0; k < 15; ++k)
                EXPECT_EQ(middle[i].tables[k].data, before[i].tables[k].data) << i << " " << k;
        }
    }
    ASSERT_TRUE(RunChain(words, false, 3, 4, change));
    EXPECT_EQ(change, 0);
    Words shaped59 = TypicalCodeplug(9, 3, 5, 3).Build();
    shaped59[3] = original[3];
    EXPECT_EQ(words, shaped59);

    // 5.9 -> 5.10 -> 5.9: tables whose fields moved into new words lose
    // those values, everything else comes back.
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
    original = b.Build();
    const std::vector<ParsedBlock> before = ParseChain(original, false);
    words = original;
    int32_t up = 0;
    ASSERT_TRUE(RunChain(words, true, 4, 5, up));
    EXPECT_NO_THROW(ParseChain(words, true));
    ASSERT_TRUE(RunChain(words, false, 4, 5, change));
    EXPECT_EQ(up, -change);
    const std::vector<ParsedBlock> after = ParseChain(words, false);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(after[i].start, before[i].start);
        EXPECT_EQ(after[i].length, before[i].length);
        EXPECT_EQ(after[i].directoryOffset, before[i].directoryOffset);
        ASSERT_EQ(after[i].tables.size(), 15u);
        const int kind = before[i].type == kSystem ? before[i].kind : -1;
        for (size_t k = 0; k < 15; ++k) {
            EXPECT_EQ(after[i].tables[k].count, before[i].tables[k].count) << k;
            EXPECT_EQ(after[i].tables[k].size, before[i].tables[k].size) << k;
            const bool moved = (before[i].type == kList && k <= 1)
                || ((kind == 1 || kind == 3) && (k == 5 || k == 6)) || (kind == 4 && k == 6);
            EXPECT_TRUE(moved || after[i].tables[k].data == before[i].tables[k].data) << k;
        }
    }
    EXPECT_EQ(words[4], original[4]);
}
