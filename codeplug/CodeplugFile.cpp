#include "codeplug/CodeplugFile.h"

#include "codeplug/CodeplugImage.h"
#include "platform/FileWrite.h"

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
    // Written beside the target and renamed over it: a conversion in place
    // that fails (a full disk) leaves the original as it was.
    return platform::WriteFileAtomically(path, bytes, static_cast<size_t>(byteCount), &error);
}
