#include "codeplug/QUVParmsFormatConvertBase.h"

#include <algorithm>
#include <iterator>

namespace {

// Size records of formats 5.8, 5.9 and 5.10, by block class.
struct SizeRow {
    SizeRecordClass blockClass;
    BlockSizeRecord byIndex[3]; // format indexes 3, 4, 5
};

constexpr SizeRow kSizeRows[] = {
    { SizeRecordClass::Header, { { 64, 0, 15, 0 }, { 64, 0, 15, 0 }, { 84, 20, 15, 0 } } },
    { SizeRecordClass::List, { { 38, 0, 15, 0 }, { 38, 0, 15, 0 }, { 38, 0, 15, 0 } } },
    { SizeRecordClass::System0, { { 96, 0, 15, 0 }, { 96, 0, 15, 0 }, { 96, 0, 15, 0 } } },
    { SizeRecordClass::System1, { { 144, 0, 15, 0 }, { 144, 0, 15, 0 }, { 146, 0, 17, 2 } } },
    { SizeRecordClass::System3, { { 348, 0, 15, 0 }, { 348, 0, 15, 0 }, { 354, 0, 21, 6 } } },
    { SizeRecordClass::System4, { { 313, 0, 15, 0 }, { 313, 0, 15, 0 }, { 319, 0, 21, 6 } } },
    { SizeRecordClass::System5, { { 57, 0, 15, 0 }, { 57, 0, 15, 0 }, { 57, 0, 15, 0 } } },
    { SizeRecordClass::Kind0, { { 69, 0, 15, 0 }, { 69, 0, 15, 0 }, { 69, 0, 15, 0 } } },
    { SizeRecordClass::Kind13, { { 70, 0, 15, 0 }, { 70, 0, 15, 0 }, { 70, 0, 15, 0 } } },
    { SizeRecordClass::Kind4, { { 76, 0, 15, 0 }, { 76, 0, 15, 0 }, { 76, 0, 15, 0 } } },
    { SizeRecordClass::Kind5, { { 65, 0, 15, 0 }, { 65, 0, 15, 0 }, { 65, 0, 15, 0 } } },
};

} // namespace

BlockSizeRecord BlockSizes(SizeRecordClass blockClass, int formatIndex)
{
    if (formatIndex < 3 || formatIndex > 5)
        return {};
    for (const SizeRow& row : kSizeRows) {
        if (row.blockClass == blockClass)
            return row.byIndex[formatIndex - 3];
    }
    return {};
}

int ResizeTableRecords(CodeplugImage& image, int start, int count, int fromSize, int toSize)
{
    if (count <= 0 || fromSize == toSize || fromSize < 0 || toSize < 0)
        return 0;
    if (!image.InRange(start, static_cast<int64_t>(count) * std::max(fromSize, toSize))) {
        image.Fail("a table at word " + std::to_string(start)
            + " would reach outside the codeplug buffer");
        return 0;
    }
    const int oldWords = count * fromSize;
    const int newWords = count * toSize;
    uint16_t* words = image.Words();
    if (toSize > fromSize) {
        // Make room for the whole table first, then spread the records out
        // from the last one down, each followed by its new zero words.
        MoveWords(image, start + newWords, start + oldWords);
        if (image.Faulted())
            return 0;
        for (int i = count - 1; i >= 0; --i) {
            image.Copy(start + i * toSize, words + start + i * fromSize, fromSize);
            image.Zero(start + i * toSize + fromSize, toSize - fromSize);
        }
    } else {
        for (int i = 1; i < count; ++i)
            image.Copy(start + i * toSize, words + start + i * fromSize, toSize);
        MoveWords(image, start + newWords, start + oldWords);
    }
    return newWords - oldWords;
}

void SetByteIfZero(CodeplugImage& image, int64_t index, bool high, int value)
{
    const uint16_t mask = high ? 0xFF00 : 0x00FF;
    const int shift = high ? 8 : 0;
    if (GetField(image, index, mask, shift) == 0)
        SetField(image, index, mask, shift, static_cast<uint32_t>(value));
}

