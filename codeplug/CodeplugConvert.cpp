#include "codeplug/CodeplugConvert.h"

#include "codeplug/QUVParmsFormat5859.h"
#include "codeplug/QUVParmsFormat59510.h"
#include "platform/ByteOrder.h"

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
        words[i] = platform::ReadBigEndian16(bytes + 2 * i);
    int next = whole;
    if (count % 2 != 0)
        words[next++] = static_cast<uint16_t>(bytes[count - 1] << 8);
    std::fill(words + next, words + kCodeplugWords, 0);
}

void EncodeWireWords(const uint16_t* words, int byteCount, uint8_t* bytes)
{
    const int count = std::clamp(byteCount, 0, kCodeplugBytes);
    const int whole = count / 2;
    for (int i = 0; i < whole; ++i)
        platform::WriteBigEndian16(bytes + 2 * i, words[i]);
    if (count % 2 != 0)
        bytes[count - 1] = static_cast<uint8_t>(words[whole] >> 8);
}

std::string FormatVersionText(FormatVersion version)
{
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

CodeplugConvertOutcome CodeplugConversion::Prepare(const uint8_t* wire, int byteCount,
    uint8_t targetMajor, uint8_t targetMinor, std::string& error)
{
    error.clear();
    m_Current = m_Target = -1;
    m_ByteCount = byteCount;
    if (!wire || byteCount <= 0 || byteCount > kCodeplugBytes) {
        error = "the codeplug is empty or longer than 65536 bytes";
        return CodeplugConvertOutcome::InvalidImage;
    }
    m_Words.assign(kCodeplugWords, 0);
    DecodeWireWords(wire, byteCount, m_Words.data());
    CodeplugImage image(m_Words.data(), (byteCount + 1) / 2);

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
        error = "unsupported parameter format: codeplug "
            + FormatVersionText(
                { static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version & 0xFF) })
            + ", target " + FormatVersionText({ targetMajor, targetMinor })
            + " (5.8 to 5.10 supported)";
        return CodeplugConvertOutcome::UnsupportedFormat;
    }
    m_Current = current;
    m_Target = target;
    return current == target ? CodeplugConvertOutcome::SameFormat : CodeplugConvertOutcome::Due;
}

CodeplugConvertOutcome CodeplugConversion::Run(uint8_t* buffer, int& newLength, std::string& error)
{
    newLength = m_ByteCount;
    error.clear();
    if (m_Current < 0 || m_Current == m_Target || m_Words.size() != kCodeplugWords) {
        error = "conversion stopped: no codeplug prepared for conversion";
        return CodeplugConvertOutcome::Failed;
    }
    CodeplugImage image(m_Words.data(), (m_ByteCount + 1) / 2);
    // Growth is bounded by the codeplug's data, not by what follows the
    // chain: a full-length file may grow on the way as long as the chain fits.
    image.BoundDataByChain();
    int32_t sizeChange = 0;
    bool ok = m_Current < m_Target ? ConvertCodeplugUp(image, m_Current, m_Target, sizeChange)
                                   : ConvertCodeplugDown(image, m_Target, m_Current, sizeChange);
    if (ok && m_Target == kFormatIndex510)
        ok = ApplyFormat510Defaults(image);
    const int64_t length = static_cast<int64_t>(m_ByteCount) + 2 * static_cast<int64_t>(sizeChange);
    if (ok && (length <= 0 || length > kCodeplugBytes)) {
        image.Fail("the converted codeplug would be " + std::to_string(length)
            + " bytes long (1 to 65536 allowed)");
        ok = false;
    }
    // The words are used up either way: a second Run has nothing to convert.
    m_Current = m_Target;
    if (!ok) {
        error = "conversion stopped: " + image.FaultReason();
        return CodeplugConvertOutcome::Failed;
    }
    newLength = static_cast<int>(length);
    EncodeWireWords(m_Words.data(), kCodeplugBytes, buffer);
    return CodeplugConvertOutcome::Converted;
}

CodeplugConvertOutcome ConvertCodeplugImage(uint8_t* buffer, int byteCount, uint8_t targetMajor,
    uint8_t targetMinor, int& newLength, std::string& error)
{
    newLength = byteCount;
    CodeplugConversion conversion;
    const CodeplugConvertOutcome outcome
        = conversion.Prepare(buffer, byteCount, targetMajor, targetMinor, error);
    if (outcome != CodeplugConvertOutcome::Due)
        return outcome;
    return conversion.Run(buffer, newLength, error);
}
