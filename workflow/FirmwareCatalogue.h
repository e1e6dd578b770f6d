#pragma once

// The firmware catalogue of the release this executable carries: the 68-byte
// attribute record, the target model code derived from it, and the
// extraction of one firmware set (RAM loader plus code) from the resources
// into two merged work files in the working directory.
//
// Resources are named prefix + set suffix + "_" + chunk index from 1:
//   "Loader_1", "Code_1" ...            application set
//   "Loader_Boot_1", "Code_Boot_1" ...  boot set
//   "Loader_BootTwo_1", ...             second boot set
// all of type "TEXT", looked up without regard to case. Chunks of a set are
// joined by plain concatenation in index order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class IMessageBoxes;
class ResourceSource;
} // namespace platform

// What a release updates (attribute record byte 63).
enum class UpgradeType : std::uint8_t {
    Application = 0,
    Boot = 1,
    Dsp = 2,
    ApplicationBoot = 3, // the user chooses, or the combined update runs
};

// The attribute record, stored as resource "ResourceAttributes_" of type
// "TEXT": 68 bytes, integers little-endian, three padding bytes at the end.
struct ResourceAttributes {
    std::uint32_t AppLoaderCount = 0; // offset 0
    std::uint32_t AppCodeCount = 0; // 4
    std::uint32_t BootLoaderCount = 0; // 8
    std::uint32_t BootCodeCount = 0; // 12
    std::uint32_t BootTwoLoaderCount = 0; // 16
    std::uint32_t BootTwoCodeCount = 0; // 20
    std::uint32_t BootMajor = 0; // 24
    std::uint32_t BootMinor = 0; // 28
    std::uint32_t BootTwoMajor = 0; // 32: 0 means there is no second boot set
    std::uint32_t BootTwoMinor = 0; // 36
    // 40 and 50: NUL-terminated inside the 10 bytes (if a terminator is
    // missing, the text ends after the tenth byte).
    std::array<char, 10> ProgrammingAppVersion {};
    std::array<char, 10> TuningAppVersion {};
    std::uint8_t RadioFamily = 0; // 60: 0 = 4400 (portable), 1 = 4600 (mobile)
    std::uint8_t PlatformFlag = 0; // 61: for a 4600, 0 selects model code 1
    std::uint8_t SeriesNumber = 0; // 62: compared as a signed byte
    std::uint8_t UpgradeType = 0; // 63: 0 Application, 1 Boot, 2 DSP, 3 Application/Boot
    std::uint8_t Processor416 = 0; // 64: non-zero for 416-processor radios, 0 for 816
};

inline UpgradeType UpgradeTypeOf(const ResourceAttributes& record)
{
    return static_cast<UpgradeType>(record.UpgradeType);
}

inline constexpr std::size_t kResourceAttributesSize = 68;
inline constexpr std::string_view kResourceAttributesName = "ResourceAttributes_";

// Decodes the record from `size` bytes; fewer than 68 bytes give an all-zero
// record (a short record counts as a missing one). Bytes past 68 are ignored.
ResourceAttributes DecodeResourceAttributes(const std::uint8_t* data, std::size_t size);
// The 68 bytes of a record (padding zero).
std::array<std::uint8_t, kResourceAttributesSize> EncodeResourceAttributes(
    const ResourceAttributes& record);

// Text of a 10-byte version field: up to its NUL, at most 10 characters.
std::string VersionFieldText(const std::array<char, 10>& field);

// "4400" for 0, "4600" for 1; empty for any other index.
std::string FamilyText(int index);
// "Application", "Boot", "DSP", "Application/Boot" for 0 to 3; empty otherwise.
std::string UpgradeTypeText(int index);

// m_AppAndBootUpgrade: the release runs the combined boot-and-application
// update (series 4 or 6 and upgrade type 3).
bool IsAppAndBootUpgrade(const ResourceAttributes& record);

// The texts of the target labels of the main window.
struct TargetLabelTexts {
    std::string PCOVersion; // PCOVersionLabel: ProgrammingAppVersion
    std::string PCAlignVersion; // PCAlignVersionLabel: TuningAppVersion
    std::string TargetRadio; // m_TargetRadioLabel: FamilyText(RadioFamily)
    std::string TargetSeries; // m_TargetSeriesLabel: SeriesNumber in decimal
    std::string TargetUpgradeType; // m_TargetUpgradeTypeLabel: UpgradeTypeText(UpgradeType)
};

