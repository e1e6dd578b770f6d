#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"
#include "tests/catalogue/BoxRecorder.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"
#include "tools/pack/Packer.h"
#include "workflow/FirmwareCatalogue.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using testing::HasSubstr;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::ReadFileText;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using testsupport::WriteFileText;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Images {
    fs::path appLoader, appCode, bootLoader, bootCode;
};

Images ImagesIn(const TempDir& dir)
{
    return { dir / "app-loader.srec", dir / "app-code.srec", dir / "boot-loader.srec",
        dir / "boot-code.srec" };
}

// Small images of the demo's shape, so the tests run quickly.
Images SmallImages(const TempDir& dir)
{
    const Images images = ImagesIn(dir);
    WriteFileText(images.appLoader, pack::MakeDemoImage({ false, 0x010100, 200, 11 }));
    WriteFileText(images.appCode, pack::MakeDemoImage({ true, 0xFE040100, 16 * 100 + 12, 12 }));
    WriteFileText(images.bootLoader, pack::MakeDemoImage({ false, 0x010100, 100, 13 }));
    WriteFileText(images.bootCode, pack::MakeDemoImage({ true, 0xFE000100, 16 * 20 + 8, 14 }));
    return images;
}

const std::string kPack = testsupport::BinPath("corvel-pack").string();

// Indices of values in PackArgs that tests change.
enum { kFamily = 6, kUpgradeType = 10, kProgrammingVersion = 18, kAppLoader = 22, kAppCode = 24 };

std::vector<std::string> PackArgs(const fs::path& base, const fs::path& out, const Images& images)
{
    return { kPack, "--base", base.string(), "--out", out.string(), "--family", "4400", "--series",
        "6", "--upgrade-type", "application-boot", "--platform-flag", "1", "--processor", "816",
        "--boot-version", "6.7", "--programming-app-version", "2.12.4", "--tuning-app-version",
        "3.0.17", "--app-loader", images.appLoader.string(), "--app-code", images.appCode.string(),
        "--boot-loader", images.bootLoader.string(), "--boot-code", images.bootCode.string() };
}

fs::path MakeBase(const TempDir& dir)
{
    WriteFileText(dir / "updater",
        "\x7f"
        "ELF pretend program\n");
    return dir / "updater";
}

// A release as the updater opens it: its record, labels and extraction.
struct Release {
    explicit Release(const fs::path& path)
        : res(platform::OpenFileResources(path.string()))
    {
        ReadResourceAttributes(res.get(), record, labels);
    }
    bool Extract(bool boot, const TempDir& where)
    {
        return ExtractFirmwareSet(
            res.get(), record, boot, false, where.Path().string(), loader, code, nullptr, &boxes);
    }
    std::string Chunk(const std::string& name, const char* type = "TEXT")
    {
        Bytes bytes;
        return res->ReadResource(name, type, bytes, nullptr)
            ? std::string(bytes.begin(), bytes.end())
            : "(missing)";
    }
    std::unique_ptr<platform::ResourceSource> res;
    ResourceAttributes record;
    TargetLabelTexts labels;
    std::string loader, code;
    testsupport::BoxRecorder boxes;
};

} // namespace

