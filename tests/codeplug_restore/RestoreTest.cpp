// Reading a radio's codeplug and writing a codeplug file back into a radio,
// against the simulated radio running its application code. The radio's
// reset wait goes through the tick-counting component and takes no time.

#include "tests/codeplug_carry/CarryRig.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "workflow/CodeplugJobs.h"
#include "workflow/RunRecorder.h"

#include <gtest/gtest.h>

#include <numeric>
#include <regex>

namespace fs = std::filesystem;
using carrytest::Bytes;
using carrytest::CarryHost;
using carrytest::SimulatedRadio;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

constexpr const char* kSerial = "001A2B3C4D5E6F70";

// The codeplug tool's side of a job, recorded.
class JobHost : public ICodeplugJobHost {
public:
    void Step(const std::string& text) override { steps.push_back(text); }
    void Note(const std::string& text) override { notes.push_back(text); }
    void Progress(int32_t, int32_t total) override { lastTotal = total; }
    bool AskPassword(std::string& entry) override
    {
        ++asked;
        if (passwords.empty())
            return false;
        entry = passwords.front();
        if (passwords.size() > 1)
            passwords.erase(passwords.begin());
        return true;
    }

    std::vector<std::string> steps;
    std::vector<std::string> notes;
    std::vector<std::string> passwords; // the last one is given again and again
    int asked = 0;
    int32_t lastTotal = -1;
};

// A codeplug in wire form in format 5.`minor` (5.10 made by converting 5.9).
Bytes CodeplugOfFormat(int minor, int records)
{
    const Bytes wire
        = codeplugtest::TypicalCodeplug(minor == 10 ? 9 : minor, 1, 2, records).BuildWire();
    return minor == 10 ? carrytest::ConvertedTo(wire, 10) : wire;
}

// An upload ends where its walk over the chain ends, which may be before the
// end of the file it came from, and a radio pads what it stores: `actual`
// must cover `expected`'s block chain and agree with it as far as both go.
bool SameCodeplug(const Bytes& actual, const Bytes& expected)
{
    const size_t chain = 2 * (((expected.at(8) << 8) | expected.at(9)) - 128u);
    const size_t common = std::min(actual.size(), expected.size());
    return actual.size() >= chain
        && std::equal(actual.begin(), actual.begin() + common, expected.begin());
}

// One radio with a codeplug of its own and a file to write into it.
struct Bench {
    Bench(int radioMinor, const std::vector<std::string>& extra = {})
    {
        radioCodeplug = CodeplugOfFormat(radioMinor, 1);
        WriteFileBytes(files / "radio.bin", radioCodeplug);
        std::vector<std::string> options { "--format-version", "5." + std::to_string(radioMinor),
            "--serial", kSerial, "--codeplug", (files / "radio.bin").string(), "--codeplug-out",
            (files / "stored.bin").string() };
        options.insert(options.end(), extra.begin(), extra.end());
        radio = std::make_unique<SimulatedRadio>(options);
        std::string error;
        opened = host.Open(*radio, error);
        EXPECT_TRUE(opened) << error;
    }

