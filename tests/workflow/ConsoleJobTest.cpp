// The console job of a packed release, end to end against the simulated
// radio: what a technician's batch file sees (console text, return code),
// what the radio received, and that no work file stays behind.

#include "tests/workflow/WorkflowRig.h"
#include "tools/pack/DemoImages.h"

#include "workflow/PostUpdate.h"

#include <gtest/gtest.h>

#include <regex>

using namespace workflowtest;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

constexpr int kPort = 5;

const std::string kHead
    = "\nExtracting embedded files......Done.\nChecking target radio......Done.\n";
const std::string kLoaderDone = "\rDownloading Loader code...100% complete...Done.\n";
const std::string kAppDone = "\rDownloading Application code...100% complete...Done.\n";
const std::string kBootDone = "\rDownloading Bootloader code...100% complete...Done.\n";

std::string WithoutPercentLines(const std::string& console)
{
    static const std::regex running("\\rDownloading (Loader|Application|Bootloader) "
                                    "code\\.\\.\\.[0-9]+% complete(?!\\.\\.\\.Done)");
    return std::regex_replace(console, running, "");
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The data bytes of the S1/S2/S3 records of an image, in file order.
std::vector<uint8_t> ImageData(const std::string& text)
{
    std::vector<uint8_t> data;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line.size() < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') {
            continue;
        }
        const int addressBytes = line[1] - '0' + 1;
        const int count = HexValue(line[2]) * 16 + HexValue(line[3]);
        for (int i = addressBytes; i < count - 1; ++i) {
            const size_t at = 4 + 2 * static_cast<size_t>(i);
            if (at + 1 >= line.size()) {
                break;
            }
            data.push_back(static_cast<uint8_t>(HexValue(line[at]) * 16 + HexValue(line[at + 1])));
        }
    }
    return data;
}

void ExpectStoredData(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& image)
{
    ASSERT_GE(stored.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + static_cast<long>(image.size()), stored.end(),
        [](uint8_t b) { return b == 0xFF; }));
}

// The demo release, packed once for all tests.
class ConsoleJob : public ::testing::Test {
protected:
    // The shipped release's record: 4400 series 6, Application/Boot, boot
    // code 6.7, 816 processor, on the demo images.
    static void SetUpTestSuite()
    {
        s_ReleaseDir = new TempDir;
        const std::filesystem::path dir = s_ReleaseDir->Path();
        const std::string pack = testsupport::BinPath("corvel-pack").string();
        ProcessResult made = RunProcess({ pack, "--demo-images", dir.string() });
        s_MakeOutput = made.out + made.err;
        if (made.exitCode == 0) {
            made = RunProcess(
                { pack, "--base", testsupport::BinPath("corvel-updater").string(), "--out",
                    (dir / "Updater_4400_Release_6_10").string(), "--family", "4400", "--series",
                    "6", "--upgrade-type", "application-boot", "--platform-flag", "1",
                    "--processor", "816", "--boot-version", "6.7", "--programming-app-version",
                    "2.12.4", "--tuning-app-version", "3.0.17", "--app-loader",
                    (dir / "app-loader.srec").string(), "--app-code",
                    (dir / "app-code.srec").string(), "--boot-loader",
                    (dir / "boot-loader.srec").string(), "--boot-code",
                    (dir / "boot-code.srec").string() },
                {}, {}, std::chrono::minutes(2));
            s_MakeOutput += made.out + made.err;
        }
        s_MakeResult = made.exitCode;
    }
    static void TearDownTestSuite()
    {
        delete s_ReleaseDir;
        s_ReleaseDir = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(s_MakeResult, 0) << s_MakeOutput;
        ASSERT_TRUE(std::filesystem::exists(Release()));
    }

    static std::filesystem::path Release()
    {
        return s_ReleaseDir->Path() / "Updater_4400_Release_6_10";
    }

    std::unique_ptr<SimulatedRadio> StartRadio(std::vector<std::string> options)
    {
        auto radio = std::make_unique<SimulatedRadio>(
            m_ComDir.Path(), kPort, options, m_Out.Path() / "radio.log");
        EXPECT_TRUE(radio->Ready());
        return radio;
    }

    // Runs "/d /sp <port> /c" without a display, so that message boxes come
    // out on the console.
    // A failed job (return code 2) ends by naming the line trace it left in
    // its working directory; a job that did not fail leaves none. The trace
    // line and file are checked and taken away here, so the callers see the
    // job's own texts and work files.
    ProcessResult RunJob()
    {
        ProcessResult job
            = RunProcess({ Release().string(), "/d", "/sp", std::to_string(kPort), "/c" },
                { { "CORVEL_COM_DIR", m_ComDir.Path().string() }, { "DISPLAY", "" },
                    { "WAYLAND_DISPLAY", "" } },
                {}, std::chrono::minutes(4), m_Work.Path());
        const std::string marker = "\nLine trace saved to ";
        const size_t at = job.out.rfind(marker);
        if (job.exitCode != 2) {
            EXPECT_EQ(at, std::string::npos) << job.out;
            return job;
        }
        EXPECT_NE(at, std::string::npos) << job.out;
        if (at == std::string::npos)
            return job;
        std::string name = job.out.substr(at + marker.size());
        EXPECT_EQ(name.back(), '.');
        name.pop_back();
        EXPECT_EQ(name.rfind("Corvel_trace_", 0), 0u) << name;
        const std::string trace = testsupport::ReadFileText(m_Work.Path() / name);
        EXPECT_NE(trace.find(" >> BA 7F "), std::string::npos) << name;
        std::filesystem::remove(m_Work.Path() / name);
        job.out.erase(at);
        return job;
    }