TEST(Packer, RoundTripOfTheDemoRelease)
{
    TempDir dir;
    ASSERT_EQ(RunProcess({ kPack, "--demo-images", dir.Path().string() }).exitCode, 0);
    const Images images = ImagesIn(dir);
    const fs::path out = dir / "Updater_4400_Release_6_10";
    const ProcessResult packed = RunProcess(PackArgs(MakeBase(dir), out, images));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_TRUE((fs::status(out).permissions() & fs::perms::owner_exec) != fs::perms::none);

    // The listing names every chunk of the shipped shape with its size.
    const ProcessResult list = RunProcess({ kPack, "--list", out.string() });
    ASSERT_EQ(list.exitCode, 0) << list.err;
    for (const char* entry : { "Code_1                 TEXT     1022976  ok",
             "Code_11                TEXT     1022976  ok",
             "Code_12                TEXT      608596  ok", "Loader_Boot_1", "Code_Boot_1",
             "UpgradeType           3 (Application/Boot)", "Target model code     0" })
        EXPECT_THAT(list.out, HasSubstr(entry));
    EXPECT_THAT(list.out, testing::Not(HasSubstr("Code_13")));

    // The release reads back to the shipped record; only the last code chunk
    // ends with the end record and chunks hold whole lines.
    Release release(out);
    EXPECT_EQ(release.record.AppLoaderCount, 1u);
    EXPECT_EQ(release.record.AppCodeCount, 12u);
    EXPECT_EQ(release.record.BootLoaderCount, 1u);
    EXPECT_EQ(release.record.BootCodeCount, 1u);
    EXPECT_EQ(release.labels.PCOVersion, "2.12.4");
    EXPECT_EQ(release.labels.TargetUpgradeType, "Application/Boot");
    for (int j = 1; j <= 12; ++j) {
        const std::string text = release.Chunk("Code_" + std::to_string(j));
        EXPECT_TRUE(text.starts_with("S3") && text.ends_with("\r\n")) << j;
        EXPECT_EQ(text.find("S9") != std::string::npos, j == 12) << j;
    }

    // The application set extracts to the input images (the boot set: the
    // console job suite, through the radio).
    TempDir work;
    ASSERT_TRUE(release.Extract(false, work));
    EXPECT_EQ(ReadFileBytes(work / release.loader), ReadFileBytes(images.appLoader));
    EXPECT_EQ(ReadFileBytes(work / release.code), ReadFileBytes(images.appCode));

    // Packing is deterministic, and packing onto a release replaces its resources.
    const ProcessResult repacked = RunProcess(PackArgs(out, dir / "again", images));
    ASSERT_EQ(repacked.exitCode, 0) << repacked.err;
    EXPECT_THAT(repacked.err, HasSubstr("already carries resources"));
    EXPECT_TRUE(ReadFileBytes(dir / "again") == ReadFileBytes(out));
}

TEST(Packer, RefusesBadImagesWithFileLineAndReason)
{
    TempDir dir;
    const Images good = SmallImages(dir);
    const fs::path base = MakeBase(dir);
    const std::string loaderText = ReadFileText(good.appLoader);
    const std::string codeText = ReadFileText(good.appCode);

    std::string lfOnly = codeText;
    std::erase(lfOnly, '\r');
    // Each image is checked as the kind it is (the reasons themselves are
    // the S-record suite's).
    const std::vector<std::tuple<bool, std::string, std::string>> cases = {
        { true, codeText,
            ":1: record type S3 does not belong in this image (S2 records expected)" },
        { false, loaderText,
            ":1: record type S2 does not belong in this image (S3 records expected)" },
        { false, codeText.substr(0, codeText.rfind("S9")), ": missing end record (S9 or S7)" },
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [loader, text, message] = cases[i];
        SCOPED_TRACE(message);
        const fs::path bad = dir / ("bad-" + std::to_string(i) + ".srec");
        WriteFileText(bad, text);
        Images images = good;
        (loader ? images.appLoader : images.appCode) = bad;
        const ProcessResult r = RunProcess(PackArgs(base, dir / "out", images));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.err, HasSubstr("corvel-pack: " + bad.string() + message));
        // No partial output left behind: the base, four images and the bad files.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
            static_cast<long>(6 + i));
    }

    // LF-only files are normalised, and said so.
    WriteFileText(dir / "lf.srec", lfOnly);
    Images images = good;
    images.appCode = dir / "lf.srec";
    const ProcessResult r = RunProcess(PackArgs(base, dir / "lf-release", images));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("LF line ends normalised to CR LF"));
    EXPECT_EQ(Release(dir / "lf-release").Chunk("Code_1"), codeText);
}

