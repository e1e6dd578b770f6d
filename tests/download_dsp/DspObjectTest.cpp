// The object file reader: where the section headers are, what each field
// means in either header layout, which sections are loaded, and hostile
// files that must end with a clear text instead of an out-of-bounds access.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "download/DspDownload.h"
#include "tests/download_dsp/DspObjectBuilder.h"
#include "tests/support/TestSupport.h"

using namespace download;
using namespace dsptest;

namespace {

DspObjectLayout Read(const Bytes& bytes, DspLayout layout)
{
    return ReadDspObject(DspObjectBytes(bytes.data(), bytes.size()), layout);
}

} // namespace

TEST(DspObject, HeaderFieldsAndSkippedSections)
{
    // With 40-byte headers only pages 0, 2 and 5 to 8 take data.
    ObjectFile file;
    file.sections
        = { Section(0x0100, 0, 64, 1), Section(0x0040, 1, 32, 2), Section(0x2000, 2, 16, 3),
              Section(0x0000, 8, 8, 4), Section(0x0000, 3, 8, 5), Section(0x0000, 5, 8, 6) };
    for (uint16_t optional : { 28, 0 }) {
        file.optionalHeaderSize = optional;
        const DspObjectLayout layout = Read(BuildObject(file), DspLayout::Header40);
        ASSERT_TRUE(layout.ok) << layout.error;
        EXPECT_EQ(layout.firstHeader, optional == 0 ? 22u : 50u);
        ASSERT_EQ(layout.sectionCount, 6);
        ASSERT_EQ(layout.sections.size(), 6u);
        std::string loaded;
        for (size_t i = 0; i < layout.sections.size(); ++i) {
            const DspSection& section = layout.sections[i];
            EXPECT_EQ(section.number, static_cast<int>(i) + 1);
            EXPECT_EQ(section.pageIndex, file.sections[i].page);
            loaded += section.loaded ? 'y' : 'n';
        }
        EXPECT_EQ(loaded, "ynyyny");
        const DspSection& first = layout.sections[0];
        EXPECT_EQ(first.pageAddress, 0x0100u);
        EXPECT_EQ(first.sizeWords, 32u);
        // The raw data of the first section follows the last header.
        EXPECT_EQ(first.rawOffset, layout.firstHeader + 6 * 40);
        EXPECT_EQ(layout.sections[4].rawOffset, first.rawOffset + 64 + 32 + 16 + 8);
    }
}

TEST(DspObject, HostileFilesEndWithAText)
{
    const auto expectError = [](const Bytes& bytes, DspLayout layout, const std::string& text) {
        const DspObjectLayout result = Read(bytes, layout);
        EXPECT_FALSE(result.ok) << text;
        EXPECT_EQ(result.error, "The DSP file is damaged: " + text + ".");
    };
    ObjectFile good;
    good.sections = { Section(0x0000, 0, 64, 1), Section(0x0100, 2, 64, 2) };
    const Bytes bytes = BuildObject(good);
    ASSERT_TRUE(Read(bytes, DspLayout::Header40).ok);

    // Shorter than the file header, down to nothing.
    for (size_t size : { 0, 1, 21 }) {
        expectError(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(size)),
            DspLayout::Header40, "it is too short for its file header");
    }
    // A section count whose headers run past the end of the file.
    for (int count : { 6, 0xFFFF }) {
        ObjectFile file = good;
        file.sectionCountField = count;
        expectError(BuildObject(file), DspLayout::Header40,
            "its " + std::to_string(count) + " section headers run past the end of the file");
    }
    // The 48-byte reading of a file written with 40-byte headers, cut short.
    ObjectFile tight = good;
    tight.sections = { Section(0x0000, 0, 0, 1) };
    const Bytes tightBytes = BuildObject(tight);
    ASSERT_EQ(tightBytes.size(), 50u + 40u);
    expectError(
        tightBytes, DspLayout::Header48, "its 1 section headers run past the end of the file");

    // Raw data past the end: by size, by offset, and by an offset whose sum
    // with the size wraps 32 bits.
    struct Bad {
        bool size;
        uint32_t sizeWords;
        bool offset;
        uint32_t rawOffset;
    };
    for (const Bad& bad : { Bad { true, 33, false, 0 }, Bad { false, 0, true, 0x00100000 },
             Bad { false, 0, true, 0xFFFFFFF0 }, Bad { true, 0xFFFFFFFF, false, 0 } }) {
        ObjectFile file = good;
        ObjectSection& s = file.sections[1];
        s.overrideSize = bad.size;
        s.sizeWords = bad.sizeWords;
        s.overrideOffset = bad.offset;
        s.rawOffset = bad.rawOffset;
        // Raw data of the last section ends the file: a size one word larger
        // is already past it.
        expectError(
            BuildObject(file), DspLayout::Header40, "section 2 runs past the end of the file");
    }
    // A start address that would place data beyond the page's 64 Ki words.
    for (uint32_t start : { 0xFFE1u, 0x10000u, 0xFFFFFFFFu }) {
        ObjectFile file = good;
        file.sections[1].startAddress = start;
        expectError(
            BuildObject(file), DspLayout::Header40, "section 2 does not fit in memory page 2");
    }
    // The last words of a page are fine.
    ObjectFile edge = good;
    edge.sections[1].startAddress = 0x10000 - 32;
    EXPECT_TRUE(Read(BuildObject(edge), DspLayout::Header40).ok);

    // A skipped section is never copied, so its data may point anywhere.
    ObjectFile skipped = good;
    skipped.sections[1].page = 1;
    skipped.sections[1].overrideOffset = true;
    skipped.sections[1].rawOffset = 0xFFFFFFFF;
    skipped.sections[1].startAddress = 0xFFFFFFFF;
    EXPECT_TRUE(Read(BuildObject(skipped), DspLayout::Header40).ok);
}

TEST(DspObject, FileSourceReadsOnlyInsideTheFile)
{
    testsupport::TempDir dir;
    ObjectFile file;
    file.sections = { Section(0x0000, 0, 40, 1) };
    const Bytes bytes = BuildObject(file);
    testsupport::WriteFileBytes(dir / "Code.OUT", bytes);
    const int fd = ::open((dir / "Code.OUT").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        const DspObjectFile source(fd);
        ASSERT_TRUE(source.Usable());
        EXPECT_EQ(source.Size(), bytes.size());
        uint8_t buffer[40];
        ASSERT_TRUE(source.ReadAt(bytes.size() - 40, buffer, 40));
        EXPECT_EQ(Bytes(buffer, buffer + 40), file.sections[0].data);
        EXPECT_FALSE(source.ReadAt(bytes.size() - 39, buffer, 40));
        EXPECT_FALSE(source.ReadAt(UINT64_MAX, buffer, 1));
        const DspObjectLayout layout = ReadDspObject(source, DspLayout::Header40);
        EXPECT_TRUE(layout.ok) << layout.error;
    }
    ::close(fd);
    // A closed descriptor and a directory are not object files.
    EXPECT_FALSE(DspObjectFile(fd).Usable());
    const int dirFd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_FALSE(DspObjectFile(dirFd).Usable());
    ::close(dirFd);
}
