#include "download/SRecord.h"
#include "tests/download_flash/FlashSim.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace download;
using flashtest::SRecordLine;

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenText(const std::string& text)
{
    // fmemopen needs a buffer that outlives the stream.
    static std::vector<std::unique_ptr<std::string>> keep;
    keep.push_back(std::make_unique<std::string>(text));
    std::string& stored = *keep.back();
    if (stored.empty())
        return FilePtr(std::fopen("/dev/null", "r"));
    return FilePtr(fmemopen(stored.data(), stored.size(), "r"));
}

std::string S3(std::uint32_t address, const std::vector<std::uint8_t>& data)
{
    return SRecordLine('3', address, data);
}

std::string Lines(const std::vector<std::string>& lines, const char* end = "\r\n")
{
    std::string text;
    for (const std::string& l : lines)
        text += l + end;
    return text;
}

} // namespace

TEST(SRecordLines, KindsOffsetsAndEndRecords)
{
    const std::pair<const char*, int> kinds[] = { { "S1130000", 0 }, { "S2140101", 1 },
        { "S315FE04", 2 }, { "S0030000FC", 3 }, { "S9030000FC", -1 }, { "S8040000FB", -1 },
        { "s1130000", -1 }, { "garbage", -1 }, { "", -1 }, { "S", -1 } };
    for (const auto& [line, kind] : kinds)
        EXPECT_EQ(RecordKind(line), kind) << line;

    EXPECT_TRUE(IsEndRecord("S9030000FC"));
    EXPECT_TRUE(IsEndRecord("S70500000000FA"));
    for (const char* other : { "S804000000FB", "S", "" })
        EXPECT_FALSE(IsEndRecord(other)) << other;
}

TEST(SRecordLines, DataLengthAndWordsStayWithinTheRecord)
{
    // The S3 line with four data bytes AA BB CC DD gives 0xBBAA and 0xDDCC;
    // lower-case digits read the same.
    const char* line = "S30900000000AABBCCDDE8";
    ASSERT_EQ(DataLength(line), 4);
    EXPECT_EQ(DataWord(line, 12), 0xBBAA);
    EXPECT_EQ(DataWord(line, 16), 0xDDCC);
    EXPECT_EQ(DataWord("S30900000000aabbccdde8", 12), 0xBBAA);
    // S1 and S2 have their data after 2 and 3 address bytes; a record with
    // no data is fine.
    EXPECT_EQ(DataLength("S1070000AABBCCDDxx"), 4);
    EXPECT_EQ(DataLength(SRecordLine('2', 0x010100, { 0x11, 0x22 }).c_str()), 2);
    EXPECT_EQ(DataLength("S3050000000000"), 0);

    // Records whose data would be read past their end, or no data records.
    for (const char* bad :
        { "S30800000000AABBCC00", // odd: the last word would take a checksum digit
            "S31500000000AABB00", // the count promises 16 bytes, the line holds two
            "S30700000000AABB", // checksum missing
            "S30300000000", // count smaller than address plus checksum
            "S3G900000000AABBCCDDE8", "S3", "S30", // count not hex, or cut short
            "S9030000FC", "S0030000FC" })
        EXPECT_EQ(DataLength(bad), kRejectedRecord) << bad;

    // DataWord stops at the end of the line.
    EXPECT_EQ(DataWord("S30900000000AA", 12), 0x00AA);
    EXPECT_EQ(DataWord("S3", 40), 0);
    EXPECT_EQ(DataWord("S30900000000AABB", -3), 0);
}

TEST(SRecordLines, ReadRecordLineSplitsLinesWithinTheBuffer)
{
    const std::string longLine(400, 'A');
    FilePtr file = OpenText("S1\r\nS2\n\r\n" + longLine + "\r\nS9030000FC");
    char line[kRecordLineSize];
    // A line longer than the buffer is cut to 299 characters, the rest
    // skipped; the last line needs no line end.
    for (const std::string& expected : std::vector<std::string> {
             "S1", "S2", "", std::string(kRecordLineSize - 1, 'A'), "S9030000FC" }) {
        ASSERT_TRUE(ReadRecordLine(file.get(), line));
        EXPECT_EQ(std::string(line), expected);
    }
    EXPECT_FALSE(ReadRecordLine(file.get(), line));

    // A small buffer is never overrun.
    FilePtr small = OpenText("S30900000000AABBCCDDE8\r\n");
    char tiny[6];
    ASSERT_TRUE(ReadRecordLine(small.get(), tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "S3090");
    EXPECT_EQ(DataLength(tiny), kRejectedRecord);
}

TEST(SRecordValidation, AcceptsGoodImagesAndNormalisesLineEnds)
{
    const std::vector<std::string> records
        = { "S0030000FC", S3(0xFE040100, std::vector<std::uint8_t>(16, 0x5A)),
              S3(0xFE040110, { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 }), "S9030000FC" };
    const ImageReport ok = ValidateImage(Lines(records), ImageKind::Code, false);
    ASSERT_TRUE(ok.ok) << ok.problem.line << ": " << ok.problem.reason;
    EXPECT_FALSE(ok.normalisedLineEnds);
    EXPECT_EQ(ok.text, Lines(records));
    EXPECT_EQ(ok.firstAddress, 0xFE040100u);
    EXPECT_EQ(ok.dataBytes, 28u);

    // LF-only lines: refused, or normalised when allowed; blank lines after
    // the end record are dropped.
    const std::string lfOnly = Lines(records, "\n") + "\n\n";
    const ImageReport refused = ValidateImage(lfOnly, ImageKind::Code, false);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.problem.line, 1u);
    EXPECT_EQ(refused.problem.reason, "line does not end in CR LF");
    const ImageReport normalised = ValidateImage(lfOnly, ImageKind::Code, true);
    ASSERT_TRUE(normalised.ok) << normalised.problem.reason;
    EXPECT_TRUE(normalised.normalisedLineEnds);
    EXPECT_EQ(normalised.text, Lines(records));

    const ImageReport loader
        = ValidateImage(Lines({ SRecordLine('2', 0x010100, { 1, 2, 3, 4 }),
                            SRecordLine('2', 0x010104, { 5, 6 }), "S9030000FC" }),
            ImageKind::Loader, false);
    EXPECT_TRUE(loader.ok) << loader.problem.reason;
    EXPECT_EQ(loader.firstAddress, 0x010100u);
}

