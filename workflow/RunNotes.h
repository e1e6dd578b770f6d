#pragma once

#include <optional>
#include <string>

// What the checks, the code downloads and the codeplug carry-over learn about
// the connected radio during one run, for its history record (see
// RunRecorder).
struct RunNotes {
    std::optional<std::string> identifier; // 16 hex digits
    std::optional<bool> portable; // the radio's family answer
    std::optional<std::string> bootBefore; // "6.7"
    std::optional<std::string> codeplugFormatBefore; // "5.8"
    std::optional<std::string> codeplugFormatAfter;
    // Code bytes the radio accepted over every code download of the run.
    long long codeBytesWritten = 0;
    // A code download erased or wrote the flash.
    bool flashTouched = false;
};

// "6.7" from a major and a minor version number.
inline std::string VersionText(int major, int minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}
