#include "link/ModelTraits.h"
#include "platform/OwnResources.h"
#include "tests/catalogue/BoxRecorder.h"
#include "tests/support/TestSupport.h"
#include "workflow/FirmwareCatalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sys/resource.h>

namespace fs = std::filesystem;
using testing::HasSubstr;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Resources held in memory. A "damaged" resource passes half its bytes to
// the sink and then fails, as a digest mismatch found at the end does.
class FakeResources : public platform::ResourceSource {
public:
    std::map<std::string, Bytes> items; // lower-case names
    std::set<std::string> damaged;
    bool available = true;
    std::vector<std::string> opened;

    void Put(const std::string& name, Bytes data) { items[Lower(name)] = std::move(data); }

    bool IsAvailable(std::string*) override { return available; }
    bool ReadResource(
        std::string_view name, std::string_view type, Bytes& out, std::string* error) override
    {
        out.clear();
        return StreamResource(
            name, type,
            [&out](const std::uint8_t* d, std::size_t n) {
                out.insert(out.end(), d, d + n);
                return true;
            },
            error);
    }
    bool StreamResource(std::string_view name, std::string_view type,
        const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
        std::string* error) override
    {
        opened.emplace_back(name);
        const auto it = items.find(Lower(std::string(name)));
        const bool found = available && type == "TEXT" && it != items.end();
        const bool bad = found && damaged.count(it->first) != 0;
        if (bad)
            sink(it->second.data(), it->second.size() / 2);
        if ((!found || bad) && error != nullptr)
            *error = found ? "digest mismatch" : "missing";
        return found && !bad && sink(it->second.data(), it->second.size());
    }
    // The parts prefix_1 .. prefix_count joined.
    Bytes Joined(const std::string& prefix, int count) const
    {
        Bytes all;
        for (int j = 1; j <= count; ++j) {
            const Bytes& part = items.at(Lower(prefix + "_" + std::to_string(j)));
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }
};

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Chunk(const std::string& tag, std::size_t lines)
{
    std::string s;
    for (std::size_t i = 0; i < lines; ++i)
        s += tag + "-" + std::to_string(i) + "\r\n";
    return Text(s);
}

std::set<std::string> FilesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

// The 68 bytes of the shipped record as they lie in the release, built
// field by field: counts 1, 12, 1, 1 (no second boot set), boot code 6.7,
// versions 2.12.4 and 3.0.17, family 0, platform flag 1, series 6,
// upgrade type 3, processor 816; padding that is never read.
Bytes ShippedRaw()
{
    Bytes raw(68, 0);
    const std::uint32_t counts[] = { 1, 12, 1, 1, 0, 0, 6, 7, 0, 0 };
    for (int i = 0; i < 10; ++i)
        raw[4 * i] = static_cast<std::uint8_t>(counts[i]);
    std::copy_n("2.12.4", 6, raw.begin() + 40);
    std::copy_n("3.0.17", 6, raw.begin() + 50);
    const std::uint8_t tail[] = { 0, 1, 6, 3, 0, 0xEE, 0xEE, 0xEE };
    std::copy(std::begin(tail), std::end(tail), raw.begin() + 60);
    return raw;
}

ResourceAttributes ShippedRecord()
{
    static const Bytes raw = ShippedRaw();
    return DecodeResourceAttributes(raw.data(), raw.size());
}

// The shipped shape: Loader_1, Code_1..Code_12, Loader_Boot_1, Code_Boot_1,
// extracted into a folder of its own with the message boxes recorded.
class Extraction : public testing::Test {
protected:
    Extraction()
    {
        res.Put("LOADER_1", Chunk("L", 5));
        for (int j = 1; j <= 12; ++j)
            res.Put("CODE_" + std::to_string(j), Chunk("C" + std::to_string(j), 20 + j));
        res.Put("LOADER_BOOT_1", Chunk("LB", 3));
        res.Put("CODE_BOOT_1", Chunk("CB", 7));
    }
    bool Extract(bool boot = false, bool secondBoot = false,
        const ResourceAttributes& record = ShippedRecord(), const TempDir* where = nullptr,
        std::string* detail = nullptr)
    {
        return ExtractFirmwareSet(&res, record, boot, secondBoot,
            (where != nullptr ? where : &dir)->Path().string(), loader, code, detail, &boxes);
    }
    std::string LastBox() const { return boxes.boxes.empty() ? "" : boxes.boxes.back().text; }

    TempDir dir;
    testsupport::BoxRecorder boxes;
    FakeResources res;
    std::string loader, code;
};

} // namespace

