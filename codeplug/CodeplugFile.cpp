#include "codeplug/CodeplugFile.h"

#include "codeplug/CodeplugImage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ReadCodeplugFile(
    const std::string& path, std::vector<uint8_t>& buffer, int& byteCount, std::string& error)
{
    byteCount = 0;
    buffer.assign(kCodeplugBytes, 0);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // One byte more than a codeplug can hold tells an oversized file apart.
    std::vector<uint8_t> data(kCodeplugBytes + 1);
    const size_t got = std::fread(data.data(), 1, data.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read " + path;
        return false;
    }
    if (got == 0) {
        error = path + " is empty";
        return false;
    }
    if (got > static_cast<size_t>(kCodeplugBytes)) {
        error = path + " is longer than 65536 bytes";
        return false;
    }
    std::memcpy(buffer.data(), data.data(), got);
    byteCount = static_cast<int>(got);
    return true;
}

bool WriteCodeplugFile(
    const std::string& path, const uint8_t* bytes, int byteCount, std::string& error)
{
    if (byteCount < 0 || byteCount > kCodeplugBytes) {
        error = "a codeplug of " + std::to_string(byteCount) + " bytes cannot be written";
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const size_t put = std::fwrite(bytes, 1, static_cast<size_t>(byteCount), file);
    const bool closed = std::fclose(file) == 0;
    if (put != static_cast<size_t>(byteCount) || !closed) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