// ---- Running a step ------------------------------------------------------------------

bool QUVParmsFormatConvertBase::ConvertUp(CodeplugImage& image)
{
    return Run(image, kUp);
}

bool QUVParmsFormatConvertBase::ConvertDown(CodeplugImage& image)
{
    return Run(image, kDown);
}

template <typename PostHook>
void QUVParmsFormatConvertBase::Restructure(
    int block, const BlockSizeRecord& record, bool header, PostHook postHook)
{
    CodeplugImage& image = Image();
    const int fixed = record.fixedAdded;
    const int tables = record.tableCount;
    const int added = record.tablesAdded;
    const int count = GetField(image, block + 2, kDirectoryCountMask, kDirectoryCountShift);
    if (Up()) {
        const int offset = record.dataStart - tables;
        SetField(image, block + 2, kDirectoryOffsetMask, 0, static_cast<uint32_t>(offset));
        SetField(image, block + 2, kDirectoryCountMask, kDirectoryCountShift,
            static_cast<uint32_t>(count + added));
        if (fixed > 0) {
            MoveWords(image, block + offset, block + offset - fixed);
            ZeroWords(image, block + offset - fixed, fixed);
        }
        if (added > 0) {
            MoveWords(image, block + offset + tables, block + offset + tables - added);
            ZeroWords(image, block + offset + tables - added, added);
        }
        if (!header)
            postHook();
        AdjustLengths(image, block, fixed + added);
        if (header)
            postHook();
        return;
    }
    const int offset = record.dataStart - fixed - tables;
    SetField(image, block + 2, kDirectoryOffsetMask, 0, static_cast<uint32_t>(offset));
    if (count - added >= 0)
        SetField(image, block + 2, kDirectoryCountMask, kDirectoryCountShift,
            static_cast<uint32_t>(count - added));
    if (added > 0)
        MoveWords(image, block + offset + fixed + tables - added, block + offset + fixed + tables);
    if (fixed > 0)
        MoveWords(image, block + offset, block + offset + fixed);
    AdjustLengths(image, block, -(fixed + added));
}

