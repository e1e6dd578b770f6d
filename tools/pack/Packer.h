#pragma once

// Building a release: validates the S-record images, splits them into
// chunks at record boundaries, writes the attribute record and appends the
// resource archive to a copy of the updater executable.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace pack {

inline constexpr std::uint64_t kDefaultChunkSize = 1022976;

struct ReleaseOptions {
    std::string base;
    std::string out;
    // Attribute fields (ignored when attributesFile is given).
    int family = 0; // 0 = 4400, 1 = 4600
    int series = 0; // stored as one byte
    int upgradeType = 0; // 0 application, 1 boot, 2 DSP, 3 application-boot
    int platformFlag = 0; // stored as one byte
    bool processor416 = false;
    std::uint32_t bootMajor = 0, bootMinor = 0;
    std::uint32_t bootTwoMajor = 0, bootTwoMinor = 0;
    std::string programmingAppVersion;
    std::string tuningAppVersion;
    // Images; empty means not given.
    std::string appLoader, appCode, bootLoader, bootCode, bootTwoLoader, bootTwoCode;
    std::uint64_t chunkSize = kDefaultChunkSize;
    // Raw resources stored as they are (type TEXT).
    std::vector<std::pair<std::string, std::string>> rawResources; // name, file
    std::string attributesFile;
};

// One chunk as it goes into the archive.
struct Chunk {
    std::string name;
    std::vector<std::uint8_t> data;
};

// Splits an S-record text (CR LF lines, already validated) into chunks of at
// most `chunkSize` bytes, each made of whole lines. Names are prefix + "_" +
// index from 1. False when one line alone is longer than `chunkSize`.
bool SplitAtRecords(const std::string& text, std::uint64_t chunkSize, const std::string& prefix,
    std::vector<Chunk>& chunks, std::string* error);

// Splits raw bytes into chunks of at most `chunkSize` bytes.
void SplitBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t chunkSize,
    const std::string& prefix, std::vector<Chunk>& chunks);

// Builds the release. Notes (such as normalised line ends) go to `notes`;
// on failure the reason (with file and line for a bad image) is in `error`
// and no output file is left behind.
bool BuildRelease(const ReleaseOptions& options, std::ostream& notes, std::string* error);

// Prints the resources of a release and its decoded attribute record.
// Returns 0 when the archive and every resource are sound, 1 when a resource
// is damaged, 2 when the file has no readable archive.
int ListRelease(const std::string& path, std::ostream& out, std::ostream& err);

} // namespace pack
