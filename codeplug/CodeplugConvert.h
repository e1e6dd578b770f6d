#pragma once

#include "codeplug/CodeplugImage.h"

#include <cstdint>
#include <string>
#include <vector>

// The conversion chain: runs the steps between two format indexes one after
// the other and adds up their size changes (words). Every step reads the
// directory words in the 5.10 split, so an image that is below 5.10 when the
// chain starts is switched to that split first, and switched back at the end
// when the target is below 5.10. False when the image faulted; the image is
// then part-converted and must be discarded.
bool ConvertCodeplugUp(CodeplugImage& image, int from, int to, int32_t& sizeChange);
bool ConvertCodeplugDown(CodeplugImage& image, int to, int from, int32_t& sizeChange);

enum class CodeplugConvertOutcome {
    Converted, // converted; the buffer holds the new image
    SameFormat, // the codeplug already has the target format; unchanged
    InvalidImage, // the image is empty, too long or not a valid block chain
    UnsupportedFormat, // codeplug or target format older than 5.8 or unknown
    Failed, // the conversion stopped on a fault; the buffer is unchanged
    Due, // CodeplugConversion::Prepare only: the formats differ, Run converts
};

// One conversion of a codeplug in wire form (16-bit words, most significant
// byte first), in two steps so that a caller may wait in between: the
// post-update sequence lets the radio reset after checking the codeplug and
// before converting it.
class CodeplugConversion {
public:
    // Takes the first `byteCount` bytes of `wire` into host order, validates
    // them and compares the codeplug's format with the target version.
    // InvalidImage, UnsupportedFormat (with the reason in `error`),
    // SameFormat, or Due when Run has work to do.
    CodeplugConvertOutcome Prepare(const uint8_t* wire, int byteCount, uint8_t targetMajor,
        uint8_t targetMinor, std::string& error);

    // After Prepare gave Due: runs the chain from the codeplug's format up or
    // down to the target, applies the 5.10 defaults when the target is 5.10
    // and writes the new image into `buffer` (kCodeplugBytes bytes) in wire
    // form; its length is byteCount + 2 x the chain's size change. Converted,
    // or Failed with `buffer` untouched and the reason in `error`.
    CodeplugConvertOutcome Run(uint8_t* buffer, int& newLength, std::string& error);

    // The codeplug's and the target's parameter format (valid after Prepare
    // gave SameFormat or Due).
    FormatVersion From() const { return VersionOfFormatIndex(m_Current); }
    FormatVersion To() const { return VersionOfFormatIndex(m_Target); }

private:
    std::vector<uint16_t> m_Words;
    int m_ByteCount = 0;
    int m_Current = -1;
    int m_Target = -1;
};

// Prepare and Run in one: what the post-update sequence does with an
// uploaded codeplug between upload and download. `buffer` holds
// kCodeplugBytes bytes in wire form, of which the first `byteCount` are the
// codeplug. On any outcome but Converted the buffer is left as it was,
// `newLength` is byteCount and `error` says why (empty for SameFormat).
CodeplugConvertOutcome ConvertCodeplugImage(uint8_t* buffer, int byteCount, uint8_t targetMajor,
    uint8_t targetMinor, int& newLength, std::string& error);

// "5.8" for a format version.
std::string FormatVersionText(FormatVersion version);

// Wire form (most significant byte first) to host-order words and back.
// DecodeWireWords fills all kCodeplugWords words: the first `byteCount` bytes
// come from `bytes`, the rest is zero.
void DecodeWireWords(const uint8_t* bytes, int byteCount, uint16_t* words);
void EncodeWireWords(const uint16_t* words, int byteCount, uint8_t* bytes);
