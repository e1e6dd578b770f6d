#include "codeplug/QUVParmsFormat5859.h"

namespace {

constexpr int kHeaderWord25 = 25;
constexpr int kHeaderWordFavouritesName = 39;
constexpr int kHeaderWord70 = 70;

constexpr int kFavouritesTable = 3;
constexpr int kFavouritesRecords = 16;
constexpr uint16_t kFavouritesEntry = 0xFF01;

// Kind-block word and the system-block word it is kept in from 5.9 on.
struct WordPair {
    int kindWord;
    int systemWord;
};
constexpr WordPair kKind0Exchange[] = {
    { 10, 18 },
    { 11, 19 },
    { 12, 21 },
    { 13, 22 },
    { 27, 23 },
    { 28, 24 },
    { 30, 25 },
};

// Defaults of a grown kind-0 table 2 record: 548.864 rounded half up, and 659.
constexpr uint16_t kTable2Word2Default = 549;
constexpr uint16_t kTable2Word3Default = 659;

constexpr int kMembershipRecordWords = 37;
constexpr int kMembershipBitmapWords = 32;

} // namespace

QUVParmsFormat5859::QUVParmsFormat5859()
{
    m_FormatId = kFormatIndex59;
}

void QUVParmsFormat5859::HeaderHook()
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const BlockRef header = BlockRef::Header();

    const int table0Count = GetRecordCount(image, header, 0);
    if (table0Count < 16)
        HeaderTableResize(0, table0Count, 16, -1, -1, false);

    // Favourites: a new table of 16 one-word entries and its name.
    if (GetRecordSize(image, header, kFavouritesTable) == 0) {
        // A table of record size 0 holds no words, whatever its count says;
        // it grows from 0 records.
        SetTableDescriptor(image, header, kFavouritesTable, 0, 1);
        HeaderTableResize(kFavouritesTable, 0, kFavouritesRecords, -1, -1, false);
        const TableLocation where = TableStart(image, 0, kFavouritesTable);
        if (where.start < 0)
            return;
        for (int i = 0; i < kFavouritesRecords; ++i)
            image.SetWord(where.start + i, kFavouritesEntry);
        WriteName(image, kHeaderWordFavouritesName, "FAVORITES");
    }

    SetByteIfZero(image, kHeaderWord25, true, 1);
    SetByteIfZero(image, kHeaderWord25, false, 1);
}

void QUVParmsFormat5859::Kind0Hook()
{
    CodeplugImage& image = Image();
    const int kindBlock = FindKindBlock(image, 0);
    const int systems = GetSystemCount(image);
    int systemBlock = -1;
    for (int n = 1; n <= systems && systemBlock < 0; ++n) {
        const int block = LocateBlock(image, BlockRef::System(n));
        if (block < 0)
            return;
        if (GetField(image, block + 3, kBlockKindMask, kBlockKindShift) == 0)
            systemBlock = block;
    }
    if (systemBlock < 0 || kindBlock == 0)
        return;
    for (const WordPair& pair : kKind0Exchange) {
        if (Up())
            image.SetWord(systemBlock + pair.systemWord, image.Word(kindBlock + pair.kindWord));
        else
            image.SetWord(kindBlock + pair.kindWord, image.Word(systemBlock + pair.systemWord));
    }
}

void QUVParmsFormat5859::System0Hook(int system)
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const BlockRef ref = BlockRef::System(system);

    if (GetRecordSize(image, ref, 2) < 4) {
        SystemTableRecordResize(system, 2, 2, 4);
        const int block = LocateBlock(image, ref);
        if (block < 0)
            return;
        const TableLocation where = TableStart(image, block, 2);
        if (where.start < 0)
            return;
        for (int i = 0; i < where.count; ++i) {
            const int64_t record = where.start + static_cast<int64_t>(i) * where.size;
            SetField(image, record + 2, 0x0FFF, 0, kTable2Word2Default);
            image.SetWord(record + 3, kTable2Word3Default);
        }
    }

    const int block = LocateBlock(image, ref);
    if (block < 0)
        return;
    bool aliasEmpty = true;
    for (int i = 65; i <= 69; ++i)
        aliasEmpty = aliasEmpty && image.Word(block + i) == 0;
    if (aliasEmpty)
        WriteName(image, block + 65, "SYS ALIAS");

    DefaultRecordSize(system, 6, 9);
    DefaultRecordSize(system, 7, 9);
    DefaultRecordSize(system, 8, 2);

    SetByteIfZero(image, kHeaderWord70, false, 60);
}

