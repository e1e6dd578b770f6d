#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Field access to a codeplug image: the radio's parameter block as 16-bit
// words in host order, at most 32768 words (the 65536-byte transfer buffer).
//
// Layout the code relies on:
// - a chain of blocks from word 0, each starting with the marker 0x5F5F and a
//   word holding the block type (bits 14-15) and the block's length in words
//   (bits 0-13); type 0 is the header, 1 a kind block, 2 a system block, 3 a
//   list block;
// - header word 3 the parameter-format version (high byte major, low byte
//   minor), word 4 the chain end plus 128, word 5 bits 0-3 the radio kind
//   code, word 14 the list count (high byte) and the system count (low byte);
// - word 2 of every block its table directory word: table count and the
//   offset of the descriptor list. Formats up to 5.9 keep the count in bits
//   12-15 and the offset in bits 0-11; format 5.10 keeps the count in bits
//   11-15 and the offset in bits 0-10. The accessors here always read the
//   5.10 split; the conversion chain switches an image's directory words
//   around it (SwitchDirectoryLayout);
// - one descriptor word per table (high byte record count, low byte record
//   size in words), the tables' data following the descriptor list directly.
//
// An image comes from a radio or a file and is not trusted: every access is
// bounded to the buffer. A CodeplugImage is a view on the caller's buffer that
// remembers the first fault (an index outside the buffer, a change that would
// push live data out of it, a block that cannot be found). Once faulted, every
// later write is ignored, so a conversion that went wrong stops changing the
// buffer and reports the fault instead.

inline constexpr int kCodeplugBytes = 65536;
inline constexpr int kCodeplugWords = 32768;
inline constexpr uint16_t kBlockMarker = 0x5F5F;
inline constexpr uint8_t kUnknownFormatIndex = 255;

// Header words (see the layout above).
inline constexpr int kHeaderWordVersion = 3;
inline constexpr int kHeaderWordChainEnd = 4;
inline constexpr int kHeaderWordRadioKind = 5;
inline constexpr int kHeaderWordCounts = 14;
// Header word 4 holds the chain end plus this many words.
inline constexpr int kChainTrailer = 128;
inline constexpr uint16_t kRadioKindMask = 0x000F;

// Word 1 of a block: type and length in words.
inline constexpr uint16_t kBlockTypeMask = 0xC000;
inline constexpr int kBlockTypeShift = 14;
inline constexpr uint16_t kBlockLengthMask = 0x3FFF;
// Word 3 of a kind or system block: the kind; of a system block also its number.
inline constexpr uint16_t kBlockKindMask = 0xF000;
inline constexpr int kBlockKindShift = 12;
inline constexpr uint16_t kSystemNumberMask = 0x00FF;

enum class BlockType { Header = 0, Kind = 1, System = 2, List = 3 };

// Word 2 of a block in the 5.10 split: table count and descriptor offset.
inline constexpr uint16_t kDirectoryOffsetMask = 0x07FF;
inline constexpr uint16_t kDirectoryCountMask = 0xF800;
inline constexpr int kDirectoryCountShift = 11;
// The same word in formats up to 5.9.
inline constexpr uint16_t kOldDirectoryOffsetMask = 0x0FFF;
inline constexpr uint16_t kOldDirectoryCountMask = 0xF000;
inline constexpr int kOldDirectoryCountShift = 12;
// A table descriptor: record count (high byte) and record size (low byte).
inline constexpr uint16_t kRecordCountMask = 0xFF00;
inline constexpr int kRecordCountShift = 8;
inline constexpr uint16_t kRecordSizeMask = 0x00FF;

// Format indexes of the parameter formats the converters know.
inline constexpr int kFormatIndex58 = 3;
inline constexpr int kFormatIndex59 = 4;
inline constexpr int kFormatIndex510 = 5;

class CodeplugImage {
public:
    // `words` holds kCodeplugWords words, or is null for an absent image.
    // `liveWords` is how many words from the start carry the codeplug
    // (everything after them must be zero); by default it is worked out from
    // the buffer: up to the last non-zero word, and at least up to the chain
    // end plus 128 that header word 4 announces.
    explicit CodeplugImage(uint16_t* words, int liveWords = -1);

    bool Present() const { return m_Words != nullptr; }
    uint16_t* Words() const { return m_Words; }

    // True when [index, index + count) lies inside the buffer.
    bool InRange(int64_t index, int64_t count = 1) const
    {
        return m_Words && index >= 0 && count >= 0 && index + count <= kCodeplugWords;
    }

    // Reads a word; an index outside the buffer reads 0 and faults.
    uint16_t Word(int64_t index);
    // Writes a word; an index outside the buffer faults, and a faulted image
    // is not written at all.
    void SetWord(int64_t index, uint16_t value);

