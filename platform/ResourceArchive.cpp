#include "platform/ResourceArchive.h"

#include "platform/FileWrite.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

constexpr char kMagic[8] = { 'C', 'O', 'R', 'V', 'R', 'E', 'S', '1' };
constexpr std::size_t kEntryFixedSize = 2 + 2 + 4 + 8 + 8 + 32;
constexpr std::size_t kBlockSize = 256 * 1024;

void SetError(std::string* error, std::string text)
{
    if (error != nullptr)
        *error = std::move(text);
}

std::uint64_t GetLe(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Reads exactly `size` bytes at `offset`; false on error or end of file.
bool ReadAt(int fd, void* buffer, std::size_t size, std::uint64_t offset)
{
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool FileSize(int fd, std::uint64_t* size)
{
    struct stat st { };
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
        return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

} // namespace

Sha256Digest Sha256Of(const void* data, std::size_t size)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, size, static_cast<const std::uint8_t*>(data));
    Sha256Digest digest {};
    sha256_digest(&ctx, digest.size(), digest.data());
    return digest;
}

bool SameResourceName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

ResourceArchive::ResourceArchive(ResourceArchive&&) noexcept = default;
ResourceArchive& ResourceArchive::operator=(ResourceArchive&&) noexcept = default;
ResourceArchive::~ResourceArchive() = default;

std::optional<ResourceArchive> ResourceArchive::Open(
    const std::string& path, std::string* error, std::string* damaged)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    return OpenDescriptor(fd.Get(), error, damaged);
}

bool ResourceArchive::HasTrailer(int fd, std::uint64_t* baseSize)
{
    std::uint64_t fileSize = 0;
    if (!FileSize(fd, &fileSize) || fileSize < kArchiveTrailerSize)
        return false;
    std::uint8_t trailer[kArchiveTrailerSize];
    if (!ReadAt(fd, trailer, sizeof trailer, fileSize - kArchiveTrailerSize))
        return false;
    if (std::memcmp(trailer + 56, kMagic, sizeof kMagic) != 0)
        return false;
    const std::uint64_t archiveSize = GetLe(trailer, 8);
    if (archiveSize < kArchiveTrailerSize || archiveSize > fileSize)
        return false;
    if (baseSize != nullptr)
        *baseSize = fileSize - archiveSize;
    return true;
}

std::optional<ResourceArchive> ResourceArchive::OpenDescriptor(
    int fd, std::string* error, std::string* damaged)
{
    auto part = [damaged](std::string_view name) {
        if (damaged != nullptr)
            *damaged = std::string(name);
    };
    std::uint64_t fileSize = 0;
    if (!FileSize(fd, &fileSize)) {
        SetError(error, std::string("cannot read the file: ") + std::strerror(errno));
        return std::nullopt;
    }
    if (fileSize < kArchiveTrailerSize) {
        SetError(error, "no resource archive");
        part(kDamagedTrailer);
        return std::nullopt;
    }
    std::uint8_t trailer[kArchiveTrailerSize];
    if (!ReadAt(fd, trailer, sizeof trailer, fileSize - kArchiveTrailerSize)) {
        SetError(error, "cannot read the archive trailer");
        return std::nullopt;
    }
    if (std::memcmp(trailer + 56, kMagic, sizeof kMagic) != 0) {
        SetError(error, "no resource archive");
        part(kDamagedTrailer);
        return std::nullopt;
    }
    const std::uint64_t archiveSize = GetLe(trailer, 8);
    const std::uint64_t directoryOffset = GetLe(trailer + 8, 8);
    const std::uint64_t directorySize = GetLe(trailer + 16, 4);
    const std::uint64_t entryCount = GetLe(trailer + 20, 4);
    Sha256Digest directoryDigest {};
    std::memcpy(directoryDigest.data(), trailer + 24, directoryDigest.size());

    if (archiveSize < kArchiveTrailerSize || archiveSize > fileSize) {
        SetError(error, "archive size does not fit the file (truncated?)");
        part(kDamagedTrailer);
        return std::nullopt;
    }
    const std::uint64_t body = archiveSize - kArchiveTrailerSize;
    if (directorySize > kArchiveMaxDirectorySize || directoryOffset > body
        || body - directoryOffset != directorySize) {
        SetError(error, "malformed archive directory position");
        part(kDamagedDirectory);
        return std::nullopt;
    }
    if (entryCount > kArchiveMaxEntries || entryCount * kEntryFixedSize > directorySize) {
        SetError(error, "malformed archive entry count");
        part(kDamagedDirectory);
        return std::nullopt;
    }
    const std::uint64_t start = fileSize - archiveSize;
    std::vector<std::uint8_t> directory(static_cast<std::size_t>(directorySize));
    if (!directory.empty()
        && !ReadAt(fd, directory.data(), directory.size(), start + directoryOffset)) {
        SetError(error, "cannot read the archive directory");
        part(kDamagedDirectory);
        return std::nullopt;
    }
    if (Sha256Of(directory.data(), directory.size()) != directoryDigest) {
        SetError(error, "archive directory digest mismatch");
        part(kDamagedDirectory);
        return std::nullopt;
    }

    ResourceArchive archive;
    archive.m_BaseSize = start;
    archive.m_Entries.reserve(static_cast<std::size_t>(entryCount));
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < entryCount; ++i) {
        if (directory.size() - pos < kEntryFixedSize) {
            SetError(error, "archive directory entry truncated");
            part(kDamagedDirectory);
            return std::nullopt;
        }
        const std::uint8_t* p = directory.data() + pos;
        const std::size_t nameLength = static_cast<std::size_t>(GetLe(p, 2));
        const std::size_t typeLength = static_cast<std::size_t>(GetLe(p + 2, 2));
        const std::uint64_t offset = GetLe(p + 8, 8);
        const std::uint64_t size = GetLe(p + 16, 8);
        ArchiveEntry entry;
        std::memcpy(entry.digest.data(), p + 24, entry.digest.size());
        pos += kEntryFixedSize;
        if (nameLength == 0 || nameLength > kArchiveMaxNameLength || typeLength == 0
            || typeLength > kArchiveMaxNameLength
            || directory.size() - pos < nameLength + typeLength) {
            SetError(error, "archive directory entry has a bad name");
            part(kDamagedDirectory);
            return std::nullopt;
        }
        entry.name.assign(reinterpret_cast<const char*>(directory.data() + pos), nameLength);
        pos += nameLength;
        entry.type.assign(reinterpret_cast<const char*>(directory.data() + pos), typeLength);
        pos += typeLength;
        if (offset > directoryOffset || size > directoryOffset - offset) {
            SetError(error, "resource " + entry.name + " lies outside the archive");
            part(entry.name);
            return std::nullopt;
        }
        entry.offset = start + offset;
        entry.size = size;
        for (const ArchiveEntry& other : archive.m_Entries) {
            if (SameResourceName(other.name, entry.name)
                && SameResourceName(other.type, entry.type)) {
                SetError(error, "resource " + entry.name + " appears twice");
                part(entry.name);
                return std::nullopt;
            }
        }
        archive.m_Entries.push_back(std::move(entry));
    }
    if (pos != directory.size()) {
        SetError(error, "archive directory has trailing bytes");
        part(kDamagedDirectory);
        return std::nullopt;
    }
    archive.m_Fd.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!archive.m_Fd) {
        SetError(error, std::string("cannot keep the file open: ") + std::strerror(errno));
        return std::nullopt;
    }
    return archive;
}

