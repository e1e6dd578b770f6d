#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"
#include "tests/support/TestSupport.h"
#include "tools/pack/DemoImages.h"
#include "tools/pack/Packer.h"
#include "workflow/FirmwareCatalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::ReadFileText;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using testsupport::WriteFileText;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Whole-file read in one go (the releases here are megabytes).
Bytes ReadFileBytes(const fs::path& path)
{
    Bytes bytes(fs::file_size(path));
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return {};
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    return bytes;
}

// Small images of the demo's shape, so the tests run quickly.
struct Images {
    fs::path appLoader, appCode, bootLoader, bootCode;
};

Images SmallImages(const TempDir& dir)
{
    Images images { dir / "app-loader.srec", dir / "app-code.srec", dir / "boot-loader.srec",
        dir / "boot-code.srec" };
    WriteFileText(images.appLoader, pack::MakeDemoImage({ false, 0x010100, 200, 11 }));
    WriteFileText(images.appCode, pack::MakeDemoImage({ true, 0xFE040100, 16 * 100 + 12, 12 }));
    WriteFileText(images.bootLoader, pack::MakeDemoImage({ false, 0x010100, 100, 13 }));
    WriteFileText(images.bootCode, pack::MakeDemoImage({ true, 0xFE000100, 16 * 20 + 8, 14 }));
    return images;
}

std::vector<std::string> PackArgs(const fs::path& base, const fs::path& out, const Images& images)
{
    return { testsupport::BinPath("corvel-pack").string(), "--base", base.string(), "--out",
        out.string(), "--family", "4400", "--series", "6", "--upgrade-type", "application-boot",
        "--platform-flag", "1", "--processor", "816", "--boot-version", "6.7",
        "--programming-app-version", "2.12.4", "--tuning-app-version", "3.0.17", "--app-loader",
        images.appLoader.string(), "--app-code", images.appCode.string(), "--boot-loader",
        images.bootLoader.string(), "--boot-code", images.bootCode.string() };
}

fs::path MakeBase(const TempDir& dir)
{
    const fs::path base = dir / "updater";
    WriteFileText(base,
        "\x7f"
        "ELF pretend program\n");
    return base;
}

class Silence {
public:
    Silence()
    {
        m_Previous
            = platform::SetMessageBoxHandler([this](const std::string&, const std::string& text,
                                                 platform::MessageIcon, platform::MessageButtons) {
                  texts.push_back(text);
                  return platform::MessageAnswer::Ok;
              });
    }
    ~Silence() { platform::SetMessageBoxHandler(m_Previous); }
    std::vector<std::string> texts;

private:
    platform::MessageBoxHandler m_Previous;
};

} // namespace

