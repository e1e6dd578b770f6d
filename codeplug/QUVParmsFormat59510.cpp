#include "codeplug/QUVParmsFormat59510.h"

namespace {

// Record sizes that change between 5.9 (from) and 5.10 (to).
struct RecordSizes {
    int table;
    int from;
    int to;
};
constexpr RecordSizes kListTables[] = {
    { 0, 17, 18 },
    { 1, 15, 15 },
    { 2, 13, 13 },
    { 3, 13, 13 },
    { 4, 14, 14 },
};

// Six fields that are set together when all of them are still 0.
struct FieldDefault {
    int word;
    uint16_t mask;
    int shift;
    uint32_t value;
};

void SetDefaultsIfAllZero(CodeplugImage& image, int block, const FieldDefault (&fields)[6])
{
    for (const FieldDefault& field : fields) {
        if (GetField(image, block + field.word, field.mask, field.shift) != 0)
            return;
    }
    for (const FieldDefault& field : fields)
        SetField(image, block + field.word, field.mask, field.shift, field.value);
}

constexpr FieldDefault kSystem0Defaults[6] = {
    { 27, 0x007F, 0, 14 },
    { 15, 0x03E0, 5, 15 },
    { 15, 0xFC00, 10, 1 },
    { 26, 0x7F00, 8, 40 },
    { 27, 0x0780, 7, 20 },
    { 26, 0x00FF, 0, 255 },
};
constexpr FieldDefault kSystem4Defaults[6] = {
    { 262, 0xFE00, 9, 14 },
    { 261, 0x03E0, 5, 15 },
    { 261, 0xFC00, 10, 1 },
    { 263, 0x007F, 0, 40 },
    { 261, 0x001E, 1, 20 },
    { 262, 0x01FE, 1, 255 },
};

} // namespace

QUVParmsFormat59510::QUVParmsFormat59510()
{
    m_FormatId = kFormatIndex510;
}

void QUVParmsFormat59510::HeaderHook()
{
    CodeplugImage& image = Image();
    HeaderTableResize(1, 16, 64, -1, -1, false);
    if (!Up())
        return;
    if (GetField(image, 29, 0x1C00, 10) == 0)
        SetField(image, 28, 0x1C00, 10, 1);
    if (GetField(image, 6, 0x00F0, 4) < 4)
        SetField(image, 6, 0x00F0, 4, 4);
    if (GetField(image, 24, 0x00FF, 0) == 1)
        SetField(image, 24, 0x00FF, 0, 2);
    SpaceFill(46, false);
    SetField(image, 23, 0x0F00, 8, 0);
}

void QUVParmsFormat59510::Kind0Hook()
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const int block = FindKindBlock(image, 0);
    if (block != 0)
        ZeroWords(image, block + 30, 10);
}

void QUVParmsFormat59510::MoveRecordFields(BlockRef ref, int table, const FieldMove& move)
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const int block = LocateBlock(image, ref);
    if (block < 0)
        return;
    const TableLocation where = TableStart(image, block, table);
    if (where.start < 0)
        return;
    for (int i = 0; i < where.count; ++i)
        MoveField(where.start + static_cast<int64_t>(i) * where.size, move);
}

void QUVParmsFormat59510::MoveField(int64_t base, const FieldMove& move)
{
    CodeplugImage& image = Image();
    const int value = GetField(image, base + move.sourceWord, move.sourceMask, move.sourceShift);
    SetField(image, base + move.destinationWord, move.destinationMask, move.destinationShift,
        static_cast<uint32_t>(value));
    SetField(image, base + move.sourceWord, move.sourceMask, move.sourceShift, 0);
}