TEST(AttributeRecord, ShippedRecordGivesModelCodeLabelsAndCombinedFlag)
{
    Bytes raw = ShippedRaw();
    FakeResources res;
    res.Put("RESOURCEATTRIBUTES_", raw);
    ResourceAttributes record;
    TargetLabelTexts labels;
    ReadResourceAttributes(&res, record, labels);
    EXPECT_EQ(record.AppCodeCount, 12u);
    EXPECT_EQ(record.BootMajor, 6u);
    EXPECT_EQ(record.BootMinor, 7u);
    EXPECT_EQ(TargetModelCodeOf(record.RadioFamily, record.SeriesNumber, record.PlatformFlag), 0);
    EXPECT_TRUE(IsAppAndBootUpgrade(record));
    EXPECT_EQ(labels.TargetRadio, "4400");
    EXPECT_EQ(labels.TargetSeries, "6");
    EXPECT_EQ(labels.TargetUpgradeType, "Application/Boot");
    EXPECT_EQ(labels.PCOVersion, "2.12.4");
    EXPECT_EQ(labels.PCAlignVersion, "3.0.17");

    // Encoding gives back the same bytes (padding zero).
    Bytes expected = raw;
    std::fill(expected.begin() + 65, expected.end(), 0);
    const auto encoded = EncodeResourceAttributes(record);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), expected);

    // Large little-endian counts and a version without terminator.
    std::copy_n("\x78\x56\x34\x12", 4, raw.begin() + 4);
    std::copy_n("0123456789", 10, raw.begin() + 50);
    raw[62] = 0xFC; // series -4
    const ResourceAttributes odd = DecodeResourceAttributes(raw.data(), raw.size());
    EXPECT_EQ(odd.AppCodeCount, 0x12345678u);
    EXPECT_EQ(VersionFieldText(odd.TuningAppVersion), "0123456789");
    EXPECT_EQ(TargetLabelTextsOf(odd).TargetSeries, "-4");
    EXPECT_FALSE(IsAppAndBootUpgrade(odd));

    // Missing, short (67 bytes), damaged or misnamed records read as zero.
    const auto full = EncodeResourceAttributes(ShippedRecord());
    FakeResources sources[4];
    sources[1].Put("ResourceAttributes_", Bytes(full.begin(), full.begin() + 67));
    sources[2].Put("ResourceAttributes_", Bytes(full.begin(), full.end()));
    sources[2].damaged.insert("resourceattributes_");
    sources[3].Put("ResourceAttributes", Bytes(full.begin(), full.end()));
    for (int i = -1; i < 4; ++i) {
        SCOPED_TRACE(i);
        ResourceAttributes zero;
        zero.AppCodeCount = 99; // must be replaced, not kept
        ReadResourceAttributes(i < 0 ? nullptr : &sources[i], zero, labels);
        EXPECT_EQ(zero.AppCodeCount, 0u);
        EXPECT_EQ(zero.BootMajor, 0u);
        EXPECT_EQ(labels.TargetRadio, "4400");
        EXPECT_EQ(labels.TargetSeries, "0");
        EXPECT_EQ(labels.TargetUpgradeType, "Application");
        EXPECT_EQ(labels.PCOVersion, "");
        EXPECT_EQ(labels.PCAlignVersion, "");
    }
}

TEST(AttributeRecord, ModelCodeTableAndTexts)
{
    for (int flag : { 0, 1, 7 }) {
        EXPECT_EQ(TargetModelCodeOf(0, 4, flag), 6);
        EXPECT_EQ(TargetModelCodeOf(0, 6, flag), 0);
        EXPECT_EQ(TargetModelCodeOf(0, 5, flag), 4);
        EXPECT_EQ(TargetModelCodeOf(0, 0, flag), 4);
    }
    for (int series : { 0, 4, 6, 9 })
        EXPECT_EQ(TargetModelCodeOf(1, series, 0), 1);
    for (int flag : { 1, 255 }) {
        EXPECT_EQ(TargetModelCodeOf(1, 4, flag), 7);
        EXPECT_EQ(TargetModelCodeOf(1, 6, flag), 8);
        EXPECT_EQ(TargetModelCodeOf(1, 3, flag), 5);
    }
    // The series is a signed byte: 0x104 is not series 4 and 0xFF is -1.
    EXPECT_EQ(TargetModelCodeOf(0, 0xFF, 1), 4);
    EXPECT_EQ(TargetModelCodeOf(1, 0x86, 1), 5);

    EXPECT_EQ(FamilyText(0), "4400");
    EXPECT_EQ(FamilyText(1), "4600");
    EXPECT_EQ(FamilyText(2), "");
    const char* types[] = { "", "Application", "Boot", "DSP", "Application/Boot", "" };
    for (int i = -1; i < 5; ++i)
        EXPECT_EQ(UpgradeTypeText(i), types[i + 1]);

    // Application/Boot only for series 4 and 6.
    for (const auto& [series, type, combined] :
        { std::tuple { 4, 3, true }, { 5, 3, false }, { 6, 2, false }, { 4, 1, false } }) {
        ResourceAttributes r;
        r.SeriesNumber = static_cast<std::uint8_t>(series);
        r.UpgradeType = static_cast<std::uint8_t>(type);
        EXPECT_EQ(IsAppAndBootUpgrade(r), combined) << series << " " << type;
    }
}

