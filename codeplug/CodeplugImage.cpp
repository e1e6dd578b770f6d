#include "codeplug/CodeplugImage.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Walks the chain from word 0 up to header word 4's value and returns the
// start of the first block for which `match(walk)` holds, or 0.
template <typename Match> int WalkChain(CodeplugImage& image, Match match)
{
    for (BlockWalk walk(image, ChainBound::Announced); walk.Next();) {
        if (match(walk))
            return walk.Start();
    }
    return 0;
}

const char* ClassName(BlockClass c)
{
    switch (c) {
    case BlockClass::Header:
        return "header";
    case BlockClass::Kind:
        return "kind";
    case BlockClass::System:
        return "system";
    case BlockClass::List:
        return "list";
    }
    return "?";
}

} // namespace

// ---- CodeplugImage ------------------------------------------------------------

CodeplugImage::CodeplugImage(uint16_t* words, int liveWords)
    : m_Words(words)
{
    if (!m_Words)
        return;
    int last = kCodeplugWords;
    while (last > 0 && m_Words[last - 1] == 0)
        --last;
    const int announced = std::min<int>(m_Words[kHeaderWordChainEnd], kCodeplugWords);
    m_LiveWords = std::max({ last, announced, std::clamp(liveWords, 0, kCodeplugWords) });
    m_DataWords = m_LiveWords;
}

void CodeplugImage::BoundDataByChain()
{
    if (m_Words)
        m_DataWords = std::clamp(m_Words[kHeaderWordChainEnd] - kChainTrailer, 0, m_LiveWords);
}

void CodeplugImage::Fail(const std::string& reason)
{
    if (!m_Faulted) {
        m_Faulted = true;
        m_FaultReason = reason;
    }
}

uint16_t CodeplugImage::Word(int64_t index)
{
    if (!InRange(index)) {
        Fail("word " + std::to_string(index) + " lies outside the codeplug buffer");
        return 0;
    }
    return m_Words[index];
}

void CodeplugImage::SetWord(int64_t index, uint16_t value)
{
    if (!InRange(index)) {
        Fail("word " + std::to_string(index) + " lies outside the codeplug buffer");
        return;
    }
    if (m_Faulted)
        return;
    m_Words[index] = value;
    if (value != 0 && index >= m_LiveWords)
        m_LiveWords = static_cast<int>(index) + 1;
    if (value != 0 && index >= m_DataWords)
        m_DataWords = static_cast<int>(index) + 1;
}

// Faults when [at, at + count) is not inside the buffer.
bool CodeplugImage::SpanInRange(int64_t at, int64_t count)
{
    if (InRange(at, count))
        return true;
    Fail("words " + std::to_string(at) + " (+" + std::to_string(count)
        + ") lie outside the codeplug buffer");
    return false;
}

void CodeplugImage::Zero(int64_t at, int64_t count)
{
    if (!SpanInRange(at, count) || m_Faulted || count == 0)
        return;
    std::memset(m_Words + at, 0, static_cast<size_t>(count) * 2);
}

void CodeplugImage::Copy(int64_t at, const uint16_t* source, int64_t count)
{
    if (!SpanInRange(at, count) || m_Faulted || count == 0)
        return;
    std::memmove(m_Words + at, source, static_cast<size_t>(count) * 2);
    for (int64_t i = count; i > 0 && at + i > m_DataWords; --i) {
        if (source[i - 1] != 0) {
            m_LiveWords = std::max(m_LiveWords, static_cast<int>(at + i));
            m_DataWords = static_cast<int>(at + i);
            break;
        }
    }
}

