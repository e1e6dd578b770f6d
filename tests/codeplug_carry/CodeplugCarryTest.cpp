// The codeplug carry-over after an application update, against the
// simulated radio: what goes over the wire, what the radio stores, the
// backup file, the step texts and the results.

#include "tests/codeplug_carry/CarryRig.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "workflow/CodeplugCarryOver.h"
#include "workflow/PostUpdate.h"

#include <gtest/gtest.h>

#include <deque>
#include <regex>

namespace fs = std::filesystem;
using carrytest::Bytes;
using carrytest::CarryHost;
using carrytest::SimulatedRadio;
using testsupport::ReadFileBytes;

namespace {

constexpr const char* kSerial = "5A17C0DE2B4F6E01";

// A codeplug of format 5.8 or 5.9 in wire form, with content in every table.
Bytes Codeplug(int minor, int systemSets = 1, int records = 2)
{
    return codeplugtest::TypicalCodeplug(minor, systemSets, 1, records).BuildWire();
}

class CodeplugCarry : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The backup goes to the working directory.
        m_Previous = fs::current_path();
        fs::current_path(m_Work.Path());
    }
    void TearDown() override { fs::current_path(m_Previous); }

    // The radio's options for a codeplug of its own and the format the new
    // code reports, plus `more`; it ends after a codeplug download.
    std::vector<std::string> RadioWith(
        const Bytes& codeplug, const std::string& format, std::vector<std::string> more = {})
    {
        testsupport::WriteFileBytes(m_Files / "radio.bin", codeplug);
        more.insert(more.begin(),
            { "--serial", kSerial, "--codeplug", (m_Files / "radio.bin").string(), "--codeplug-out",
                (m_Files / "stored.bin").string(), "--format-version", format,
                "--exit-after-codeplug" });
        return more;
    }
    std::vector<fs::path> Backups() const
    {
        return testsupport::FilesStartingWith(m_Work.Path(), "Codeplug_");
    }
    // Expects one backup holding the upload as it came over the wire: the
    // codeplug and the 0x00 fill of its last blocks. Returns its name.
    std::string ExpectOneBackupOf(const Bytes& codeplug) const
    {
        const std::vector<fs::path> backups = Backups();
        if (backups.size() != 1) {
            ADD_FAILURE() << backups.size() << " backups";
            return "";
        }
        const Bytes uploaded = ReadFileBytes(backups[0]);
        // At least the block chain (the codeplug without the 128 words after it).
        EXPECT_GE(uploaded.size(), codeplug.size() - 256);
        EXPECT_EQ(uploaded.size() % 128, 0u);
        Bytes sent = codeplug;
        sent.resize(uploaded.size(), 0x00);
        EXPECT_EQ(uploaded, sent);
        return backups[0].filename().string();
    }
    // Expects the radio to have stored what the converter program makes of
    // the backup, in blocks of 256 bytes padded with blanks. Returns the
    // converted size.
    size_t ExpectStoredConversion(const std::string& target)
    {
        const Bytes expected
            = carrytest::ConvertWithTool(Backups().at(0), target, m_Files / "expected.bin");
        EXPECT_FALSE(expected.empty());
        const Bytes stored = ReadFileBytes(m_Files / "stored.bin");
        EXPECT_EQ(stored.size(), (expected.size() + 255) / 256 * 256);
        Bytes padded = expected;
        padded.resize(stored.size(), 0x20);
        EXPECT_EQ(stored, padded);
        return expected.size();
    }
    // Opens the host on the radio and carries the codeplug across.
    PostUpdateResult Carry(CarryHost& host, const SimulatedRadio& radio)
    {
        std::string error;
        if (!host.Open(radio, error)) {
            ADD_FAILURE() << error;
            return static_cast<PostUpdateResult>(-1);
        }
        const PostUpdateResult result = CarryCodeplugOver(host);
        host.m_Session.Close();
        return result;
    }

    testsupport::TempDir m_Work;
    testsupport::TempDir m_Files;
    fs::path m_Previous;
};

