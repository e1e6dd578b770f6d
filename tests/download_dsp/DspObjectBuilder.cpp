#include "tests/download_dsp/DspObjectBuilder.h"

#include <algorithm>

namespace dsptest {

namespace {

void Put16(Bytes& out, size_t at, uint16_t value)
{
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(Bytes& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool Loaded(const ObjectFile& file, const ObjectSection& s)
{
    if (file.header48) {
        return s.page >= 0 && s.page <= 7 && (s.memoryPage48 & 0xFF) == 0;
    }
    return s.page == 0 || s.page == 2 || (s.page >= 5 && s.page <= 8);
}

} // namespace

Bytes BuildObject(const ObjectFile& file)
{
    const size_t headerSize = file.header48 ? 48 : 40;
    const size_t first = file.optionalHeaderSize != 0 ? 50 : 22;
    Bytes out(first + headerSize * file.sections.size(), 0);
    Put16(out, 0, 0x00C2); // version marker; not read by the updater
    Put16(out, 2,
        static_cast<uint16_t>(
            file.sectionCountField >= 0 ? file.sectionCountField : file.sections.size()));
    Put16(out, 16, file.optionalHeaderSize);
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const ObjectSection& s = file.sections[i];
        const size_t at = first + i * headerSize;
        const uint32_t offset = static_cast<uint32_t>(out.size());
        std::copy_n("sect", 4, out.begin() + static_cast<long>(at));
        if (file.header48) {
            Put32(out, at + 12, (static_cast<uint32_t>(s.page) << 16) | (s.startAddress & 0xFFFF));
            Put16(out, at + 46, s.memoryPage48);
        } else {
            Put32(out, at + 12, s.startAddress);
            Put16(out, at + 38, static_cast<uint16_t>(s.page << 8));
        }
        Put32(out, at + 8, s.startAddress); // physical address; not read
        Put32(
            out, at + 16, s.overrideSize ? s.sizeWords : static_cast<uint32_t>(s.data.size() / 2));
        Put32(out, at + 20, s.overrideOffset ? s.rawOffset : offset);
        out.insert(out.end(), s.data.begin(), s.data.end());
    }
    return out;
}

std::map<int, Bytes> ExpectedPages(const ObjectFile& file)
{
    std::map<int, Bytes> pages;
    for (const ObjectSection& s : file.sections) {
        if (!Loaded(file, s)) {
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

Bytes PaddedToPairs(Bytes data)
{
    const size_t pair = 256;
    const size_t size = std::max<size_t>(pair, (data.size() + pair - 1) / pair * pair);
    data.resize(size, 0x20);
    return data;
}

ObjectSection Section(uint32_t start, int page, size_t bytes, uint8_t seed)
{
    ObjectSection s;
    s.startAddress = start;
    s.page = page;
    s.data = Pattern(bytes, seed);
    return s;
}

Bytes Pattern(size_t count, uint8_t seed)
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

} // namespace dsptest