// Only the live words need moving: everything after them is zero, so moving
// zeros about changes nothing. Growth that would push codeplug data past the
// end of the buffer is refused; other live words that fall off the end (what
// follows the chain in a full-length file) are dropped.
void CodeplugImage::MoveTail(int64_t to, int64_t from)
{
    if (to < 0 || from < 0 || to > kCodeplugWords || from > kCodeplugWords) {
        Fail("a move from word " + std::to_string(from) + " to word " + std::to_string(to)
            + " leaves the codeplug buffer");
        return;
    }
    if (m_Faulted || !m_Words || to == from)
        return;
    if (to > from) {
        const int64_t gap = to - from;
        if (m_LiveWords <= from)
            return;
        if (m_DataWords > from && m_DataWords + gap > kCodeplugWords) {
            Fail("the converted codeplug would not fit into 65536 bytes");
            return;
        }
        const int64_t kept = std::min<int64_t>(m_LiveWords, kCodeplugWords - gap);
        if (kept > from)
            std::memmove(m_Words + to, m_Words + from, static_cast<size_t>(kept - from) * 2);
        m_LiveWords = static_cast<int>(std::min<int64_t>(m_LiveWords + gap, kCodeplugWords));
        if (m_DataWords > from)
            m_DataWords += static_cast<int>(gap);
        return;
    }
    const int64_t gap = from - to;
    if (m_LiveWords > from) {
        std::memmove(m_Words + to, m_Words + from, static_cast<size_t>(m_LiveWords - from) * 2);
        std::memset(m_Words + m_LiveWords - gap, 0, static_cast<size_t>(gap) * 2);
        m_LiveWords -= static_cast<int>(gap);
    } else if (m_LiveWords > to) {
        std::memset(m_Words + to, 0, static_cast<size_t>(m_LiveWords - to) * 2);
        m_LiveWords = static_cast<int>(to);
    }
    if (m_DataWords > from)
        m_DataWords -= static_cast<int>(gap);
    else if (m_DataWords > to)
        m_DataWords = static_cast<int>(to);
}

// ---- Block chain ---------------------------------------------------------------

BlockWalk::BlockWalk(CodeplugImage& image, ChainBound bound)
    : m_Image(image)
    , m_Bound(bound)
{
}

bool BlockWalk::Next()
{
    if (m_Stop != WalkStop::Walking)
        return false;
    if (m_Started)
        m_Position += BlockLengthAt(m_Image, m_Position);
    m_Started = true;
    if (!m_Image.InRange(0, kHeaderWordChainEnd + 1)) {
        m_Stop = WalkStop::PastBuffer;
        return false;
    }
    const int announced = m_Image.Word(kHeaderWordChainEnd);
    const int bound = m_Bound == ChainBound::ChainEnd ? announced - kChainTrailer : announced;
    if (m_Position >= bound) {
        m_Stop = WalkStop::Bound;
    } else if (!m_Image.InRange(m_Position, 4)) {
        m_Stop = WalkStop::PastBuffer;
    } else if (m_Image.Word(m_Position) != kBlockMarker) {
        m_Stop = WalkStop::NoMarker;
    } else {
        const uint16_t typeAndLength = m_Image.Word(m_Position + 1);
        m_Type = static_cast<BlockType>((typeAndLength & kBlockTypeMask) >> kBlockTypeShift);
        m_Length = typeAndLength & kBlockLengthMask;
        if (m_Length == 0)
            m_Stop = WalkStop::ZeroLength;
    }
    return m_Stop == WalkStop::Walking;
}

int BlockWalk::Kind() const
{
    return GetField(m_Image, m_Position + 3, kBlockKindMask, kBlockKindShift);
}

// ---- Bit fields ---------------------------------------------------------------

uint16_t GetField(CodeplugImage& image, int64_t index, uint16_t mask, int shift)
{
    return static_cast<uint16_t>((image.Word(index) & mask) >> shift);
}

uint32_t SetField(CodeplugImage& image, int64_t index, uint16_t mask, int shift, uint32_t value)
{
    const uint32_t shifted = static_cast<uint32_t>(static_cast<uint64_t>(value) << shift);
    const uint16_t word = image.Word(index);
    image.SetWord(index, static_cast<uint16_t>((word & ~mask) | (shifted & 0xFFFF)));
    return shifted;
}

int GetChainEnd(CodeplugImage& image)
{
    return image.Word(kHeaderWordChainEnd);
}

void SetChainEnd(CodeplugImage& image, int value)
{
    image.SetWord(kHeaderWordChainEnd, static_cast<uint16_t>(value));
}

int GetRadioKind(CodeplugImage& image)
{
    return GetField(image, kHeaderWordRadioKind, kRadioKindMask, 0);
}

int GetListCount(CodeplugImage& image)
{
    return GetField(image, kHeaderWordCounts, 0xFF00, 8);
}

int GetSystemCount(CodeplugImage& image)
{
    return GetField(image, kHeaderWordCounts, 0x00FF, 0);
}

// ---- Block finders --------------------------------------------------------------

int FindKindBlock(CodeplugImage& image, int kind)
{
    return WalkChain(image, [&](const BlockWalk& walk) {
        return walk.Type() == BlockType::Kind && walk.Kind() == kind;
    });
}

int FindSystemBlock(CodeplugImage& image, int number)
{
    return WalkChain(image, [&](const BlockWalk& walk) {
        return walk.Type() == BlockType::System
            && (image.Word(walk.Start() + 3) & kSystemNumberMask) == number;
    });
}