    // Moves the words from `from` up to the end of the buffer so that they
    // start at `to`; words moved past the end of the buffer are dropped. A
    // move that would push codeplug data (DataWords) out of the buffer faults
    // and moves nothing.
    void MoveTail(int64_t to, int64_t from);
    void Zero(int64_t at, int64_t count);
    void Copy(int64_t at, const uint16_t* source, int64_t count);

    // Number of words from the start that may hold codeplug data; every word
    // after them is zero.
    int LiveWords() const { return m_LiveWords; }
    // Number of words from the start that hold codeplug data, which growth
    // must not push out of the buffer: all live words, unless
    // BoundDataByChain narrowed them to the block chain.
    int DataWords() const { return m_DataWords; }
    // Only the block chain (up to header word 4 - 128) is codeplug data; the
    // words after it (padding of a full-length file) may fall off the end of
    // the buffer when the image grows. For an image that passed validation.
    void BoundDataByChain();

    bool Faulted() const { return m_Faulted; }
    const std::string& FaultReason() const { return m_FaultReason; }
    // Records a fault; the first reason is kept.
    void Fail(const std::string& reason);

private:
    bool SpanInRange(int64_t at, int64_t count);

    uint16_t* m_Words;
    int m_LiveWords = 0;
    int m_DataWords = 0;
    bool m_Faulted = false;
    std::string m_FaultReason;
};

// ---- Block chain ----------------------------------------------------------

// Where a walk over the chain ends: at header word 4's value (the chain end
// plus 128, as the finders walk) or at the chain end itself (word 4 - 128).
enum class ChainBound { Announced, ChainEnd };

// Why a walk stopped.
enum class WalkStop {
    Walking, // not stopped yet
    Bound, // the position reached the bound
    PastBuffer, // the next block's first four words lie outside the buffer
    NoMarker, // no block marker at the position
    ZeroLength, // a block of length 0
};

// The blocks of the chain from word 0, one after the other:
//
//     for (BlockWalk walk(image, ChainBound::ChainEnd); walk.Next();)
//         ... walk.Start(), walk.Type(), walk.Length() ...
//
// The bound is read from header word 4 before every step, and a step
// advances by the length the block has at that moment, so a walk may change
// the block it stands on (its length included) before moving on.
class BlockWalk {
public:
    BlockWalk(CodeplugImage& image, ChainBound bound);

    // Moves to the next block (the first call to the block at word 0); false
    // when the walk stops, with the reason in Stopped().
    bool Next();

    int Start() const { return m_Position; }
    BlockType Type() const { return m_Type; }
    int Length() const { return m_Length; }
    // Word 3 bits 12-15 of a kind or system block.
    int Kind() const;
    // Where the walk stands, or where it stopped.
    int Position() const { return m_Position; }
    WalkStop Stopped() const { return m_Stop; }

private:
    CodeplugImage& m_Image;
    ChainBound m_Bound;
    bool m_Started = false;
    int m_Position = 0;
    BlockType m_Type = BlockType::Header;
    int m_Length = 0;
    WalkStop m_Stop = WalkStop::Walking;
};

// ---- Bit fields -----------------------------------------------------------

// (image[index] AND mask) shifted right by shift.
uint16_t GetField(CodeplugImage& image, int64_t index, uint16_t mask, int shift);
// Clears the mask's bits of image[index] and ORs in value shifted left by
// shift. The value is not masked: a value wider than the field spills into
// the neighbouring bits (within the 16-bit word). Returns the shifted value.
uint32_t SetField(CodeplugImage& image, int64_t index, uint16_t mask, int shift, uint32_t value);

// Header word 4: end of the block chain plus 128.
int GetChainEnd(CodeplugImage& image);
void SetChainEnd(CodeplugImage& image, int value);
// Header word 5 bits 0-3: the radio kind code.
int GetRadioKind(CodeplugImage& image);
// Header word 14: the number of list blocks (high byte) and of system blocks
// (low byte) the header announces.
int GetListCount(CodeplugImage& image);
int GetSystemCount(CodeplugImage& image);

// ---- Block finders ----------------------------------------------------------
// Each walks the chain from word 0 and returns the block's start, or 0 when
// the block is not there (the chain breaks, a block has length 0, or the walk
// reaches header word 4's value or the end of the buffer).

int FindKindBlock(CodeplugImage& image, int kind);
int FindSystemBlock(CodeplugImage& image, int number);
// `ordinal` counts list blocks from 1.
int FindListBlock(CodeplugImage& image, int ordinal);

// ---- Block-level accessors ----------------------------------------------------

enum class BlockClass { Header, Kind, System, List };