void QUVParmsFormat59510::MergeTable(int system, int target, int source, bool maskFirstWord)
{
    if (!Up())
        return;
    CodeplugImage& image = Image();
    const BlockRef ref = BlockRef::System(system);
    const int block = LocateBlock(image, ref);
    if (block < 0 || GetRecordSize(image, ref, target) != 0)
        return;
    const TableLocation from = TableStart(image, block, source);
    if (from.start < 0)
        return;
    SetTableDescriptor(image, ref, target, from.count, 3);
    const TableLocation to = TableStart(image, block, target);
    if (to.start < 0)
        return;
    const int words = 3 * from.count;
    MoveWords(image, to.start + words, to.start);
    for (int i = 0; i < from.count; ++i) {
        const int64_t in = from.start + static_cast<int64_t>(i) * from.size;
        const int64_t out = to.start + static_cast<int64_t>(i) * 3;
        const uint16_t first = image.Word(in);
        image.SetWord(out, maskFirstWord ? first & 0x0FFF : first);
        image.SetWord(out + 1, image.Word(in + 1));
        image.SetWord(out + 2, image.Word(in + 2));
    }
    AdjustLengths(image, block, words);
}

void QUVParmsFormat59510::System0Hook(int system)
{
    SystemTableRecordResize(system, 3, 36, 58);
    if (!Up())
        return;
    const int block = LocateBlock(Image(), BlockRef::System(system));
    if (block < 0)
        return;
    MoveField(block, { 4, 0x00F0, 4, 28, 0x0FC0, 6 });
}

void QUVParmsFormat59510::SystemKind13Hook(int system, bool kind3)
{
    const BlockRef ref = BlockRef::System(system);
    SystemTableRecordResize(system, 7, 36, 58);
    SystemTableRecordResize(system, 5, kind3 ? 6 : 4, kind3 ? 7 : 5);
    MoveRecordFields(ref, 5, { 3, 0x1E00, 9, 4, 0x003F, 0 });
    SystemTableRecordResize(system, 6, kind3 ? 20 : 18, kind3 ? 21 : 19);
    MoveRecordFields(ref, 6, { 1, 0x1E00, 9, 18, 0x003F, 0 });
    if (!Up())
        return;
    DefaultRecordSize(system, kind3 ? 13 : 9, 2);
    MergeTable(system, kind3 ? 14 : 10, 5, true);
    const int block = LocateBlock(Image(), ref);
    if (block >= 0)
        LevelShift(block + 10, 0x3E00, 9);
}

void QUVParmsFormat59510::System1Hook(int system)
{
    SystemKind13Hook(system, false);
}

void QUVParmsFormat59510::System3Hook(int system)
{
    SystemKind13Hook(system, true);
}

void QUVParmsFormat59510::System4Hook(int system)
{
    const BlockRef ref = BlockRef::System(system);
    SystemTableRecordResize(system, 9, 36, 58);
    SystemTableRecordResize(system, 6, 8, 13);
    MoveRecordFields(ref, 6, { 3, 0x1E00, 9, 12, 0x003F, 0 });
    SystemTableRecordResize(system, 7, 22, 26);
    SystemTableRecordResize(system, 11, 32, 64);
    SystemTableClear(system, 15);
    SystemTableClear(system, 16);
    if (!Up())
        return;

    CodeplugImage& image = Image();
    DefaultRecordSize(system, 13, 2);
    MergeTable(system, 14, 6, false);

    const int block = LocateBlock(image, ref);
    if (block < 0)
        return;
    if (GetRadioKind(image) == 4) {
        for (int table : { 6, 14 }) {
            const TableLocation where = TableStart(image, block, table);
            if (where.start < 0)
                return;
            for (int i = 0; i < where.count; ++i) {
                const int64_t record = where.start + static_cast<int64_t>(i) * where.size;
                for (int w : { 1, 2 }) {
                    if (image.Word(record + w) == 0xFFFF)
                        image.SetWord(record + w, 0x0FFF);
                }
            }
        }
    }
    MoveField(block, { 250, 0xF000, 12, 263, 0x1F80, 7 });
    LevelShift(block + 248, 0x001F, 0);
}

void QUVParmsFormat59510::System5Hook(int system)
{
    SystemTableRecordResize(system, 2, 37, 59);
    SystemTableClear(system, 3);
}

void QUVParmsFormat59510::System4PostRestructureHook(int system)
{
    SetTableDescriptor(Image(), BlockRef::System(system), 15, 0, 2);
}

void QUVParmsFormat59510::System5PostRestructureHook(int system)
{
    SetTableDescriptor(Image(), BlockRef::System(system), 3, 0, 37);
}

