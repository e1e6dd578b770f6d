#pragma once

// Builds DSP object files for the tests: a 22-byte file header, an optional
// header, 40- or 48-byte section headers and the sections' raw data, all
// numbers little-endian. Also works out what the radio must receive for a
// page.

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

// The object file's bytes. Raw data follows the section headers in section
// order.
Bytes BuildObject(const ObjectFile& file);

// Page index -> contents of the page: every section on a page that takes
// data, placed at byte offset (start address within the page) x 2, gaps
// zero-filled. Skips sections as the engine does: with 40-byte headers pages
// other than 0, 2, 5, 6, 7 and 8; with 48-byte headers pages above 7 and a
// memory-page word whose low byte is not 0.
std::map<int, Bytes> ExpectedPages(const ObjectFile& file);

// Bytes padded with 0x20 to whole pairs of 128-byte blocks (at least one
// pair): what the radio keeps of a stream.
Bytes PaddedToPairs(Bytes data);

// Deterministic pattern bytes.
Bytes Pattern(size_t count, uint8_t seed);
// A section of `bytes` pattern bytes.
ObjectSection Section(uint32_t start, int page, size_t bytes, uint8_t seed);

} // namespace dsptest
