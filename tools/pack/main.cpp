// corvel-pack: builds a release (the updater with its firmware appended),
// lists the resources of a release, or writes the demo images.

#include "tools/pack/DemoImages.h"
#include "tools/pack/Packer.h"

#include "tools/common/ToolCli.h"

#include <charconv>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <string_view>

namespace {

constexpr const char* kProgram = "corvel-pack";

int UsageError(const std::string& text)
{
    std::cerr << kProgram << ": " << text << "\nTry " << kProgram << " --help.\n";
    return 2;
}

bool ParseInt(std::string_view text, long long low, long long high, long long& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty() && value >= low && value <= high;
}

bool ParseVersion(std::string_view text, std::uint32_t& major, std::uint32_t& minor)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos)
        return false;
    long long a = 0;
    long long b = 0;
    if (!ParseInt(text.substr(0, dot), 0, 0xFFFFFFFFll, a)
        || !ParseInt(text.substr(dot + 1), 0, 0xFFFFFFFFll, b)) {
        return false;
    }
    major = static_cast<std::uint32_t>(a);
    minor = static_cast<std::uint32_t>(b);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app;
    toolcli::Prepare(app,
        { kProgram,
            "corvel-pack --base UPDATER --out RELEASE\n"
            "    --family 4400|4600 --series N --upgrade-type "
            "application|boot|dsp|application-boot\n"
            "    --platform-flag N --processor 416|816 --boot-version M.N [--boot-two-version "
            "M.N]\n"
            "    --programming-app-version TEXT --tuning-app-version TEXT\n"
            "    --app-loader FILE --app-code FILE [--boot-loader FILE --boot-code FILE]\n"
            "    [--boot-two-loader FILE --boot-two-code FILE] [--chunk-size BYTES]\n"
            "    [--resource NAME=FILE ...] [--attributes-file FILE]\n"
            "corvel-pack --list RELEASE\n"
            "corvel-pack --demo-images DIR",
            "Builds a release (the updater with its firmware appended), lists what a\n"
            "release holds, or writes demo images. Loaders are S2 images, but a release\n"
            "of upgrade type dsp needs an S3 loader (the DSP download sends every loader\n"
            "line as an S3 record); code images are S3 images, and a DSP release's code\n"
            "is its object file, stored as it is. Every image is checked before packing.\n"
            "Options may also be written --name=value.",
            "Exit status: 0 written (or --list found everything sound), 1 an image or\n"
            "file refused (nothing written) or a damaged resource listed, 2 a wrong\n"
            "command line (or --list found no readable archive)." });

    // Each option once; --resource as often as needed.
    std::map<std::string, std::string> values;
    pack::ReleaseOptions o;
    std::string group;
    auto value = [&](const std::string& name, const std::string& shown, const std::string& help) {
        app.add_option_function<std::string>(
               name,
               [&values, name](const std::string& v) {
                   if (!values.emplace(name, v).second)
                       throw CLI::ValidationError(name + " given twice");
               },
               help)
            ->type_name(shown)
            ->group(group)
            ->trigger_on_parse();
    };
    group = "Release";
    value("--base", "UPDATER", "the updater executable to copy (its resources are replaced)");
    value("--out", "RELEASE", "the release to write (through a temporary name)");
    group = "Fields (required unless --attributes-file is given)";
    value("--family", "4400|4600", "the radio family");
    value("--series", "N", "the release series, -128 to 255");
    value("--upgrade-type", "application|boot|dsp|application-boot", "the kind of upgrade");
    value("--platform-flag", "N", "0 to 255");
    value("--processor", "416|816", "the radio's processor");
    value("--boot-version", "M.N", "version of the boot set");
    value("--boot-two-version", "M.N", "version of the second boot set (with that set only)");
    value("--programming-app-version", "TEXT", "at most 9 characters");
    value("--tuning-app-version", "TEXT", "at most 9 characters");
    group = "Images";
    value("--app-loader", "FILE",
        "loader of the application set (required): S2, or S3 for\nupgrade type dsp");
    value("--app-code", "FILE",
        "code of the application set (required): S3, or the DSP\n"
        "object file for upgrade type dsp");
    value("--boot-loader", "FILE",
        "loader of the boot set (S2); both or neither, required\n"
        "for application-boot");
    value("--boot-code", "FILE", "code of the boot set (S3)");
    value("--boot-two-loader", "FILE", "loader of the second boot set (S2); both or neither");
    value("--boot-two-code", "FILE", "code of the second boot set (S3)");
    group = "Other";
    value("--chunk-size", "BYTES", "largest chunk of an image (default 1022976)");
    app.add_option_function<std::string>(
           "--resource",
           [&o](const std::string& v) {
               const std::size_t sep = v.find('=');
               if (sep == std::string::npos || sep == 0)
                   throw CLI::ValidationError("--resource takes NAME=FILE");
               o.rawResources.emplace_back(v.substr(0, sep), v.substr(sep + 1));
           },
           "add a raw resource as it is (for test releases)")
        ->type_name("NAME=FILE")
        ->group(group)
        ->trigger_on_parse();
    value("--attributes-file", "FILE",
        "store a raw attribute record instead of the fields\n(for test releases)");
    value("--list", "RELEASE",
        "print every resource with its type, size and digest\nstate, then the attribute record");
    value("--demo-images", "DIR",
        "write four synthetic images of the shipped release's\n"
        "shape into DIR");
    app.get_help_ptr()->group(group);
    app.get_version_ptr()->group(group);

    if (argc < 2)
        return UsageError("no options given");
    if (auto done = toolcli::Parse(app, argc, argv))
        return *done;
    auto get = [&](const char* name) -> std::string {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    };
    auto has = [&](const char* name) { return values.count(name) != 0; };

    for (const char* mode : { "--list", "--demo-images" }) {
        if (has(mode) && (values.size() > 1 || !o.rawResources.empty()))
            return UsageError(std::string(mode) + " goes alone");
    }
    if (has("--list"))
        return pack::ListRelease(get("--list"), std::cout, std::cerr);
    if (has("--demo-images")) {
        std::string error;
        if (!pack::WriteDemoImages(get("--demo-images"), &error)) {
            std::cerr << kProgram << ": " << error << "\n";
            return 1;
        }
        return 0;
    }

    o.base = get("--base");
    o.out = get("--out");
    o.appLoader = get("--app-loader");
    o.appCode = get("--app-code");
    o.bootLoader = get("--boot-loader");
    o.bootCode = get("--boot-code");
    o.bootTwoLoader = get("--boot-two-loader");
    o.bootTwoCode = get("--boot-two-code");
    o.attributesFile = get("--attributes-file");
    if (o.base.empty())
        return UsageError("--base is required");
    if (o.out.empty())
        return UsageError("--out is required");

    long long number = 0;
    if (has("--chunk-size")) {
        if (!ParseInt(get("--chunk-size"), 1, 1ll << 31, number)) {
            return UsageError("--chunk-size takes a number of bytes from 1 to 2147483648");
        }
        o.chunkSize = static_cast<std::uint64_t>(number);
    }

    if (o.attributesFile.empty()) {
        for (const char* required : { "--family", "--series", "--upgrade-type", "--platform-flag",
                 "--processor", "--boot-version", "--programming-app-version",
                 "--tuning-app-version", "--app-loader", "--app-code" }) {
            if (!has(required))
                return UsageError(std::string(required) + " is required");
        }
    }
    if (has("--family")) {
        const std::string family = get("--family");
        if (family == "4400")
            o.family = 0;
        else if (family == "4600")
            o.family = 1;
        else
            return UsageError("--family takes 4400 or 4600");
    }
    if (has("--series")) {
        if (!ParseInt(get("--series"), -128, 255, number))
            return UsageError("--series takes a number from -128 to 255");
        o.series = static_cast<int>(number);
    }
    if (has("--upgrade-type")) {
        static const std::map<std::string, int> types
            = { { "application", 0 }, { "boot", 1 }, { "dsp", 2 }, { "application-boot", 3 } };
        const auto it = types.find(get("--upgrade-type"));
        if (it == types.end())
            return UsageError("--upgrade-type takes application, boot, dsp or application-boot");
        o.upgradeType = it->second;
    }
    if (has("--platform-flag")) {
        if (!ParseInt(get("--platform-flag"), 0, 255, number))
            return UsageError("--platform-flag takes 0 to 255");
        o.platformFlag = static_cast<int>(number);
    }
    if (has("--processor")) {
        const std::string processor = get("--processor");
        if (processor == "416")
            o.processor416 = true;
        else if (processor == "816")
            o.processor416 = false;
        else
            return UsageError("--processor takes 416 or 816");
    }
    if (has("--boot-version") && !ParseVersion(get("--boot-version"), o.bootMajor, o.bootMinor)) {
        return UsageError("--boot-version takes MAJOR.MINOR");
    }
    if (has("--boot-two-version")
        && !ParseVersion(get("--boot-two-version"), o.bootTwoMajor, o.bootTwoMinor)) {
        return UsageError("--boot-two-version takes MAJOR.MINOR");
    }
    o.programmingAppVersion = get("--programming-app-version");
    o.tuningAppVersion = get("--tuning-app-version");

    std::string error;
    if (!pack::BuildRelease(o, std::cerr, &error)) {
        std::cerr << "corvel-pack: " << error << "\n";
        return 1;
    }
    std::cout << "corvel-pack: wrote " << o.out << "\n";
    return 0;
}