TEST_F(Extraction, ShippedShapeGivesMergedFilesAndLeavesNoParts)
{
    ASSERT_TRUE(Extract());
    EXPECT_EQ(loader, "Loader.hex");
    EXPECT_EQ(code, "Code.hex");
    EXPECT_EQ(ReadFileBytes(dir / "Loader.hex"), res.Joined("Loader", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code.hex"), res.Joined("Code", 12));
    EXPECT_EQ(FilesIn(dir.Path()), (std::set<std::string> { "Loader.hex", "Code.hex" }));

    // The boot set goes to the next free names, beside the first pair.
    ASSERT_TRUE(Extract(true));
    EXPECT_EQ(loader, "Loader1.hex");
    EXPECT_EQ(code, "Code1.hex");
    EXPECT_EQ(ReadFileBytes(dir / "Loader1.hex"), res.Joined("Loader_Boot", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code1.hex"), res.Joined("Code_Boot", 1));
    EXPECT_EQ(FilesIn(dir.Path()).size(), 4u);

    // A taken name is skipped; a dangling link under the merged code name is
    // neither followed nor replaced.
    fs::remove(dir / "Code.hex");
    fs::remove(dir / "Code1.hex");
    WriteFileBytes(dir / "Loader1.hex", Text("mine"));
    fs::create_symlink(dir / "victim", dir / "Code.hex");
    ASSERT_TRUE(Extract());
    EXPECT_EQ(loader, "Loader2.hex");
    EXPECT_EQ(code, "Code1.hex");
    EXPECT_FALSE(fs::exists(dir / "victim"));
    EXPECT_TRUE(fs::is_symlink(dir / "Code.hex"));
    EXPECT_EQ(ReadFileBytes(dir / "Loader1.hex"), Text("mine"));
    EXPECT_EQ(ReadFileBytes(dir / "Loader2.hex"), res.Joined("Loader", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code1.hex"), res.Joined("Code", 12));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Extraction, ExistingCodePartFailsNamesItAndLeavesNothingOfItsOwn)
{
    WriteFileBytes(dir / "Code.3", Text("other instance"));
    code = "previous";
    EXPECT_FALSE(Extract());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "Embedded Files");
    // The Part's text, then the file by name and what to do about it.
    EXPECT_EQ(boxes.boxes[0].text,
        "Corvel Code Updater could not read the embedded code file.\nPlease verify that any other "
        "instances of Corvel Code Updater\nhave begun downloading and try again.\n\nThe work "
        "file Code.3 already exists in "
            + dir.Path().string() + ": remove it if no other job runs in this directory.");
    EXPECT_EQ(boxes.boxes[0].icon, platform::MessageIcon::Error);
    EXPECT_EQ(loader, "");
    EXPECT_EQ(code, "previous");
    // The other job's file stays; everything this job wrote (parts and the
    // merged loader) is gone again.
    EXPECT_EQ(FilesIn(dir.Path()), (std::set<std::string> { "Code.3" }));
    EXPECT_EQ(ReadFileBytes(dir / "Code.3"), Text("other instance"));

    // Once it is removed, the next extraction goes through.
    fs::remove(dir / "Code.3");
    ASSERT_TRUE(Extract());
    EXPECT_EQ(FilesIn(dir.Path()), (std::set<std::string> { "Loader.hex", "Code.hex" }));

    // A link planted under a part file name is not followed either.
    TempDir other;
    fs::create_symlink(other / "target", other / "Loader.1");
    EXPECT_FALSE(Extract(false, false, ShippedRecord(), &other));
    EXPECT_FALSE(fs::exists(other / "target"));
    EXPECT_EQ(boxes.boxes.size(), 2u);
    EXPECT_THAT(LastBox(), HasSubstr("embedded loader file"));
    EXPECT_THAT(LastBox(), HasSubstr("Loader.1 already exists"));
}

TEST_F(Extraction, UnwritableOrFullWorkingDirectoryIsReportedAsSuch)
{
    // A working directory that is not there (or cannot be opened).
    EXPECT_FALSE(ExtractFirmwareSet(&res, ShippedRecord(), false, false, (dir / "gone").string(),
        loader, code, nullptr, &boxes));
    EXPECT_EQ(LastBox(),
        "cannot write in the working directory " + (dir / "gone").string()
            + ": No such file or directory");

    // A full filesystem while the code is written: the directory's trouble
    // and its reason, and no file of the job left behind.
    testsupport::SmallFilesystem small(64 * 1024);
    res.Put("Code_2", Bytes(100 * 1024, 'c'));
    EXPECT_FALSE(ExtractFirmwareSet(
        &res, ShippedRecord(), false, false, small.Path().string(), loader, code, nullptr, &boxes));
    EXPECT_EQ(LastBox(),
        "cannot write in the working directory " + small.Path().string() + ": "
            + (small.Mounted() ? "No space left on device" : "File too large"));
    EXPECT_TRUE(FilesIn(small.Path()).empty());
    EXPECT_EQ(loader, "");
}

TEST_F(Extraction, SetSelectionDspNameAndEmptySecondBootSet)
{
    ResourceAttributes dsp = ShippedRecord();
    dsp.UpgradeType = 2;
    ASSERT_TRUE(Extract(false, false, dsp));
    EXPECT_EQ(code, "Code.OUT");
    EXPECT_EQ(ReadFileBytes(dir / "Code.OUT"), res.Joined("Code", 12));

    // The second boot set overrides the boot flag; with counts 0 both files are empty.
    TempDir second;
    res.opened.clear();
    ASSERT_TRUE(Extract(true, true, ShippedRecord(), &second));
    EXPECT_EQ(loader, "Loader.hex");
    EXPECT_EQ(code, "Code.hex");
    EXPECT_EQ(fs::file_size(second / "Loader.hex"), 0u);
    EXPECT_EQ(fs::file_size(second / "Code.hex"), 0u);
    EXPECT_TRUE(res.opened.empty());

    // With a second boot set present, its chunks are the ones taken.
    TempDir third;
    res.Put("Loader_BootTwo_1", Chunk("L2", 4));
    res.Put("Code_BootTwo_1", Chunk("C2a", 4));
    res.Put("Code_BootTwo_2", Chunk("C2b", 4));
    ResourceAttributes two = ShippedRecord();
    two.BootTwoLoaderCount = 1;
    two.BootTwoCodeCount = 2;
    ASSERT_TRUE(Extract(false, true, two, &third));
    EXPECT_EQ(ReadFileBytes(third / "Code.hex"), res.Joined("Code_BootTwo", 2));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Extraction, MissingDamagedOrUnreadableResourcesFail)
{
    // A missing loader chunk: loader message, no part file left for it.
    res.items.erase("loader_1");
    EXPECT_FALSE(Extract());
    EXPECT_TRUE(FilesIn(dir.Path()).empty());
    EXPECT_THAT(LastBox(), HasSubstr("embedded loader file"));

    // A damaged code chunk: code message, its half-written part removed.
    res.Put("LOADER_1", Chunk("L", 5));
    res.damaged.insert("code_5");
    TempDir other;
    std::string detail;
    EXPECT_FALSE(Extract(false, false, ShippedRecord(), &other, &detail));
    EXPECT_FALSE(fs::exists(other / "Code.5"));
    EXPECT_FALSE(fs::exists(other / "Code.hex"));
    EXPECT_THAT(detail, HasSubstr("digest mismatch"));
    EXPECT_THAT(LastBox(), HasSubstr("embedded code file"));

    // No readable archive at all: nothing is extracted, even for zero counts.
    TempDir empty;
    res.available = false;
    EXPECT_FALSE(Extract(false, false, ResourceAttributes {}, &empty));
    EXPECT_FALSE(ExtractFirmwareSet(nullptr, ResourceAttributes {}, false, false,
        empty.Path().string(), loader, code, nullptr, &boxes));
    EXPECT_TRUE(FilesIn(empty.Path()).empty());
    EXPECT_EQ(boxes.boxes.size(), 4u);
}

TEST_F(Extraction, MergedFileThatCannotBeWrittenFailsAndIsRemoved)
{
    res.items.clear();
    res.Put("Loader_1", Chunk("L", 3));
    res.Put("Code_1", Bytes(3000, 'a'));
    res.Put("Code_2", Bytes(3000, 'b'));
    ResourceAttributes r;
    r.AppLoaderCount = 1;
    r.AppCodeCount = 2;

    // Files may not grow past 4000 bytes: the parts fit, the merged code does not.
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    code = "stale";
    const bool ok = Extract(false, false, r);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(code, "");
    EXPECT_EQ(loader, "");
    EXPECT_TRUE(FilesIn(dir.Path()).empty());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(LastBox(),
        "cannot write in the working directory " + dir.Path().string() + ": File too large");

    // MergePartFiles on its own: a missing part is skipped.
    TempDir parts;
    WriteFileBytes(parts / "Code.1", Text("one"));
    WriteFileBytes(parts / "Code.3", Text("three"));
    const auto merged = MergePartFiles(parts.Path().string(), "Code", 3, "hex");
    ASSERT_TRUE(merged.has_value());
    EXPECT_EQ(ReadFileBytes(parts / *merged), Text("onethree"));
}
