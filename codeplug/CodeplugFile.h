#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Codeplug files hold the image in wire form, as uploaded from a radio:
// 16-bit words, most significant byte first, at most 65536 bytes.

// Reads a codeplug file into `buffer` (resized to 65536 bytes, zero after the
// file's bytes). False with a reason when the file cannot be read, is empty or
// is longer than 65536 bytes.
bool ReadCodeplugFile(
    const std::string& path, std::vector<uint8_t>& buffer, int& byteCount, std::string& error);

// Writes the first `byteCount` bytes of `bytes`, replacing `path` atomically
// (temporary file beside it, fsync, rename). False with a reason naming the
// file on failure; `path` is then untouched.
bool WriteCodeplugFile(
    const std::string& path, const uint8_t* bytes, int byteCount, std::string& error);
