// corvel-codeplug: looks into, checks and converts codeplug files offline,
// with the same code the updater runs after an update, and reads and writes
// the codeplug of a radio on a COM port.

#include "codeplug/CodeplugConvert.h"
#include "codeplug/CodeplugFile.h"
#include "codeplug/CodeplugImage.h"
#include "tools/codeplug/RadioJob.h"

#include "tools/common/ToolCli.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

// The help: the commands and what they do; the options are listed by the
// shared command-line frame.
const toolcli::ProgramText kText = {
    "corvel-codeplug",
    "corvel-codeplug info FILE\n"
    "corvel-codeplug validate FILE\n"
    "corvel-codeplug convert IN OUT --to 5.8|5.9|5.10\n"
    "corvel-codeplug read --port N FILE|DIR [--password-file F]\n"
    "corvel-codeplug write --port N FILE [--other-radio] [--password-file F]",
    "Commands:\n"
    "  info      Shows the format version, the block chain with the kind, system and\n"
    "            list blocks, and every block's tables (record count x record size).\n"
    "  validate  Checks the block chain. Exit 0 when valid, 1 (with the reason) when\n"
    "            not.\n"
    "  convert   Converts IN to the given parameter format the way the updater does\n"
    "            after an update (including the 5.10 defaults) and writes OUT.\n"
    "  read      Reads the codeplug of the radio on COM port N (running its\n"
    "            application code, 19200 bit/s) into FILE, or into DIR under the name\n"
    "            the updater gives its backups. Exit 0 read, 1 not saved or password\n"
    "            refused, 2 communication failure.\n"
    "  write     Writes FILE into the radio on COM port N: checks FILE, reads the\n"
    "            radio's identifier and format, refuses another radio's backup unless\n"
    "            --other-radio is given, saves the radio's current codeplug as a\n"
    "            backup in the working folder, converts FILE to the radio's format,\n"
    "            writes it and reads it back to verify it. Exit 0 written and\n"
    "            verified, 1 refused (nothing written) or verify failed, 2\n"
    "            communication failure.\n"
    "\n"
    "Files hold the codeplug as uploaded from a radio: 16-bit words, most\n"
    "significant byte first, at most 65536 bytes.\n"
    "When the radio asks for its codeplug password, it is read from the file\n"
    "given with --password-file, asked for without echo on a terminal, or read\n"
    "as one line from standard input; end of input cancels.",
    "Exit codes of info, validate and convert: 0 success, 1 invalid image,\n"
    "unsupported format or failed conversion, 2 wrong command line.",
};

int Failure(const std::string& text)
{
    std::fprintf(stderr, "corvel-codeplug: %s\n", text.c_str());
    return kExitFailed;
}

// A codeplug file in host-order words, with the outcome of its check.
struct LoadedImage {
    int byteCount = 0;
    std::vector<uint16_t> words;
    std::optional<CodeplugImage> image;
    bool valid = false;
    std::string reason; // why the check failed
};

bool Load(const std::string& path, LoadedImage& loaded, std::string& error)
{
    std::vector<uint8_t> bytes;
    if (!ReadCodeplugFile(path, bytes, loaded.byteCount, error))
        return false;
    loaded.words.assign(kCodeplugWords, 0);
    DecodeWireWords(bytes.data(), loaded.byteCount, loaded.words.data());
    loaded.image.emplace(loaded.words.data(), (loaded.byteCount + 1) / 2);
    loaded.valid = CheckCodeplug(*loaded.image, &loaded.reason);
    return true;
}

// "N system blocks, M list blocks" as header word 14 announces them.
std::string CountsText(CodeplugImage& image)
{
    return std::to_string(GetSystemCount(image)) + " system blocks, "
        + std::to_string(GetListCount(image)) + " list blocks";
}

std::string VersionText(uint16_t word)
{
    return FormatVersionText(
        { static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF) });
}

