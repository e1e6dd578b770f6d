#include "platform/OwnResources.h"

#include "platform/ResourceArchive.h"

#include <optional>

namespace platform {

namespace {

class FileResources final : public ResourceSource {
public:
    explicit FileResources(std::string path)
        : m_Path(std::move(path))
    {
    }

    bool IsAvailable(std::string* error) override
    {
        Open();
        if (!m_Archive && error != nullptr)
            *error = m_OpenError;
        return m_Archive.has_value();
    }

    bool HasResource(std::string_view name, std::string_view type) override
    {
        return Lookup(name, type, nullptr) != nullptr;
    }

    bool VerifyRelease(std::string* damaged, std::string* error) override
    {
        Open();
        if (!m_Verified) {
            m_Verified = true;
            m_Whole = m_Archive.has_value();
            if (!m_Archive) {
                m_VerifyError = m_OpenError;
                m_DamagedPart
                    = m_OpenDamaged.empty() ? std::string(kDamagedTrailer) : m_OpenDamaged;
            } else {
                m_Whole = m_Archive->VerifyWhole(&m_DamagedPart, &m_VerifyError);
            }
        }
        if (!m_Whole) {
            if (damaged != nullptr)
                *damaged = m_DamagedPart;
            if (error != nullptr)
                *error = m_VerifyError;
        }
        return m_Whole;
    }

    bool ReadResource(std::string_view name, std::string_view type, std::vector<std::uint8_t>& out,
        std::string* error) override
    {
        out.clear();
        const ArchiveEntry* entry = Lookup(name, type, error);
        return entry != nullptr && m_Archive->Read(*entry, out, error);
    }

    bool StreamResource(std::string_view name, std::string_view type,
        const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
        std::string* error) override
    {
        const ArchiveEntry* entry = Lookup(name, type, error);
        return entry != nullptr && m_Archive->Stream(*entry, sink, error);
    }

private:
    const ArchiveEntry* Lookup(std::string_view name, std::string_view type, std::string* error)
    {
        Open();
        if (!m_Archive) {
            if (error != nullptr)
                *error = m_OpenError;
            return nullptr;
        }
        const ArchiveEntry* entry = m_Archive->Find(name, type);
        if (entry == nullptr && error != nullptr) {
            *error = "no resource " + std::string(name) + " of type " + std::string(type);
        }
        return entry;
    }

    void Open()
    {
        if (!m_Tried) {
            m_Tried = true;
            m_Archive = ResourceArchive::Open(m_Path, &m_OpenError, &m_OpenDamaged);
        }
    }

    std::string m_Path;
    bool m_Tried = false;
    std::string m_OpenError;
    std::string m_OpenDamaged;
    std::optional<ResourceArchive> m_Archive;
    bool m_Verified = false;
    bool m_Whole = false;
    std::string m_DamagedPart;
    std::string m_VerifyError;
};

} // namespace

std::unique_ptr<ResourceSource> OpenFileResources(std::string path)
{
    return std::make_unique<FileResources>(std::move(path));
}

std::unique_ptr<ResourceSource> OpenOwnResources()
{
    return OpenFileResources("/proc/self/exe");
}

} // namespace platform