const ArchiveEntry* ResourceArchive::Find(std::string_view name, std::string_view type) const
{
    for (const ArchiveEntry& entry : m_Entries) {
        if (SameResourceName(entry.name, name) && SameResourceName(entry.type, type))
            return &entry;
    }
    return nullptr;
}

bool ResourceArchive::Stream(const ArchiveEntry& entry,
    const std::function<bool(const std::uint8_t*, std::size_t)>& sink, std::string* error) const
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, kBlockSize)));
    std::uint64_t done = 0;
    while (done < entry.size) {
        const std::size_t n
            = static_cast<std::size_t>(std::min<std::uint64_t>(entry.size - done, kBlockSize));
        if (!ReadAt(m_Fd.Get(), buffer.data(), n, entry.offset + done)) {
            SetError(error, "cannot read resource " + entry.name);
            return false;
        }
        sha256_update(&ctx, n, buffer.data());
        if (sink && !sink(buffer.data(), n)) {
            SetError(error, "cannot store resource " + entry.name);
            return false;
        }
        done += n;
    }
    Sha256Digest digest {};
    sha256_digest(&ctx, digest.size(), digest.data());
    if (digest != entry.digest) {
        SetError(error, "resource " + entry.name + " is damaged (digest mismatch)");
        return false;
    }
    return true;
}

bool ResourceArchive::Read(
    const ArchiveEntry& entry, std::vector<std::uint8_t>& out, std::string* error) const
{
    out.clear();
    if (entry.size > SIZE_MAX / 2) {
        SetError(error, "resource " + entry.name + " is too large");
        return false;
    }
    out.reserve(static_cast<std::size_t>(entry.size));
    const bool ok = Stream(
        entry,
        [&out](const std::uint8_t* data, std::size_t size) {
            out.insert(out.end(), data, data + size);
            return true;
        },
        error);
    if (!ok)
        out.clear();
    return ok;
}

bool ResourceArchive::Verify(const ArchiveEntry& entry, std::string* error) const
{
    return Stream(entry, {}, error);
}

bool ResourceArchive::RecordsProgramPart() const
{
    return Find(kProgramDigestName, kProgramDigestType) != nullptr;
}