TEST(SRecordValidation, RefusesBadImagesWithLineAndReason)
{
    const std::string r1 = S3(0x1000, { 1, 2, 3, 4 });
    const std::string r2 = S3(0x1004, { 5, 6 });
    struct Case {
        std::string image;
        ImageKind kind;
        std::size_t line;
        std::string reason;
    };
    std::string badSum = r2;
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    std::string nonHex = r2;
    nonHex[13] = 'G';
    const auto code = ImageKind::Code;
    const std::vector<Case> cases = {
        { Lines({ r1, badSum, "S9030000FC" }), code, 2, "wrong record checksum" },
        { Lines({ r1, nonHex, "S9030000FC" }), code, 2, "non-hex character" },
        { Lines({ "S1050000AABB95", "S9030000FC" }), ImageKind::Loader, 1,
            "record type S1 does not belong in this image (S2 records expected)" },
        { Lines({ r1, S3(0x1004, { 5, 6, 7 }), "S9030000FC" }), code, 2, "odd data length" },
        { Lines({ r1, S3(0x1006, { 5, 6 }), "S9030000FC" }), code, 2,
            "gap before this record's address" },
        { Lines({ r1, S3(0x1002, { 5, 6 }), "S9030000FC" }), code, 2,
            "address goes back or overlaps the previous record" },
        { Lines({ r1, "S9030000FC", r2 }), code, 3, "record after the end record" },
        { Lines({ "S9030000FC" }), code, 0, "no data records" },
        { r1 + "\r\n" + r2 + "\n" + "S9030000FC\r\n", code, 2, "line does not end in CR LF" },
        { r1 + "\r\n" + r2 + "\r\nS9030000FC", code, 3, "line does not end in CR LF" },
        { Lines({ r1, "", "S9030000FC" }), code, 2, "empty line" },
        { Lines({ r1, "S3090000100405060708", "S9030000FC" }), code, 2,
            "byte count does not match the line length" },
        { Lines({ r1, "X9030000FC" }), code, 2, "not an S-record" },
        { Lines({ r1, S3(0x1004, {}) + "\r5", "S9030000FC" }), code, 2,
            "stray CR inside the line" },
        { Lines({ r1, "S0030000FC", "S9030000FC" }), code, 2, "header record after data records" },
        { Lines({ r1, "S804000000FB" }), code, 2,
            "record type S8 does not belong in this image (S3 records expected)" },
        { Lines({ r1, std::string(320, 'S') }), code, 2, "line longer than 299 characters" },
    };
    for (const Case& c : cases) {
        const ImageReport report = ValidateImage(c.image, c.kind, true);
        EXPECT_FALSE(report.ok) << c.reason;
        EXPECT_EQ(report.problem.line, c.line) << c.reason;
        EXPECT_EQ(report.problem.reason, c.reason);
    }
}

TEST(SRecordCrossCheck, ImageMadeByAnotherToolYieldsTheBinary)
{
    testsupport::TempDir dir;
    // A known binary of an even length, not a multiple of the record size.
    const std::vector<std::uint8_t> binary = flashtest::Pattern(4094, 7);
    testsupport::WriteFileBytes(dir / "known.bin", binary);
    const auto result = testsupport::RunProcess(
        { "/usr/bin/srec_cat", (dir / "known.bin").string(), "-binary", "-offset", "0xFE040100",
            "-o", (dir / "known.srec").string(), "-motorola", "-address-length=4", "-obs=16",
            "-disable=data-count", "-execution-start-address=0", "-line-termination=crlf" });
    ASSERT_EQ(result.exitCode, 0) << "srec_cat (package srecord) failed: " << result.err;
    const std::string image = testsupport::ReadFileText(dir / "known.srec");

    // The download engine's reading loop: every data word, in file order.
    std::vector<std::uint8_t> bytes;
    FilePtr file = OpenText(image);
    char line[kRecordLineSize];
    while (ReadRecordLine(file.get(), line) && !IsEndRecord(line)) {
        const int kind = RecordKind(line);
        if (kind == kKindS0 || kind == kKindOther)
            continue;
        ASSERT_GE(DataLength(line), 0) << line;
        for (int k = 0; k < 2 * DataLength(line); k += 4) {
            const std::uint16_t w = DataWord(line, DataOffset(kind) + k);
            bytes.insert(bytes.end(), { std::uint8_t(w), std::uint8_t(w >> 8) });
        }
    }
    EXPECT_EQ(bytes, binary);

    const ImageReport report = ValidateImage(image, ImageKind::Code, false);
    ASSERT_TRUE(report.ok) << report.problem.line << ": " << report.problem.reason;
    EXPECT_EQ(report.firstAddress, 0xFE040100u);
    EXPECT_EQ(report.dataBytes, binary.size());
}
