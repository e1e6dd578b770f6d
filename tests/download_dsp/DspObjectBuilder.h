#pragma once

// Builds DSP object files for the tests: a 22-byte file header, an optional
// header, 40- or 48-byte section headers and the sections' raw data, all
// numbers little-endian. Also works out what the radio must receive for a
// page.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace dsptest {

using Bytes = std::vector<uint8_t>;

struct ObjectSection {
    uint32_t startAddress = 0; // words; with 48-byte headers the lower half
    int page = 0; // 40-byte headers: high byte of the page word; 48-byte: upper half
    uint16_t memoryPage48 = 0; // 48-byte headers: the memory-page word at 46
    Bytes data; // raw data (an even number of bytes)
    // Overrides for hostile files (used when set).
    bool overrideSize = false;
    uint32_t sizeWords = 0;
    bool overrideOffset = false;
    uint32_t rawOffset = 0;
};

struct ObjectFile {
    bool header48 = false;
    uint16_t optionalHeaderSize = 28; // 0: the section headers start at 22
    std::vector<ObjectSection> sections;
    // Overrides the section count in the file header when >= 0.
    int sectionCountField = -1;
};

// Little-endian, `width` bytes.
inline void Put(Bytes& out, size_t at, uint32_t value, int width = 4)
{
    for (int i = 0; i < width; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The object file's bytes. Raw data follows the section headers in section
// order.
inline Bytes BuildObject(const ObjectFile& file)
{
    const size_t headerSize = file.header48 ? 48 : 40;
    const size_t first = file.optionalHeaderSize != 0 ? 50 : 22;
    Bytes out(first + headerSize * file.sections.size(), 0);
    Put(out, 2, file.sectionCountField >= 0 ? file.sectionCountField : file.sections.size(), 2);
    Put(out, 16, file.optionalHeaderSize, 2);
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const ObjectSection& s = file.sections[i];
        const size_t at = first + i * headerSize;
        const uint32_t offset = static_cast<uint32_t>(out.size());
        if (file.header48) {
            Put(out, at + 12, (static_cast<uint32_t>(s.page) << 16) | (s.startAddress & 0xFFFF));
            Put(out, at + 46, s.memoryPage48, 2);
        } else {
            Put(out, at + 12, s.startAddress);
            Put(out, at + 38, static_cast<uint16_t>(s.page << 8), 2);
        }
        Put(out, at + 16, s.overrideSize ? s.sizeWords : static_cast<uint32_t>(s.data.size() / 2));
        Put(out, at + 20, s.overrideOffset ? s.rawOffset : offset);
        out.insert(out.end(), s.data.begin(), s.data.end());
    }
    return out;
}

// Page index -> contents of the page: every section on a page that takes
// data, placed at byte offset (start address within the page) x 2, gaps
// zero-filled. Skips sections as the engine does: with 40-byte headers pages
// other than 0, 2, 5, 6, 7 and 8; with 48-byte headers pages above 7 and a
// memory-page word whose low byte is not 0.
inline std::map<int, Bytes> ExpectedPages(const ObjectFile& file)
{
    std::map<int, Bytes> pages;
    for (const ObjectSection& s : file.sections) {
        const bool loaded = file.header48
            ? s.page >= 0 && s.page <= 7 && (s.memoryPage48 & 0xFF) == 0
            : s.page == 0 || s.page == 2 || (s.page >= 5 && s.page <= 8);
        if (!loaded) {
            continue;
        }
        Bytes& page = pages[s.page];
        const size_t at = 2 * static_cast<size_t>(s.startAddress);
        if (page.size() < at + s.data.size()) {
            page.resize(at + s.data.size(), 0);
        }
        std::copy(s.data.begin(), s.data.end(), page.begin() + static_cast<long>(at));
    }
    return pages;
}

// Bytes padded with 0x20 to whole pairs of 128-byte blocks (at least one
// pair): what the radio keeps of a stream.
inline Bytes PaddedToPairs(Bytes data)
{
    const size_t pair = 256;
    const size_t size = std::max<size_t>(pair, (data.size() + pair - 1) / pair * pair);
    data.resize(size, 0x20);
    return data;
}

// Deterministic pattern bytes.
inline Bytes Pattern(size_t count, uint8_t seed)
{
    Bytes out(count);
    uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

// A section of `bytes` pattern bytes.
inline ObjectSection Section(uint32_t start, int page, size_t bytes, uint8_t seed)
{
    ObjectSection s;
    s.startAddress = start;
    s.page = page;
    s.data = Pattern(bytes, seed);
    return s;
}

} // namespace dsptest