bool QUVParmsFormatConvertBase::Run(CodeplugImage& image, uint8_t direction)
{
    m_Image = &image;
    m_Direction = direction;
    m_SizeChange = 0;
    if (!image.Present() || !image.InRange(0, kHeaderWordCounts + 1)) {
        image.Fail("there is no codeplug image to convert");
        return false;
    }
    if (image.Faulted())
        return false;
    const int before = GetChainEnd(image);

    using Hook = void (QUVParmsFormatConvertBase::*)();
    using NumberedHook = void (QUVParmsFormatConvertBase::*)(int);

    // One block: restructure and hooks in the order of the direction.
    auto convertBlock
        = [&](int block, SizeRecordClass blockClass, bool header, auto hook, auto postHook) {
              const BlockSizeRecord record = BlockSizes(blockClass, m_FormatId);
              if (Up()) {
                  Restructure(block, record, header, postHook);
                  if (!Stopped())
                      hook();
              } else {
                  hook();
                  if (!Stopped())
                      Restructure(block, record, header, [] {});
              }
          };

    // Header.
    convertBlock(
        0, SizeRecordClass::Header, true, [this] { HeaderHook(); },
        [this] { HeaderPostRestructureHook(); });
    const FormatVersion version = VersionOfFormatIndex(Up() ? m_FormatId : m_FormatId - 1);
    image.SetWord(kHeaderWordVersion, static_cast<uint16_t>((version.major << 8) | version.minor));
    if (Stopped())
        return false;

    // Kind blocks; kinds 1 and 3 share one step.
    struct KindStep {
        int kind;
        int alternative;
        SizeRecordClass blockClass;
        Hook hook;
        Hook postHook;
    };
    const KindStep kindSteps[] = {
        { 0, -1, SizeRecordClass::Kind0, &QUVParmsFormatConvertBase::Kind0Hook,
            &QUVParmsFormatConvertBase::Kind0PostRestructureHook },
        { 1, 3, SizeRecordClass::Kind13, &QUVParmsFormatConvertBase::Kind13Hook,
            &QUVParmsFormatConvertBase::Kind13PostRestructureHook },
        { 4, -1, SizeRecordClass::Kind4, &QUVParmsFormatConvertBase::Kind4Hook,
            &QUVParmsFormatConvertBase::Kind4PostRestructureHook },
        { 5, -1, SizeRecordClass::Kind5, &QUVParmsFormatConvertBase::Kind5Hook,
            &QUVParmsFormatConvertBase::Kind5PostRestructureHook },
    };
    for (const KindStep& step : kindSteps) {
        int block = FindKindBlock(image, step.kind);
        if (block == 0 && step.alternative >= 0)
            block = FindKindBlock(image, step.alternative);
        if (block == 0)
            continue;
        convertBlock(
            block, step.blockClass, false, [&] { (this->*step.hook)(); },
            [&] { (this->*step.postHook)(); });
        if (Stopped())
            return false;
    }

    // System blocks by number; kinds without a record are left alone.
    const int systems = GetSystemCount(image);
    for (int n = 1; n <= systems; ++n) {
        const int block = LocateBlock(image, BlockRef::System(n));
        if (block < 0)
            return false;
        struct SystemStep {
            int kind;
            SizeRecordClass blockClass;
            NumberedHook hook;
            NumberedHook postHook;
        };
        static constexpr SystemStep systemSteps[] = {
            { 0, SizeRecordClass::System0, &QUVParmsFormatConvertBase::System0Hook,
                &QUVParmsFormatConvertBase::System0PostRestructureHook },
            { 1, SizeRecordClass::System1, &QUVParmsFormatConvertBase::System1Hook,
                &QUVParmsFormatConvertBase::System1PostRestructureHook },
            { 3, SizeRecordClass::System3, &QUVParmsFormatConvertBase::System3Hook,
                &QUVParmsFormatConvertBase::System3PostRestructureHook },
            { 4, SizeRecordClass::System4, &QUVParmsFormatConvertBase::System4Hook,
                &QUVParmsFormatConvertBase::System4PostRestructureHook },
            { 5, SizeRecordClass::System5, &QUVParmsFormatConvertBase::System5Hook,
                &QUVParmsFormatConvertBase::System5PostRestructureHook },
        };
        const int kind = GetField(image, block + 3, kBlockKindMask, kBlockKindShift);
        const auto step = std::find_if(std::begin(systemSteps), std::end(systemSteps),
            [kind](const SystemStep& s) { return s.kind == kind; });
        if (step == std::end(systemSteps))
            continue;
        const NumberedHook hook = step->hook;
        const NumberedHook postHook = step->postHook;
        convertBlock(
            block, step->blockClass, false, [&] { (this->*hook)(n); },
            [&] { (this->*postHook)(n); });
        if (Stopped())
            return false;
    }

    // List blocks by ordinal, each with its five hooks.
    const int lists = GetListCount(image);
    for (int n = 1; n <= lists; ++n) {
        const int block = LocateBlock(image, BlockRef::List(n));
        if (block < 0)
            return false;
        auto listHooks = [&] {
            const NumberedHook hooks[] = {
                &QUVParmsFormatConvertBase::ListHook1,
                &QUVParmsFormatConvertBase::ListHook2,
                &QUVParmsFormatConvertBase::ListHook3,
                &QUVParmsFormatConvertBase::ListHook4,
                &QUVParmsFormatConvertBase::ListHook5,
            };
            for (NumberedHook hook : hooks) {
                if (Stopped())
                    return;
                (this->*hook)(n);
            }
        };
        convertBlock(
            block, SizeRecordClass::List, false, listHooks, [&] { ListPostRestructureHook(n); });
        if (Stopped())
            return false;
    }

    m_SizeChange = GetChainEnd(image) - before;
    return !Stopped();
}

