// corvel-pack: builds a release (the updater with its firmware appended),
// lists the resources of a release, or writes the demo images.

#include "tools/pack/DemoImages.h"
#include "tools/pack/Packer.h"

#include <charconv>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kUsage
    = "usage:\n"
      "  corvel-pack --base UPDATER --out RELEASE\n"
      "      --family 4400|4600 --series N --upgrade-type application|boot|dsp|application-boot\n"
      "      --platform-flag N --processor 416|816 --boot-version M.N [--boot-two-version M.N]\n"
      "      --programming-app-version TEXT --tuning-app-version TEXT\n"
      "      --app-loader FILE --app-code FILE [--boot-loader FILE --boot-code FILE]\n"
      "      [--boot-two-loader FILE --boot-two-code FILE] [--chunk-size BYTES]\n"
      "      [--resource NAME=FILE ...] [--attributes-file FILE]\n"
      "  corvel-pack --list RELEASE\n"
      "  corvel-pack --demo-images DIR\n"
      "\n"
      "Loaders are S2 images and code images S3 images (a DSP release's code is\n"
      "its object file, stored as it is). Every image is checked before packing.\n"
      "--attributes-file stores a raw attribute record instead of the fields;\n"
      "--resource adds a raw resource as it is.\n";

int UsageError(const std::string& text)
{
    std::cerr << "corvel-pack: " << text << "\n" << kUsage;
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
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--list") {
        if (args.size() != 2)
            return UsageError("--list takes one file");
        return pack::ListRelease(args[1], std::cout, std::cerr);
    }
    if (args[0] == "--demo-images") {
        if (args.size() != 2)
            return UsageError("--demo-images takes one folder");
        std::string error;
        if (!pack::WriteDemoImages(args[1], &error)) {
            std::cerr << "corvel-pack: " << error << "\n";
            return 1;
        }
        return 0;
    }

    // Options with a value: "--name value" or "--name=value".
    std::map<std::string, std::string> values;
    pack::ReleaseOptions o;
    static const char* const known[] = { "--base", "--out", "--family", "--series",
        "--upgrade-type", "--platform-flag", "--processor", "--boot-version", "--boot-two-version",
        "--programming-app-version", "--tuning-app-version", "--app-loader", "--app-code",
        "--boot-loader", "--boot-code", "--boot-two-loader", "--boot-two-code", "--chunk-size",
        "--resource", "--attributes-file" };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else {
            if (i + 1 >= args.size())
                return UsageError(name + " needs a value");
            value = args[++i];
        }
        bool isKnown = false;
        for (const char* k : known)
            isKnown = isKnown || name == k;
        if (!isKnown)
            return UsageError("unknown option " + name);
        if (name == "--resource") {
            const std::size_t sep = value.find('=');
            if (sep == std::string::npos || sep == 0)
                return UsageError("--resource takes NAME=FILE");
            o.rawResources.emplace_back(value.substr(0, sep), value.substr(sep + 1));
            continue;
        }
        if (values.count(name) != 0)
            return UsageError(name + " given twice");
        values[name] = value;
    }
    auto get = [&](const char* name) -> std::string {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    };
    auto has = [&](const char* name) { return values.count(name) != 0; };

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