// Kind-1 and kind-3 systems get the same treatment; only their table numbers
// differ (`table` is 9 in kind-1 systems, 13 in kind-3 systems).
void QUVParmsFormat5859::SystemKind13Hook(int system, int table)
{
    SystemTableClear(system, table);
    SystemTableClear(system, table + 1);
    const int block = LocateBlock(Image(), BlockRef::System(system));
    if (block < 0)
        return;
    LevelShift(block + 10, 0x3E00, 9);
    if (Up()) {
        DefaultRecordSize(system, table - 1, 9);
        DefaultRecordSize(system, table, 2);
    }
}

void QUVParmsFormat5859::System1Hook(int system)
{
    SystemKind13Hook(system, 9);
}

void QUVParmsFormat5859::System3Hook(int system)
{
    SystemKind13Hook(system, 13);
}

void QUVParmsFormat5859::System4Hook(int system)
{
    CodeplugImage& image = Image();
    SystemTableClear(system, 13);
    SystemTableClear(system, 14);
    const int block = LocateBlock(image, BlockRef::System(system));
    if (block < 0)
        return;
    LevelShift(block + 248, 0x001F, 0);
    if (!Up())
        return;

    // Radios of kind code 8: a table 0 entry that is in use but has an empty
    // word is cleared as a whole.
    if (GetRadioKind(image) == 8) {
        const TableLocation where = TableStart(image, block, 0);
        if (where.start < 0)
            return;
        for (int i = 0; i < where.count; ++i) {
            const int64_t record = where.start + static_cast<int64_t>(i) * 6;
            if (image.Word(record) == 0xFFFF)
                continue;
            bool gap = false;
            for (int w = 1; w <= 5; ++w)
                gap = gap || image.Word(record + w) == 0;
            if (gap) {
                for (int w = 0; w < 6; ++w)
                    image.SetWord(record + w, 0xFFFF);
            }
        }
    }

    DefaultRecordSize(system, 12, 9);
    DefaultRecordSize(system, 13, 2);
}

void QUVParmsFormat5859::System5Hook(int system)
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const BlockRef ref = BlockRef::System(system);

    if (GetRecordSize(image, ref, 0) <= 10)
        SystemTableRecordResize(system, 0, 10, 11);

    // Membership list (entries of word index and bit number) to one bitmap
    // record named "1".
    const int block = LocateBlock(image, ref);
    if (block < 0)
        return;
    const TableLocation members = TableStart(image, block, 1);
    if (members.start < 0 || members.count == 0)
        return;
    uint16_t record[kMembershipRecordWords] = {};
    record[0] = 0x2031;
    for (int i = 1; i < 5; ++i)
        record[i] = 0x2020;
    for (int i = 0; i < members.count; ++i) {
        const uint16_t entry = image.Word(members.start + static_cast<int64_t>(i) * 2 + 1);
        const int word = entry >> 8;
        const int bit = entry & 0xFF;
        if (word < kMembershipBitmapWords && bit <= 15)
            record[5 + word] |= static_cast<uint16_t>(1u << (15 - bit));
    }
    ReplaceTable(image, system, 2, record, 1, kMembershipRecordWords);
    ReplaceTable(image, system, 1, nullptr, 0, 2);
}

void QUVParmsFormat5859::System1PostRestructureHook(int system)
{
    SetTableDescriptor(Image(), BlockRef::System(system), 9, 0, 2);
}

void QUVParmsFormat5859::System3PostRestructureHook(int system)
{
    SetTableDescriptor(Image(), BlockRef::System(system), 13, 0, 2);
}

void QUVParmsFormat5859::System4PostRestructureHook(int system)
{
    System3PostRestructureHook(system);
}