    bool Load(const Bytes& wire, const std::string& name, CodeplugFileImage& image)
    {
        WriteFileBytes(files / name, wire);
        std::string error;
        const bool ok = LoadCodeplugForWrite((files / name).string(), image, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    // Writes through the history's recorder; `record` is the run's record.
    CodeplugJobReport Write(const CodeplugFileImage& image, bool otherRadio = false)
    {
        CodeplugWriteOptions options;
        options.otherRadio = otherRadio;
        options.backupFolder = backups.Path().string();
        CodeplugJobRecorder recorder(job, true, 0);
        const CodeplugJobReport report = WriteCodeplugJob(host.Session(), recorder, image, options);
        record = recorder.Finish(report, static_cast<int>(report.result), report.message, false);
        return report;
    }

    std::vector<fs::path> Backups() const
    {
        return testsupport::FilesStartingWith(backups.Path(), "Codeplug_");
    }

    TempDir files;
    TempDir backups;
    Bytes radioCodeplug;
    std::unique_ptr<SimulatedRadio> radio;
    CarryHost host { true };
    JobHost job;
    history::Record record;
    bool opened = false;
};

} // namespace

TEST(CodeplugRestore, EveryFormatPairRoundTrips)
{
    for (int fileMinor : { 8, 9, 10 }) {
        for (int radioMinor : { 8, 9, 10 }) {
            SCOPED_TRACE(
                "file 5." + std::to_string(fileMinor) + ", radio 5." + std::to_string(radioMinor));
            Bench bench(radioMinor);
            ASSERT_TRUE(bench.opened);
            const Bytes file = CodeplugOfFormat(fileMinor, 3);
            CodeplugFileImage image;
            ASSERT_TRUE(bench.Load(file, "restore.bin", image));

            const CodeplugJobReport written = bench.Write(image);
            ASSERT_EQ(written.result, CodeplugJobResult::Done) << written.message;
            EXPECT_NE(written.message.find("written and verified"), std::string::npos);

            // The radio's own codeplug was saved first, whole.
            ASSERT_EQ(bench.Backups().size(), 1u);
            EXPECT_EQ(written.file, bench.Backups()[0].string());
            EXPECT_TRUE(SameCodeplug(ReadFileBytes(written.file), bench.radioCodeplug));
            ASSERT_GE(bench.job.notes.size(), 1u);
            EXPECT_EQ(bench.job.notes[0], "backup of the radio's codeplug: " + written.file);

            // The radio ends with the file in its own format.
            const bool converts = fileMinor != radioMinor;
            const Bytes expected = carrytest::ConvertedTo(file, radioMinor,
                converts ? CodeplugConvertOutcome::Converted : CodeplugConvertOutcome::SameFormat);
            EXPECT_EQ(written.identifier, kSerial);
            EXPECT_EQ(written.radioFormat.minor, radioMinor);
            EXPECT_TRUE(written.downloadStarted);
            EXPECT_EQ(written.bytesWritten, static_cast<int32_t>(expected.size()));
            EXPECT_TRUE(SameCodeplug(ReadFileBytes(bench.files / "stored.bin"), expected));
            EXPECT_EQ(std::count(bench.job.notes.begin(), bench.job.notes.end(),
                          "converting 5." + std::to_string(fileMinor) + " -> 5."
                              + std::to_string(radioMinor)),
                converts ? 1 : 0);
            EXPECT_EQ(bench.job.steps,
                (std::vector<std::string> { "Uploading codeplug...",
                    "Resetting radio and converting codeplug...", "Downloading codeplug...",
                    "Verifying codeplug..." }));
            EXPECT_EQ(bench.job.lastTotal, 0) << "the read-back's total is not known";
            // The history record of the write.
            const history::Record& record = bench.record;
            EXPECT_EQ(record.mode, "codeplug-write");
            EXPECT_EQ(record.radio.identifier, kSerial);
            EXPECT_EQ(record.radio.codeplugFormatAfter, "5." + std::to_string(radioMinor));
            EXPECT_EQ(record.backup, written.file);
            EXPECT_EQ(record.outcome, history::Outcome::Updated);
            EXPECT_EQ(record.steps.size(), 4u);
            const std::vector<int>& delays = bench.host.m_Component.m_Delays;
            EXPECT_EQ(std::accumulate(delays.begin(), delays.end(), 0), 360) << "the reset wait";

            // Read back into a folder: the backup's name, the same bytes.
            const CodeplugJobReport read
                = ReadCodeplugJob(bench.host.Session(), bench.job, bench.files.Path().string());
            ASSERT_EQ(read.result, CodeplugJobResult::Done) << read.message;
            EXPECT_TRUE(std::regex_match(fs::path(read.file).filename().string(),
                std::regex("Codeplug_001A2B3C4D5E6F70_[0-9]{8}T[0-9]{6}Z(_[0-9])?\\.bin")))
                << read.file;
            EXPECT_TRUE(SameCodeplug(ReadFileBytes(read.file), expected));
        }
    }
}

// The refusals of bad files are the tool's tests (ToolTest.cpp).
TEST(CodeplugRestore, RefusesAnotherRadiosBackupWithoutWriting)
{
    CodeplugFileImage image;
    EXPECT_EQ(IdentifierOfBackupName("/x/Codeplug_00ff2b3c4d5e6f70_20260101T000000Z.bin"),
        "00FF2B3C4D5E6F70");
    EXPECT_EQ(IdentifierOfBackupName("Codeplug_unknown_20260101T000000Z.bin"), "");
    EXPECT_EQ(IdentifierOfBackupName("restore.bin"), "");

    // Another radio's backup: the identifier is asked for, nothing else.
    Bench bench(9);
    ASSERT_TRUE(bench.opened);
    ASSERT_TRUE(bench.Load(
        CodeplugOfFormat(9, 2), "Codeplug_0000000000000001_20260101T000000Z.bin", image));
    const CodeplugJobReport refused = bench.Write(image);
    EXPECT_EQ(refused.result, CodeplugJobResult::Refused);
    EXPECT_NE(refused.message.find("radio 0000000000000001, this is radio 001A2B3C4D5E6F70"),
        std::string::npos)
        << refused.message;
    EXPECT_TRUE(refused.anotherRadio);
    EXPECT_FALSE(bench.radio->Received(3, 7));
    EXPECT_FALSE(bench.radio->Received(3, 0));
    EXPECT_TRUE(bench.Backups().empty());
    EXPECT_EQ(bench.record.outcome, history::Outcome::Refused);

    // With the radio's own identifier, or when told, it goes in.
    EXPECT_EQ(bench.Write(image, true).result, CodeplugJobResult::Done);
}

TEST(CodeplugRestore, PasswordGivenOnceOrWrong)
{
    // Given once, the password serves the download and the read-back too; a
    // wrong one is asked for again, three times in all, and nothing is
    // written. The end of input is the tool's test.
    for (const std::string given : { "12-34", "4321" }) {
        const bool right = given == "12-34";
        Bench bench(9, { "--password", "1234" });
        ASSERT_TRUE(bench.opened);
        bench.job.passwords = { given };
        CodeplugFileImage image;
        ASSERT_TRUE(bench.Load(CodeplugOfFormat(right ? 8 : 9, 2), "restore.bin", image));
        const CodeplugJobReport report = bench.Write(image);
        EXPECT_EQ(bench.job.asked, right ? 1 : 3);
        if (right) {
            EXPECT_EQ(report.result, CodeplugJobResult::Done) << report.message;
            continue;
        }
        EXPECT_EQ(report.result, CodeplugJobResult::Refused) << report.message;
        EXPECT_NE(report.message.find("refused the codeplug password"), std::string::npos)
            << report.message;
        EXPECT_FALSE(bench.radio->Received(3, 0)) << "no download started";
        EXPECT_FALSE(report.downloadStarted);
        EXPECT_FALSE(fs::exists(bench.files / "stored.bin"));
    }
}

TEST(CodeplugRestore, LineClosedDuringTheDownloadKeepsTheBackup)
{
    Bench bench(10, { "--fault-stage", "download", "--close-after-block", "3" });
    ASSERT_TRUE(bench.opened);
    CodeplugFileImage image;
    ASSERT_TRUE(bench.Load(CodeplugOfFormat(10, 3), "restore.bin", image));
    const CodeplugJobReport failed = bench.Write(image);
    EXPECT_EQ(failed.result, CodeplugJobResult::LinkFailed) << failed.message;
    ASSERT_EQ(bench.Backups().size(), 1u);
    EXPECT_EQ(failed.file, bench.Backups()[0].string());
    EXPECT_NE(failed.message.find("saved in " + failed.file), std::string::npos) << failed.message;
    CodeplugFileImage backup;
    std::string error;
    EXPECT_TRUE(LoadCodeplugForWrite(failed.file, backup, error)) << error;
    EXPECT_TRUE(SameCodeplug(ReadFileBytes(failed.file), bench.radioCodeplug));
    EXPECT_EQ(bench.record.outcome, history::Outcome::FailedWriting);
    EXPECT_EQ(bench.record.backup, failed.file);
}

TEST(CodeplugRestore, VerifyFailureNamesBothFiles)
{
    Bench bench(9, { "--corrupt-stored-word", "40" });
    ASSERT_TRUE(bench.opened);
    CodeplugFileImage image;
    const Bytes file = CodeplugOfFormat(9, 2);
    ASSERT_TRUE(bench.Load(file, "restore.bin", image));
    const CodeplugJobReport failed = bench.Write(image);
    EXPECT_EQ(failed.result, CodeplugJobResult::Refused) << failed.message;
    // The radio's backup and the read-back, numbered when in the same second.
    const std::vector<fs::path> saved = bench.Backups();
    ASSERT_EQ(saved.size(), 2u);
    const fs::path readBack = saved[0] == fs::path(failed.file) ? saved[1] : saved[0];
    EXPECT_NE(failed.message.find("verify failed"), std::string::npos) << failed.message;
    EXPECT_NE(failed.message.find("saved in " + readBack.string()), std::string::npos)
        << failed.message;
    EXPECT_NE(failed.message.find("differs from " + image.path + " at byte 81"), std::string::npos)
        << failed.message;
    const Bytes back = ReadFileBytes(readBack);
    ASSERT_GT(back.size(), 81u);
    EXPECT_EQ(back[81], file[81] ^ 0x01);
    EXPECT_EQ(bench.record.outcome, history::Outcome::FailedAfterWriting);
}
