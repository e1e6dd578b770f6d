#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "tests/support/TestSupport.h"
#include "workflow/FirmwareCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sys/resource.h>

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Resources held in memory. A "damaged" resource passes half its bytes to
// the sink and then fails, as a digest mismatch found at the end does.
class FakeResources : public platform::ResourceSource {
public:
    std::map<std::string, Bytes> items; // lower-case names
    std::set<std::string> damaged;
    bool available = true;
    std::vector<std::string> opened;

    void Put(const std::string& name, Bytes data) { items[Lower(name)] = std::move(data); }

    bool IsAvailable(std::string* error) override
    {
        if (!available && error != nullptr)
            *error = "no resource archive";
        return available;
    }
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
        if (!available || type != "TEXT" || it == items.end()) {
            if (error != nullptr)
                *error = "missing";
            return false;
        }
        if (damaged.count(it->first) != 0) {
            sink(it->second.data(), it->second.size() / 2);
            if (error != nullptr)
                *error = "digest mismatch";
            return false;
        }
        return sink(it->second.data(), it->second.size());
    }

    static std::string Lower(std::string s)
    {
        std::transform(
            s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
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

// Records every message box shown while it lives.
class MessageRecorder {
public:
    struct Box {
        std::string caption, text;
        platform::MessageIcon icon;
    };
    std::vector<Box> boxes;
    MessageRecorder()
    {
        m_Previous = platform::SetMessageBoxHandler(
            [this](const std::string& caption, const std::string& text, platform::MessageIcon icon,
                platform::MessageButtons) {
                boxes.push_back({ caption, text, icon });
                return platform::MessageAnswer::Ok;
            });
    }
    ~MessageRecorder() { platform::SetMessageBoxHandler(m_Previous); }

private:
    platform::MessageBoxHandler m_Previous;
};

std::set<std::string> FilesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

ResourceAttributes ShippedRecord()
{
    ResourceAttributes r;
    r.AppLoaderCount = 1;
    r.AppCodeCount = 12;
    r.BootLoaderCount = 1;
    r.BootCodeCount = 1;
    r.BootMajor = 6;
    r.BootMinor = 7;
    std::copy_n("2.12.4", 7, r.ProgrammingAppVersion.begin());
    std::copy_n("3.0.17", 7, r.TuningAppVersion.begin());
    r.RadioFamily = 0;
    r.PlatformFlag = 1;
    r.SeriesNumber = 6;
    r.UpgradeType = 3;
    r.Processor416 = 0;
    return r;
}

// The shipped shape: Loader_1, Code_1..Code_12, Loader_Boot_1, Code_Boot_1.
FakeResources ShippedResources()
{
    FakeResources res;
    res.Put("LOADER_1", Chunk("L", 5));
    for (int j = 1; j <= 12; ++j)
        res.Put("CODE_" + std::to_string(j), Chunk("C" + std::to_string(j), 20 + j));
    res.Put("LOADER_BOOT_1", Chunk("LB", 3));
    res.Put("CODE_BOOT_1", Chunk("CB", 7));
    return res;
}

Bytes Joined(FakeResources& res, const std::string& prefix, int count)
{
    Bytes all;
    for (int j = 1; j <= count; ++j) {
        const Bytes& part = res.items.at(FakeResources::Lower(prefix + "_" + std::to_string(j)));
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

} // namespace

TEST(AttributeRecord, ShippedRecordGivesModelCodeLabelsAndCombinedFlag)
{
    // The 68 bytes as they lie in the release, built field by field.
    Bytes raw(68, 0);
    const std::uint32_t counts[] = { 1, 12, 1, 1, 0, 0, 6, 7, 0, 0 };
    for (int i = 0; i < 10; ++i)
        raw[4 * i] = static_cast<std::uint8_t>(counts[i]);
    std::copy_n("2.12.4", 6, raw.begin() + 40);
    std::copy_n("3.0.17", 6, raw.begin() + 50);
    raw[60] = 0;
    raw[61] = 1;
    raw[62] = 6;
    raw[63] = 3;
    raw[64] = 0;
    raw[65] = raw[66] = raw[67] = 0xEE; // padding is not read

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
    expected[65] = expected[66] = expected[67] = 0;
    const auto encoded = EncodeResourceAttributes(record);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), expected);

    // Large little-endian counts and a version without terminator.
    raw[4] = 0x78;
    raw[5] = 0x56;
    raw[6] = 0x34;
    raw[7] = 0x12;
    std::copy_n("0123456789", 10, raw.begin() + 50);
    raw[62] = 0xFC; // series -4
    const ResourceAttributes odd = DecodeResourceAttributes(raw.data(), raw.size());
    EXPECT_EQ(odd.AppCodeCount, 0x12345678u);
    EXPECT_EQ(VersionFieldText(odd.TuningAppVersion), "0123456789");
    EXPECT_EQ(TargetLabelTextsOf(odd).TargetSeries, "-4");
    EXPECT_FALSE(IsAppAndBootUpgrade(odd));
}

TEST(AttributeRecord, MissingShortOrDamagedRecordReadsAsZero)
{
    const auto check = [](platform::ResourceSource* res, const char* what) {
        ResourceAttributes record;
        record.AppCodeCount = 99; // must be replaced, not kept
        TargetLabelTexts labels;
        ReadResourceAttributes(res, record, labels);
        EXPECT_EQ(record.AppCodeCount, 0u) << what;
        EXPECT_EQ(record.BootMajor, 0u) << what;
        EXPECT_EQ(labels.TargetRadio, "4400") << what;
        EXPECT_EQ(labels.TargetSeries, "0") << what;
        EXPECT_EQ(labels.TargetUpgradeType, "Application") << what;
        EXPECT_EQ(labels.PCOVersion, "") << what;
        EXPECT_EQ(labels.PCAlignVersion, "") << what;
    };
    check(nullptr, "no resources");
    FakeResources none;
    check(&none, "no record");
    const auto full = EncodeResourceAttributes(ShippedRecord());
    FakeResources shortRecord;
    shortRecord.Put("ResourceAttributes_", Bytes(full.begin(), full.begin() + 67));
    check(&shortRecord, "67 bytes");
    FakeResources damaged;
    damaged.Put("ResourceAttributes_", Bytes(full.begin(), full.end()));
    damaged.damaged.insert("resourceattributes_");
    check(&damaged, "damaged");
    FakeResources wrongName;
    wrongName.Put("ResourceAttributes", Bytes(full.begin(), full.end()));
    check(&wrongName, "name without the underscore");
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
    const char* types[] = { "Application", "Boot", "DSP", "Application/Boot" };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(UpgradeTypeText(i), types[i]);
    EXPECT_EQ(UpgradeTypeText(4), "");
    EXPECT_EQ(UpgradeTypeText(-1), "");

    ResourceAttributes r;
    for (int series = 0; series < 8; ++series) {
        for (int type = 0; type < 4; ++type) {
            r.SeriesNumber = static_cast<std::uint8_t>(series);
            r.UpgradeType = static_cast<std::uint8_t>(type);
            EXPECT_EQ(IsAppAndBootUpgrade(r), (series == 4 || series == 6) && type == 3);
        }
    }
}

TEST(Extraction, ShippedShapeGivesMergedFilesAndLeavesNoParts)
{
    TempDir dir;
    MessageRecorder boxes;
    FakeResources res = ShippedResources();
    std::string loader, code;
    ASSERT_TRUE(
        ExtractFirmwareSet(&res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
    EXPECT_EQ(loader, "Loader.hex");
    EXPECT_EQ(code, "Code.hex");
    EXPECT_EQ(ReadFileBytes(dir / "Loader.hex"), Joined(res, "Loader", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code.hex"), Joined(res, "Code", 12));
    EXPECT_EQ(FilesIn(dir.Path()), (std::set<std::string> { "Loader.hex", "Code.hex" }));
    EXPECT_TRUE(boxes.boxes.empty());

    // The boot set goes to the next free names, beside the first pair.
    ASSERT_TRUE(
        ExtractFirmwareSet(&res, ShippedRecord(), true, false, dir.Path().string(), loader, code));
    EXPECT_EQ(loader, "Loader1.hex");
    EXPECT_EQ(code, "Code1.hex");
    EXPECT_EQ(ReadFileBytes(dir / "Loader1.hex"), Joined(res, "Loader_Boot", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code1.hex"), Joined(res, "Code_Boot", 1));
    EXPECT_EQ(FilesIn(dir.Path()).size(), 4u);
}

TEST(Extraction, MergedNamesSkipTakenNamesAndPlantedLinks)
{
    TempDir dir;
    MessageRecorder boxes;
    FakeResources res = ShippedResources();
    std::string loader, code;
    WriteFileBytes(dir / "Loader.hex", Text("mine"));
    ASSERT_TRUE(
        ExtractFirmwareSet(&res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
    EXPECT_EQ(loader, "Loader1.hex");
    EXPECT_EQ(ReadFileBytes(dir / "Loader.hex"), Text("mine"));
    fs::remove(dir / "Loader1.hex");
    fs::remove(dir / "Code.hex");

    WriteFileBytes(dir / "Loader1.hex", Text("also mine"));
    // A dangling link under the merged code name is neither followed nor replaced.
    fs::create_symlink(dir / "victim", dir / "Code.hex");
    ASSERT_TRUE(
        ExtractFirmwareSet(&res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
    EXPECT_EQ(loader, "Loader2.hex");
    EXPECT_EQ(code, "Code1.hex");
    EXPECT_FALSE(fs::exists(dir / "victim"));
    EXPECT_TRUE(fs::is_symlink(dir / "Code.hex"));
    EXPECT_EQ(ReadFileBytes(dir / "Loader2.hex"), Joined(res, "Loader", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code1.hex"), Joined(res, "Code", 12));
}

TEST(Extraction, ExistingCodePartFailsAfterTheLoaderWasMerged)
{
    TempDir dir;
    MessageRecorder boxes;
    FakeResources res = ShippedResources();
    WriteFileBytes(dir / "Code.3", Text("other instance"));
    std::string loader, code = "previous";
    EXPECT_FALSE(
        ExtractFirmwareSet(&res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, "Embedded Files");
    EXPECT_EQ(boxes.boxes[0].text,
        "Corvel Code Updater could not read the embedded code file.\nPlease verify that any other "
        "instances of Corvel Code Updater\nhave begun downloading and try again.");
    EXPECT_EQ(boxes.boxes[0].icon, platform::MessageIcon::Error);
    EXPECT_EQ(loader, "Loader.hex");
    EXPECT_EQ(code, "previous");
    EXPECT_EQ(ReadFileBytes(dir / "Loader.hex"), Joined(res, "Loader", 1));
    EXPECT_EQ(ReadFileBytes(dir / "Code.3"), Text("other instance"));
    EXPECT_FALSE(fs::exists(dir / "Code.hex"));
    EXPECT_TRUE(fs::exists(dir / "Loader.1"));
    EXPECT_EQ(ReadFileBytes(dir / "Code.2"), res.items.at("code_2"));

    // While the part file stays, a second extraction fails the same way.
    MessageRecorder again;
    EXPECT_FALSE(
        ExtractFirmwareSet(&res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
    ASSERT_EQ(again.boxes.size(), 1u);
    EXPECT_NE(again.boxes[0].text.find("embedded loader file"), std::string::npos);

    // A link planted under a part file name is not followed either.
    TempDir other;
    fs::create_symlink(other / "target", other / "Loader.1");
    MessageRecorder third;
    EXPECT_FALSE(ExtractFirmwareSet(
        &res, ShippedRecord(), false, false, other.Path().string(), loader, code));
    EXPECT_FALSE(fs::exists(other / "target"));
    ASSERT_EQ(third.boxes.size(), 1u);
    EXPECT_NE(third.boxes[0].text.find("embedded loader file"), std::string::npos);
}

TEST(Extraction, SetSelectionDspNameAndEmptySecondBootSet)
{
    TempDir dir;
    MessageRecorder boxes;
    FakeResources res = ShippedResources();
    ResourceAttributes dsp = ShippedRecord();
    dsp.UpgradeType = 2;
    std::string loader, code;
    ASSERT_TRUE(ExtractFirmwareSet(&res, dsp, false, false, dir.Path().string(), loader, code));
    EXPECT_EQ(code, "Code.OUT");
    EXPECT_EQ(ReadFileBytes(dir / "Code.OUT"), Joined(res, "Code", 12));

    // The second boot set overrides the boot flag; with counts 0 both files are empty.
    TempDir second;
    res.opened.clear();
    ASSERT_TRUE(ExtractFirmwareSet(
        &res, ShippedRecord(), true, true, second.Path().string(), loader, code));
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
    ASSERT_TRUE(ExtractFirmwareSet(&res, two, false, true, third.Path().string(), loader, code));
    EXPECT_EQ(ReadFileBytes(third / "Code.hex"), Joined(res, "Code_BootTwo", 2));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(Extraction, MissingDamagedOrUnreadableResourcesFail)
{
    MessageRecorder boxes;
    {
        // A missing loader chunk: loader message, no part file left for it.
        TempDir dir;
        FakeResources res = ShippedResources();
        res.items.erase("loader_1");
        std::string loader, code;
        EXPECT_FALSE(ExtractFirmwareSet(
            &res, ShippedRecord(), false, false, dir.Path().string(), loader, code));
        EXPECT_TRUE(FilesIn(dir.Path()).empty());
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_NE(boxes.boxes[0].text.find("embedded loader file"), std::string::npos);
    }
    {
        // A damaged code chunk: code message, its half-written part removed.
        TempDir dir;
        FakeResources res = ShippedResources();
        res.damaged.insert("code_5");
        std::string loader, code;
        std::string detail;
        EXPECT_FALSE(ExtractFirmwareSet(
            &res, ShippedRecord(), false, false, dir.Path().string(), loader, code, &detail));
        EXPECT_FALSE(fs::exists(dir / "Code.5"));
        EXPECT_FALSE(fs::exists(dir / "Code.hex"));
        EXPECT_NE(detail.find("digest mismatch"), std::string::npos);
        ASSERT_EQ(boxes.boxes.size(), 2u);
        EXPECT_NE(boxes.boxes[1].text.find("embedded code file"), std::string::npos);
    }
    {
        // No readable archive at all: nothing is extracted, even for zero counts.
        TempDir dir;
        FakeResources res;
        res.available = false;
        std::string loader, code;
        EXPECT_FALSE(ExtractFirmwareSet(
            &res, ResourceAttributes {}, false, false, dir.Path().string(), loader, code));
        EXPECT_FALSE(ExtractFirmwareSet(
            nullptr, ResourceAttributes {}, false, false, dir.Path().string(), loader, code));
        EXPECT_TRUE(FilesIn(dir.Path()).empty());
        EXPECT_EQ(boxes.boxes.size(), 4u);
    }
}

TEST(Extraction, MergedFileThatCannotBeWrittenFailsAndIsRemoved)
{
    TempDir dir;
    MessageRecorder boxes;
    FakeResources res;
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
    std::string loader, code = "stale";
    const bool ok = ExtractFirmwareSet(&res, r, false, false, dir.Path().string(), loader, code);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(code, "");
    EXPECT_EQ(loader, "Loader.hex");
    EXPECT_FALSE(fs::exists(dir / "Code.hex"));
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_NE(boxes.boxes[0].text.find("embedded code file"), std::string::npos);

    // MergePartFiles on its own: a missing part is skipped.
    TempDir parts;
    WriteFileBytes(parts / "Code.1", Text("one"));
    WriteFileBytes(parts / "Code.3", Text("three"));
    const auto merged = MergePartFiles(parts.Path().string(), "Code", 3, "hex");
    ASSERT_TRUE(merged.has_value());
    EXPECT_EQ(ReadFileBytes(parts / *merged), Text("onethree"));
}
