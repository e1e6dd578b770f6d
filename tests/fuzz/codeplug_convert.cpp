// Feeds arbitrary codeplug files to validation and, for images that pass, to
// every conversion the updater can run. Input: one mode byte, then the
// codeplug in wire form (at most 65536 bytes).

#include "codeplug/CodeplugConvert.h"
#include "codeplug/CodeplugImage.h"
#include "codeplug/QUVParmsFormat59510.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > static_cast<size_t>(kCodeplugBytes) + 1)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t* bytes = data + 1;
    const int byteCount = static_cast<int>(size - 1);

    std::vector<uint16_t> words(kCodeplugWords);
    DecodeWireWords(bytes, byteCount, words.data());
    {
        CodeplugImage image(words.data(), (byteCount + 1) / 2);
        std::string reason;
        if (!CheckCodeplug(image, &reason))
            return 0;
    }

    // What the updater does, into every format it converts to.
    std::vector<uint8_t> buffer(kCodeplugBytes);
    for (uint8_t minor : { 8, 9, 10 }) {
        std::memset(buffer.data(), 0, buffer.size());
        std::memcpy(buffer.data(), bytes, static_cast<size_t>(byteCount));
        int newLength = 0;
        std::string error;
        const CodeplugConvertOutcome outcome
            = ConvertCodeplugImage(buffer.data(), byteCount, 5, minor, newLength, error);
        if (outcome == CodeplugConvertOutcome::Converted
            && (newLength <= 0 || newLength > kCodeplugBytes))
            __builtin_trap();
        if (outcome == CodeplugConvertOutcome::Failed
            && std::memcmp(buffer.data(), bytes, static_cast<size_t>(byteCount)) != 0)
            __builtin_trap();
    }

    // The chain between any two format indexes, whatever the header says.
    const int from = mode % 6;
    const int to = (mode / 6) % 6;
    CodeplugImage image(words.data(), (byteCount + 1) / 2);
    int32_t change = 0;
    if (from <= to)
        ConvertCodeplugUp(image, from, to, change);
    else
        ConvertCodeplugDown(image, to, from, change);
    ApplyFormat510Defaults(image);
    return 0;
}