int FindListBlock(CodeplugImage& image, int ordinal)
{
    int seen = 0;
    return WalkChain(image,
        [&](const BlockWalk& walk) { return walk.Type() == BlockType::List && ++seen == ordinal; });
}

// ---- Block-level accessors --------------------------------------------------------

int LocateBlock(CodeplugImage& image, BlockRef block)
{
    int start = 0;
    switch (block.blockClass) {
    case BlockClass::Header:
        return image.Present() ? 0 : -1;
    case BlockClass::Kind:
        start = FindKindBlock(image, block.key);
        break;
    case BlockClass::System:
        start = FindSystemBlock(image, block.key);
        break;
    case BlockClass::List:
        start = FindListBlock(image, block.key);
        break;
    }
    if (start == 0) {
        image.Fail(std::string(ClassName(block.blockClass)) + " block " + std::to_string(block.key)
            + " is missing from the block chain");
        return -1;
    }
    return start;
}

int BlockLengthAt(CodeplugImage& image, int block)
{
    return GetField(image, block + 1, kBlockLengthMask, 0);
}

int DescriptorIndexAt(CodeplugImage& image, int block, int table)
{
    return block + GetField(image, block + 2, kDirectoryOffsetMask, 0) + table;
}

void AdjustLengths(CodeplugImage& image, int block, int delta)
{
    if (delta == 0)
        return;
    const int length = BlockLengthAt(image, block) + delta;
    const int chainEnd = GetChainEnd(image) + delta;
    if (length < 1 || length > kBlockLengthMask) {
        image.Fail("the block at word " + std::to_string(block)
            + " would get a length outside 1 to 16383 words");
        return;
    }
    if (chainEnd < 0 || chainEnd > 0xFFFF) {
        image.Fail("the chain end would leave header word 4");
        return;
    }
    SetField(image, block + 1, kBlockLengthMask, 0, static_cast<uint32_t>(length));
    SetChainEnd(image, chainEnd);
}

namespace {

int GetAt(CodeplugImage& image, BlockRef block, int offset, uint16_t mask, int shift)
{
    const int start = LocateBlock(image, block);
    return start < 0 ? 0 : GetField(image, start + offset, mask, shift);
}

void SetAt(CodeplugImage& image, BlockRef block, int offset, uint16_t mask, int shift, int value)
{
    if (value < 0)
        return;
    const int start = LocateBlock(image, block);
    if (start >= 0)
        SetField(image, start + offset, mask, shift, static_cast<uint32_t>(value));
}

int DescriptorOffset(CodeplugImage& image, BlockRef block, int table)
{
    const int start = LocateBlock(image, block);
    return start < 0 ? -1 : DescriptorIndexAt(image, start, table);
}

int GetDescriptorField(CodeplugImage& image, BlockRef block, int table, uint16_t mask, int shift)
{
    const int at = DescriptorOffset(image, block, table);
    return at < 0 ? 0 : GetField(image, at, mask, shift);
}

void SetDescriptorField(
    CodeplugImage& image, BlockRef block, int table, uint16_t mask, int shift, int value)
{
    if (value < 0)
        return;
    const int at = DescriptorOffset(image, block, table);
    if (at >= 0)
        SetField(image, at, mask, shift, static_cast<uint32_t>(value));
}

} // namespace

int GetBlockLength(CodeplugImage& image, BlockRef block)
{
    return GetAt(image, block, 1, kBlockLengthMask, 0);
}

void SetBlockLength(CodeplugImage& image, BlockRef block, int length)
{
    SetAt(image, block, 1, kBlockLengthMask, 0, length);
}

int GetDirectoryOffset(CodeplugImage& image, BlockRef block)
{
    return GetAt(image, block, 2, kDirectoryOffsetMask, 0);
}

void SetDirectoryOffset(CodeplugImage& image, BlockRef block, int offset)
{
    SetAt(image, block, 2, kDirectoryOffsetMask, 0, offset);
}

int GetTableCount(CodeplugImage& image, BlockRef block)
{
    return GetAt(image, block, 2, kDirectoryCountMask, kDirectoryCountShift);
}

void SetTableCount(CodeplugImage& image, BlockRef block, int count)
{
    SetAt(image, block, 2, kDirectoryCountMask, kDirectoryCountShift, count);
}

int GetRecordCount(CodeplugImage& image, BlockRef block, int table)
{
    return GetDescriptorField(image, block, table, kRecordCountMask, kRecordCountShift);
}

