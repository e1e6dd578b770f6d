// corvel-codeplug read and write as a technician runs them, against the
// simulated radio: refusals that send nothing, end of input at the password
// prompt, the result lines when the output is not a terminal, and the
// history record of every run (the records of writes that get further are
// RestoreTest's).

#include "tests/codeplug_carry/CarryRig.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "workflow/History.h"

#include <gtest/gtest.h>

#include <regex>

namespace fs = std::filesystem;
using carrytest::Bytes;
using carrytest::SimulatedRadio;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// The history of the runs goes to a folder of its own.
const TempDir& StateHome()
{
    static const TempDir state;
    return state;
}

ProcessResult Tool(const SimulatedRadio& radio, const std::vector<std::string>& args,
    const std::string& input = {}, const fs::path& workDir = {})
{
    std::vector<std::string> argv { testsupport::BinPath("corvel-codeplug").string() };
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProcess(argv,
        { { "CORVEL_COM_DIR", radio.ComDir().string() },
            { "XDG_STATE_HOME", StateHome().Path().string() } },
        input, std::chrono::minutes(2), workDir);
}

} // namespace

TEST(CodeplugToolJobs, RefusalsSendNothingAndEndOfInputCancels)
{
    TempDir files;
    const Bytes radioCodeplug = codeplugtest::TypicalCodeplug(9, 1, 1, 1).BuildWire();
    WriteFileBytes(files / "radio.bin", radioCodeplug);
    SimulatedRadio radio({ "--format-version", "5.9", "--serial", "001A2B3C4D5E6F70", "--codeplug",
        (files / "radio.bin").string(), "--codeplug-out", (files / "stored.bin").string(),
        "--password", "4711" });
    ASSERT_GT(radio.Port(), 0);
    const std::string port = std::to_string(radio.Port());

    Bytes broken = radioCodeplug;
    broken[3] ^= 0x01; // the header's length
    WriteFileBytes(files / "broken.bin", broken);
    WriteFileBytes(files / "old.bin", codeplugtest::SmallCodeplug(7).BuildWire());
    for (const auto& [file, reason] : { std::pair { "broken.bin", "not valid" },
             { "old.bin", "parameter format 5.7" }, { "missing.bin", "cannot open" } }) {
        const ProcessResult r = Tool(radio, { "write", "--port", port, (files / file).string() });
        EXPECT_EQ(r.exitCode, 1) << file;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(radio.Received(4, 4)) << "not even the identifier was asked for";

    // End of input at the password prompt: nothing written, no backup.
    TempDir work;
    WriteFileBytes(files / "restore.bin", radioCodeplug);
    ProcessResult r = Tool(
        radio, { "write", "--port", port, (files / "restore.bin").string() }, "", work.Path());
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(work.Path()));
    EXPECT_FALSE(radio.Received(3, 0));
    EXPECT_FALSE(fs::exists(files / "stored.bin"));

    // Read with the password from standard input: one result line.
    r = Tool(radio, { "read", "--port", port, work.Path().string() }, "4711\n");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    const std::string line = r.out.substr(0, r.out.size() - 1);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match,
        std::regex("read ([0-9]+) bytes \\(format 5\\.9\\) from radio 001A2B3C4D5E6F70 into "
                   "(.*/Codeplug_001A2B3C4D5E6F70_[0-9]{8}T[0-9]{6}Z\\.bin)")))
        << line;
    const Bytes read = ReadFileBytes(match[2].str());
    EXPECT_EQ(read.size(), std::stoul(match[1].str()));
    const size_t chain = 2 * (((radioCodeplug[8] << 8) | radioCodeplug[9]) - 128u);
    ASSERT_GE(read.size(), chain);
    EXPECT_TRUE(std::equal(
        read.begin(), read.begin() + static_cast<std::ptrdiff_t>(chain), radioCodeplug.begin()));

    // A wrong password read from a file.
    WriteFileBytes(files / "password", { '1', '2', '\n' });
    r = Tool(radio,
        { "read", "--port", port, "--password-file", (files / "password").string(),
            (files / "out.bin").string() });
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("refused the codeplug password"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(files / "out.bin"));

    // One record per run, each on a line of its own.
    int skipped = 0;
    const std::vector<nlohmann::json> records = history::ReadHistory(
        (StateHome().Path() / "corvel" / "history.jsonl").string(), &skipped);
    EXPECT_EQ(skipped, 0);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0]["mode"], "codeplug-write");
    EXPECT_EQ(records[0]["outcome"], "refused");
    EXPECT_TRUE(records[0]["radio"]["identifier"].is_null());
    EXPECT_EQ(records[0]["port"], radio.Port());
    // The cancelled write knew the radio, and saved nothing.
    EXPECT_EQ(records[3]["outcome"], "refused");
    EXPECT_EQ(records[3]["radio"]["identifier"], "001A2B3C4D5E6F70");
    EXPECT_TRUE(records[3]["backup"].is_null());
    const nlohmann::json& readRecord = records[4];
    EXPECT_EQ(readRecord["mode"], "codeplug-read");
    EXPECT_EQ(readRecord["return_code"], 0);
    EXPECT_EQ(readRecord["radio"]["identifier"], "001A2B3C4D5E6F70");
    EXPECT_EQ(readRecord["radio"]["codeplug_format_before"], "5.9");
    EXPECT_EQ(readRecord["backup"], match[2].str());
    EXPECT_EQ(readRecord["final_text"], line);
    EXPECT_EQ(records[5]["return_code"], 1);
}
