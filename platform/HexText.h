#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bytes as hex text and back: the line trace, the verify-failure address, a
// radio's identifier, S-records, digests.

namespace platform {

// Value of one hex digit of either case, or -1.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The byte of the two hex digits at `p`, or -1 when either is not a hex
// digit. The second character is read only when the first is a digit, so a
// NUL-terminated text is never read past its end.
inline int ParseHexByte(const char* p)
{
    const int high = HexDigitValue(p[0]);
    const int low = high < 0 ? -1 : HexDigitValue(p[1]);
    return low < 0 ? -1 : high << 4 | low;
}

// The byte of the two hex digits at `text[at]`, or -1 when the text ends
// before them or either is not a hex digit.
inline int ParseHexByte(std::string_view text, std::size_t at)
{
    return at < text.size() && text.size() - at >= 2 ? ParseHexByte(text.data() + at) : -1;
}

// Appends the two hex digits of a byte, the high one first.
inline void AppendHexByte(std::string& out, std::uint8_t value, bool lowerCase = false)
{
    const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    out.push_back(digits[value >> 4]);
    out.push_back(digits[value & 0x0F]);
}

// The hex digits of `count` bytes in order, without separators.
inline std::string HexOfBytes(const std::uint8_t* bytes, std::size_t count, bool lowerCase = false)
{
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        AppendHexByte(text, bytes[i], lowerCase);
    }
    return text;
}

} // namespace platform
