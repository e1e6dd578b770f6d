#include "codeplug/CodeplugConvert.h"

#include "codeplug/QUVParmsFormat5859.h"
#include "codeplug/QUVParmsFormat59510.h"

#include <algorithm>
#include <vector>

namespace {

bool KnownIndex(int index)
{
    return index >= 0 && index <= kFormatIndex510;
}

bool RunConverter(
    QUVParmsFormatConvertBase& step, CodeplugImage& image, bool up, int32_t& sizeChange)
{
    const bool ok = up ? step.ConvertUp(image) : step.ConvertDown(image);
    sizeChange += step.SizeChange();
    return ok;
}

// One step into (up) or out of (down) format index `index`; indexes without
// a converter change nothing.
bool RunStep(CodeplugImage& image, int index, bool up, int32_t& sizeChange)
{
    if (index == kFormatIndex59) {
        QUVParmsFormat5859 step;
        return RunConverter(step, image, up, sizeChange);
    }
    if (index == kFormatIndex510) {
        QUVParmsFormat59510 step;
        return RunConverter(step, image, up, sizeChange);
    }
    return !image.Faulted();
}

// The chain from format index `from` to `to`: up runs the steps into
// from + 1 .. to, down the steps out of from .. to + 1.
bool RunChain(CodeplugImage& image, int from, int to, bool up, int32_t& sizeChange)
{
    sizeChange = 0;
    if (!KnownIndex(from) || !KnownIndex(to)) {
        image.Fail("unknown parameter format");
        return false;
    }
    if (from < kFormatIndex510)
        SwitchDirectoryLayout(image, DirectoryLayout::Split11);
    const int steps = up ? to - from : from - to;
    for (int i = 0; i < steps; ++i) {
        if (!RunStep(image, up ? from + 1 + i : from - i, up, sizeChange))
            return false;
    }
    if (to < kFormatIndex510)
        SwitchDirectoryLayout(image, DirectoryLayout::Split12);
    return !image.Faulted();
}

} // namespace

bool ConvertCodeplugUp(CodeplugImage& image, int from, int to, int32_t& sizeChange)
{
    return RunChain(image, from, to, true, sizeChange);
}

bool ConvertCodeplugDown(CodeplugImage& image, int to, int from, int32_t& sizeChange)
{
    return RunChain(image, from, to, false, sizeChange);
}

void DecodeWireWords(const uint8_t* bytes, int byteCount, uint16_t* words)
{
    const int count = std::clamp(byteCount, 0, kCodeplugBytes);
    const int whole = count / 2;
    for (int i = 0; i < whole; ++i)
        words[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    int next = whole;
    if (count % 2 != 0)
        words[next++] = static_cast<uint16_t>(bytes[count - 1] << 8);
    std::fill(words + next, words + kCodeplugWords, 0);
}

void EncodeWireWords(const uint16_t* words, int byteCount, uint8_t* bytes)
{
    const int count = std::clamp(byteCount, 0, kCodeplugBytes);
    const int whole = count / 2;
    for (int i = 0; i < whole; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] & 0xFF);
    }
    if (count % 2 != 0)
        bytes[count - 1] = static_cast<uint8_t>(words[whole] >> 8);
}

CodeplugConvertOutcome ConvertCodeplugImage(uint8_t* buffer, int byteCount, uint8_t targetMajor,
    uint8_t targetMinor, int& newLength, std::string& error)
{
    newLength = byteCount;
    error.clear();
    if (!buffer || byteCount <= 0 || byteCount > kCodeplugBytes) {
        error = "the codeplug is empty or longer than 65536 bytes";
        return CodeplugConvertOutcome::InvalidImage;
    }
    std::vector<uint16_t> words(kCodeplugWords);
    DecodeWireWords(buffer, byteCount, words.data());
    CodeplugImage image(words.data(), (byteCount + 1) / 2);

    std::string reason;
    if (!CheckCodeplug(image, &reason)) {
        error = "the codeplug is not valid: " + reason;
        return CodeplugConvertOutcome::InvalidImage;
    }

    // Format indexes compare as signed bytes: an unknown format (255) counts
    // as -1 and so as older than 5.8.
    const int current = static_cast<int8_t>(CodeplugFormatIndex(image));
    const int target = static_cast<int8_t>(FormatIndexOfVersion(targetMajor, targetMinor));
    if (current < kFormatIndex58 || target < kFormatIndex58) {
        const uint16_t version = image.Word(kHeaderWordVersion);
        error = "unsupported parameter format: codeplug " + std::to_string(version >> 8) + "."
            + std::to_string(version & 0xFF) + ", target " + std::to_string(targetMajor) + "."
            + std::to_string(targetMinor) + " (5.8 to 5.10 supported)";
        return CodeplugConvertOutcome::UnsupportedFormat;
    }
    if (current == target)
        return CodeplugConvertOutcome::SameFormat;

    int32_t sizeChange = 0;
    bool ok = current < target ? ConvertCodeplugUp(image, current, target, sizeChange)
                               : ConvertCodeplugDown(image, target, current, sizeChange);
    if (ok && target == kFormatIndex510)
        ok = ApplyFormat510Defaults(image);
    const int64_t length = static_cast<int64_t>(byteCount) + 2 * static_cast<int64_t>(sizeChange);
    if (ok && (length <= 0 || length > kCodeplugBytes)) {
        image.Fail("the converted codeplug would be " + std::to_string(length)
            + " bytes long (1 to 65536 allowed)");
        ok = false;
    }
    if (!ok) {
        error = "conversion stopped: " + image.FaultReason();
        return CodeplugConvertOutcome::Failed;
    }
    newLength = static_cast<int>(length);
    EncodeWireWords(words.data(), kCodeplugBytes, buffer);
    return CodeplugConvertOutcome::Converted;
}