TEST_F(CodeplugCarry, UpTo510WritesBackWhatTheConverterProgramMakes)
{
    // A radio with a password and status reports before its verdicts; the
    // operator mistypes it once.
    std::deque<std::string> entries = { "1-3-5-7-8", " 1 3 5 7 9", "13579" };
    const Bytes codeplug = Codeplug(8);
    SimulatedRadio radio(
        RadioWith(codeplug, "5.10", { "--password", "13579", "--verdict-noise", "1" }));
    CarryHost host(true);
    host.m_Password = [&entries](std::string& entry) {
        if (entries.empty())
            return false;
        entry = entries.front();
        entries.pop_front();
        return true;
    };
    ASSERT_EQ(Carry(host, radio), kPostUpdateConverted);
    ASSERT_TRUE(radio.WaitForExit(5000));
    EXPECT_TRUE(entries.empty());

    // The backup is named after the identifier the radio reported, which
    // also unscrambles the download.
    const std::string name = ExpectOneBackupOf(codeplug);
    EXPECT_TRUE(
        std::regex_match(name, std::regex("Codeplug_5A17C0DE2B4F6E01_[0-9]{8}T[0-9]{6}Z\\.bin")))
        << name;
    EXPECT_EQ(host.CodeplugBackupName(), name);
    const size_t converted = ExpectStoredConversion("5.10");
    EXPECT_GT(converted, codeplug.size());

    EXPECT_EQ(host.m_Console,
        "Done.\nUploading codeplug...Done.\nSaving codeplug to " + name
            + "...Done.\nResetting radio and converting codeplug...Done.\nDownloading codeplug...");
    EXPECT_TRUE(host.m_Statuses.empty());
    EXPECT_EQ(host.m_TimedProgress,
        (std::vector<int> { 300, 200, DownloadProgressInterval(static_cast<int>(converted)) }));
    EXPECT_EQ(host.ProgressBar().Position(), 100);
    EXPECT_EQ(host.m_Component.m_Delays, std::vector<int> { 360 });
    EXPECT_EQ(host.m_Session.WaitTime(), 4000);
}

TEST_F(CodeplugCarry, DownFrom510InWindowUse)
{
    // A 5.10 codeplug: a 5.8 one taken up by the converters.
    const Bytes codeplug = carrytest::ConvertedTo(Codeplug(8), 10);
    ASSERT_FALSE(codeplug.empty());
    SimulatedRadio radio(RadioWith(codeplug, "5.9"));
    CarryHost host(false);
    ASSERT_EQ(Carry(host, radio), kPostUpdateConverted);
    ASSERT_TRUE(radio.WaitForExit(5000));
    const std::string name = ExpectOneBackupOf(codeplug);
    EXPECT_LT(ExpectStoredConversion("5.9"), codeplug.size());
    EXPECT_EQ(host.m_Statuses,
        (std::vector<std::string> { "Uploading codeplug...", "Saving codeplug to " + name + "...",
            "Resetting radio and converting codeplug...", "Downloading codeplug..." }));
    EXPECT_TRUE(host.m_Console.empty());
    EXPECT_EQ(host.m_Component.m_Delays, std::vector<int> { 360 });
}

TEST_F(CodeplugCarry, EqualFormatsAreReadAndSavedButNotWritten)
{
    const Bytes codeplug = Codeplug(9);
    {
        SimulatedRadio radio(RadioWith(codeplug, "5.9"));
        CarryHost host(true);
        EXPECT_EQ(Carry(host, radio), kPostUpdateNothingToDo);
        EXPECT_TRUE(radio.Received(0x03, 0x07));
        EXPECT_FALSE(radio.Received(0x03, 0x00));
        EXPECT_TRUE(host.m_Component.m_Delays.empty());
        EXPECT_EQ(host.m_TimedProgress, std::vector<int> { 300 });
        EXPECT_EQ(host.m_Console,
            "Done.\nUploading codeplug...Done.\nSaving codeplug to " + ExpectOneBackupOf(codeplug)
                + "...");
        fs::remove(Backups().at(0));
    }
    // A radio that does not give its identifier: the backup says so in its
    // name, and the run goes on.
    SimulatedRadio radio(RadioWith(codeplug, "5.9", { "--silent", "serial" }));
    CarryHost host(false);
    EXPECT_EQ(Carry(host, radio), kPostUpdateNothingToDo);
    EXPECT_TRUE(radio.Received(0x04, 0x04));
    EXPECT_EQ(ExpectOneBackupOf(codeplug).rfind("Codeplug_unknown_", 0), 0u);
    EXPECT_FALSE(radio.Received(0x03, 0x00));
}

