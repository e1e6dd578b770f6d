// Feeds arbitrary text to the S-record line reader, the line operations the
// download engine uses and the whole-image validator. Any read past a line
// or a buffer is caught by the address sanitizer; the checks below catch a
// DataLength that promises data the line does not hold.

#include "download/SRecord.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void StreamWithBuffer(const std::uint8_t* data, std::size_t size, std::size_t bufferSize)
{
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (file == nullptr)
        return;
    // Exactly bufferSize bytes on the heap, so an overrun is seen.
    char* line = static_cast<char*>(std::malloc(bufferSize));
    while (download::ReadRecordLine(file, line, bufferSize)) {
        const std::size_t length = std::strlen(line);
        Check(length < bufferSize);
        if (download::IsEndRecord(line))
            break;
        const int kind = download::RecordKind(line);
        if (kind < download::kKindS1 || kind > download::kKindS3)
            continue;
        const int count = download::DataLength(line);
        if (count < 0)
            continue;
        Check(count % 2 == 0);
        const std::size_t offset = static_cast<std::size_t>(download::DataOffset(kind));
        // Data field plus checksum lie inside the line.
        Check(offset + 2u * static_cast<std::size_t>(count) + 2u <= length);
        unsigned sum = 0;
        for (int k = 0; k < 2 * count; k += 4)
            sum += download::DataWord(line, static_cast<int>(offset) + k);
        (void)sum;
    }
    std::free(line);
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    StreamWithBuffer(data, size, download::kRecordLineSize);
    StreamWithBuffer(data, size, 1 + data[0] % 24);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (download::ImageKind kind : { download::ImageKind::Loader, download::ImageKind::Code }) {
        const download::ImageReport report = download::ValidateImage(text, kind, (size & 1) != 0);
        if (report.ok) {
            // An accepted image ends with its end record and CR LF, and a second
            // validation of the normalised text accepts it unchanged.
            Check(report.text.size() >= 2
                && report.text.compare(report.text.size() - 2, 2, "\r\n") == 0);
            const download::ImageReport again = download::ValidateImage(report.text, kind, false);
            Check(again.ok && again.text == report.text && again.dataBytes == report.dataBytes);
        } else {
            Check(!report.problem.reason.empty());
        }
    }
    return 0;
}
