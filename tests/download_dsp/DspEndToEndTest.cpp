// The DSP download against the simulated radio over a pseudo-terminal: the
// pages the radio keeps equal the object file's sections placed at their
// start addresses, the status texts, the page files in the executable's
// directory, the failure paths, and the update sequence of a DSP release.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "download/DspDownload.h"
#include "link/CommSession.h"
#include "tests/download_dsp/DspObjectBuilder.h"
#include "tests/support/TestSupport.h"
#include "tests/workflow/WorkflowRig.h"
#include "workflow/UpdateSequences.h"

using namespace download;
using namespace dsptest;
using namespace workflowtest;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
namespace fs = std::filesystem;

namespace {

constexpr int kPort = 5;

// One S3 record with its checksum, CR LF ended: the middle line of a
// one-record image.
std::string S3Line(uint32_t address, const Bytes& data)
{
    const std::string image = MakeImage(true, address, data);
    const size_t start = image.find("\r\n") + 2;
    return image.substr(start, image.find("\r\n", start) + 2 - start);
}

// A DSP loader and the bytes the radio must receive from it. The header
// line "S0 06 0000 484452 1B", read as an S3 record, carries one data byte
// from character 12 ("52") and takes the checksum "1B" as the high byte of
// its word; the "S7" line carries nothing and does not end the stream; the
// record after the "S9" line is never sent.
struct Loader {
    std::string text;
    Bytes sent;
};
Loader MakeLoader()
{
    const Bytes data = Pattern(600, 9);
    const Bytes late = Pattern(16, 10);
    std::string image = MakeImage(true, 0x00200000, data);
    Loader loader { image + S3Line(0x00300000, late) + "S9030000FC\r\n"
            + S3Line(0x00400000, Pattern(16, 11)),
        { 0x52, 0x1B } };
    loader.sent.insert(loader.sent.end(), data.begin(), data.end());
    loader.sent.insert(loader.sent.end(), late.begin(), late.end());
    return loader;
}

// Two written pages with the 40-byte layout: page 0 from a section of
// exactly 16000 words and one of 16001 words (two chunks), page 1 skipped,
// page 2 written to "Page2".
ObjectFile TwoPageObject()
{
    ObjectFile file;
    file.sections = { Section(0x0000, 0, 32000, 1), Section(0x0010, 1, 64, 2),
        Section(0x8000, 0, 32002, 3), Section(0x0020, 2, 300, 4), Section(0x0000, 9, 32, 5) };
    return file;
}

class DspDownload : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        fs::create_directories(Pages());
        fs::create_directories(ExeDir());
    }

    // The simulator keeps the pages it receives in Pages()/page<k>.bin.
    std::unique_ptr<SimulatedRadio> Radio(std::vector<std::string> options)
    {
        options.insert(options.end(),
            { "--boot-version", "6.7", "--dsp-pages-dir", Pages().string(), "--loader-out",
                Out("loader.bin").string() });
        return StartRadio(options, kPort);
    }

    // Runs the engine on a host whose link is open on the simulator.
    DspResult Run(RecordingHost& host, const std::string& loaderText, const Bytes& object,
        int32_t modelCode, const std::string& exeDir)
    {
        EXPECT_TRUE(host.ClaimAndOpenPort(false));
        testsupport::WriteFileText(Out("loader.s"), loaderText);
        WriteFileBytes(Out("Code.OUT"), object);
        std::FILE* loader = std::fopen(Out("loader.s").c_str(), "r");
        const int fd = ::open(Out("Code.OUT").c_str(), O_RDONLY);
        const DspResult result = DownloadDsp(host.Session(),
            { loader, fd, modelCode,
                [&host](const std::string& text) { host.ShowStatusText(text); }, exeDir,
                &host.ProgressBar() });
        std::fclose(loader);
        ::close(fd);
        return result;
    }

    fs::path Pages() const { return Out("pages"); }
    fs::path ExeDir() const { return Out("exe"); }
    std::string ExeDirText() const { return ExeDir().string() + "/"; }
    Bytes RadioPage(int k) const
    {
        return ReadFileBytes(Pages() / ("page" + std::to_string(k) + ".bin"));
    }
    std::vector<std::string> PageFilesIn(const fs::path& dir) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("Page", 0) == 0) {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TestRelease m_Release = MakeRelease(0, 6, 2, 6, 7);
};

} // namespace