TEST_F(CodeplugCarry, FormatsOlderThan58OrUnknownAreLeftAlone)
{
    Bytes codeplug57 = Codeplug(8);
    codeplug57[7] = 7; // header word 3: version 5.7
    const std::pair<Bytes, const char*> cases[]
        = { { codeplug57, "5.10" }, { Codeplug(8), "5.7" }, { Codeplug(8), "6.8" } };
    for (const auto& [codeplug, target] : cases) {
        SCOPED_TRACE(target);
        SimulatedRadio radio(RadioWith(codeplug, target));
        CarryHost host(true);
        EXPECT_EQ(Carry(host, radio), kPostUpdateFormatUnsupported);
        EXPECT_TRUE(radio.Received(0x03, 0x07));
        EXPECT_FALSE(radio.Received(0x03, 0x00));
        EXPECT_TRUE(host.m_Component.m_Delays.empty());
    }
}

TEST_F(CodeplugCarry, UploadFailuresWriteNothing)
{
    // A password the operator does not give: the transfer is abandoned and
    // nothing arrives (0 bytes); nothing to save.
    {
        SimulatedRadio radio(RadioWith(Codeplug(8), "5.10", { "--password", "1234" }));
        CarryHost host(true);
        EXPECT_EQ(Carry(host, radio), kPostUpdateUploadFailed);
        EXPECT_TRUE(radio.Received(0x03, 0x04));
        EXPECT_FALSE(radio.Received(0x03, 0x00));
        EXPECT_TRUE(Backups().empty());
        EXPECT_EQ(host.m_Console, "Done.\nUploading codeplug...");
    }
    // An image that is not a valid codeplug (no list block announced): saved
    // as read, not converted.
    {
        Bytes invalid = Codeplug(8);
        invalid[28] = 0; // header word 14: list count 0
        SimulatedRadio radio(RadioWith(invalid, "5.10"));
        CarryHost host(true);
        EXPECT_EQ(Carry(host, radio), kPostUpdateUploadFailed);
        EXPECT_FALSE(radio.Received(0x03, 0x00));
        EXPECT_TRUE(host.m_Component.m_Delays.empty());
        ExpectOneBackupOf(invalid);
        fs::remove(Backups().at(0));
    }
    // A codeplug that would outgrow the buffer in 5.10: the converters stop
    // and the radio keeps what it has.
    SimulatedRadio radio(RadioWith(Codeplug(8, 3, 16), "5.10"));
    CarryHost host(true);
    EXPECT_EQ(Carry(host, radio), kPostUpdateUploadFailed);
    EXPECT_EQ(host.m_Component.m_Delays, std::vector<int> { 360 });
    EXPECT_FALSE(radio.Received(0x03, 0x00));
    EXPECT_EQ(Backups().size(), 1u);
}

TEST_F(CodeplugCarry, NoBackupNoWrite)
{
    // The working directory is gone, so the backup cannot be created.
    const fs::path gone = m_Work / "gone";
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);

    SimulatedRadio radio(RadioWith(Codeplug(8), "5.10"));
    CarryHost host(true);
    EXPECT_EQ(Carry(host, radio), kPostUpdateUploadFailed);
    EXPECT_TRUE(radio.Received(0x03, 0x07));
    EXPECT_FALSE(radio.Received(0x03, 0x00));
    EXPECT_TRUE(host.m_Component.m_Delays.empty());
    EXPECT_TRUE(host.CodeplugBackupName().empty());
    EXPECT_TRUE(std::regex_search(host.m_Console,
        std::regex("Saving codeplug to Codeplug_[0-9A-F]{16}_[0-9TZ]+\\.bin\\.\\.\\.Failed: cannot "
                   "create .*\\.\n$")))
        << host.m_Console;

    // In window use the operator is told in a box.
    SimulatedRadio radio2(RadioWith(Codeplug(8), "5.10"));
    CarryHost window(false);
    EXPECT_EQ(Carry(window, radio2), kPostUpdateUploadFailed);
    EXPECT_FALSE(radio2.Received(0x03, 0x00));
    ASSERT_EQ(window.m_Boxes.size(), 1u);
    EXPECT_EQ(window.m_Boxes[0].icon, platform::MessageIcon::Error);
    EXPECT_NE(window.m_Boxes[0].text.find("Nothing was written to the radio."), std::string::npos);
}

