#include "codeplug/CodeplugImage.h"
#include "tests/codeplug_convert/CodeplugBuilder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace codeplugtest;
using testsupport::ProcessResult;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

ProcessResult Tool(const std::vector<std::string>& args)
{
    std::vector<std::string> argv { testsupport::BinPath("corvel-codeplug").string() };
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProcess(argv, {}, {}, std::chrono::seconds(30));
}

void ExpectContains(const std::string& text, std::initializer_list<const char*> parts)
{
    for (const char* part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in:\n" << text;
}

} // namespace

TEST(CodeplugTool, InfoAndValidate)
{
    testsupport::TempDir dir;
    CodeplugBuilder b = SmallCodeplug(8);
    b.Header().SetTable(0, 16, 3);
    b.At(2).SetTable(2, 4, 2);
    const std::vector<uint8_t> wire = b.BuildWire();
    WriteFileBytes(dir / "good.cp", wire);

    ProcessResult r = Tool({ "validate", (dir / "good.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ExpectContains(r.out, { "valid: format 5.8, 1 system blocks, 1 list blocks" });
    r = Tool({ "info", (dir / "good.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ExpectContains(r.out,
        { "format: 5.8 (index 3)", "valid: yes", "system number 1, kind 0", "list   ordinal 1",
            " 0:16x3 ", " 2:4x2 ", "directory at +81, 15 tables" });

    std::vector<uint8_t> bad = wire;
    bad[1] = 0x00;
    WriteFileBytes(dir / "bad.cp", bad);
    r = Tool({ "validate", (dir / "bad.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "corvel-codeplug: invalid: the codeplug does not start with a block marker\n");
    r = Tool({ "info", (dir / "bad.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    ExpectContains(r.out, { "valid: no, the codeplug does not start" });

    // Hostile input: a chain whose lengths run off the end, an empty, an
    // oversized and a missing file.
    std::vector<uint8_t> wild(kCodeplugBytes, 0xFF);
    wild[0] = wild[1] = 0x5F;
    WriteFileBytes(dir / "wild.cp", wild);
    r = Tool({ "info", (dir / "wild.cp").string() });
    EXPECT_EQ(r.exitCode, 1);
    ExpectContains(r.out, { "valid: no" });
    WriteFileBytes(dir / "empty.cp", {});
    WriteFileBytes(dir / "big.cp", std::vector<uint8_t>(kCodeplugBytes + 1, 0));
    for (const auto& [file, message] : { std::pair { "empty.cp", "is empty" },
             { "big.cp", "longer than 65536 bytes" }, { "missing.cp", "cannot open" } }) {
        r = Tool({ "validate", (dir / file).string() });
        EXPECT_EQ(r.exitCode, 1) << file;
        ExpectContains(r.err, { message });
    }
}

TEST(CodeplugTool, ConvertDoesWhatTheUpdaterDoes)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> wire = TypicalCodeplug(8, 2, 2, 2).BuildWire();
    WriteFileBytes(dir / "in.cp", wire);
    const auto convert = [&](const std::string& in, const std::string& out, const char* to) {
        return Tool({ "convert", (dir / in).string(), (dir / out).string(), "--to", to });
    };

    // What the file holds is what the updater would write to the radio (the
    // carry-over suite compares the two).
    ProcessResult r = convert("in.cp", "out.cp", "5.10");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> out = ReadFileBytes(dir / "out.cp");
    EXPECT_GT(out.size(), wire.size());
    ExpectContains(
        r.out, { ("converted to 5.10: " + std::to_string(out.size()) + " bytes").c_str() });

    // And back down, with the option written the other way and first.
    r = Tool({ "convert", "--to=5.8", (dir / "out.cp").string(), (dir / "back.cp").string() });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Tool({ "validate", (dir / "back.cp").string() });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ExpectContains(r.out, { "format 5.8" });

    // Same format: a copy.
    EXPECT_EQ(convert("in.cp", "same.cp", "5.8").exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir / "same.cp"), wire);

    // Unsupported format, invalid image, and a conversion stopped by the
    // bounds checks: exit 1 with one line, no output file.
    WriteFileBytes(dir / "old.cp", SmallCodeplug(7).BuildWire());
    std::vector<uint8_t> bad = wire;
    bad[2] = 0xC0;
    WriteFileBytes(dir / "bad.cp", bad);
    WriteFileBytes(dir / "huge.cp", HugeCodeplug().BuildWire());
    for (const auto& [file, to, message] :
        { std::tuple { "old.cp", "5.9", "unsupported parameter format" }, { "bad.cp", "5.9", "" },
            { "huge.cp", "5.10", "conversion stopped" } }) {
        r = convert(file, "x.cp", to);
        EXPECT_EQ(r.exitCode, 1) << file;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        ExpectContains(r.err, { message });
        EXPECT_FALSE(std::filesystem::exists(dir / "x.cp")) << file;
    }
}

TEST(CodeplugTool, CommandLine)
{
    ProcessResult r = Tool({ "--help" });
    EXPECT_EQ(r.exitCode, 0);
    ExpectContains(r.out, { "corvel-codeplug convert IN OUT --to 5.8|5.9|5.10" });

    const std::vector<std::vector<std::string>> wrong
        = { {}, { "frobnicate" }, { "info" }, { "info", "a", "b" }, { "convert", "a", "b" },
              { "convert", "a", "--to", "5.9" }, { "convert", "a", "b", "c", "--to", "5.9" },
              { "convert", "a", "b", "--to" }, { "convert", "a", "b", "--to", "5.11" },
              { "convert", "a", "b", "--to", "5.9", "--to", "5.8" },
              { "convert", "a", "b", "--from", "5.9" } };
    for (const auto& args : wrong) {
        r = Tool(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args[0]) << " " << args.size();
        ExpectContains(r.err, { "corvel-codeplug: ", "Try corvel-codeplug --help." });
    }
}
