#include "tools/pack/Packer.h"

#include "download/SRecord.h"
#include "link/ModelTraits.h"
#include "platform/FileWrite.h"
#include "platform/HexText.h"
#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"
#include "workflow/FirmwareCatalogue.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iomanip>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

namespace {

void SetError(std::string* error, std::string text)
{
    if (error != nullptr)
        *error = std::move(text);
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out, std::string* error)
{
    out.clear();
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetError(error, path + ": " + std::strerror(errno));
        return false;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetError(error, path + ": " + std::strerror(errno));
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return true;
}

// Reads and validates one S-record image and splits it into chunks.
bool PackImage(const std::string& path, download::ImageKind kind, const std::string& prefix,
    std::uint64_t chunkSize, std::vector<Chunk>& chunks, std::ostream& notes, std::string* error)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, error))
        return false;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const download::ImageReport report = download::ValidateImage(text, kind, true);
    if (!report.ok) {
        std::string where = path;
        if (report.problem.line != 0)
            where += ":" + std::to_string(report.problem.line);
        SetError(error, where + ": " + report.problem.reason);
        return false;
    }
    if (report.normalisedLineEnds) {
        notes << path << ": LF line ends normalised to CR LF\n";
    }
    return SplitAtRecords(report.text, chunkSize, prefix, chunks, error);
}

bool CheckVersionText(const std::string& option, const std::string& text, std::string* error)
{
    if (text.size() > 9) {
        SetError(error, option + " takes at most 9 characters: " + text);
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        SetError(error, option + " must not contain a NUL character");
        return false;
    }
    return true;
}

void CopyVersion(std::array<char, 10>& field, const std::string& text)
{
    field.fill('\0');
    std::memcpy(field.data(), text.data(), std::min<std::size_t>(text.size(), 9));
}

std::string DigestHex(const platform::Sha256Digest& digest)
{
    return platform::HexOfBytes(digest.data(), digest.size(), true);
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa { };
    struct stat sb { };
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev
        && sa.st_ino == sb.st_ino;
}

} // namespace

bool SplitAtRecords(const std::string& text, std::uint64_t chunkSize, const std::string& prefix,
    std::vector<Chunk>& chunks, std::string* error)
{
    if (chunkSize == 0) {
        SetError(error, "chunk size must be at least 1");
        return false;
    }
    std::size_t chunkStart = 0;
    std::size_t pos = 0;
    std::size_t lineNumber = 0;
    auto flush = [&](std::size_t end) {
        Chunk chunk;
        chunk.name = prefix + "_" + std::to_string(chunks.size() + 1);
        chunk.data.assign(text.begin() + static_cast<std::ptrdiff_t>(chunkStart),
            text.begin() + static_cast<std::ptrdiff_t>(end));
        chunks.push_back(std::move(chunk));
        chunkStart = end;
    };
    while (pos < text.size()) {
        ++lineNumber;
        std::size_t next = text.find('\n', pos);
        next = next == std::string::npos ? text.size() : next + 1;
        if (next - pos > chunkSize) {
            SetError(
                error, "line " + std::to_string(lineNumber) + " is longer than the chunk size");
            return false;
        }
        if (next - chunkStart > chunkSize)
            flush(pos);
        pos = next;
    }
    if (pos > chunkStart)
        flush(pos);
    return true;
}

void SplitBytes(const std::vector<std::uint8_t>& bytes, std::uint64_t chunkSize,
    const std::string& prefix, std::vector<Chunk>& chunks)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t n
            = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() - pos, chunkSize));
        Chunk chunk;
        chunk.name = prefix + "_" + std::to_string(chunks.size() + 1);
        chunk.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
            bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        chunks.push_back(std::move(chunk));
        pos += n;
    }
}