TEST_F(CodeplugCarry, DownloadBreaksOffIsStoppedOrGetsNoAnswer)
{
    // The radio drops the line in the middle of the download.
    {
        SimulatedRadio radio(RadioWith(
            Codeplug(8), "5.10", { "--fault-stage", "download", "--close-after-block", "3" }));
        CarryHost host(false);
        EXPECT_EQ(Carry(host, radio), kPostUpdateDownloadFailed);
        EXPECT_TRUE(radio.Received(0x03, 0x00));
        ASSERT_EQ(Backups().size(), 1u);
        const std::string name = Backups()[0].filename().string();
        EXPECT_EQ(host.CodeplugBackupName(), name);
        EXPECT_EQ(DownloadFailedStatusText(host.CodeplugBackupName()),
            "An error occurred while downloading the codeplug. The codeplug read from the radio "
            "is saved in "
                + name + ".");
        fs::remove(Backups()[0]);
    }
    EXPECT_EQ(DownloadFailedStatusText(""), "An error occurred while downloading the codeplug.");
    // Stop pressed during the conversion wait: the codeplug is not written.
    {
        SimulatedRadio radio(RadioWith(Codeplug(8), "5.10"));
        CarryHost host(true);
        host.m_Component.m_DuringDelay = [&host] { host.PressStop(); };
        EXPECT_EQ(Carry(host, radio), kPostUpdateDownloadFailed);
        EXPECT_FALSE(radio.Received(0x03, 0x00));
        EXPECT_EQ(Backups().size(), 1u);
        fs::remove(Backups()[0]);
    }
    // No answer to the codeplug information request: nothing is read.
    SimulatedRadio radio(RadioWith(Codeplug(8), "5.10", { "--silent", "format" }));
    CarryHost host(true);
    EXPECT_EQ(Carry(host, radio), kPostUpdateNoAnswer);
    EXPECT_TRUE(radio.Received(0x04, 0x04));
    EXPECT_TRUE(radio.Received(0x04, 0x1C));
    EXPECT_FALSE(radio.Received(0x03, 0x07));
    EXPECT_TRUE(host.m_Console.empty());
    EXPECT_TRUE(host.m_TimedProgress.empty());
    EXPECT_TRUE(Backups().empty());
}

TEST_F(CodeplugCarry, BackupNamingAndExclusiveCreation)
{
    EXPECT_EQ(CodeplugBackupName("001A2B3C4D5E6F70", 1796726712),
        "Codeplug_001A2B3C4D5E6F70_20261208T104512Z.bin");
    EXPECT_EQ(CodeplugBackupName("", 0), "Codeplug_unknown_19700101T000000Z.bin");

    const std::string path = (m_Files / "Codeplug_X.bin").string();
    const Bytes first = { 0x5F, 0x5F, 0x00, 0x40, 0x12, 0x34 };
    std::string error;
    ASSERT_TRUE(SaveCodeplugBackup(path, first.data(), 6, error)) << error;
    EXPECT_EQ(ReadFileBytes(path), first);
    // An existing file is never replaced.
    const Bytes second(384, 0xAA);
    EXPECT_FALSE(SaveCodeplugBackup(path, second.data(), 128, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(path), first);
    // Nothing to save: no file.
    const std::string empty = (m_Files / "empty.bin").string();
    EXPECT_FALSE(SaveCodeplugBackup(empty, first.data(), 0, error));
    EXPECT_FALSE(SaveCodeplugBackup(empty, second.data(), kCodeplugBytes + 1, error));
    EXPECT_FALSE(fs::exists(empty));

    // The same radio read twice in one second keeps both backups (in the
    // working directory).
    std::string name1;
    std::string name2;
    EXPECT_TRUE(CreateCodeplugBackup("00FF", 1796726712, first.data(), 6, name1, error)) << error;
    EXPECT_TRUE(CreateCodeplugBackup("00FF", 1796726712, second.data(), 384, name2, error))
        << error;
    EXPECT_EQ(name1, "Codeplug_00FF_20261208T104512Z.bin");
    EXPECT_EQ(name2, "Codeplug_00FF_20261208T104512Z_2.bin");
    EXPECT_EQ(ReadFileBytes(m_Work / name1), first);
    EXPECT_EQ(ReadFileBytes(m_Work / name2), second);
}

TEST(CodeplugBackup, DownloadProgressInterval)
{
    EXPECT_EQ(DownloadProgressInterval(65536), 983);
    EXPECT_EQ(DownloadProgressInterval(1000), 15);
    EXPECT_EQ(DownloadProgressInterval(5999), 89);
    // A bar timer never runs at 0 ms.
    EXPECT_EQ(DownloadProgressInterval(66), 1);
    EXPECT_EQ(DownloadProgressInterval(0), 1);
}

} // namespace
