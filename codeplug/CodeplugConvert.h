#pragma once

#include "codeplug/CodeplugImage.h"

#include <cstdint>
#include <string>

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
};

// What the post-update sequence does with an uploaded codeplug between upload
// and download. `buffer` holds kCodeplugBytes bytes in wire form (16-bit
// words, most significant byte first), of which the first `byteCount` are the
// codeplug. The codeplug is taken into host order, validated, converted from
// its format up or down to the target version, given the 5.10 defaults when
// the target is 5.10, and written back into `buffer` in wire form; its new
// length is byteCount + 2 x the chain's size change. On any outcome but
// Converted the buffer is left as it was and `error` says why.
CodeplugConvertOutcome ConvertCodeplugImage(uint8_t* buffer, int byteCount, uint8_t targetMajor,
    uint8_t targetMinor, int& newLength, std::string& error);

// Wire form (most significant byte first) to host-order words and back.
// DecodeWireWords fills all kCodeplugWords words: the first `byteCount` bytes
// come from `bytes`, the rest is zero.
void DecodeWireWords(const uint8_t* bytes, int byteCount, uint16_t* words);
void EncodeWireWords(const uint16_t* words, int byteCount, uint8_t* bytes);