TEST_F(DspDownload, HeaderLayout48WithoutOptionalHeader)
{
    ObjectFile file;
    file.header48 = true;
    file.optionalHeaderSize = 0;
    // The low byte of the memory-page word skips a section, the high byte
    // does not; so do pages above 7.
    ObjectSection notLoaded = Section(0x0000, 1, 64, 6);
    notLoaded.memoryPage48 = 0x0001;
    ObjectSection highByteOnly = Section(0x0020, 4, 8, 7);
    highByteOnly.memoryPage48 = 0x0100;
    file.sections = { Section(0x0100, 0, 300, 1), notLoaded, Section(0x0000, 3, 200, 2),
        Section(0x4000, 3, 32, 3), Section(0x0000, 8, 64, 4), highByteOnly };
    const std::map<int, Bytes> pages = ExpectedPages(file);
    ASSERT_EQ(pages.size(), 3u);
    {
        auto radio = Radio({});
        RecordingHost host(m_Release, false, kPort, m_Work.Path());
        ASSERT_EQ(
            Run(host, MakeLoader().text, BuildObject(file), 3, ExeDirText()), DspResult::Success);
        EXPECT_TRUE(Contains(host.m_Statuses, "Downloading page 3 of 3 from input DSP file ..."));
    }
    EXPECT_EQ(RadioPage(1), PaddedToPairs(pages.at(0)));
    EXPECT_EQ(RadioPage(2), PaddedToPairs(pages.at(3)));
    EXPECT_EQ(RadioPage(3), PaddedToPairs(pages.at(4)));
}

TEST_F(DspDownload, ChecksumMismatchIsReportedAndTheDownloadGoesOn)
{
    ObjectFile file;
    file.sections = { Section(0x0000, 0, 1024, 1) };
    const Bytes page = PaddedToPairs(ExpectedPages(file).at(0));
    {
        auto radio = Radio({ "--fault-stage", "dsp", "--wrong-sum", "2" });
        RecordingHost host(m_Release, false, kPort, m_Work.Path());
        ASSERT_EQ(
            Run(host, MakeLoader().text, BuildObject(file), 0, ExeDirText()), DspResult::Success);
        EXPECT_EQ(host.m_Statuses.back(), "Download finished");
        // Every block went out once: a resent block would have been taken
        // for the next one and shifted the rest of the page.
        size_t blocks = 0;
        size_t mismatches = 0;
        for (const std::string& frame : radio->LoggedFrames(">>")) {
            blocks += frame.rfind("BA 7F 01 02 09", 0) == 0;
            mismatches += frame.rfind("BA 7F 01 02 06", 0) == 0;
        }
        EXPECT_EQ(mismatches, 1u);
        const size_t loaderBlocks = PaddedToPairs(MakeLoader().sent).size() / 128;
        EXPECT_EQ(blocks, loaderBlocks + page.size() / 128);
    }
    // The radio left the second pair out.
    Bytes kept = page;
    kept.erase(kept.begin() + 256, kept.begin() + 512);
    EXPECT_EQ(RadioPage(1), kept);
}

TEST_F(DspDownload, LinkFailuresLeaveNoPageFile)
{
    const ObjectFile file = TwoPageObject();
    struct Case {
        const char* option;
        DspResult result;
        const char* text;
    };
    for (const Case& c : { Case { "--close-after-block", DspResult::CommProblem,
                               "Communication problem during DSP download." },
             Case { "--silent-after-block", DspResult::TimedOut,
                 "DSP download timed out or canceled by user." } }) {
        fs::remove_all(ExeDir());
        fs::create_directories(ExeDir());
        auto radio = Radio({ "--fault-stage", "dsp", c.option, "5" });
        RecordingHost host(m_Release, false, kPort, m_Work.Path());
        const DspResult result = Run(host, MakeLoader().text, BuildObject(file), 0, ExeDirText());
        // A line closed under a wait may also show as the wait running out.
        if (c.result == DspResult::CommProblem && result == DspResult::TimedOut) {
            EXPECT_EQ(host.m_Statuses.back(), "DSP download timed out or canceled by user.");
        } else {
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(host.m_Statuses.back(), c.text);
        }
        // The download failed in the middle of its pages.
        EXPECT_TRUE(Contains(host.m_Statuses, "Downloading page 1 of 2 from input DSP file ..."));
        EXPECT_TRUE(PageFilesIn(ExeDir()).empty()) << c.option;
    }
}