TEST(Packer, OptionsAndChunking)
{
    TempDir dir;
    const Images images = SmallImages(dir);
    const fs::path base = MakeBase(dir);
    const fs::path out = dir / "rel";
    auto run = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = PackArgs(base, out, images);
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProcess(args);
    };
    // Chunks of at most 480 bytes: 10 whole lines of 48 bytes each.
    ProcessResult r = run({ "--chunk-size", "480" });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto archive = platform::ResourceArchive::Open(out.string(), nullptr);
    ASSERT_TRUE(archive);
    const std::string code = ReadFileText(images.appCode);
    const std::size_t expectedChunks = (code.size() + 479) / 480;
    Release release(out);
    std::string joined;
    std::size_t count = 0;
    for (const auto& e : archive->Entries()) {
        if (e.name.starts_with("Code_") && !e.name.starts_with("Code_Boot")) {
            EXPECT_LE(e.size, 480u);
            joined += release.Chunk("Code_" + std::to_string(++count));
        }
    }
    EXPECT_EQ(count, expectedChunks);
    EXPECT_EQ(joined, code);
    EXPECT_EQ(release.record.AppCodeCount, expectedChunks);

    // Bad option values and missing options; a chunk size below one line
    // cannot split at records.
    for (const auto& [extra, message] :
        std::vector<std::pair<std::vector<std::string>, std::string>> {
            { { "--chunk-size", "40" }, "longer than the chunk size" },
            { { "--processor", "916" }, "given twice" },
            { { "--bogus", "1" }, "unknown option --bogus" },
            { { "--resource", "noequals" }, "--resource takes NAME=FILE" },
            { { "--resource", "code_1=" + images.appCode.string() },
                "names do not differ in case only" },
            { { "--boot-two-version", "2.1" }, "--boot-two-version needs --boot-two-loader" },
            { { "--chunk-size", "0" }, "--chunk-size takes" },
        }) {
        r = run(extra);
        EXPECT_NE(r.exitCode, 0) << message;
        EXPECT_THAT(r.err, HasSubstr(message));
    }
    for (const std::vector<std::string>& line : std::vector<std::vector<std::string>> {
             {}, { "--list" }, { "--list", out.string(), "--out", out.string() }, { "stray" } }) {
        std::vector<std::string> args { kPack };
        args.insert(args.end(), line.begin(), line.end());
        r = RunProcess(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_THAT(r.err, HasSubstr("Try corvel-pack --help."));
    }
    // The help names the loader a DSP release needs.
    r = RunProcess({ kPack, "--help" });
    EXPECT_EQ(r.exitCode, 0);
    std::replace(r.out.begin(), r.out.end(), '\n', ' ');
    EXPECT_THAT(r.out, HasSubstr("a release of upgrade type dsp needs an S3 loader"));
    r = RunProcess({ kPack, "--base", base.string(), "--out", out.string(), "--family", "4800" });
    EXPECT_THAT(r.err, HasSubstr("is required"));
    for (const auto& [index, value, message] :
        std::vector<std::tuple<int, std::string, std::string>> {
            { kFamily, "4500", "--family takes 4400 or 4600" },
            { kProgrammingVersion, "2.12.4-long", "at most 9 characters" } }) {
        std::vector<std::string> args = PackArgs(base, out, images);
        args[index] = value;
        EXPECT_THAT(RunProcess(args).err, HasSubstr(message));
    }

    // A DSP release stores its object file as it is; its loader is read as
    // S3 records, so an S2 loader is refused.
    const Bytes object = { 0x00, 0x01, 0xFF, '\r', '\n', 'S', '9' };
    WriteFileBytes(dir / "dsp.out", object);
    std::vector<std::string> args = PackArgs(base, out, images);
    args[kUpgradeType] = "dsp";
    args[kAppCode] = (dir / "dsp.out").string();
    r = RunProcess(args);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_THAT(r.err, HasSubstr(images.appLoader.filename().string()));
    args[kAppLoader] = images.appCode.string();
    r = RunProcess(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Release(out).Chunk("CODE_1"), std::string(object.begin(), object.end()));
}

