#pragma once

// The program's own resources: the firmware set and the attribute record of
// the release travel in the resource archive appended to the executable file.
// The rest of the program sees them through ResourceSource, so tests can hand
// in any other file (or a fake).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The resource type of every firmware resource and of the attribute record.
inline constexpr std::string_view kTextResourceType = "TEXT";

class ResourceSource {
public:
    virtual ~ResourceSource() = default;

    // True when the resources can be read at all (for a file: it carries a
    // sound archive). False, with the reason, for a missing, truncated or
    // malformed archive.
    virtual bool IsAvailable(std::string* error) = 0;

    // Reads the whole resource of that name (compared without regard to case)
    // and type. False when it is missing, damaged (digest mismatch) or cannot
    // be read, or when the archive itself is missing, truncated or malformed;
    // `out` is then empty.
    virtual bool ReadResource(std::string_view name, std::string_view type,
        std::vector<std::uint8_t>& out, std::string* error)
        = 0;

    // True when a resource of that name and type exists (its contents are
    // not checked).
    virtual bool HasResource(std::string_view name, std::string_view type)
    {
        std::vector<std::uint8_t> out;
        return ReadResource(name, type, out, nullptr);
    }

    // Checks the whole release once (later calls give the first answer
    // again): the archive's structure, every resource's digest and the
    // program part. False with the name of the damaged part in `damaged`
    // (a resource name, the program part's record name, or the trailer or
    // directory of the archive) and the reason in `error`. Sources that are
    // not files have nothing to check.
    virtual bool VerifyRelease(std::string* damaged, std::string* error)
    {
        (void)damaged;
        (void)error;
        return true;
    }

    // Passes the resource to `sink` block by block and checks its digest at
    // the end. False in the cases above, or when the sink returns false; the
    // sink may then have seen data, which the caller must throw away.
    virtual bool StreamResource(std::string_view name, std::string_view type,
        const std::function<bool(const std::uint8_t*, std::size_t)>& sink, std::string* error)
        = 0;
};

// The resources of the archive at the end of the file `path`. The file is
// opened and its directory read on first use; later uses reuse it. A file
// without a (sound) archive behaves as a source with no resources.
std::unique_ptr<ResourceSource> OpenFileResources(std::string path);

// The resources of the running executable (/proc/self/exe).
std::unique_ptr<ResourceSource> OpenOwnResources();

} // namespace platform