TEST_F(DspDownload, BadInputEndsWithATextAndSendsNoPage)
{
    ObjectFile good;
    good.sections = { Section(0x0000, 0, 256, 1) };
    struct Case {
        std::string loader;
        Bytes object;
        std::string exeDir;
        std::string text;
        bool loaderSent; // a damaged object file is found before the loader goes out
    };
    // The reader's other refusals share this text's path (see the object
    // reader's own tests).
    ObjectFile tooMany = good;
    tooMany.sectionCountField = 99;
    const std::string loader = MakeLoader().text;

    // A link planted under a page name is refused, not followed.
    const fs::path planted = Out("planted");
    fs::create_directories(planted);
    WriteFileBytes(Out("victim"), { 1, 2, 3 });
    fs::create_symlink(Out("victim"), planted / "Page4");

    const std::vector<Case> cases = {
        { loader, BuildObject(tooMany), ExeDirText(),
            "The DSP file is damaged: its 99 section headers run past the end of the file.",
            false },
        { loader, BuildObject(good), Out("missing").string() + "/",
            "Could not create the DSP page file " + Out("missing").string() + "/Page0.", true },
        { loader, BuildObject(good), planted.string() + "/",
            "Could not create the DSP page file " + planted.string() + "/Page4.", true },
        { "S30900001000AABBCC\r\n", BuildObject(good), ExeDirText(),
            "Download stopped: damaged record in line 1 of the Loader code file.", true },
    };
    for (const Case& c : cases) {
        fs::remove_all(Pages());
        fs::create_directories(Pages());
        {
            auto radio = Radio({});
            RecordingHost host(m_Release, false, kPort, m_Work.Path());
            EXPECT_EQ(Run(host, c.loader, c.object, 0, c.exeDir), DspResult::FileProblem) << c.text;
            EXPECT_EQ(host.m_Statuses.back(), c.text);
            const auto sent = radio->LoggedFrames(">>");
            const bool loaderStarted = std::any_of(sent.begin(), sent.end(),
                [](const std::string& frame) { return frame.rfind("BA 7F 01 02 01", 0) == 0; });
            EXPECT_EQ(loaderStarted, c.loaderSent) << c.text;
        }
        EXPECT_FALSE(fs::exists(Pages() / "page1.bin")) << c.text;
    }
    EXPECT_EQ(ReadFileBytes(Out("victim")), (Bytes { 1, 2, 3 }));
    EXPECT_EQ(PageFilesIn(planted), (std::vector<std::string> { "Page4" }));
}

TEST_F(DspDownload, SelectedUpdateOfADspReleaseSendsThePagesAsPlaced)
{
    const Loader loader = MakeLoader();
    const ObjectFile file = TwoPageObject();
    const Bytes object = BuildObject(file);
    const std::map<int, Bytes> pages = ExpectedPages(file);
    ASSERT_EQ(pages.size(), 2u);
    // The release carries the loader and the object file as its application set.
    m_Release.attributes.AppCodeCount = 1;
    m_Release.resources.Add("Loader_1", loader.text);
    m_Release.resources.Add("Code_1", std::string(object.begin(), object.end()));
    {
        auto radio = Radio({});
        RecordingHost host(m_Release, false, kPort, m_Work.Path());
        RunSelectedUpdate(host, false);
        EXPECT_TRUE(Contains(host.m_Statuses, "Checking target radio..."));
        const std::vector<std::string> expected = { "Downloading Loader code...",
            "Preparing to download ...", "Downloading page 1 of 2 from input DSP file ...",
            "Downloading page 2 of 2 from input DSP file ...", "Download finished" };
        const auto from = std::find(host.m_Statuses.begin(), host.m_Statuses.end(), expected[0]);
        EXPECT_EQ(std::vector<std::string>(from, host.m_Statuses.end()), expected);
        // The bar ran against the last page: half its size plus 128.
        EXPECT_EQ(host.m_ProgressBar.Maximum(), static_cast<int>(pages.at(2).size() / 2 + 128));
        EXPECT_TRUE(host.m_Boxes.empty());
        EXPECT_EQ(host.m_Events.back(), "leave(delete)");
        // Neither the work files nor the page files stay behind.
        EXPECT_TRUE(host.LeftoverWorkFiles().empty());
        EXPECT_TRUE(PageFilesIn(m_Work.Path()).empty());
    }
    EXPECT_EQ(ReadFileBytes(Out("loader.bin")), PaddedToPairs(loader.sent));
    EXPECT_EQ(RadioPage(1), PaddedToPairs(pages.at(0)));
    EXPECT_EQ(RadioPage(2), PaddedToPairs(pages.at(2)));
    EXPECT_FALSE(fs::exists(Pages() / "page3.bin"));
}
