#pragma once

// The resource archive appended to the end of an executable file: a release
// is a copy of the updater with its firmware set appended (docs/resource-
// archive.md describes the layout byte by byte).
//
//   [ base executable ][ resource data ... ][ directory ][ trailer (64 bytes) ]
//
// The reader finds the trailer at the end of the file, checks the directory
// against the digest in the trailer and every range against the file, and
// reads only the resources asked for; each resource's SHA-256 digest is
// checked whenever it is read. Names are compared without regard to case.

#include "platform/UniqueFd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::size_t kArchiveTrailerSize = 64;
inline constexpr std::size_t kArchiveMaxNameLength = 255;
inline constexpr std::uint32_t kArchiveMaxEntries = 65536;
inline constexpr std::uint64_t kArchiveMaxDirectorySize = 32u * 1024 * 1024;

using Sha256Digest = std::array<std::uint8_t, 32>;

// The record of the program part: the SHA-256 of every byte in front of the
// archive (the base executable), stored as a resource of its own. Releases
// packed before it existed lack it and are read as before.
inline constexpr std::string_view kProgramDigestName = "ProgramPart_";
inline constexpr std::string_view kProgramDigestType = "SHA256";

// Names a damage report gives to the parts of a release that are not
// resources.
inline constexpr std::string_view kDamagedTrailer = "archive trailer";
inline constexpr std::string_view kDamagedDirectory = "archive directory";

Sha256Digest Sha256Of(const void* data, std::size_t size);

// ASCII comparison without regard to case.
bool SameResourceName(std::string_view a, std::string_view b);

struct ArchiveEntry {
    std::string name;
    std::string type;
    std::uint64_t offset = 0; // absolute offset of the data in the file
    std::uint64_t size = 0;
    Sha256Digest digest {};
};

class ResourceArchive {
public:
    ResourceArchive(const ResourceArchive&) = delete;
    ResourceArchive& operator=(const ResourceArchive&) = delete;
    ResourceArchive(ResourceArchive&&) noexcept;
    ResourceArchive& operator=(ResourceArchive&&) noexcept;
    ~ResourceArchive();

    // Opens the archive at the end of the file at `path`. Returns nothing, with
    // the reason in `error`, when the file cannot be opened, carries no archive
    // (error "no resource archive") or carries a truncated or malformed one.
    // `damaged`, when given, receives the part that failed: kDamagedTrailer
    // (no archive at all, or a trailer that does not fit), kDamagedDirectory
    // or the name of a resource whose entry is wrong; empty when the file
    // could not be read at all.
    static std::optional<ResourceArchive> Open(
        const std::string& path, std::string* error, std::string* damaged = nullptr);
    // The same on an open descriptor (duplicated; the caller keeps its own).
    static std::optional<ResourceArchive> OpenDescriptor(
        int fd, std::string* error, std::string* damaged = nullptr);

    // True when the file ends in an archive trailer (whether or not the rest
    // is sound); `baseSize` then receives the size of the file before it.
    static bool HasTrailer(int fd, std::uint64_t* baseSize);

    const std::vector<ArchiveEntry>& Entries() const { return m_Entries; }
    // Size of the file in front of the archive (the base executable).
    std::uint64_t BaseSize() const { return m_BaseSize; }

    // The entry of that name (without regard to case) and type, or nullptr.
    const ArchiveEntry* Find(std::string_view name, std::string_view type) const;

    // Reads a resource whole and checks its digest; false with the reason in
    // `error` on a read error or a digest mismatch (`out` is then cleared).
    bool Read(const ArchiveEntry& entry, std::vector<std::uint8_t>& out, std::string* error) const;

    // Streams a resource in blocks of at most 256 KiB to `sink` (which returns
    // false to stop), checking the digest once the last block was passed on.
    // False on a read error, a sink refusal or a digest mismatch; the sink
    // has then already seen data that must be thrown away.
    bool Stream(const ArchiveEntry& entry,
        const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
        std::string* error) const;

    // Reads the resource and only checks its digest.
    bool Verify(const ArchiveEntry& entry, std::string* error) const;

    // Checks the whole release: the digest of every resource and, when the
    // archive records one, the digest of the program part. False with the
    // name of the first damaged resource (kProgramDigestName for the program
    // part) in `damaged` and the reason in `error`.
    bool VerifyWhole(std::string* damaged, std::string* error) const;
    // True when the archive records the program part's digest.
    bool RecordsProgramPart() const;

private:
    ResourceArchive() = default;
    UniqueFd m_Fd;
    std::uint64_t m_BaseSize = 0;
    std::vector<ArchiveEntry> m_Entries;
};

// Builds an archive and appends it to a copy of a base file.
class ResourceArchiveWriter {
public:
    // Adds a resource held in memory. False (with a reason) for an empty name,
    // a name longer than 255 bytes, or a name already present (without
    // regard to case) under the same type.
    bool Add(
        std::string name, std::string type, std::vector<std::uint8_t> data, std::string* error);

    std::size_t Count() const { return m_Items.size(); }

    // Writes `base` bytes [0, baseSize) followed by the archive to `outFd`;
    // the archive then also records the SHA-256 of those base bytes.
    bool WriteTo(int baseFd, std::uint64_t baseSize, int outFd, std::string* error) const;

    // Writes the archive alone (resource data, directory, trailer) to `outFd`
    // at its current position. Offsets inside the archive count from its
    // first byte, so the archive fits behind any base file. With
    // `programDigest`, the record of the program part is added.
    bool WriteArchive(
        int outFd, std::string* error, const Sha256Digest* programDigest = nullptr) const;

private:
    struct Item {
        std::string name;
        std::string type;
        std::vector<std::uint8_t> data;
    };
    std::vector<Item> m_Items;
};

} // namespace platform
