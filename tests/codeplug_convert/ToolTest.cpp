#include "codeplug/CodeplugConvert.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace codeplugtest;
using testsupport::BinPath;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

ProcessResult Tool(const std::vector<std::string>& args)
{
    std::vector<std::string> argv { BinPath("corvel-codeplug").string() };
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, {}, {}, std::chrono::seconds(30));
}

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(CodeplugTool, InfoAndValidate)
{
    TempDir dir;
    CodeplugBuilder b(5, 8);
    b.Header().SetTable(0, 16, 3);
    b.AddKind(0);
    b.AddSystem(1, 0).SetTable(2, 4, 2);
    b.AddList();
    const std::vector<uint8_t> wire = b.BuildWire();
    WriteFileBytes(dir / "good.cp", wire);

    ProcessResult r = Tool({ "validate", (dir / "good.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("valid: format 5.8, 1 system blocks, 1 list blocks"), std::string::npos)
        << r.out;

    r = Tool({ "info", (dir / "good.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("format: 5.8 (index 3)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("valid: yes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("system number 1, kind 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("list   ordinal 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 0:16x3 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 2:4x2 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("directory at +81, 15 tables"), std::string::npos) << r.out;

    std::vector<uint8_t> bad = wire;
    bad[1] = 0x00;
    WriteFileBytes(dir / "bad.cp", bad);
    r = Tool({ "validate", (dir / "bad.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "corvel-codeplug: invalid: the codeplug does not start with a block marker\n");
    r = Tool({ "info", (dir / "bad.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("valid: no, the codeplug does not start"), std::string::npos) << r.out;

    // Hostile input: a chain whose lengths run off the end, an empty and an
    // oversized file.
    std::vector<uint8_t> wild(kCodeplugBytes, 0xFF);
    wild[0] = 0x5F;
    wild[1] = 0x5F;
    WriteFileBytes(dir / "wild.cp", wild);
    r = Tool({ "info", (dir / "wild.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("valid: no"), std::string::npos);
    WriteFileBytes(dir / "empty.cp", {});
    r = Tool({ "validate", (dir / "empty.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is empty"), std::string::npos) << r.err;
    WriteFileBytes(dir / "big.cp", std::vector<uint8_t>(kCodeplugBytes + 1, 0));
    r = Tool({ "validate", (dir / "big.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("longer than 65536 bytes"), std::string::npos) << r.err;
    r = Tool({ "validate", (dir / "missing.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

TEST(CodeplugTool, ConvertDoesWhatTheUpdaterDoes)
{
    TempDir dir;
    const CodeplugBuilder b = TypicalCodeplug(8, 2, 2, 2);
    const std::vector<uint8_t> wire = b.BuildWire();
    WriteFileBytes(dir / "in.cp", wire);

    std::vector<uint8_t> expected = wire;
    expected.resize(kCodeplugBytes, 0);
    int newLength = 0;
    std::string error;
    ASSERT_EQ(ConvertCodeplugImage(
                  expected.data(), static_cast<int>(wire.size()), 5, 10, newLength, error),
        CodeplugConvertOutcome::Converted);
    expected.resize(static_cast<size_t>(newLength));

    ProcessResult r
        = Tool({ "convert", (dir / "in.cp").string(), (dir / "out.cp").string(), "--to", "5.10" });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "out.cp"), expected);
    EXPECT_NE(
        r.out.find("converted to 5.10: " + std::to_string(newLength) + " bytes"), std::string::npos)
        << r.out;

    // And back down, with the option written the other way and first.
    r = Tool({ "convert", "--to=5.8", (dir / "out.cp").string(), (dir / "back.cp").string() });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Tool({ "validate", (dir / "back.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("format 5.8"), std::string::npos);

    // Same format: a copy.
    r = Tool({ "convert", (dir / "in.cp").string(), (dir / "same.cp").string(), "--to", "5.8" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "same.cp"), wire);

    // Unsupported format and invalid image: exit 1 with one line, no output file.
    CodeplugBuilder old(5, 7);
    old.AddKind(0);
    old.AddSystem(1, 0);
    old.AddList();
    WriteFileBytes(dir / "old.cp", old.BuildWire());
    r = Tool({ "convert", (dir / "old.cp").string(), (dir / "x.cp").string(), "--to", "5.9" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("unsupported parameter format"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "x.cp"));
    std::vector<uint8_t> bad = wire;
    bad[2] = 0xC0;
    WriteFileBytes(dir / "bad.cp", bad);
    r = Tool({ "convert", (dir / "bad.cp").string(), (dir / "x.cp").string(), "--to", "5.9" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "x.cp"));

    // A conversion stopped by the bounds checks.
    CodeplugBuilder huge(5, 9);
    huge.Header().SetTable(1, 16, 255);
    huge.AddKind(0);
    huge.AddSystem(1, 0);
    huge.AddList().SetTable(5, 255, 60);
    huge.AddList().SetTable(5, 200, 40);
    WriteFileBytes(dir / "huge.cp", huge.BuildWire());
    r = Tool({ "convert", (dir / "huge.cp").string(), (dir / "x.cp").string(), "--to", "5.10" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("conversion stopped"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "x.cp"));
}

TEST(CodeplugTool, CommandLine)
{
    ProcessResult r = Tool({ "--help" });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("corvel-codeplug convert IN OUT --to 5.8|5.9|5.10"), std::string::npos);

    const std::vector<std::vector<std::string>> wrong = {
        {},
        { "frobnicate" },
        { "info" },
        { "info", "a", "b" },
        { "convert", "a", "b" },
        { "convert", "a", "--to", "5.9" },
        { "convert", "a", "b", "c", "--to", "5.9" },
        { "convert", "a", "b", "--to" },
        { "convert", "a", "b", "--to", "5.11" },
        { "convert", "a", "b", "--to", "5.9", "--to", "5.8" },
        { "convert", "a", "b", "--from", "5.9" },
    };
    for (const auto& args : wrong) {
        r = Tool(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args[0]) << " " << args.size();
        EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    }
}