void SetRecordCount(CodeplugImage& image, BlockRef block, int table, int count)
{
    SetDescriptorField(image, block, table, kRecordCountMask, kRecordCountShift, count);
}

int GetRecordSize(CodeplugImage& image, BlockRef block, int table)
{
    return GetDescriptorField(image, block, table, kRecordSizeMask, 0);
}

void SetRecordSize(CodeplugImage& image, BlockRef block, int table, int size)
{
    SetDescriptorField(image, block, table, kRecordSizeMask, 0, size);
}

void SetTableDescriptor(CodeplugImage& image, BlockRef block, int table, int count, int size)
{
    SetRecordCount(image, block, table, count);
    SetRecordSize(image, block, table, size);
}

int GetSystemKind(CodeplugImage& image, int number)
{
    return GetAt(image, BlockRef::System(number), 3, kBlockKindMask, kBlockKindShift);
}

// ---- Table helpers ------------------------------------------------------------------

TableLocation TableStart(CodeplugImage& image, int block, int table)
{
    TableLocation where;
    const int directory = block + GetField(image, block + 2, kDirectoryOffsetMask, 0);
    const int tables = GetField(image, block + 2, kDirectoryCountMask, kDirectoryCountShift);
    if (table < 0 || !image.InRange(directory, table + 1)) {
        image.Fail("descriptor " + std::to_string(table) + " of the block at word "
            + std::to_string(block) + " lies outside the codeplug buffer");
        return where;
    }
    int64_t start = static_cast<int64_t>(directory) + tables;
    for (int j = 0; j < table; ++j) {
        const uint16_t descriptor = image.Word(directory + j);
        start += static_cast<int64_t>(descriptor >> kRecordCountShift)
            * (descriptor & kRecordSizeMask);
    }
    const uint16_t descriptor = image.Word(directory + table);
    where.count = descriptor >> kRecordCountShift;
    where.size = descriptor & kRecordSizeMask;
    if (!image.InRange(start, static_cast<int64_t>(where.count) * where.size)) {
        image.Fail("table " + std::to_string(table) + " of the block at word "
            + std::to_string(block) + " lies outside the codeplug buffer");
        return where;
    }
    where.start = static_cast<int>(start);
    return where;
}

int ReplaceTable(
    CodeplugImage& image, int systemNumber, int table, const uint16_t* records, int count, int size)
{
    const int block = LocateBlock(image, BlockRef::System(systemNumber));
    if (block < 0)
        return GetChainEnd(image);
    const TableLocation where = TableStart(image, block, table);
    if (where.start < 0)
        return GetChainEnd(image);
    const int oldWords = where.count * where.size;
    const int newWords = records ? count * size : 0;
    MoveWords(image, where.start + newWords, where.start + oldWords);
    if (records)
        image.Copy(where.start, records, newWords);
    const int descriptor = DescriptorIndexAt(image, block, table);
    SetField(image, descriptor, kRecordCountMask, kRecordCountShift, static_cast<uint32_t>(count));
    SetField(image, descriptor, kRecordSizeMask, 0, static_cast<uint32_t>(size));
    AdjustLengths(image, block, newWords - oldWords);
    return GetChainEnd(image);
}

void MoveWords(CodeplugImage& image, int64_t to, int64_t from)
{
    image.MoveTail(to, from);
}

void ZeroWords(CodeplugImage& image, int64_t at, int64_t count)
{
    image.Zero(at, count);
}