TEST(Packer, DamagedTruncatedAndEmptyReleasesNeverExtract)
{
    TempDir dir;
    const fs::path base = MakeBase(dir);
    const fs::path good = dir / "good";
    ProcessResult r = RunProcess(PackArgs(base, good, SmallImages(dir)));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Bytes release = ReadFileBytes(good);

    // One flipped byte in a chunk: listed as damaged; extraction of that set fails.
    {
        const auto archive = platform::ResourceArchive::Open(good.string(), nullptr);
        ASSERT_TRUE(archive);
        const platform::ArchiveEntry* code = archive->Find("Code_1", "TEXT");
        ASSERT_NE(code, nullptr);
        Bytes flipped = release;
        flipped[code->offset + code->size / 2] ^= 0x01;
        WriteFileBytes(dir / "flipped", flipped);
        r = RunProcess({ kPack, "--list", (dir / "flipped").string() });
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.out, HasSubstr("Code_1                 TEXT"));
        EXPECT_THAT(r.out, HasSubstr("DAMAGED"));
        Release damaged(dir / "flipped");
        EXPECT_EQ(damaged.record.AppCodeCount, 1u);
        TempDir work;
        EXPECT_FALSE(damaged.Extract(false, work));
        ASSERT_EQ(damaged.boxes.boxes.size(), 1u);
        EXPECT_THAT(
            damaged.boxes.boxes[0].text, HasSubstr("could not read the embedded code file"));
        EXPECT_FALSE(fs::exists(work / "Code.hex"));
        // The sound boot set still extracts.
        TempDir elsewhere;
        EXPECT_TRUE(damaged.Extract(true, elsewhere));
    }

    // The packer records the program part: a byte flipped there (which no
    // resource digest covers) is listed. (The job's refusal of such a
    // release: the fault injection suite.)
    {
        const auto archive = platform::ResourceArchive::Open(good.string(), nullptr);
        ASSERT_TRUE(archive);
        Bytes flipped = release;
        flipped[archive->BaseSize() / 2] ^= 0x40;
        WriteFileBytes(dir / "program", flipped);
        r = RunProcess({ kPack, "--list", (dir / "program").string() });
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.out, HasSubstr("DAMAGED"));
        EXPECT_THAT(r.out, HasSubstr("program part"));
    }

    // Truncated releases (any cut): no record, and no extraction at all.
    for (std::size_t cut : { std::size_t(1), std::size_t(64), release.size() / 2 }) {
        SCOPED_TRACE(cut);
        WriteFileBytes(dir / "truncated", Bytes(release.begin(), release.end() - long(cut)));
        EXPECT_EQ(RunProcess({ kPack, "--list", (dir / "truncated").string() }).exitCode, 2);
        Release truncated(dir / "truncated");
        EXPECT_EQ(truncated.labels.TargetUpgradeType, "Application");
        EXPECT_EQ(truncated.labels.PCOVersion, "");
        TempDir work;
        EXPECT_FALSE(truncated.Extract(false, work));
        EXPECT_EQ(truncated.boxes.boxes.size(), 1u);
        EXPECT_TRUE(fs::is_empty(work.Path()));
    }

    // An empty archive is sound: no record, so the sets are empty.
    {
        const fs::path empty = dir / "empty";
        fs::copy_file(base, empty);
        const int fd = ::open(empty.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(platform::ResourceArchiveWriter().WriteArchive(fd, nullptr));
        ::close(fd);
        r = RunProcess({ kPack, "--list", empty.string() });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_THAT(r.out, HasSubstr("0 resources"));
        // Written without the program part's record, as older packers did:
        // still read and checked as a whole.
        EXPECT_THAT(r.out, HasSubstr("program part not recorded"));
        const auto older = platform::ResourceArchive::Open(empty.string(), nullptr);
        ASSERT_TRUE(older);
        EXPECT_FALSE(older->RecordsProgramPart());
        EXPECT_TRUE(older->VerifyWhole(nullptr, nullptr));
        EXPECT_THAT(r.out, HasSubstr("no attribute record"));
        Release sound(empty);
        EXPECT_EQ(sound.labels.TargetRadio, "4400");
        TempDir work;
        EXPECT_TRUE(sound.Extract(false, work));
        EXPECT_EQ(fs::file_size(work / "Loader.hex"), 0u);
        EXPECT_EQ(fs::file_size(work / "Code.hex"), 0u);
    }

    // A short raw record reads as zero; a raw resource is stored as it is.
    WriteFileBytes(dir / "short-record", Bytes(40, 0x01));
    WriteFileText(dir / "note", "free text");
    r = RunProcess(
        { kPack, "--base", base.string(), "--out", (dir / "raw").string(), "--attributes-file",
            (dir / "short-record").string(), "--resource", "ReadMe_1=" + (dir / "note").string() });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Release raw(dir / "raw");
    EXPECT_EQ(raw.record.AppCodeCount, 0u);
    EXPECT_EQ(raw.Chunk("README_1"), "free text");
    EXPECT_EQ(raw.Chunk("ReadMe_1", "DATA"), "(missing)");
}