TargetLabelTexts TargetLabelTextsOf(const ResourceAttributes& record);

// Reads the attribute record from the resources and gives the label texts.
// A missing, short or damaged record (or no resources at all: `resources`
// may be null) is not reported: the record reads all zero, so the labels say
// "4400", "0", "Application" and the versions are empty.
void ReadResourceAttributes(
    platform::ResourceSource* resources, ResourceAttributes& record, TargetLabelTexts& labels);

// --- The release checked whole ---------------------------------------------

// "cannot write in the working directory DIR: REASON" (DIR absolute).
std::string CannotWriteText(const std::string& workingDirectory, int error);

// "This release is damaged (resource NAME): obtain a new copy."
std::string ReleaseDamagedText(const std::string& part);

// Checks the release whole before anything is sent to a radio: the archive's
// trailer and directory, every resource's digest, the program part, the
// attribute record (present, 68 bytes, a known family and upgrade type) and
// every chunk that the record counts. False with the name of the first
// damaged part in `damaged` (a resource name, "ProgramPart_", "archive
// trailer" or "archive directory") and the reason in `detail`. The archive
// is read once per process; later calls repeat the first answer.
bool CheckReleaseWhole(
    platform::ResourceSource* resources, std::string& damaged, std::string* detail = nullptr);

// --- Work files -------------------------------------------------------------

// Resource name of chunk `index` of a set: "Code" + "_Boot" + "_" + 3.
std::string ChunkResourceName(
    std::string_view prefix, std::string_view setSuffix, std::uint32_t index);
// Part file of chunk `index`: "Loader." + 1, "Code." + 12.
std::string PartFileName(std::string_view base, std::uint32_t index);

// The two message texts of a failed extraction (caption "Embedded Files").
extern const char* const kLoaderExtractionMessage;
extern const char* const kCodeExtractionMessage;
inline constexpr const char* kEmbeddedFilesCaption = "Embedded Files";

// Joins the part files base + "." + 1 ... base + "." + count of the working
// directory (empty: the current directory) into a new file named base + "." +
// ext, or, when that name is taken (by any file or link), the first free of
// base + "1." + ext, base + "2." + ext, ... The merged file is created
// exclusively and never replaces or follows anything. A part file that is
// not there is skipped. Returns the name (relative to the directory), or
// nothing when the merged file cannot be created or completely written; a
// half-written merged file is removed again.
std::optional<std::string> MergePartFiles(const std::string& workingDirectory,
    std::string_view base, std::uint32_t count, std::string_view ext,
    std::string* detail = nullptr);

// Extracts one firmware set into the working directory (empty: the current
// directory): the application set, or the boot set when `boot` is true, or
// the second boot set when `useBootTwo` is true (whatever `boot` says).
// Writes each chunk to its part file (created exclusively: an existing part
// file, or a link under its name, is never overwritten or followed), merges
// the loader parts and stores the name in `loaderFileName`, then the code
// parts ("Code.OUT" for upgrade type 2, else "Code.hex") into
// `codeFileName`, and deletes the part files.
//
// On failure it shows one message box (caption "Embedded Files") and returns
// false, and every file it created is removed again (part files and a merged
// loader file alike; both names are cleared), so that the next job in the
// directory is not stopped by them:
// - a part file that existed before (it may belong to another job running
//   in the same directory; it is left alone): the loader or code message,
//   followed by the name of the file and the advice to remove it if no
//   other job runs in this directory;
// - a file the working directory refuses (no permission, a full disk, a
//   read-only filesystem): "cannot write in the working directory DIR:
//   REASON";
// - a chunk that is missing or damaged, or a resource source that cannot be
//   read at all: the loader or code message.
// `detail`, when given, receives the reason. The message box goes to `boxes`
// (null: the console).
bool ExtractFirmwareSet(platform::ResourceSource* resources, const ResourceAttributes& record,
    bool boot, bool useBootTwo, const std::string& workingDirectory, std::string& loaderFileName,
    std::string& codeFileName, std::string* detail = nullptr,
    platform::IMessageBoxes* boxes = nullptr);
