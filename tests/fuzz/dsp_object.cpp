// Feeds arbitrary bytes to the DSP object reader in both section-header
// layouts, then copies every section it accepts into a page image the way
// the download does. The input sits in a heap buffer of exactly its size,
// so a read past the file is seen by the address sanitizer; the checks below
// catch a reader that accepts a section outside the file or its page.

#include "download/DspDownload.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void ReadWithLayout(const download::DspObjectSource& source, DspLayout layout)
{
    const download::DspObjectLayout result = download::ReadDspObject(source, layout);
    if (!result.ok) {
        Check(!result.error.empty());
        return;
    }
    const uint64_t headerSize = static_cast<uint64_t>(download::DspSectionHeaderSize(layout));
    Check(result.firstHeader == 22 || result.firstHeader == 50);
    Check(result.firstHeader + headerSize * result.sections.size() <= source.Size());
    Check(result.sections.size() == static_cast<size_t>(result.sectionCount));

    std::vector<uint8_t> page(2 * download::kDspPageWords);
    std::vector<uint8_t> chunk(download::kDspChunkBytes);
    for (const download::DspSection& section : result.sections) {
        if (!section.loaded)
            continue;
        Check(download::DspPageLoaded(layout, section.pageIndex));
        Check(static_cast<uint64_t>(section.rawOffset) + 2ull * section.sizeWords <= source.Size());
        Check(static_cast<uint64_t>(section.pageAddress) + section.sizeWords
            <= download::kDspPageWords);
        uint64_t from = section.rawOffset;
        uint64_t to = 2ull * section.pageAddress;
        uint64_t left = 2ull * section.sizeWords;
        while (left > 0) {
            const size_t piece = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            Check(source.ReadAt(from, chunk.data(), piece));
            std::memcpy(page.data() + to, chunk.data(), piece);
            from += piece;
            to += piece;
            left -= piece;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly `size` bytes, so that a read past it is caught.
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size > 0)
        std::memcpy(copy, data, size);
    const download::DspObjectBytes source(copy, size);
    ReadWithLayout(source, DspLayout::Header40);
    ReadWithLayout(source, DspLayout::Header48);
    std::free(copy);
    return 0;
}
