#include "workflow/FirmwareCatalogue.h"

#include "platform/FileWrite.h"
#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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

// A descriptor of the working directory (empty: the current directory).
platform::UniqueFd OpenDirectory(const std::string& path)
{
    return platform::UniqueFd(
        ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    std::string_view ext, std::string* detail, int* failedErrno = nullptr)
{
    auto noteErrno = [failedErrno](int error) {
        if (failedErrno != nullptr)
            *failedErrno = error;
    };
    platform::NewFile merged = platform::CreateNumberedFile(
        dirFd,
        [&](unsigned k) {
            return std::string(base) + (k == 0 ? std::string() : std::to_string(k)) + "."
                + std::string(ext);
        },
        kMaxMergedNameTries);
    if (!merged.fd) {
        noteErrno(merged.error);
        SetDetail(detail,
            merged.error == EEXIST
                ? "no free name for the merged " + std::string(base) + " file"
                : platform::SystemErrorText("cannot create " + merged.name, merged.error));
        return std::nullopt;
    }
    const std::string& name = merged.name;
    bool ok = true;
    for (std::uint32_t i = 1; i <= count && ok; ++i) {
        const std::string part = PartFileName(base, i);
        const platform::UniqueFd in(
            ::openat(dirFd, part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!in) {
            if (errno == ENOENT)
                continue; // a part that is not there is skipped
            SetDetail(detail, ErrnoText("cannot open " + part));
            ok = false;
            break;
        }
        struct stat st { };
        if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            SetDetail(detail, part + " is not a regular file");
            ok = false;
        } else if (!CopyFile(in.Get(), merged.fd.Get(), static_cast<std::uint64_t>(st.st_size))) {
            noteErrno(errno);
            SetDetail(detail, ErrnoText("cannot copy " + part + " into " + name));
            ok = false;
        }
    }
    if (!merged.fd.Close() && ok) {
        noteErrno(errno);
        SetDetail(detail, ErrnoText("cannot finish " + name));
        ok = false;
    }
    if (!ok) {
        ::unlinkat(dirFd, name.c_str(), 0);
        return std::nullopt;
    }
    return name;
}

// Why writing the work files stopped.
struct WriteProblem {
    enum class Kind {
        None,
        Exists, // a part file of that name was there before (another job's?)
        CannotWrite, // the working directory refused a file or its bytes
        Source, // a chunk resource is missing or damaged
    };
    Kind kind = Kind::None;
    std::string file; // the file concerned
    int error = 0; // errno for CannotWrite
};

// The files one extraction created in the working directory. Unless kept,
// they are removed again when the extraction ends, whichever way it ends:
// a failed job leaves nothing behind that would stop the next one.
class CreatedFiles {
public:
    explicit CreatedFiles(int dirFd)
        : m_DirFd(dirFd)
    {
    }
    ~CreatedFiles()
    {
        for (const std::string& name : m_Names)
            ::unlinkat(m_DirFd, name.c_str(), 0);
    }
    CreatedFiles(const CreatedFiles&) = delete;
    CreatedFiles& operator=(const CreatedFiles&) = delete;
    void Add(std::string name) { m_Names.push_back(std::move(name)); }
    // Removes one file now (a part file after the merge).
    void Remove(const std::string& name)
    {
        ::unlinkat(m_DirFd, name.c_str(), 0);
        m_Names.erase(std::remove(m_Names.begin(), m_Names.end(), name), m_Names.end());
    }
    void Keep(const std::string& name)
    {
        m_Names.erase(std::remove(m_Names.begin(), m_Names.end(), name), m_Names.end());
    }

private:
    int m_DirFd;
    std::vector<std::string> m_Names;
};

// Writes chunks 1..count of `prefix` + `setSuffix` to the part files prefix +
// "." + j, each created exclusively. Stops at the first problem: a part file
// that exists already (never overwritten), a file the working directory
// refuses, or a chunk that is missing or damaged.
bool WriteParts(platform::ResourceSource* resources, int dirFd, std::string_view prefix,
    std::string_view setSuffix, std::uint32_t count, CreatedFiles& created, WriteProblem& problem,
    std::string* detail)
{
    for (std::uint32_t j = 1; j <= count; ++j) {
        const std::string part = PartFileName(prefix, j);
        platform::NewFile file = platform::CreateNumberedFile(
            dirFd, [&part](unsigned) { return part; }, 1);
        if (!file.fd) {
            SetDetail(detail, platform::SystemErrorText("cannot create " + part, file.error));
            problem.kind = file.error == EEXIST ? WriteProblem::Kind::Exists
                                                : WriteProblem::Kind::CannotWrite;
            problem.file = part;
            problem.error = file.error;
            return false;
        }
        created.Add(part);
        const std::string resource = ChunkResourceName(prefix, setSuffix, j);
        std::string error;
        int writeErrno = 0;
        bool ok = resources->StreamResource(
            resource, platform::kTextResourceType,
            [&file, &writeErrno](const std::uint8_t* data, std::size_t size) {
                if (platform::WriteAll(file.fd.Get(), data, size))
                    return true;
                writeErrno = errno;
                return false;
            },
            &error);
        if (!file.fd.Close() && ok) {
            ok = false;
            writeErrno = errno;
        }
        if (!ok) {
            problem.file = part;
            if (writeErrno != 0) {
                problem.kind = WriteProblem::Kind::CannotWrite;
                problem.error = writeErrno;
                SetDetail(detail, platform::SystemErrorText("cannot write " + part, writeErrno));
            } else {
                problem.kind = WriteProblem::Kind::Source;
                SetDetail(detail, resource + ": " + error);
            }
            return false;
        }
    }
    return true;
}

// The working directory as the messages name it: absolute, without a
// trailing separator.
std::string DirectoryText(const std::string& workingDirectory)
{
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(workingDirectory.empty()
            ? std::filesystem::path(".")
            : std::filesystem::path(workingDirectory),
        ec);
    if (ec)
        return workingDirectory.empty() ? "." : workingDirectory;
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

bool Fail(platform::IMessageBoxes* boxes, const std::string& message)
{
    platform::ConsoleMessageBoxes console;
    (boxes != nullptr ? *boxes : console)
        .ShowMessage(kEmbeddedFilesCaption, message, platform::MessageIcon::Error);
    return false;
}

// The message of a failed extraction: the directory's own trouble when it
// cannot be written, the existing part file by name, else the Part's text.
bool FailExtraction(platform::IMessageBoxes* boxes, const WriteProblem& problem,
    const char* message, const std::string& workingDirectory)
{
    switch (problem.kind) {
    case WriteProblem::Kind::CannotWrite:
        return Fail(boxes, CannotWriteText(workingDirectory, problem.error));
    case WriteProblem::Kind::Exists:
        return Fail(boxes,
            std::string(message) + "\n\nThe work file " + problem.file + " already exists in "
                + DirectoryText(workingDirectory)
                + ": remove it if no other job runs in this directory.");
    default:
        return Fail(boxes, message);
    }
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

std::string CannotWriteText(const std::string& workingDirectory, int error)
{
    return platform::SystemErrorText(
        "cannot write in the working directory " + DirectoryText(workingDirectory), error);
}

std::string ReleaseDamagedText(const std::string& part)
{
    return "This release is damaged (resource " + part + "): obtain a new copy.";
}

bool CheckReleaseWhole(
    platform::ResourceSource* resources, std::string& damaged, std::string* detail)
{
    if (resources == nullptr) {
        damaged = std::string(platform::kDamagedTrailer);
        SetDetail(detail, "no embedded resources");
        return false;
    }
    std::string error;
    if (!resources->VerifyRelease(&damaged, &error)) {
        SetDetail(detail, error);
        return false;
    }
    const std::string recordName(kResourceAttributesName);
    std::vector<std::uint8_t> bytes;
    if (!resources->ReadResource(recordName, platform::kTextResourceType, bytes, &error)
        || bytes.size() != kResourceAttributesSize) {
        damaged = recordName;
        SetDetail(detail,
            bytes.empty() ? error
                          : "the attribute record has " + std::to_string(bytes.size())
                    + " bytes instead of 68");
        return false;
    }
    const ResourceAttributes record = DecodeResourceAttributes(bytes.data(), bytes.size());
    if (record.RadioFamily > 1 || record.UpgradeType > 3) {
        damaged = recordName;
        SetDetail(detail, "the attribute record names an unknown radio family or upgrade type");
        return false;
    }
    const struct {
        const char* prefix;
        const char* suffix;
        std::uint32_t count;
    } sets[] = {
        { "Loader", "", record.AppLoaderCount },
        { "Code", "", record.AppCodeCount },
        { "Loader", "_Boot", record.BootLoaderCount },
        { "Code", "_Boot", record.BootCodeCount },
        { "Loader", "_BootTwo", record.BootTwoLoaderCount },
        { "Code", "_BootTwo", record.BootTwoCodeCount },
    };
    for (const auto& set : sets) {
        if (set.count > platform::kArchiveMaxEntries) {
            damaged = recordName;
            SetDetail(detail, "the attribute record counts more chunks than an archive holds");
            return false;
        }
        for (std::uint32_t j = 1; j <= set.count; ++j) {
            const std::string name = ChunkResourceName(set.prefix, set.suffix, j);
            if (!resources->HasResource(name, platform::kTextResourceType)) {
                damaged = name;
                SetDetail(detail, "the attribute record counts " + name + ", which is missing");
                return false;
            }
        }
    }
    return true;
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
    const platform::UniqueFd dir = OpenDirectory(workingDirectory);
    if (!dir) {
        SetDetail(detail, ErrnoText("cannot open the working directory"));
        return std::nullopt;
    }
    return MergeInto(dir.Get(), base, count, ext, detail);
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

    const platform::UniqueFd dir = OpenDirectory(workingDirectory);
    if (!dir) {
        const int error = errno;
        SetDetail(detail, ErrnoText("cannot open the working directory"));
        return Fail(boxes, CannotWriteText(workingDirectory, error));
    }

    CreatedFiles created(dir.Get());
    WriteProblem problem;
    if (!WriteParts(resources, dir.Get(), "Loader", suffix, loaderCount, created, problem, detail))
        return FailExtraction(boxes, problem, kLoaderExtractionMessage, workingDirectory);
    int mergeErrno = 0;
    std::optional<std::string> loader
        = MergeInto(dir.Get(), "Loader", loaderCount, "hex", detail, &mergeErrno);
    if (!loader) {
        loaderFileName.clear();
        problem.kind = WriteProblem::Kind::CannotWrite;
        problem.error = mergeErrno != 0 ? mergeErrno : EIO;
        return FailExtraction(boxes, problem, kLoaderExtractionMessage, workingDirectory);
    }
    created.Add(*loader);

    if (!WriteParts(resources, dir.Get(), "Code", suffix, codeCount, created, problem, detail)) {
        loaderFileName.clear();
        return FailExtraction(boxes, problem, kCodeExtractionMessage, workingDirectory);
    }
    std::optional<std::string> code = MergeInto(dir.Get(), "Code", codeCount,
        UpgradeTypeOf(record) == UpgradeType::Dsp ? "OUT" : "hex", detail, &mergeErrno);
    if (!code) {
        loaderFileName.clear();
        codeFileName.clear();
        problem.kind = WriteProblem::Kind::CannotWrite;
        problem.error = mergeErrno != 0 ? mergeErrno : EIO;
        return FailExtraction(boxes, problem, kCodeExtractionMessage, workingDirectory);
    }

    // Success: the part files go, the two merged files stay for the
    // download (the sequence deletes them afterwards).
    for (std::uint32_t j = 1; j <= loaderCount; ++j)
        created.Remove(PartFileName("Loader", j));
    for (std::uint32_t j = 1; j <= codeCount; ++j)
        created.Remove(PartFileName("Code", j));
    created.Keep(*loader);
    loaderFileName = *loader;
    codeFileName = *code;
    return true;
}
