// Opens arbitrary bytes as a file with an appended resource archive, looks
// resources up and reads every one of them. The reader must refuse what is
// malformed and never read outside the file or its buffers.

#include "platform/ResourceArchive.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int fd = memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    std::vector<std::uint8_t> file(data, data + size);
    // Mutations rarely keep the directory digest right; for odd-sized inputs
    // put the right digest in, so the entry parsing behind it is exercised.
    if ((size & 1) != 0 && size >= platform::kArchiveTrailerSize) {
        std::uint8_t* trailer = file.data() + size - platform::kArchiveTrailerSize;
        std::uint64_t archiveSize = 0, dirOffset = 0, dirSize = 0;
        for (int i = 7; i >= 0; --i)
            archiveSize = archiveSize << 8 | trailer[i];
        for (int i = 7; i >= 0; --i)
            dirOffset = dirOffset << 8 | trailer[8 + i];
        for (int i = 3; i >= 0; --i)
            dirSize = dirSize << 8 | trailer[16 + i];
        if (archiveSize <= size && archiveSize >= platform::kArchiveTrailerSize
            && dirOffset <= archiveSize - platform::kArchiveTrailerSize
            && dirSize <= archiveSize - platform::kArchiveTrailerSize - dirOffset) {
            const std::uint8_t* directory = file.data() + (size - archiveSize) + dirOffset;
            const platform::Sha256Digest digest = platform::Sha256Of(directory, dirSize);
            std::memcpy(trailer + 24, digest.data(), digest.size());
        }
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, file.data(), size, 0) != static_cast<ssize_t>(size))
        return 0;

    std::string error;
    std::optional<platform::ResourceArchive> archive
        = platform::ResourceArchive::OpenDescriptor(fd, &error);
    if (!archive) {
        Check(!error.empty());
        return 0;
    }
    Check(archive->BaseSize() <= size);
    for (const platform::ArchiveEntry& entry : archive->Entries()) {
        Check(entry.offset >= archive->BaseSize() && entry.offset + entry.size <= size);
        Check(archive->Find(entry.name, entry.type) == &entry);
        std::vector<std::uint8_t> bytes;
        if (archive->Read(entry, bytes, &error)) {
            Check(bytes.size() == entry.size);
            Check(platform::Sha256Of(bytes.data(), bytes.size()) == entry.digest);
        } else {
            Check(bytes.empty());
        }
    }
    archive->Find("ResourceAttributes_", "TEXT");
    return 0;
}