int Info(const std::string& path)
{
    LoadedImage loaded;
    std::string error;
    if (!Load(path, loaded, error))
        return Failure(error);
    CodeplugImage& image = *loaded.image;
    const uint16_t version = image.Word(kHeaderWordVersion);
    const int index = CodeplugFormatIndex(image);
    const bool split510 = index == kFormatIndex510;

    std::printf("file: %s (%d bytes)\n", path.c_str(), loaded.byteCount);
    if (index == kUnknownFormatIndex)
        std::printf("format: %s (unknown)\n", VersionText(version).c_str());
    else
        std::printf("format: %s (index %d)\n", VersionText(version).c_str(), index);
    const int chainEnd = GetChainEnd(image);
    std::printf("chain end: word %d (header word 4 = %d)\n", chainEnd - kChainTrailer, chainEnd);
    std::printf("radio kind code: %d\n", GetRadioKind(image));
    std::printf("announced: %s\n", CountsText(image).c_str());
    std::printf("valid: %s\n", loaded.valid ? "yes" : ("no, " + loaded.reason).c_str());
    std::printf("blocks (directory in the %s split):\n", split510 ? "5.10" : "5.9");

    const char* const typeNames[] = { "header", "kind", "system", "list" };
    int listOrdinal = 0;
    for (BlockWalk walk(image, ChainBound::ChainEnd); walk.Next();) {
        const int pos = walk.Start();
        const uint16_t directory = image.Word(pos + 2);
        const int tables
            = split510 ? directory >> kDirectoryCountShift : directory >> kOldDirectoryCountShift;
        const int offset = directory & (split510 ? kDirectoryOffsetMask : kOldDirectoryOffsetMask);
        std::string id;
        if (walk.Type() == BlockType::Kind)
            id = "kind " + std::to_string(walk.Kind());
        else if (walk.Type() == BlockType::System)
            id = "number " + std::to_string(image.Word(pos + 3) & kSystemNumberMask) + ", kind "
                + std::to_string(walk.Kind());
        else if (walk.Type() == BlockType::List)
            id = "ordinal " + std::to_string(++listOrdinal);
        std::printf("  word %5d  %-6s %-18s length %5d  directory at +%d, %d tables\n", pos,
            typeNames[static_cast<int>(walk.Type())], id.c_str(), walk.Length(), offset, tables);
        if (tables > 0 && image.InRange(pos + offset, tables)) {
            std::string line = "     ";
            for (int k = 0; k < tables; ++k) {
                const uint16_t descriptor = image.Word(pos + offset + k);
                line += " " + std::to_string(k) + ":"
                    + std::to_string(descriptor >> kRecordCountShift) + "x"
                    + std::to_string(descriptor & kRecordSizeMask);
            }
            std::printf("%s\n", line.c_str());
        }
    }
    return loaded.valid ? kExitOk : kExitFailed;
}

int Validate(const std::string& path)
{
    LoadedImage loaded;
    std::string error;
    if (!Load(path, loaded, error))
        return Failure(error);
    if (!loaded.valid)
        return Failure("invalid: " + loaded.reason);
    CodeplugImage& image = *loaded.image;
    std::printf("valid: format %s, %s\n", VersionText(image.Word(kHeaderWordVersion)).c_str(),
        CountsText(image).c_str());
    return kExitOk;
}

bool ParseTarget(const std::string& text, uint8_t& minor)
{
    if (text == "5.8")
        minor = 8;
    else if (text == "5.9")
        minor = 9;
    else if (text == "5.10")
        minor = 10;
    else
        return false;
    return true;
}

int Convert(const std::string& in, const std::string& out, const std::string& target)
{
    uint8_t minor = 0;
    if (!ParseTarget(target, minor))
        return toolcli::UsageError(
            kText.name, "unknown target format " + target + " (5.8, 5.9 or 5.10)");

    std::vector<uint8_t> buffer;
    int byteCount = 0;
    std::string error;
    if (!ReadCodeplugFile(in, buffer, byteCount, error))
        return Failure(error);
    int newLength = 0;
    const CodeplugConvertOutcome outcome
        = ConvertCodeplugImage(buffer.data(), byteCount, 5, minor, newLength, error);
    switch (outcome) {
    case CodeplugConvertOutcome::Converted:
    case CodeplugConvertOutcome::SameFormat:
        break;
    default:
        return Failure(error);
    }
    if (!WriteCodeplugFile(out, buffer.data(), newLength, error))
        return Failure(error);
    if (outcome == CodeplugConvertOutcome::SameFormat)
        std::printf("already format %s: copied %d bytes\n", target.c_str(), newLength);
    else
        std::printf("converted to %s: %d bytes (was %d)\n", target.c_str(), newLength, byteCount);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app;
    toolcli::Prepare(app, kText);
    if (argc < 2)
        return toolcli::UsageError(app, "no command given");
    if (std::string(argv[1]) == "help") {
        std::fputs(app.help().c_str(), stdout);
        return kExitOk;
    }
    app.require_subcommand(1);

    std::string file;
    CLI::App* info = app.add_subcommand("info");
    info->add_option("FILE", file)->required();
    CLI::App* validate = app.add_subcommand("validate");
    validate->add_option("FILE", file)->required();

    std::vector<std::string> files;
    std::string target;
    CLI::App* convert = app.add_subcommand("convert");
    convert->add_option("IN OUT", files)->expected(2)->required();
    convert->add_option("--to", target)
        ->required()
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);

    RadioJobOptions radio;
    CLI::App* read = app.add_subcommand("read");
    CLI::App* write = app.add_subcommand("write");
    for (CLI::App* job : { read, write }) {
        job->add_option("--port", radio.port)->required()->check(CLI::Range(1, 255));
        job->add_option("--password-file", radio.passwordFile);
        job->add_option(job == read ? "FILE|DIR" : "FILE", file)->required();
    }
    write->add_flag("--other-radio", radio.otherRadio);

    if (auto done = toolcli::Parse(app, argc, argv))
        return *done;
    if (*info)
        return Info(file);
    if (*validate)
        return Validate(file);
    if (*convert)
        return Convert(files[0], files[1], target);
    return RunRadioJob(*read ? RadioJob::Read : RadioJob::Write, file, radio);
}