    std::vector<std::string> WorkFilesLeft() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_Work.Path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::filesystem::path Out(const std::string& name) const { return m_Out.Path() / name; }

    static TempDir* s_ReleaseDir;
    static int s_MakeResult;
    static std::string s_MakeOutput;
    TempDir m_ComDir;
    TempDir m_Work;
    TempDir m_Out;
};

TempDir* ConsoleJob::s_ReleaseDir = nullptr;
int ConsoleJob::s_MakeResult = -1;
std::string ConsoleJob::s_MakeOutput;

} // namespace

TEST_F(ConsoleJob, BootUpgradeThenApplication)
{
    auto radio = StartRadio({ "--boot-version", "6.5", "--new-boot-version", "6.7", "--boot-out",
        Out("boot.bin").string(), "--code-out", Out("code.bin").string(), "--loader-out",
        Out("loader.bin").string() });

    const ProcessResult first = RunJob();
    EXPECT_EQ(first.exitCode, 1) << first.out << first.err;
    EXPECT_EQ(WithoutPercentLines(first.out), kHead + kLoaderDone + kBootDone);
    EXPECT_TRUE(WorkFilesLeft().empty());
    ExpectStoredData(
        ReadFileBytes(Out("boot.bin")), ImageData(pack::MakeDemoImage(pack::DemoBootCodeShape())));
    ExpectStoredData(ReadFileBytes(Out("loader.bin")),
        ImageData(pack::MakeDemoImage(pack::DemoBootLoaderShape())));
    EXPECT_FALSE(std::filesystem::exists(Out("code.bin")));

    const ProcessResult second = RunJob();
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_EQ(WithoutPercentLines(second.out),
        kHead + kLoaderDone + kAppDone + "Resetting radio...Done.");
    EXPECT_TRUE(WorkFilesLeft().empty());
    ExpectStoredData(
        ReadFileBytes(Out("code.bin")), ImageData(pack::MakeDemoImage(pack::DemoAppCodeShape())));
    ExpectStoredData(ReadFileBytes(Out("loader.bin")),
        ImageData(pack::MakeDemoImage(pack::DemoAppLoaderShape())));
}

TEST_F(ConsoleJob, RadioRefusedBeforeAnyDownload)
{
    struct Case {
        std::vector<std::string> options;
        std::string console;
    };
    const Case cases[] = {
        { { "--boot-version", "5.7" },
            "\nExtracting embedded files......Error: the major boot versions of the radio and file "
            "are different." },
        { { "--boot-version", "6.5", "--family", "mobile" },
            "\nExtracting embedded files......This Corvel Code Updater is intended for a portable "
            "radio, and\ncannot be used with the connected mobile radio." },
        { { "--boot-version", "6.7", "--silent", "boot" },
            "\nExtracting embedded files......Communication error while trying to retrieve boot "
            "version." },
    };
    for (const Case& c : cases) {
        auto radio = StartRadio(c.options);
        const ProcessResult job = RunJob();
        EXPECT_EQ(job.exitCode, 2) << job.out << job.err;
        EXPECT_EQ(job.out, c.console);
        EXPECT_TRUE(WorkFilesLeft().empty());
        // Nothing was downloaded: no start of a download on the wire.
        for (const std::string& frame : radio->LoggedFrames(">>")) {
            EXPECT_EQ(frame.find("BA 7F 01 02 01"), std::string::npos);
        }
    }
}

TEST_F(ConsoleJob, DownloadBreaksOff)
{
    // A verify failure in the code stream.
    {
        auto radio = StartRadio({ "--boot-version", "6.7", "--verify-fail", "3" });
        const ProcessResult job = RunJob();
        EXPECT_EQ(job.exitCode, 2);
        const std::string out = WithoutPercentLines(job.out);
        EXPECT_EQ(out.substr(0, kHead.size() + kLoaderDone.size()), kHead + kLoaderDone);
        EXPECT_EQ(out.substr(out.size() - 11), "\nCOM error.");
        EXPECT_EQ(out.find("Resetting radio"), std::string::npos);
        EXPECT_TRUE(WorkFilesLeft().empty());
    }
    // The radio vanishes in the middle of the code stream.
    {
        auto radio = StartRadio({ "--boot-version", "6.7", "--close-after-block", "40" });
        const ProcessResult job = RunJob();
        EXPECT_EQ(job.exitCode, 2);
        EXPECT_EQ(job.out.substr(job.out.size() - 11), "\nCOM error.");
        EXPECT_TRUE(WorkFilesLeft().empty());
    }
}

TEST_F(ConsoleJob, DuplicateControlHeadAddresses)
{
    // The box comes out on the console (no display) between the restart
    // text and the final text, and the job does not wait for the heads.
    auto radio
        = StartRadio({ "--boot-version", "6.7", "--restart", "heads", "--control-heads", "1,0" });
    const ProcessResult job = RunJob();
    EXPECT_EQ(job.exitCode, 0) << job.out << job.err;
    EXPECT_EQ(WithoutPercentLines(job.out),
        kHead + kLoaderDone + kAppDone + "Resetting radio..."
            + "\nCorvel Code Updater: " + kTextDuplicateControlHeads + "\nDone.");
    EXPECT_TRUE(WorkFilesLeft().empty());
}