bool ResourceArchive::VerifyWhole(std::string* damaged, std::string* error) const
{
    for (const ArchiveEntry& entry : m_Entries) {
        if (!Verify(entry, error)) {
            if (damaged != nullptr)
                *damaged = entry.name;
            return false;
        }
    }
    const ArchiveEntry* program = Find(kProgramDigestName, kProgramDigestType);
    if (program == nullptr)
        return true; // packed before the program part was recorded
    auto fail = [&](std::string text) {
        if (damaged != nullptr)
            *damaged = program->name;
        SetError(error, std::move(text));
        return false;
    };
    std::vector<std::uint8_t> recorded;
    if (!Read(*program, recorded, error) || recorded.size() != Sha256Digest {}.size())
        return fail("the program part's record is damaged");
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::vector<std::uint8_t> buffer(kBlockSize);
    for (std::uint64_t done = 0; done < m_BaseSize;) {
        const std::size_t n
            = static_cast<std::size_t>(std::min<std::uint64_t>(m_BaseSize - done, kBlockSize));
        if (!ReadAt(m_Fd.Get(), buffer.data(), n, done))
            return fail("cannot read the program part");
        sha256_update(&ctx, n, buffer.data());
        done += n;
    }
    Sha256Digest digest {};
    sha256_digest(&ctx, digest.size(), digest.data());
    if (!std::equal(digest.begin(), digest.end(), recorded.begin()))
        return fail("the program part is damaged (digest mismatch)");
    return true;
}

bool ResourceArchiveWriter::Add(
    std::string name, std::string type, std::vector<std::uint8_t> data, std::string* error)
{
    if (name.empty() || name.size() > kArchiveMaxNameLength || type.empty()
        || type.size() > kArchiveMaxNameLength) {
        SetError(error, "resource name or type empty or longer than 255 bytes: " + name);
        return false;
    }
    if (SameResourceName(name, kProgramDigestName) && SameResourceName(type, kProgramDigestType)) {
        SetError(
            error, "resource " + name + " is the program part's record, written by the packer");
        return false;
    }
    if (m_Items.size() + 1 >= kArchiveMaxEntries) {
        SetError(error, "too many resources");
        return false;
    }
    for (const Item& item : m_Items) {
        if (SameResourceName(item.name, name) && SameResourceName(item.type, type)) {
            SetError(error, "resource " + name + " given twice (names do not differ in case only)");
            return false;
        }
    }
    m_Items.push_back({ std::move(name), std::move(type), std::move(data) });
    return true;
}

bool ResourceArchiveWriter::WriteArchive(
    int outFd, std::string* error, const Sha256Digest* programDigest) const
{
    std::vector<std::uint8_t> directory;
    std::uint64_t offset = 0;
    std::size_t count = 0;
    auto put = [&](const std::string& name, const std::string& type, const std::uint8_t* data,
                   std::size_t size) {
        if (!WriteAll(outFd, data, size)) {
            SetError(error, std::string("cannot write the archive: ") + std::strerror(errno));
            return false;
        }
        PutLe(directory, name.size(), 2);
        PutLe(directory, type.size(), 2);
        PutLe(directory, 0, 4);
        PutLe(directory, offset, 8);
        PutLe(directory, size, 8);
        const Sha256Digest digest = Sha256Of(data, size);
        directory.insert(directory.end(), digest.begin(), digest.end());
        directory.insert(directory.end(), name.begin(), name.end());
        directory.insert(directory.end(), type.begin(), type.end());
        offset += size;
        ++count;
        return true;
    };
    for (const Item& item : m_Items) {
        if (!put(item.name, item.type, item.data.data(), item.data.size()))
            return false;
    }
    if (programDigest != nullptr
        && !put(std::string(kProgramDigestName), std::string(kProgramDigestType),
            programDigest->data(), programDigest->size()))
        return false;
    if (directory.size() > kArchiveMaxDirectorySize) {
        SetError(error, "archive directory too large");
        return false;
    }
    std::vector<std::uint8_t> trailer;
    PutLe(trailer, offset + directory.size() + kArchiveTrailerSize, 8);
    PutLe(trailer, offset, 8);
    PutLe(trailer, directory.size(), 4);
    PutLe(trailer, count, 4);
    const Sha256Digest directoryDigest = Sha256Of(directory.data(), directory.size());
    trailer.insert(trailer.end(), directoryDigest.begin(), directoryDigest.end());
    trailer.insert(trailer.end(), kMagic, kMagic + sizeof kMagic);
    if (!WriteAll(outFd, directory.data(), directory.size())
        || !WriteAll(outFd, trailer.data(), trailer.size())) {
        SetError(error, std::string("cannot write the archive: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool ResourceArchiveWriter::WriteTo(
    int baseFd, std::uint64_t baseSize, int outFd, std::string* error) const
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::vector<std::uint8_t> buffer(kBlockSize);
    std::uint64_t done = 0;
    while (done < baseSize) {
        const std::size_t n
            = static_cast<std::size_t>(std::min<std::uint64_t>(baseSize - done, kBlockSize));
        if (!ReadAt(baseFd, buffer.data(), n, done)) {
            SetError(error, "cannot read the base file");
            return false;
        }
        if (!WriteAll(outFd, buffer.data(), n)) {
            SetError(error, std::string("cannot write the output: ") + std::strerror(errno));
            return false;
        }
        sha256_update(&ctx, n, buffer.data());
        done += n;
    }
    Sha256Digest programDigest {};
    sha256_digest(&ctx, programDigest.size(), programDigest.data());
    return WriteArchive(outFd, error, &programDigest);
}

} // namespace platform