void QUVParmsFormat59510::ListHook1(int list)
{
    ListTableRecordResize(list, kListTables[0].table, kListTables[0].from, kListTables[0].to);
    MoveRecordFields(BlockRef::List(list), 0, { 14, 0x000F, 0, 16, 0x003F, 0 });
}

void QUVParmsFormat59510::ListHook2(int list)
{
    ListTableRecordResize(list, kListTables[1].table, kListTables[1].from, kListTables[1].to);
    MoveRecordFields(BlockRef::List(list), 1, { 11, 0x3C00, 10, 12, 0x00FC, 2 });
}

void QUVParmsFormat59510::ListHook3(int list)
{
    ListTableRecordResize(list, kListTables[2].table, kListTables[2].from, kListTables[2].to);
}

void QUVParmsFormat59510::ListHook4(int list)
{
    ListTableRecordResize(list, kListTables[3].table, kListTables[3].from, kListTables[3].to);
}

void QUVParmsFormat59510::ListHook5(int list)
{
    ListTableRecordResize(list, kListTables[4].table, kListTables[4].from, kListTables[4].to);
}

// ---- 5.10 defaults ----------------------------------------------------------------

bool ApplyFormat510Defaults(CodeplugImage& image)
{
    if (!image.Present() || image.Word(0) != kBlockMarker)
        return !image.Faulted();

    if (GetField(image, 52, 0xE000, 13) == 0) {
        for (int shift : { 13, 10, 7, 4, 1 })
            SetField(image, 52, static_cast<uint16_t>(0x7 << shift), shift, 4);
    }

    if (!CheckCodeplugHeader(image, nullptr))
        return !image.Faulted();

    const int radioKind = GetRadioKind(image);
    for (BlockWalk walk(image, ChainBound::ChainEnd); !image.Faulted() && walk.Next();) {
        const int pos = walk.Start();
        const BlockType type = walk.Type();
        const int kind = walk.Kind();
        if (type == BlockType::Kind && kind == 4) {
            uint16_t word = image.Word(pos + 30);
            for (int shift : { 6, 4, 2, 0 }) {
                if (((word >> shift) & 0x3) == 0)
                    word = static_cast<uint16_t>(word | (1u << shift));
            }
            image.SetWord(pos + 30, word);
        } else if (type == BlockType::System && kind == 0) {
            int value = GetField(image, pos + 8, 0x00FF, 0);
            const int limit = GetField(image, pos + 84, 0xFF00, 8);
            if (limit < value)
                value &= 0x0F;
            if (limit < value)
                value = 0;
            SetField(image, pos + 8, 0x00FF, 0, static_cast<uint32_t>(value));
            SetDefaultsIfAllZero(image, pos, kSystem0Defaults);
        } else if (type == BlockType::System && kind == 3) {
            // At most 16 records of 64 words in table 11.
            const int records = GetField(image, pos + 344, 0xFF00, 8);
            if (records > 16) {
                const TableLocation next = TableStart(image, pos, 12);
                if (next.start < 0)
                    break;
                const int words = (records - 16) * 64;
                MoveWords(image, next.start - words, next.start);
                SetField(image, pos + 344, 0xFF00, 8, 16);
                AdjustLengths(image, pos, -words);
            }
        } else if (type == BlockType::System && kind == 4) {
            SetDefaultsIfAllZero(image, pos, kSystem4Defaults);
            SetByteIfZero(image, pos + 29, true, 29);
            SetByteIfZero(image, pos + 313, false, 2);
            SetByteIfZero(image, pos + 320, false, 4);
        } else if (type == BlockType::List
            && (radioKind == 1 || radioKind == 5 || radioKind == 6)) {
            for (int table : { 0, 1 }) {
                const TableLocation where = TableStart(image, pos, table);
                if (where.start < 0)
                    break;
                for (int i = 0; i < where.count; ++i) {
                    const int64_t record = where.start + static_cast<int64_t>(i) * where.size;
                    if (GetField(image, record + 6, 0x0060, 5) == 1)
                        SetField(image, record + 6, 0x0060, 5, 2);
                }
            }
        }
    }
    return !image.Faulted();
}