// A block named the way the converters name it: the header, a kind block by
// its kind, a system block by its number, a list block by its ordinal.
struct BlockRef {
    BlockClass blockClass;
    int key = 0;

    static BlockRef Header() { return { BlockClass::Header, 0 }; }
    static BlockRef Kind(int kind) { return { BlockClass::Kind, kind }; }
    static BlockRef System(int number) { return { BlockClass::System, number }; }
    static BlockRef List(int ordinal) { return { BlockClass::List, ordinal }; }
};

// Start of the block, or -1 (and a fault) when a kind, system or list block
// cannot be found.
int LocateBlock(CodeplugImage& image, BlockRef block);

// Set functions with a negative value leave the field unchanged. All of them
// fault (and read 0) when the block cannot be found.
int GetBlockLength(CodeplugImage& image, BlockRef block);
void SetBlockLength(CodeplugImage& image, BlockRef block, int length);
int GetDirectoryOffset(CodeplugImage& image, BlockRef block);
void SetDirectoryOffset(CodeplugImage& image, BlockRef block, int offset);
int GetTableCount(CodeplugImage& image, BlockRef block);
void SetTableCount(CodeplugImage& image, BlockRef block, int count);
int GetRecordCount(CodeplugImage& image, BlockRef block, int table);
void SetRecordCount(CodeplugImage& image, BlockRef block, int table, int count);
int GetRecordSize(CodeplugImage& image, BlockRef block, int table);
void SetRecordSize(CodeplugImage& image, BlockRef block, int table, int size);
// Record count, then record size of table k's descriptor.
void SetTableDescriptor(CodeplugImage& image, BlockRef block, int table, int count, int size);
// Kind of a system block (word 3 bits 12-15).
int GetSystemKind(CodeplugImage& image, int number);

// The same fields addressed by a block's start.
int BlockLengthAt(CodeplugImage& image, int block);
int DescriptorIndexAt(CodeplugImage& image, int block, int table);

// Adds `delta` words to the block's length field and to header word 4;
// faults when either would leave its field.
void AdjustLengths(CodeplugImage& image, int block, int delta);

// ---- Table helpers ------------------------------------------------------------

struct TableLocation {
    int start = -1; // first data word, -1 when faulted
    int count = 0; // record count
    int size = 0; // record size in words
};

// Start of table k's data in the block starting at `block`: block + directory
// offset + table count + the words of tables 0 to k-1. Faults when the
// descriptors or the table's data lie outside the buffer.
TableLocation TableStart(CodeplugImage& image, int block, int table);

// Replaces the content of table k of system block `systemNumber` with `count`
// records of `size` words from `records` (no records: the table's content is
// removed). The words after the table follow the new content directly;
// descriptor k becomes (count, size); the block's length and word 4 change by
// the difference. Returns the new word 4.
int ReplaceTable(CodeplugImage& image, int systemNumber, int table, const uint16_t* records,
    int count, int size);

// Moves the words from `from` to the end of the buffer so that they start at
// `to` (overlapping moves allowed).
void MoveWords(CodeplugImage& image, int64_t to, int64_t from);
void ZeroWords(CodeplugImage& image, int64_t at, int64_t count);

// A 10-character name field of 5 words at `at`: all bytes become spaces, then
// character 2i goes to the low byte and character 2i+1 to the high byte of
// word i (at most 10 characters).
void WriteName(CodeplugImage& image, int64_t at, std::string_view text);

// ---- Format versions ----------------------------------------------------------

// Format index of header word 3: 0 to 5 for versions 5.5 to 5.10, else 255.
uint8_t CodeplugFormatIndex(CodeplugImage& image);
uint8_t FormatIndexOfVersion(uint8_t major, uint8_t minor);

struct FormatVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
};
// (5, index + 5) for an index below 6, else (0, 0).
FormatVersion VersionOfFormatIndex(int index);

// ---- Validation -------------------------------------------------------------

// Structural check of an uploaded image: header, block chain, block counts and
// kinds. Gives the reason of the first failed check when `reason` is set.
bool CheckCodeplug(CodeplugImage& image, std::string* reason);
// The header's part of it: the first block is the header, the chain end lies
// above word 0, 1 to 54 list blocks and 1 to 16 system blocks are announced.
bool CheckCodeplugHeader(CodeplugImage& image, std::string* reason);
bool IsCodeplugValid(CodeplugImage& image);

// ---- Directory layout -------------------------------------------------------

enum class DirectoryLayout {
    Split12, // formats up to 5.9: count bits 12-15, offset bits 0-11
    Split11, // format 5.10: count bits 11-15, offset bits 0-10
};

// Rewrites word 2 of every block of the chain from one layout to the other;
// the offset bits stay as they are.
void SwitchDirectoryLayout(CodeplugImage& image, DirectoryLayout to);