void WriteName(CodeplugImage& image, int64_t at, std::string_view text)
{
    uint8_t bytes[10];
    std::memset(bytes, 0x20, sizeof bytes);
    for (size_t i = 0; i < text.size() && i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>(text[i]);
    for (int i = 0; i < 5; ++i)
        image.SetWord(at + i, static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
}

// ---- Format versions -------------------------------------------------------------------

uint8_t FormatIndexOfVersion(uint8_t major, uint8_t minor)
{
    if (major == 5 && minor >= 5 && minor <= 10)
        return static_cast<uint8_t>(minor - 5);
    return kUnknownFormatIndex;
}

uint8_t CodeplugFormatIndex(CodeplugImage& image)
{
    if (!image.Present())
        return kUnknownFormatIndex;
    const uint16_t version = image.Word(kHeaderWordVersion);
    return FormatIndexOfVersion(
        static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version & 0xFF));
}

FormatVersion VersionOfFormatIndex(int index)
{
    if (index >= 0 && index < 6)
        return { 5, static_cast<uint8_t>(index + 5) };
    return {};
}

// ---- Validation -----------------------------------------------------------------------

namespace {

bool Refuse(std::string* reason, const std::string& text)
{
    if (reason)
        *reason = text;
    return false;
}

} // namespace

bool CheckCodeplugHeader(CodeplugImage& image, std::string* reason)
{
    const int chainEnd = GetChainEnd(image);
    const int listCount = GetListCount(image);
    const int systemCount = GetSystemCount(image);
    if ((image.Word(1) & kBlockTypeMask) != 0)
        return Refuse(reason, "the first block is not the header block");
    if (chainEnd <= kChainTrailer)
        return Refuse(
            reason, "header word 4 (chain end) is " + std::to_string(chainEnd) + ", not above 128");
    if (listCount < 1 || listCount > 54)
        return Refuse(reason,
            "the header announces " + std::to_string(listCount) + " list blocks (1 to 54 allowed)");
    if (systemCount < 1 || systemCount > 16)
        return Refuse(reason,
            "the header announces " + std::to_string(systemCount)
                + " system blocks (1 to 16 allowed)");
    return true;
}

bool CheckCodeplug(CodeplugImage& image, std::string* reason)
{
    auto fail = [&](const std::string& text) { return Refuse(reason, text); };
    if (!image.Present())
        return fail("there is no codeplug image");
    if (image.Word(0) != kBlockMarker)
        return fail("the codeplug does not start with a block marker");
    if (!CheckCodeplugHeader(image, reason))
        return false;
    const int chainEnd = GetChainEnd(image);
    const int listCount = GetListCount(image);
    const int systemCount = GetSystemCount(image);

    const int end = chainEnd - kChainTrailer;
    if (end > kCodeplugWords)
        return fail("the block chain would end beyond the codeplug buffer");
    int kindBlocks = 0;
    int systems = 0;
    int lists = 0;
    unsigned systemKinds = 0;
    BlockWalk walk(image, ChainBound::ChainEnd);
    while (walk.Next()) {
        if (walk.Type() == BlockType::Kind) {
            ++kindBlocks;
        } else if (walk.Type() == BlockType::System) {
            int kind = walk.Kind();
            if (kind >= 7)
                return fail("the system block at word " + std::to_string(walk.Start())
                    + " has kind " + std::to_string(kind));
            if (kind == 3)
                kind = 1;
            systemKinds |= 1u << kind;
            ++systems;
        } else if (walk.Type() == BlockType::List) {
            ++lists;
        }
    }
    const std::string at = std::to_string(walk.Position());
    switch (walk.Stopped()) {
    case WalkStop::PastBuffer:
        return fail("the block at word " + at + " runs past the codeplug buffer");
    case WalkStop::NoMarker:
        return fail("no block marker at word " + at);
    case WalkStop::ZeroLength:
        return fail("the block at word " + at + " has length 0");
    case WalkStop::Walking:
    case WalkStop::Bound:
        break;
    }
    if (walk.Position() != end)
        return fail(
            "the block chain ends at word " + at + " instead of word " + std::to_string(end));
    if (std::popcount(systemKinds) != kindBlocks)
        return fail("there are " + std::to_string(kindBlocks) + " kind blocks for "
            + std::to_string(std::popcount(systemKinds)) + " system kinds");
    if (systems != systemCount)
        return fail("the chain holds " + std::to_string(systems)
            + " system blocks, the header announces " + std::to_string(systemCount));
    if (lists != listCount)
        return fail("the chain holds " + std::to_string(lists)
            + " list blocks, the header announces " + std::to_string(listCount));
    return true;
}

bool IsCodeplugValid(CodeplugImage& image)
{
    return CheckCodeplug(image, nullptr);
}

// ---- Directory layout --------------------------------------------------------------------

void SwitchDirectoryLayout(CodeplugImage& image, DirectoryLayout to)
{
    for (BlockWalk walk(image, ChainBound::Announced); walk.Next();) {
        const int at = walk.Start() + 2;
        if (to == DirectoryLayout::Split11) {
            const int count = GetField(image, at, kOldDirectoryCountMask, kOldDirectoryCountShift);
            SetField(image, at, kOldDirectoryCountMask, 0, 0);
            SetField(
                image, at, kDirectoryCountMask, kDirectoryCountShift, static_cast<uint32_t>(count));
        } else {
            const int count = GetField(image, at, kDirectoryCountMask, kDirectoryCountShift);
            SetField(image, at, kDirectoryCountMask, 0, 0);
            SetField(image, at, kOldDirectoryCountMask, kOldDirectoryCountShift,
                static_cast<uint32_t>(count));
        }
    }
}
