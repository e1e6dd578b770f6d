#include "workflow/FirmwareCatalogue.h"

#include "platform/FileWrite.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const kLoaderExtractionMessage
    = "Corvel Code Updater could not read the embedded loader file.\n"
      "Please verify that any other instances of Corvel Code Updater\n"
      "have begun downloading and try again.";
const char* const kCodeExtractionMessage
    = "Corvel Code Updater could not read the embedded code file.\n"
      "Please verify that any other instances of Corvel Code Updater\n"
      "have begun downloading and try again.";

namespace {

// Candidate names tried for a merged file before giving up.
constexpr std::uint32_t kMaxMergedNameTries = 10000;

std::uint32_t GetLe32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
        | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void SetDetail(std::string* detail, std::string text)
{
    if (detail != nullptr)
        *detail = std::move(text);
}

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// A descriptor of the working directory, closed on scope exit.
class DirectoryHandle {
public:
    explicit DirectoryHandle(const std::string& path)
        : m_Fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~DirectoryHandle()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    int Fd() const { return m_Fd; }

private:
    int m_Fd;
};

// True when anything (file, directory, link, even a dangling one) has that name.
bool NameTaken(int dirFd, const std::string& name)
{
    struct stat st { };
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// Creates `name` exclusively; -1 with errno on failure (EEXIST when taken).
int CreateExclusive(int dirFd, const std::string& name)
{
    return ::openat(
        dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Appends the whole of `inFd` to `outFd`; false on any read or write error.
bool CopyFile(int inFd, int outFd, std::uint64_t expected)
{
    std::uint64_t copied = 0;
    // The kernel copies without a trip through user space where it can.
    for (;;) {
        const ssize_t n = ::sendfile(outFd, inFd, nullptr, 1 << 30);
        if (n > 0) {
            copied += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            return copied == expected;
        if (errno == EINTR)
            continue;
        if ((errno == EINVAL || errno == ENOSYS) && copied == 0)
            break;
        return false;
    }
    std::vector<std::uint8_t> buffer(256 * 1024);
    for (;;) {
        const ssize_t n = ::read(inFd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return copied == expected;
        if (!platform::WriteAll(outFd, buffer.data(), static_cast<std::size_t>(n)))
            return false;
        copied += static_cast<std::uint64_t>(n);
    }
}

std::optional<std::string> MergeInto(int dirFd, std::string_view base, std::uint32_t count,
    std::string_view ext, std::string* detail)
{
    std::string name;
    int outFd = -1;
    for (std::uint32_t k = 0; k < kMaxMergedNameTries && outFd < 0; ++k) {
        name = std::string(base) + (k == 0 ? std::string() : std::to_string(k)) + "."
            + std::string(ext);
        if (NameTaken(dirFd, name))
            continue;
        outFd = CreateExclusive(dirFd, name);
        if (outFd < 0 && errno != EEXIST) {
            SetDetail(detail, ErrnoText("cannot create " + name));
            return std::nullopt;
        }
    }
    if (outFd < 0) {
        SetDetail(detail, "no free name for the merged " + std::string(base) + " file");
        return std::nullopt;
    }
    bool ok = true;
    for (std::uint32_t i = 1; i <= count && ok; ++i) {
        const std::string part = PartFileName(base, i);
        const int inFd = ::openat(dirFd, part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (inFd < 0) {
            if (errno == ENOENT)
                continue; // a part that is not there is skipped
            SetDetail(detail, ErrnoText("cannot open " + part));
            ok = false;
            break;
        }
        struct stat st { };
        if (::fstat(inFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            SetDetail(detail, part + " is not a regular file");
            ok = false;
        } else if (!CopyFile(inFd, outFd, static_cast<std::uint64_t>(st.st_size))) {
            SetDetail(detail, ErrnoText("cannot copy " + part + " into " + name));
            ok = false;
        }
        ::close(inFd);
    }
    if (::close(outFd) != 0 && ok) {
        SetDetail(detail, ErrnoText("cannot finish " + name));
        ok = false;
    }
    if (!ok) {
        ::unlinkat(dirFd, name.c_str(), 0);
        return std::nullopt;
    }
    return name;
}

// Writes chunks 1..count of `prefix` + `setSuffix` to the part files prefix +
// "." + j. Returns true when every chunk was written. An existing part file
// is a failure but the other chunks are still written; a missing, damaged or
// unwritable chunk ends the loop (its part file is removed again).
bool WriteParts(platform::ResourceSource* resources, int dirFd, std::string_view prefix,
    std::string_view setSuffix, std::uint32_t count, std::string* detail)
{
    bool failure = false;
    std::uint32_t written = 0;
    for (std::uint32_t j = 1; j <= count; ++j) {
        const std::string part = PartFileName(prefix, j);
        const int fd = CreateExclusive(dirFd, part);
        if (fd < 0) {
            SetDetail(detail, ErrnoText("cannot create " + part));
            failure = true;
            if (errno == EEXIST)
                continue;
            break;
        }
        const std::string resource = ChunkResourceName(prefix, setSuffix, j);
        std::string error;
        bool ok = resources->StreamResource(
            resource, platform::kTextResourceType,
            [fd](const std::uint8_t* data, std::size_t size) {
                return platform::WriteAll(fd, data, size);
            },
            &error);
        if (::close(fd) != 0 && ok) {
            ok = false;
            error = ErrnoText("cannot finish " + part);
        }
        if (!ok) {
            // Never leave a half-written or damaged chunk behind.
            ::unlinkat(dirFd, part.c_str(), 0);
            SetDetail(detail, resource + ": " + error);
            failure = true;
            break;
        }
        ++written;
    }
    return !failure && written == count;
}

void RemoveParts(int dirFd, std::string_view prefix, std::uint32_t count)
{
    for (std::uint32_t j = 1; j <= count; ++j) {
        ::unlinkat(dirFd, PartFileName(prefix, j).c_str(), 0);
    }
}

bool Fail(platform::IMessageBoxes* boxes, const char* message)
{
    platform::ConsoleMessageBoxes console;
    (boxes != nullptr ? *boxes : console)
        .ShowMessage(kEmbeddedFilesCaption, message, platform::MessageIcon::Error);
    return false;
}

} // namespace

ResourceAttributes DecodeResourceAttributes(const std::uint8_t* data, std::size_t size)
{
    ResourceAttributes r;
    if (data == nullptr || size < kResourceAttributesSize)
        return r;
    r.AppLoaderCount = GetLe32(data + 0);
    r.AppCodeCount = GetLe32(data + 4);
    r.BootLoaderCount = GetLe32(data + 8);
    r.BootCodeCount = GetLe32(data + 12);
    r.BootTwoLoaderCount = GetLe32(data + 16);
    r.BootTwoCodeCount = GetLe32(data + 20);
    r.BootMajor = GetLe32(data + 24);
    r.BootMinor = GetLe32(data + 28);
    r.BootTwoMajor = GetLe32(data + 32);
    r.BootTwoMinor = GetLe32(data + 36);
    std::memcpy(r.ProgrammingAppVersion.data(), data + 40, 10);
    std::memcpy(r.TuningAppVersion.data(), data + 50, 10);
    r.RadioFamily = data[60];
    r.PlatformFlag = data[61];
    r.SeriesNumber = data[62];
    r.UpgradeType = data[63];
    r.Processor416 = data[64];
    return r;
}

std::array<std::uint8_t, kResourceAttributesSize> EncodeResourceAttributes(
    const ResourceAttributes& r)
{
    std::array<std::uint8_t, kResourceAttributesSize> out {};
    const std::uint32_t counts[10] = { r.AppLoaderCount, r.AppCodeCount, r.BootLoaderCount,
        r.BootCodeCount, r.BootTwoLoaderCount, r.BootTwoCodeCount, r.BootMajor, r.BootMinor,
        r.BootTwoMajor, r.BootTwoMinor };
    for (int i = 0; i < 10; ++i)
        PutLe32(out.data() + 4 * i, counts[i]);
    std::memcpy(out.data() + 40, r.ProgrammingAppVersion.data(), 10);
    std::memcpy(out.data() + 50, r.TuningAppVersion.data(), 10);
    out[60] = r.RadioFamily;
    out[61] = r.PlatformFlag;
    out[62] = r.SeriesNumber;
    out[63] = r.UpgradeType;
    out[64] = r.Processor416;
    return out;
}

std::string VersionFieldText(const std::array<char, 10>& field)
{
    std::size_t length = 0;
    while (length < field.size() && field[length] != '\0')
        ++length;
    return std::string(field.data(), length);
}

std::string FamilyText(int index)
{
    switch (index) {
    case 0:
        return "4400";
    case 1:
        return "4600";
    default:
        return {};
    }
}

std::string UpgradeTypeText(int index)
{
    switch (static_cast<UpgradeType>(index)) {
    case UpgradeType::Application:
        return "Application";
    case UpgradeType::Boot:
        return "Boot";
    case UpgradeType::Dsp:
        return "DSP";
    case UpgradeType::ApplicationBoot:
        return "Application/Boot";
    default:
        return {};
    }
}

std::uint8_t TargetModelCodeOf(int family, int series, int platformFlag)
{
    const int signedSeries = static_cast<std::int8_t>(static_cast<std::uint8_t>(series));
    if (family == 1) {
        if (platformFlag == 0)
            return 1;
        if (signedSeries == 4)
            return 7;
        if (signedSeries == 6)
            return 8;
        return 5;
    }
    if (signedSeries == 4)
        return 6;
    if (signedSeries == 6)
        return 0;
    return 4;
}

bool IsAppAndBootUpgrade(const ResourceAttributes& record)
{
    const int series = static_cast<std::int8_t>(record.SeriesNumber);
    return (series == 4 || series == 6) && UpgradeTypeOf(record) == UpgradeType::ApplicationBoot;
}

TargetLabelTexts TargetLabelTextsOf(const ResourceAttributes& record)
{
    TargetLabelTexts labels;
    labels.PCOVersion = VersionFieldText(record.ProgrammingAppVersion);
    labels.PCAlignVersion = VersionFieldText(record.TuningAppVersion);
    labels.TargetRadio = FamilyText(record.RadioFamily);
    labels.TargetSeries
        = std::to_string(static_cast<int>(static_cast<std::int8_t>(record.SeriesNumber)));
    labels.TargetUpgradeType = UpgradeTypeText(record.UpgradeType);
    return labels;
}

void ReadResourceAttributes(
    platform::ResourceSource* resources, ResourceAttributes& record, TargetLabelTexts& labels)
{
    std::vector<std::uint8_t> bytes;
    if (resources != nullptr
        && resources->ReadResource(
            kResourceAttributesName, platform::kTextResourceType, bytes, nullptr)) {
        record = DecodeResourceAttributes(bytes.data(), bytes.size());
    } else {
        record = ResourceAttributes {};
    }
    labels = TargetLabelTextsOf(record);
}

std::string ChunkResourceName(
    std::string_view prefix, std::string_view setSuffix, std::uint32_t index)
{
    return std::string(prefix) + std::string(setSuffix) + "_" + std::to_string(index);
}

std::string PartFileName(std::string_view base, std::uint32_t index)
{
    return std::string(base) + "." + std::to_string(index);
}

std::optional<std::string> MergePartFiles(const std::string& workingDirectory,
    std::string_view base, std::uint32_t count, std::string_view ext, std::string* detail)
{
    DirectoryHandle dir(workingDirectory);
    if (dir.Fd() < 0) {
        SetDetail(detail, ErrnoText("cannot open the working directory"));
        return std::nullopt;
    }
    return MergeInto(dir.Fd(), base, count, ext, detail);
}

bool ExtractFirmwareSet(platform::ResourceSource* resources, const ResourceAttributes& record,
    bool boot, bool useBootTwo, const std::string& workingDirectory, std::string& loaderFileName,
    std::string& codeFileName, std::string* detail, platform::IMessageBoxes* boxes)
{
    std::string_view suffix;
    std::uint32_t loaderCount = record.AppLoaderCount;
    std::uint32_t codeCount = record.AppCodeCount;
    if (useBootTwo) {
        suffix = "_BootTwo";
        loaderCount = record.BootTwoLoaderCount;
        codeCount = record.BootTwoCodeCount;
    } else if (boot) {
        suffix = "_Boot";
        loaderCount = record.BootLoaderCount;
        codeCount = record.BootCodeCount;
    }

    // A release whose archive cannot be read (missing, truncated, malformed)
    // extracts nothing, not even the empty sets of a zero record.
    std::string unavailable;
    if (resources == nullptr || !resources->IsAvailable(&unavailable)) {
        SetDetail(detail, resources == nullptr ? "no embedded resources" : unavailable);
        return Fail(boxes, kLoaderExtractionMessage);
    }

    DirectoryHandle dir(workingDirectory);
    if (dir.Fd() < 0) {
        SetDetail(detail, ErrnoText("cannot open the working directory"));
        return Fail(boxes, kLoaderExtractionMessage);
    }

    if (!WriteParts(resources, dir.Fd(), "Loader", suffix, loaderCount, detail)) {
        return Fail(boxes, kLoaderExtractionMessage);
    }
    std::optional<std::string> loader = MergeInto(dir.Fd(), "Loader", loaderCount, "hex", detail);
    if (!loader) {
        loaderFileName.clear();
        return Fail(boxes, kLoaderExtractionMessage);
    }
    loaderFileName = *loader;

    if (!WriteParts(resources, dir.Fd(), "Code", suffix, codeCount, detail)) {
        return Fail(boxes, kCodeExtractionMessage);
    }
    std::optional<std::string> code = MergeInto(dir.Fd(), "Code", codeCount,
        UpgradeTypeOf(record) == UpgradeType::Dsp ? "OUT" : "hex", detail);
    if (!code) {
        codeFileName.clear();
        return Fail(boxes, kCodeExtractionMessage);
    }
    codeFileName = *code;

    RemoveParts(dir.Fd(), "Loader", loaderCount);
    RemoveParts(dir.Fd(), "Code", codeCount);
    return true;
}