// ---- Helpers -----------------------------------------------------------------------

void QUVParmsFormatConvertBase::HeaderTableResize(
    int table, int oldCount, int newCount, int oldSize, int newSize, bool descriptorOnly)
{
    CodeplugImage& image = Image();
    const TableLocation where = TableStart(image, 0, table);
    if (where.start < 0)
        return;
    SetTableDescriptor(
        image, BlockRef::Header(), table, Up() ? newCount : oldCount, Up() ? newSize : oldSize);
    if (descriptorOnly)
        return;
    const int end = where.start + where.count * where.size;
    const int delta = (newCount - oldCount) * where.size * (Up() ? 1 : -1);
    if (delta > 0) {
        MoveWords(image, end + delta, end);
        ZeroWords(image, end, delta);
    } else if (delta < 0) {
        MoveWords(image, end + delta, end);
    }
    AdjustLengths(image, 0, delta);
}

void QUVParmsFormatConvertBase::RecordResize(BlockRef ref, int table, int oldSize, int newSize)
{
    CodeplugImage& image = Image();
    const int block = LocateBlock(image, ref);
    if (block < 0)
        return;
    SetRecordSize(image, ref, table, Up() ? newSize : oldSize);
    const TableLocation where = TableStart(image, block, table);
    if (where.start < 0)
        return;
    const int delta = Up() ? ResizeTableRecords(image, where.start, where.count, oldSize, newSize)
                           : ResizeTableRecords(image, where.start, where.count, newSize, oldSize);
    AdjustLengths(image, block, delta);
}

void QUVParmsFormatConvertBase::SystemTableRecordResize(
    int system, int table, int oldSize, int newSize)
{
    RecordResize(BlockRef::System(system), table, oldSize, newSize);
}

void QUVParmsFormatConvertBase::ListTableRecordResize(int list, int table, int oldSize, int newSize)
{
    RecordResize(BlockRef::List(list), table, oldSize, newSize);
}

void QUVParmsFormatConvertBase::SystemTableClear(int system, int table)
{
    if (Up())
        return;
    CodeplugImage& image = Image();
    const int block = LocateBlock(image, BlockRef::System(system));
    if (block < 0)
        return;
    const TableLocation where = TableStart(image, block, table);
    if (where.start < 0)
        return;
    const int words = where.count * where.size;
    MoveWords(image, where.start, where.start + words);
    SetRecordCount(image, BlockRef::System(system), table, 0);
    AdjustLengths(image, block, -words);
}

void QUVParmsFormatConvertBase::DefaultRecordSize(int system, int table, int size)
{
    CodeplugImage& image = Image();
    if (GetRecordSize(image, BlockRef::System(system), table) == 0)
        SetRecordSize(image, BlockRef::System(system), table, size);
}

void QUVParmsFormatConvertBase::SpaceFill(int firstWord, bool force)
{
    CodeplugImage& image = Image();
    for (int i = firstWord; i < firstWord + 5; ++i) {
        uint16_t word = image.Word(i);
        if (force || (word & 0x00FF) == 0)
            word = static_cast<uint16_t>((word & 0xFF00) | 0x0020);
        if (force || (word & 0xFF00) == 0)
            word = static_cast<uint16_t>((word & 0x00FF) | 0x2000);
        image.SetWord(i, word);
    }
}

void QUVParmsFormatConvertBase::LevelShift(int64_t index, uint16_t mask, int shift)
{
    CodeplugImage& image = Image();
    const int value = GetField(image, index, mask, shift);
    int shifted;
    if (Up())
        shifted = value > 11 ? 16 : value + 4;
    else
        shifted = value < 5 ? 0 : value - 4;
    SetField(image, index, mask, shift, static_cast<uint32_t>(shifted));
}