TEST(Packer, RoundTripOfTheDemoRelease)
{
    TempDir dir;
    const fs::path pack = testsupport::BinPath("corvel-pack");
    ASSERT_EQ(RunProcess({ pack.string(), "--demo-images", dir.Path().string() }).exitCode, 0);
    const Images images { dir / "app-loader.srec", dir / "app-code.srec", dir / "boot-loader.srec",
        dir / "boot-code.srec" };
    const fs::path base = MakeBase(dir);
    const fs::path out = dir / "Updater_4400_Release_6_10";
    const ProcessResult packed = RunProcess(PackArgs(base, out, images));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_TRUE((fs::status(out).permissions() & fs::perms::owner_exec) != fs::perms::none);

    // The listing names every chunk of the shipped shape with its size.
    const ProcessResult list = RunProcess({ pack.string(), "--list", out.string() });
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("Code_1                 TEXT     1022976  ok"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("Code_11                TEXT     1022976  ok"), std::string::npos);
    EXPECT_NE(list.out.find("Code_12                TEXT      608596  ok"), std::string::npos);
    EXPECT_EQ(list.out.find("Code_13"), std::string::npos);
    EXPECT_NE(list.out.find("Loader_Boot_1"), std::string::npos);
    EXPECT_NE(list.out.find("Code_Boot_1"), std::string::npos);
    EXPECT_NE(list.out.find("UpgradeType           3 (Application/Boot)"), std::string::npos);
    EXPECT_NE(list.out.find("Target model code     0"), std::string::npos);

    // Only the last code chunk ends with the end record; chunks hold whole lines.
    auto archive = platform::ResourceArchive::Open(out.string(), nullptr);
    ASSERT_TRUE(archive.has_value());
    for (int j = 1; j <= 12; ++j) {
        Bytes chunk;
        ASSERT_TRUE(
            archive->Read(*archive->Find("Code_" + std::to_string(j), "TEXT"), chunk, nullptr));
        const std::string text(chunk.begin(), chunk.end());
        EXPECT_EQ(text.substr(0, 2), "S3");
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
        EXPECT_EQ(text.find("S9") != std::string::npos, j == 12) << j;
    }

    // The release reads back to the shipped record and extracts the input images.
    auto res = platform::OpenFileResources(out.string());
    ResourceAttributes record;
    TargetLabelTexts labels;
    ReadResourceAttributes(res.get(), record, labels);
    EXPECT_EQ(record.AppLoaderCount, 1u);
    EXPECT_EQ(record.AppCodeCount, 12u);
    EXPECT_EQ(record.BootLoaderCount, 1u);
    EXPECT_EQ(record.BootCodeCount, 1u);
    EXPECT_EQ(labels.PCOVersion, "2.12.4");
    EXPECT_EQ(labels.TargetUpgradeType, "Application/Boot");
    TempDir work;
    Silence silence;
    std::string loader, code;
    ASSERT_TRUE(
        ExtractFirmwareSet(res.get(), record, false, false, work.Path().string(), loader, code));
    EXPECT_EQ(ReadFileBytes(work / loader), ReadFileBytes(images.appLoader));
    EXPECT_EQ(ReadFileBytes(work / code), ReadFileBytes(images.appCode));
    ASSERT_TRUE(
        ExtractFirmwareSet(res.get(), record, true, false, work.Path().string(), loader, code));
    EXPECT_EQ(ReadFileBytes(work / loader), ReadFileBytes(images.bootLoader));
    EXPECT_EQ(ReadFileBytes(work / code), ReadFileBytes(images.bootCode));

    // Packing is deterministic, and packing onto a release replaces its resources.
    const fs::path again = dir / "again";
    const ProcessResult repacked = RunProcess(PackArgs(out, again, images));
    ASSERT_EQ(repacked.exitCode, 0) << repacked.err;
    EXPECT_NE(repacked.err.find("already carries resources"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(again), ReadFileBytes(out));
}

TEST(Packer, RefusesBadImagesWithFileLineAndReason)
{
    TempDir dir;
    const Images good = SmallImages(dir);
    const fs::path base = MakeBase(dir);
    const std::string loaderText = ReadFileText(good.appLoader);
    const std::string codeText = ReadFileText(good.appCode);
    const std::string line2 = codeText.substr(codeText.find("\r\n") + 2, 46);

    struct Case {
        std::string what;
        bool loader;
        std::string text;
        std::string message; // expected after "FILE:"
    };
    std::string badSum = codeText;
    badSum[48 + 44] = badSum[48 + 44] == '0' ? '1' : '0'; // checksum of line 2
    std::string nonHex = codeText;
    nonHex[48 * 4 + 20] = 'x';
    std::string gap = codeText;
    gap.erase(48 * 2, 48); // drop line 3
    std::string noEnd = codeText.substr(0, codeText.rfind("S9"));
    std::string lfOnly;
    for (char c : codeText) {
        if (c != '\r')
            lfOnly += c;
    }
    std::string mixed = lfOnly;
    mixed.insert(0, codeText.substr(0, 48));
    const std::vector<Case> cases = {
        { "checksum", false, badSum, ":2: wrong record checksum" },
        { "non-hex", false, nonHex, ":5: non-hex character" },
        { "S3 in a loader", true, codeText,
            ":1: record type S3 does not belong in this image (S2 records expected)" },
        { "S2 in code", false, loaderText,
            ":1: record type S2 does not belong in this image (S3 records expected)" },
        { "odd length", false, "S30800000000AABBCCC6\r\nS9030000FC\r\n", ":1: odd data length" },
        { "gap", false, gap, ":3: gap before this record's address" },
        { "no end", false, noEnd, ": missing end record (S9 or S7)" },
        { "mixed line ends", false, mixed, ":2: line does not end in CR LF" },
    };
    for (const Case& c : cases) {
        const fs::path bad = dir / ("bad-" + std::to_string(&c - cases.data()) + ".srec");
        WriteFileText(bad, c.text);
        Images images = good;
        (c.loader ? images.appLoader : images.appCode) = bad;
        const fs::path out = dir / "out";
        const ProcessResult r = RunProcess(PackArgs(base, out, images));
        EXPECT_EQ(r.exitCode, 1) << c.what;
        EXPECT_NE(r.err.find("corvel-pack: " + bad.string() + c.message), std::string::npos)
            << c.what << ": " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
            static_cast<long>(5 + (&c - cases.data()) + 1))
            << "no partial output left behind";
    }

    // LF-only files are normalised, and said so.
    WriteFileText(dir / "lf.srec", lfOnly);
    Images images = good;
    images.appCode = dir / "lf.srec";
    const ProcessResult r = RunProcess(PackArgs(base, dir / "lf-release", images));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("LF line ends normalised to CR LF"), std::string::npos);
    auto res = platform::OpenFileResources((dir / "lf-release").string());
    Bytes chunk;
    ASSERT_TRUE(res->ReadResource("Code_1", "TEXT", chunk, nullptr));
    EXPECT_EQ(std::string(chunk.begin(), chunk.end()), codeText);
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
    Bytes joined;
    std::size_t count = 0;
    for (const auto& e : archive->Entries()) {
        if (e.name.rfind("Code_", 0) != 0 || e.name.rfind("Code_Boot", 0) == 0)
            continue;
        ++count;
        EXPECT_LE(e.size, 480u);
        Bytes chunk;
        ASSERT_TRUE(
            archive->Read(*archive->Find("Code_" + std::to_string(count), "TEXT"), chunk, nullptr));
        joined.insert(joined.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(count, expectedChunks);
    EXPECT_EQ(std::string(joined.begin(), joined.end()), code);
    std::vector<std::uint8_t> rec;
    auto res = platform::OpenFileResources(out.string());
    ASSERT_TRUE(res->ReadResource("ResourceAttributes_", "TEXT", rec, nullptr));
    EXPECT_EQ(DecodeResourceAttributes(rec.data(), rec.size()).AppCodeCount, expectedChunks);

    // A chunk size below one line cannot split at records.
    r = run({ "--chunk-size", "40" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("longer than the chunk size"), std::string::npos) << r.err;

    // Bad option values and missing options.
    for (const auto& [extra, message] :
        std::vector<std::pair<std::vector<std::string>, std::string>> {
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
        EXPECT_NE(r.err.find(message), std::string::npos) << message << ": " << r.err;
    }
    const fs::path pack = testsupport::BinPath("corvel-pack");
    r = RunProcess(
        { pack.string(), "--base", base.string(), "--out", out.string(), "--family", "4800" });
    EXPECT_NE(r.err.find("is required"), std::string::npos) << r.err;
    std::vector<std::string> args = PackArgs(base, out, images);
    args[6] = "4500"; // --family value
    r = RunProcess(args);
    EXPECT_NE(r.err.find("--family takes 4400 or 4600"), std::string::npos) << r.err;
    args = PackArgs(base, out, images);
    args[18] = "2.12.4-long"; // --programming-app-version value
    r = RunProcess(args);
    EXPECT_NE(r.err.find("at most 9 characters"), std::string::npos) << r.err;

    // A DSP release stores its object file as it is.
    const Bytes object = { 0x00, 0x01, 0xFF, '\r', '\n', 'S', '9' };
    WriteFileBytes(dir / "dsp.out", object);
    args = PackArgs(base, out, images);
    args[10] = "dsp";
    args[24] = (dir / "dsp.out").string(); // --app-code value
    // Its loader is read as S3 records: an S2 loader is refused.
    r = RunProcess(args);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find(images.appLoader.filename().string()), std::string::npos) << r.err;
    args[22] = images.appCode.string(); // --app-loader value: an S3 image
    r = RunProcess(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    res = platform::OpenFileResources(out.string());
    Bytes stored;
    ASSERT_TRUE(res->ReadResource("CODE_1", "TEXT", stored, nullptr));
    EXPECT_EQ(stored, object);
}

TEST(Packer, DamagedTruncatedAndEmptyReleasesNeverExtract)
{
    TempDir dir;
    const Images images = SmallImages(dir);
    const fs::path base = MakeBase(dir);
    const fs::path good = dir / "good";
    ProcessResult r = RunProcess(PackArgs(base, good, images));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const fs::path pack = testsupport::BinPath("corvel-pack");
    const Bytes release = ReadFileBytes(good);

    // One flipped byte in a chunk: listed as damaged; extraction of that set fails.
    const auto archive = platform::ResourceArchive::Open(good.string(), nullptr);
    ASSERT_TRUE(archive);
    const platform::ArchiveEntry* code = archive->Find("Code_1", "TEXT");
    ASSERT_NE(code, nullptr);
    Bytes flipped = release;
    flipped[code->offset + code->size / 2] ^= 0x01;
    WriteFileBytes(dir / "flipped", flipped);
    r = RunProcess({ pack.string(), "--list", (dir / "flipped").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Code_1                 TEXT"), std::string::npos);
    EXPECT_NE(r.out.find("DAMAGED"), std::string::npos) << r.out;
    {
        auto res = platform::OpenFileResources((dir / "flipped").string());
        ResourceAttributes record;
        TargetLabelTexts labels;
        ReadResourceAttributes(res.get(), record, labels);
        EXPECT_EQ(record.AppCodeCount, 1u);
        TempDir work;
        Silence silence;
        std::string loader, codeName;
        EXPECT_FALSE(ExtractFirmwareSet(
            res.get(), record, false, false, work.Path().string(), loader, codeName));
        ASSERT_EQ(silence.texts.size(), 1u);
        EXPECT_NE(
            silence.texts[0].find("could not read the embedded code file"), std::string::npos);
        EXPECT_FALSE(fs::exists(work / "Code.hex"));
        EXPECT_FALSE(fs::exists(work / "Code.1"));
        // The failed extraction left its loader part, which stops the next
        // extraction in that folder; elsewhere the sound boot set extracts.
        EXPECT_TRUE(fs::exists(work / "Loader.1"));
        EXPECT_FALSE(ExtractFirmwareSet(
            res.get(), record, true, false, work.Path().string(), loader, codeName));
        TempDir elsewhere;
        EXPECT_TRUE(ExtractFirmwareSet(
            res.get(), record, true, false, elsewhere.Path().string(), loader, codeName));
    }

    // Truncated releases (any cut): no record, and no extraction at all.
    for (std::size_t cut : { std::size_t(1), std::size_t(64), release.size() / 2 }) {
        WriteFileBytes(
            dir / "truncated", Bytes(release.begin(), release.end() - static_cast<long>(cut)));
        r = RunProcess({ pack.string(), "--list", (dir / "truncated").string() });
        EXPECT_EQ(r.exitCode, 2) << cut;
        auto res = platform::OpenFileResources((dir / "truncated").string());
        ResourceAttributes record;
        TargetLabelTexts labels;
        ReadResourceAttributes(res.get(), record, labels);
        EXPECT_EQ(labels.TargetUpgradeType, "Application") << cut;
        EXPECT_EQ(labels.PCOVersion, "") << cut;
        TempDir work;
        Silence silence;
        std::string loader, codeName;
        EXPECT_FALSE(ExtractFirmwareSet(
            res.get(), record, false, false, work.Path().string(), loader, codeName));
        EXPECT_EQ(silence.texts.size(), 1u);
        EXPECT_TRUE(fs::is_empty(work.Path())) << cut;
    }

    // An empty archive is sound: no record, so the sets are empty.
    {
        const fs::path empty = dir / "empty";
        fs::copy_file(base, empty);
        const int fd = ::open(empty.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(platform::ResourceArchiveWriter().WriteArchive(fd, nullptr));
        ::close(fd);
        r = RunProcess({ pack.string(), "--list", empty.string() });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("0 resources"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("no attribute record"), std::string::npos);
        auto res = platform::OpenFileResources(empty.string());
        ResourceAttributes record;
        TargetLabelTexts labels;
        ReadResourceAttributes(res.get(), record, labels);
        EXPECT_EQ(labels.TargetRadio, "4400");
        TempDir work;
        Silence silence;
        std::string loader, codeName;
        EXPECT_TRUE(ExtractFirmwareSet(
            res.get(), record, false, false, work.Path().string(), loader, codeName));
        EXPECT_EQ(fs::file_size(work / "Loader.hex"), 0u);
        EXPECT_EQ(fs::file_size(work / "Code.hex"), 0u);
    }

    // A short raw record reads as zero; a raw resource is stored as it is.
    WriteFileBytes(dir / "short-record", Bytes(40, 0x01));
    WriteFileText(dir / "note", "free text");
    r = RunProcess({ pack.string(), "--base", base.string(), "--out", (dir / "raw").string(),
        "--attributes-file", (dir / "short-record").string(), "--resource",
        "ReadMe_1=" + (dir / "note").string() });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto res = platform::OpenFileResources((dir / "raw").string());
    ResourceAttributes record;
    record.AppCodeCount = 5;
    TargetLabelTexts labels;
    ReadResourceAttributes(res.get(), record, labels);
    EXPECT_EQ(record.AppCodeCount, 0u);
    Bytes note;
    ASSERT_TRUE(res->ReadResource("README_1", "TEXT", note, nullptr));
    EXPECT_EQ(std::string(note.begin(), note.end()), "free text");
    EXPECT_FALSE(res->ReadResource("ReadMe_1", "DATA", note, nullptr));
}
