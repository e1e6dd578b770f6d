#pragma once

// Builds codeplug images for tests, and reads them back with a chain parser
// of its own (independent of the library's accessors), so that suites can
// state images as header, kind, system and list blocks with given tables.

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace codeplugtest {

inline constexpr int kWords = 32768;

struct Table {
    int count = 0;
    int size = 0;
    // count x size words; when empty the builder fills a pattern that is
    // different for every block, table and word.
    std::vector<uint16_t> data;
};

enum BlockType { kHeader = 0, kKind = 1, kSystem = 2, kList = 3 };

struct Block {
    int type = kHeader;
    int kind = 0; // kind and system blocks
    int number = 0; // system blocks
    int directoryOffset = 0;
    std::vector<Table> tables;
    // Words of the fixed area by index from the block's start; written last,
    // so they can also overwrite the marker, length, directory or word 3.
    std::map<int, uint16_t> words;

    Block& Word(int index, uint16_t value)
    {
        words[index] = value;
        return *this;
    }
    Block& Words(std::initializer_list<std::pair<int, uint16_t>> list)
    {
        for (const auto& [index, value] : list)
            words[index] = value;
        return *this;
    }
    Block& SetTable(int k, int count, int size, std::vector<uint16_t> data = {})
    {
        tables.at(static_cast<size_t>(k)) = Table { count, size, std::move(data) };
        return *this;
    }
};

// Data start and number of tables of a block class in a format.
inline std::pair<int, int> StandardLayout(int type, int kind, bool f510)
{
    if (type == kHeader)
        return { f510 ? 84 : 64, 15 };
    if (type == kList)
        return { 38, 15 };
    if (type == kKind)
        return { kind == 0 ? 69 : kind == 4 ? 76 : kind == 5 ? 65 : 70, 15 };
    // System kind, data start before 5.10, data start and tables in 5.10.
    const int systems[][4] = { { 0, 96, 96, 15 }, { 1, 144, 146, 17 }, { 3, 348, 354, 21 },
        { 4, 313, 319, 21 }, { 5, 57, 57, 15 } };
    for (const auto& s : systems)
        if (s[0] == kind)
            return f510 ? std::pair { s[2], s[3] } : std::pair { s[1], 15 };
    return { 60, 15 };
}

class CodeplugBuilder {
public:
    explicit CodeplugBuilder(int major = 5, int minor = 8)
        : m_Major(major)
        , m_Minor(minor)
    {
        m_Blocks.push_back(Standard(kHeader, 0, 0));
    }

    Block& Header() { return m_Blocks[0]; }
    Block& AddKind(int kind) { return Add(Standard(kKind, kind, 0)); }
    Block& AddSystem(int number, int kind) { return Add(Standard(kSystem, kind, number)); }
    Block& AddList() { return Add(Standard(kList, 0, 0)); }
    Block& At(size_t index) { return m_Blocks.at(index); }
    size_t BlockCount() const { return m_Blocks.size(); }

    // The image; 128 non-zero words follow the chain (where word 4 points
    // past, as far as the buffer reaches) so that tests see the tail of the
    // image move along.
    std::vector<uint16_t> Build() const
    {
        std::vector<uint16_t> image(kWords, 0);
        int pos = 0;
        int systems = 0;
        int lists = 0;
        m_Starts.assign(m_Blocks.size(), 0);
        for (size_t b = 0; b < m_Blocks.size(); ++b) {
            const Block& block = m_Blocks[b];
            systems += block.type == kSystem;
            lists += block.type == kList;
            const int tables = static_cast<int>(block.tables.size());
            int length = block.directoryOffset + tables;
            for (const Table& t : block.tables)
                length += t.count * t.size;
            image.at(pos) = 0x5F5F;
            image.at(pos + 1) = static_cast<uint16_t>((block.type << 14) | (length & 0x3FFF));
            image.at(pos + 2) = static_cast<uint16_t>(m_Minor >= 10
                    ? (tables << 11) | (block.directoryOffset & 0x07FF)
                    : (tables << 12) | (block.directoryOffset & 0x0FFF));
            if (block.type == kKind || block.type == kSystem)
                image.at(pos + 3) = static_cast<uint16_t>((block.kind << 12) | block.number);
            int at = pos + block.directoryOffset;
            for (const Table& t : block.tables)
                image.at(at++) = static_cast<uint16_t>((t.count << 8) | t.size);
            for (size_t k = 0; k < block.tables.size(); ++k) {
                const Table& t = block.tables[k];
                for (int i = 0; i < t.count * t.size; ++i) {
                    image.at(at++) = t.data.empty() ? static_cast<uint16_t>(
                                         ((((b * 31 + k * 7) << 8) + i * 3 + 1) | 0x0100) & 0x7FFF)
                                                    : t.data.at(static_cast<size_t>(i));
                }
            }
            m_Starts[b] = pos;
            pos += length;
        }
        image.at(3) = static_cast<uint16_t>((m_Major << 8) | m_Minor);
        image.at(4) = static_cast<uint16_t>(pos + 128);
        image.at(14) = static_cast<uint16_t>((lists << 8) | systems);
        for (int i = 0; i < 128 && pos + i < kWords; ++i)
            image.at(pos + i) = static_cast<uint16_t>(0x7E00 + i);
        for (size_t b = 0; b < m_Blocks.size(); ++b)
            for (const auto& [index, value] : m_Blocks[b].words)
                image.at(m_Starts[b] + index) = value;
        return image;
    }

    // Start of block b in the last built image.
    int StartOf(size_t b) const { return m_Starts.at(b); }

    // Wire form (most significant byte first) of the image up to the chain
    // end plus 128 (or the end of the buffer).
    std::vector<uint8_t> BuildWire() const
    {
        const std::vector<uint16_t> image = Build();
        std::vector<uint8_t> bytes;
        for (int i = 0; i < std::min<int>(image[4], kWords); ++i) {
            bytes.push_back(static_cast<uint8_t>(image[i] >> 8));
            bytes.push_back(static_cast<uint8_t>(image[i] & 0xFF));
        }
        return bytes;
    }

private:
    Block Standard(int type, int kind, int number) const
    {
        const auto [dataStart, tables] = StandardLayout(type, kind, m_Minor >= 10);
        Block block { type, kind, number, dataStart - tables, {}, {} };
        block.tables.resize(static_cast<size_t>(tables));
        return block;
    }
    Block& Add(Block block)
    {
        m_Blocks.push_back(std::move(block));
        return m_Blocks.back();
    }

    int m_Major;
    int m_Minor;
    std::vector<Block> m_Blocks;
    mutable std::vector<int> m_Starts;
};

// A small codeplug of format 5.`minor`: header, a kind block, system 1 of
// that kind and a list block.
inline CodeplugBuilder SmallCodeplug(int minor, int kind = 0)
{
    CodeplugBuilder builder(5, minor);
    builder.AddKind(kind);
    builder.AddSystem(1, kind);
    builder.AddList();
    return builder;
}

// A codeplug of format 5.8 or 5.9 with content in every table that the
// format uses: header, kind blocks 0, 1, 4 and 5, `systemSets` sets of
// systems of kinds 0, 1, 3, 4 and 5, and `lists` list blocks; every used table
// holds `records` records of the record size the format gives it. Tables
// that 5.9 introduces are empty, and the tables that the step to 5.9 would
// rebuild already have their 5.9 shape, so that 5.8 -> 5.9 -> 5.8 can give
// back the same image.
inline CodeplugBuilder TypicalCodeplug(int minor, int systemSets, int lists, int records)
{
    CodeplugBuilder builder(5, minor);
    const bool f59 = minor >= 9;
    auto fill = [&](Block& block, std::map<int, int> sizes, std::set<int> empty = {}) {
        for (int k = 0; k < static_cast<int>(block.tables.size()); ++k) {
            const int size = sizes.count(k) ? sizes[k] : 2;
            block.SetTable(k, empty.count(k) ? 0 : records, empty.count(k) ? 0 : size);
        }
        return &block;
    };
    fill(builder.Header(), {});
    builder.Header().SetTable(0, 16, 3).SetTable(1, 16, 4).SetTable(3, 16, 1);
    builder.Header().Word(25, 0x0101).Word(70, 60);
    for (int kind : { 0, 1, 4, 5 })
        fill(builder.AddKind(kind), {});
    int number = 1;
    for (int set = 0; set < systemSets; ++set) {
        Block* s0
            = fill(builder.AddSystem(number++, 0), { { 2, 4 }, { 3, 36 }, { 6, 9 }, { 7, 9 } });
        for (int i = 65; i <= 69; ++i)
            s0->Word(i, 0x4141);
        Block* s1 = fill(builder.AddSystem(number++, 1),
            { { 5, 4 }, { 6, 18 }, { 7, 36 }, { 8, 9 } }, { 9, 10 });
        s1->SetTable(9, 0, f59 ? 2 : 0).Word(10, 3 << 9);
        Block* s3 = fill(builder.AddSystem(number++, 3),
            { { 5, 6 }, { 6, 20 }, { 7, 36 }, { 12, 9 } }, { 13, 14 });
        s3->SetTable(13, 0, f59 ? 2 : 0).Word(10, 5 << 9);
        Block* s4 = fill(builder.AddSystem(number++, 4),
            { { 0, 6 }, { 6, 8 }, { 7, 22 }, { 9, 36 }, { 11, 32 }, { 12, 9 } }, { 13, 14 });
        s4->SetTable(13, 0, f59 ? 2 : 0).Word(248, 7);
        fill(builder.AddSystem(number++, 5), { { 0, 11 }, { 2, 37 } }, { 1, 3 });
    }
    for (int i = 0; i < lists; ++i)
        fill(builder.AddList(), { { 0, 17 }, { 1, 15 }, { 2, 13 }, { 3, 13 }, { 4, 14 } });
    return builder;
}

// A 5.9 codeplug whose conversion to 5.10 would grow it past the 65536-byte
// buffer.
inline CodeplugBuilder HugeCodeplug()
{
    CodeplugBuilder huge(5, 9);
    huge.Header().SetTable(1, 16, 255);
    huge.AddKind(0);
    huge.AddSystem(1, 0);
    huge.AddList().SetTable(5, 255, 60);
    huge.AddList().SetTable(5, 200, 40);
    return huge;
}

// ---- Reading an image back ---------------------------------------------------

struct ParsedTable {
    int count = 0;
    int size = 0;
    std::vector<uint16_t> data;
    bool operator==(const ParsedTable&) const = default;
};

struct ParsedBlock {
    int start = 0;
    int type = 0;
    int length = 0;
    int kind = 0;
    int number = 0;
    int directoryOffset = 0;
    std::vector<uint16_t> fixed; // words 3 to directoryOffset - 1
    std::vector<ParsedTable> tables;
};

// Walks the chain up to header word 4 minus 128, reading directory words in
// the 5.10 split (`split510`) or in the older one. Throws on a broken chain.
inline std::vector<ParsedBlock> ParseChain(const std::vector<uint16_t>& image, bool split510)
{
    std::vector<ParsedBlock> blocks;
    const int end = image.at(4) - 128;
    for (int pos = 0; pos < end; pos += blocks.back().length) {
        if (image.at(pos) != 0x5F5F || (image.at(pos + 1) & 0x3FFF) == 0)
            throw std::runtime_error("broken block at word " + std::to_string(pos));
        ParsedBlock b;
        b.start = pos;
        b.type = image.at(pos + 1) >> 14;
        b.length = image.at(pos + 1) & 0x3FFF;
        const uint16_t dir = image.at(pos + 2);
        const int tables = split510 ? dir >> 11 : dir >> 12;
        b.directoryOffset = split510 ? dir & 0x07FF : dir & 0x0FFF;
        b.kind = image.at(pos + 3) >> 12;
        b.number = image.at(pos + 3) & 0xFF;
        for (int i = 3; i < b.directoryOffset; ++i)
            b.fixed.push_back(image.at(pos + i));
        int at = pos + b.directoryOffset + tables;
        for (int k = 0; k < tables; ++k) {
            const uint16_t d = image.at(pos + b.directoryOffset + k);
            ParsedTable t { d >> 8, d & 0xFF, {} };
            for (int i = 0; i < t.count * t.size; ++i)
                t.data.push_back(image.at(at++));
            b.tables.push_back(std::move(t));
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

} // namespace codeplugtest