bool BuildRelease(const ReleaseOptions& o, std::ostream& notes, std::string* error)
{
    if (o.base.empty() || o.out.empty()) {
        SetError(error, "--base and --out are required");
        return false;
    }
    if (o.chunkSize == 0 || o.chunkSize > (1ull << 31)) {
        SetError(error, "--chunk-size must be between 1 and 2147483648");
        return false;
    }
    if (SameFile(o.base, o.out)) {
        SetError(error, "--out must not be the --base file");
        return false;
    }
    const bool rawRecord = !o.attributesFile.empty();
    if (!rawRecord) {
        if (o.appLoader.empty() || o.appCode.empty()) {
            SetError(error, "--app-loader and --app-code are required");
            return false;
        }
        if (o.upgradeType == 3 && (o.bootLoader.empty() || o.bootCode.empty())) {
            SetError(error, "an application-boot release needs --boot-loader and --boot-code");
            return false;
        }
        if (!CheckVersionText("--programming-app-version", o.programmingAppVersion, error)
            || !CheckVersionText("--tuning-app-version", o.tuningAppVersion, error)) {
            return false;
        }
        if (!o.bootTwoLoader.empty() && o.bootTwoMajor == 0) {
            SetError(
                error, "a second boot set needs --boot-two-version with a major version above 0");
            return false;
        }
        if (o.bootTwoLoader.empty() && o.bootTwoMajor != 0) {
            SetError(error, "--boot-two-version needs --boot-two-loader and --boot-two-code");
            return false;
        }
    }
    if (o.bootLoader.empty() != o.bootCode.empty()) {
        SetError(error, "--boot-loader and --boot-code go together");
        return false;
    }
    if (o.bootTwoLoader.empty() != o.bootTwoCode.empty()) {
        SetError(error, "--boot-two-loader and --boot-two-code go together");
        return false;
    }

    std::vector<Chunk> appLoader, appCode, bootLoader, bootCode, bootTwoLoader, bootTwoCode;
    using download::ImageKind;
    // The DSP engine takes every loader line as an S3 record, so a DSP
    // release's loader must be one; flash loaders are S2.
    const ImageKind appLoaderKind
        = o.upgradeType == 2 && !rawRecord ? ImageKind::Code : ImageKind::Loader;
    if (!o.appLoader.empty()
        && !PackImage(o.appLoader, appLoaderKind, "Loader", o.chunkSize, appLoader, notes, error)) {
        return false;
    }
    if (!o.appCode.empty()) {
        if (o.upgradeType == 2 && !rawRecord) {
            // A DSP object file is binary and goes in as it is.
            std::vector<std::uint8_t> bytes;
            if (!ReadWholeFile(o.appCode, bytes, error))
                return false;
            if (bytes.empty()) {
                SetError(error, o.appCode + ": empty DSP object file");
                return false;
            }
            SplitBytes(bytes, o.chunkSize, "Code", appCode);
        } else if (!PackImage(
                       o.appCode, ImageKind::Code, "Code", o.chunkSize, appCode, notes, error)) {
            return false;
        }
    }
    if (!o.bootLoader.empty()
        && (!PackImage(o.bootLoader, ImageKind::Loader, "Loader_Boot", o.chunkSize, bootLoader,
                notes, error)
            || !PackImage(
                o.bootCode, ImageKind::Code, "Code_Boot", o.chunkSize, bootCode, notes, error))) {
        return false;
    }
    if (!o.bootTwoLoader.empty()
        && (!PackImage(o.bootTwoLoader, ImageKind::Loader, "Loader_BootTwo", o.chunkSize,
                bootTwoLoader, notes, error)
            || !PackImage(o.bootTwoCode, ImageKind::Code, "Code_BootTwo", o.chunkSize, bootTwoCode,
                notes, error))) {
        return false;
    }

    std::vector<std::uint8_t> record;
    if (rawRecord) {
        if (!ReadWholeFile(o.attributesFile, record, error))
            return false;
    } else {
        ResourceAttributes r;
        r.AppLoaderCount = static_cast<std::uint32_t>(appLoader.size());
        r.AppCodeCount = static_cast<std::uint32_t>(appCode.size());
        r.BootLoaderCount = static_cast<std::uint32_t>(bootLoader.size());
        r.BootCodeCount = static_cast<std::uint32_t>(bootCode.size());
        r.BootTwoLoaderCount = static_cast<std::uint32_t>(bootTwoLoader.size());
        r.BootTwoCodeCount = static_cast<std::uint32_t>(bootTwoCode.size());
        r.BootMajor = o.bootMajor;
        r.BootMinor = o.bootMinor;
        r.BootTwoMajor = o.bootTwoMajor;
        r.BootTwoMinor = o.bootTwoMinor;
        CopyVersion(r.ProgrammingAppVersion, o.programmingAppVersion);
        CopyVersion(r.TuningAppVersion, o.tuningAppVersion);
        r.RadioFamily = static_cast<std::uint8_t>(o.family);
        r.PlatformFlag = static_cast<std::uint8_t>(o.platformFlag);
        r.SeriesNumber = static_cast<std::uint8_t>(o.series);
        r.UpgradeType = static_cast<std::uint8_t>(o.upgradeType);
        r.Processor416 = o.processor416 ? 1 : 0;
        const auto encoded = EncodeResourceAttributes(r);
        record.assign(encoded.begin(), encoded.end());
    }

    platform::ResourceArchiveWriter writer;
    const std::string type(platform::kTextResourceType);
    if (!writer.Add(std::string(kResourceAttributesName), type, std::move(record), error))
        return false;
    for (std::vector<Chunk>* set :
        { &appLoader, &appCode, &bootLoader, &bootCode, &bootTwoLoader, &bootTwoCode }) {
        for (Chunk& chunk : *set) {
            if (!writer.Add(chunk.name, type, std::move(chunk.data), error))
                return false;
        }
    }
    for (const auto& [name, file] : o.rawResources) {
        std::vector<std::uint8_t> bytes;
        if (!ReadWholeFile(file, bytes, error))
            return false;
        if (!writer.Add(name, type, std::move(bytes), error))
            return false;
    }

    const platform::UniqueFd base(::open(o.base.c_str(), O_RDONLY | O_CLOEXEC));
    if (!base) {
        SetError(error, o.base + ": " + std::strerror(errno));
        return false;
    }
    struct stat st { };
    if (::fstat(base.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SetError(error, o.base + ": not a regular file");
        return false;
    }
    std::uint64_t baseSize = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t strippedSize = 0;
    if (platform::ResourceArchive::HasTrailer(base.Get(), &strippedSize)) {
        notes << o.base << ": already carries resources; they are replaced\n";
        baseSize = strippedSize;
    }

    // Write beside the target and rename, so a failed run leaves nothing
    // half-written under the release's name.
    platform::AtomicFileWriter out;
    if (!out.Open(o.out, 0755, false)) {
        SetError(error, out.Error());
        return false;
    }
    std::string writeError;
    if (!writer.WriteTo(base.Get(), baseSize, out.Fd(), &writeError)) {
        SetError(error, o.out + ": " + writeError);
        return false;
    }
    if (!out.Commit()) {
        SetError(error, out.Error());
        return false;
    }
    return true;
}

int ListRelease(const std::string& path, std::ostream& out, std::ostream& err)
{
    std::string error;
    std::optional<platform::ResourceArchive> archive
        = platform::ResourceArchive::Open(path, &error);
    if (!archive) {
        err << path << ": " << error << "\n";
        return 2;
    }
    out << path << ": " << archive->Entries().size() << " resources after " << archive->BaseSize()
        << " bytes of program\n";
    int result = 0;
    for (const platform::ArchiveEntry& entry : archive->Entries()) {
        std::string problem;
        const bool sound = archive->Verify(entry, &problem);
        if (!sound)
            result = 1;
        out << "  " << std::left << std::setw(22) << entry.name << " " << std::setw(5) << entry.type
            << " " << std::right << std::setw(10) << entry.size << "  "
            << (sound ? "ok" : "DAMAGED") << "  " << DigestHex(entry.digest) << "\n";
    }
    if (!archive->RecordsProgramPart()) {
        out << "program part not recorded (packed before the packer recorded it)\n";
    } else {
        std::string damaged;
        std::string problem;
        const bool whole
            = archive->VerifyWhole(&damaged, &problem) || damaged != platform::kProgramDigestName;
        if (!whole)
            result = 1;
        out << "program part " << archive->BaseSize() << " bytes  " << (whole ? "ok" : "DAMAGED")
            << "\n";
    }
    const platform::ArchiveEntry* recordEntry
        = archive->Find(kResourceAttributesName, platform::kTextResourceType);
    std::vector<std::uint8_t> bytes;
    if (recordEntry == nullptr) {
        out << "no attribute record\n";
        return result;
    }
    if (!archive->Read(*recordEntry, bytes, &error)) {
        out << "attribute record unreadable: " << error << "\n";
        return 1;
    }
    if (bytes.size() != kResourceAttributesSize) {
        out << "attribute record has " << bytes.size() << " bytes instead of "
            << kResourceAttributesSize
            << (bytes.size() < kResourceAttributesSize ? " (reads as all zero)" : "") << "\n";
    }
    const ResourceAttributes r = DecodeResourceAttributes(bytes.data(), bytes.size());
    out << "ResourceAttributes_:\n"
        << "  AppLoaderCount        " << r.AppLoaderCount << "\n"
        << "  AppCodeCount          " << r.AppCodeCount << "\n"
        << "  BootLoaderCount       " << r.BootLoaderCount << "\n"
        << "  BootCodeCount         " << r.BootCodeCount << "\n"
        << "  BootTwoLoaderCount    " << r.BootTwoLoaderCount << "\n"
        << "  BootTwoCodeCount      " << r.BootTwoCodeCount << "\n"
        << "  Boot version          " << r.BootMajor << "." << r.BootMinor << "\n"
        << "  Second boot version   " << r.BootTwoMajor << "." << r.BootTwoMinor << "\n"
        << "  ProgrammingAppVersion \"" << VersionFieldText(r.ProgrammingAppVersion) << "\"\n"
        << "  TuningAppVersion      \"" << VersionFieldText(r.TuningAppVersion) << "\"\n"
        << "  RadioFamily           " << unsigned(r.RadioFamily) << " ("
        << FamilyText(r.RadioFamily) << ")\n"
        << "  PlatformFlag          " << unsigned(r.PlatformFlag) << "\n"
        << "  SeriesNumber          " << int(static_cast<std::int8_t>(r.SeriesNumber)) << "\n"
        << "  UpgradeType           " << unsigned(r.UpgradeType) << " ("
        << UpgradeTypeText(r.UpgradeType) << ")\n"
        << "  Processor416          " << unsigned(r.Processor416) << " ("
        << (r.Processor416 != 0 ? "416" : "816") << " processor)\n"
        << "  Target model code     "
        << unsigned(TargetModelCodeOf(r.RadioFamily, r.SeriesNumber, r.PlatformFlag)) << "\n"
        << "  Combined update       " << (IsAppAndBootUpgrade(r) ? "yes" : "no") << "\n";
    return result;
}

} // namespace pack
