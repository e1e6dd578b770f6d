// The files the package installs besides the programs: the udev rule must
// match the adapters the port list recognises, the desktop entry must start
// the updater with the installed icon, and each man page must describe every
// option its program accepts.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/TestSupport.h"
#include "tools/ports/PortReport.h"

namespace fs = std::filesystem;
using testsupport::ReadFileText;
using testsupport::SourcePath;

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::set<std::string> LongOptions(const std::string& text)
{
    std::set<std::string> options;
    static const std::regex option("--[a-z][a-z0-9-]*[a-z0-9]");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    return options;
}

} // namespace

TEST(PackagingFiles, UdevRuleSetsUpBothProgrammingAdapters)
{
    const std::string text
        = ReadFileText(SourcePath("packaging/60-corvel-programming-adapters.rules"));
    // KEY{attr}OP"value", the operators by the kind of key: matches compare,
    // assignments assign. A '=' in a match silently never matches; ENV and
    // ATTR may be either.
    static const std::regex pair(R"(^([A-Z_]+)(\{[^}]+\})?(==|!=|=|\+=|:=)\"([^\"]*)\"$)");
    static const std::set<std::string> matchKeys = { "ACTION", "SUBSYSTEM", "SUBSYSTEMS", "KERNEL",
        "KERNELS", "ATTRS", "DRIVER", "DRIVERS" };
    static const std::set<std::string> assignKeys
        = { "GROUP", "MODE", "OWNER", "TAG", "SYMLINK", "RUN" };
    static const std::set<std::string> eitherKeys = { "ENV", "ATTR" };

    // The rules by subsystem and product.
    std::map<std::string, std::map<std::string, std::string>> rules;
    for (const std::string& line : Lines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::map<std::string, std::string> rule;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) {
            while (!field.empty() && field.front() == ' ')
                field.erase(0, 1);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(field, m, pair)) << "bad field '" << field << "'";
            const bool match = m[3] == "==" || m[3] == "!=";
            if (matchKeys.count(m[1]) != 0) {
                EXPECT_TRUE(match) << field;
            } else if (eitherKeys.count(m[1]) == 0) {
                EXPECT_EQ(assignKeys.count(m[1]), 1u) << "unknown key in " << field;
                EXPECT_FALSE(match) << field;
            }
            rule[m[1].str() + m[2].str() + (match ? "==" : "=")] = m[4];
        }
        const std::string key = rule["SUBSYSTEM=="] + " " + rule["ATTRS{product}=="];
        EXPECT_TRUE(rules.emplace(key, rule).second) << "two rules for " << key;
    }

    // The product strings must be the ones the port list marks as adapters.
    std::set<std::string> series;
    for (const auto& [key, rule] : rules) {
        const std::string product = rule.at("ATTRS{product}==");
        std::string kind;
        EXPECT_EQ(ports::ListAdapterPort(product + " (COM12)", kind), 12) << product;
        EXPECT_EQ(product, "USB RPI QUV " + kind);
        series.insert(kind);
    }
    EXPECT_EQ(series, (std::set<std::string> { "4400", "4600" }));
    ASSERT_EQ(rules.size(), 4u);
    for (const std::string kind : { "4400", "4600" }) {
        SCOPED_TRACE(kind);
        // The port: the group dialout may use it, ModemManager keeps away.
        const auto& port = rules["tty USB RPI QUV " + kind];
        EXPECT_EQ(port.at("GROUP="), "dialout");
        EXPECT_EQ(port.at("MODE="), "0660");
        EXPECT_EQ(port.at("ENV{ID_MM_DEVICE_IGNORE}="), "1");
        // An FTDI adapter hands on received bytes after 1 ms, not 16.
        const auto& serial = rules["usb-serial USB RPI QUV " + kind];
        EXPECT_EQ(serial.at("ACTION=="), "add");
        EXPECT_EQ(serial.at("DRIVER=="), "ftdi_sio");
        EXPECT_EQ(serial.at("ATTR{latency_timer}="), "1");
    }
}

TEST(PackagingFiles, DesktopEntryStartsTheUpdaterWithTheInstalledIcon)
{
    const fs::path entry = SourcePath("packaging/corvel-code-updater.desktop");
    const std::vector<std::string> lines = Lines(ReadFileText(entry));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "[Desktop Entry]");
    std::map<std::string, std::string> keys;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty() || lines[i][0] == '#')
            continue;
        const size_t eq = lines[i].find('=');
        ASSERT_NE(eq, std::string::npos) << lines[i];
        EXPECT_TRUE(keys.emplace(lines[i].substr(0, eq), lines[i].substr(eq + 1)).second)
            << "duplicate key in " << lines[i];
    }
    EXPECT_EQ(keys["Type"], "Application");
    EXPECT_EQ(keys["Name"], "Corvel Code Updater");
    EXPECT_EQ(keys["Exec"], "corvel-updater");
    EXPECT_EQ(keys["Terminal"], "false");
    EXPECT_TRUE(fs::exists(SourcePath("packaging/" + keys["Icon"] + ".svg"))) << keys["Icon"];

    // The desktop tools' own check, where they are installed.
    const fs::path validate = "/usr/bin/desktop-file-validate";
    if (fs::exists(validate)) {
        auto r = testsupport::RunProcess({ validate.string(), entry.string() });
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
}

TEST(PackagingFiles, ManPagesDescribeEveryOptionOfTheirProgram)
{
    for (const std::string program : { "corvel-pack", "corvel-radio-sim", "corvel-codeplug",
             "corvel-ports", "corvel-station" }) {
        auto r = testsupport::RunProcess({ testsupport::BinPath(program).string(), "--help" });
        const std::set<std::string> options = LongOptions(r.out + r.err);
        EXPECT_GE(options.size(), 2u) << program << ": no options in --help:\n" << r.out << r.err;
        const std::string page = ReadFileText(SourcePath("docs/man/" + program + ".1.scd"));
        EXPECT_EQ(page.rfind(program + "(1) ", 0), 0u) << program;
        for (const std::string& option : options)
            EXPECT_NE(page.find(option), std::string::npos)
                << program << ".1 does not describe " << option;
    }
}

namespace {

// The version the build gives every program: project(... VERSION x.y.z ...).
std::string ProjectVersion()
{
    static const std::regex project(R"(project\(CorvelCodeUpdater VERSION ([0-9.]+))");
    const std::string text = ReadFileText(SourcePath("CMakeLists.txt"));
    std::smatch m;
    return std::regex_search(text, m, project) ? m[1].str() : std::string("(none)");
}

// Programs of the system run through env, which finds them on PATH.
const char* const kEnv = "/usr/bin/env";

std::string Gunzip(const fs::path& file)
{
    auto r = testsupport::RunProcess({ kEnv, "gzip", "-dc", file.string() });
    EXPECT_EQ(r.exitCode, 0) << file << ": " << r.err;
    return r.out;
}

const char* const kCompanions[]
    = { "corvel-pack", "corvel-radio-sim", "corvel-codeplug", "corvel-ports" };

} // namespace

TEST(PackagingFiles, CompanionProgramsAnswerVersionAndHelp)
{
    for (const std::string program : kCompanions) {
        const std::string path = testsupport::BinPath(program).string();
        auto version = testsupport::RunProcess({ path, "--version" });
        EXPECT_EQ(version.exitCode, 0) << program;
        EXPECT_EQ(version.out, program + " (Corvel Code Updater) " + ProjectVersion() + "\n");
        auto help = testsupport::RunProcess({ path, "--help" });
        EXPECT_EQ(help.exitCode, 0) << program;
        EXPECT_EQ(help.out.rfind("Usage: " + program + " ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--version"), std::string::npos) << program;
        auto wrong = testsupport::RunProcess({ path, "--no-such-option" });
        EXPECT_EQ(wrong.exitCode, 2) << program;
        EXPECT_EQ(wrong.out, "") << program;
        EXPECT_NE(wrong.err.find("Try " + program + " --help."), std::string::npos) << wrong.err;
    }
}

TEST(PackagingFiles, InstalledTreeHasDocsManPagesAndCompletion)
{
    const fs::path build = testsupport::BinPath("corvel-pack").parent_path().parent_path();
    testsupport::TempDir root;
    auto install = testsupport::RunProcess(
        { kEnv, "cmake", "--install", build.string(), "--prefix", root.Path().string() }, {}, {},
        std::chrono::seconds(120));
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    const std::string version = ProjectVersion();

    // Man pages carry the version in their footer.
    for (const std::string page : { "corvel-updater", "corvel-pack", "corvel-radio-sim",
             "corvel-codeplug", "corvel-ports" }) {
        const fs::path file = root / ("share/man/man1/" + page + ".1.gz");
        ASSERT_TRUE(fs::exists(file)) << file;
        const std::string roff = Gunzip(file);
        EXPECT_EQ(roff.find("@VERSION@"), std::string::npos) << page;
        EXPECT_NE(roff.find("\"Corvel Code Updater " + version + "\""), std::string::npos) << page;
    }

    // Copyright in the machine-readable format, and the changelog of this version.
    const fs::path doc = root / "share/doc/corvel-code-updater";
    EXPECT_EQ(
        ReadFileText(doc / "copyright")
            .rfind(
                "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
        0u);
    const std::string changelog = Gunzip(doc / "changelog.gz");
    EXPECT_EQ(changelog.rfind("corvel-code-updater (" + version + ") ", 0), 0u) << changelog;
    EXPECT_TRUE(std::regex_search(changelog,
        std::regex("\n -- [^<\n]+ <[^@>\n]+@[^>\n]+>  [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} "
                   "[0-9]{4} [0-9:]{8} [+-][0-9]{4}\n")))
        << changelog;

    // Every picture and page the installed README links is installed with it.
    const std::string readme = ReadFileText(doc / "README.md");
    static const std::regex link(R"(\]\(([^)#]+)[)#])");
    int local = 0;
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), link);
         it != std::sregex_iterator(); ++it) {
        const std::string target = (*it)[1].str();
        if (target.rfind("http", 0) == 0)
            continue;
        ++local;
        EXPECT_TRUE(fs::is_regular_file(doc / target)) << "README links " << target;
    }
    EXPECT_GE(local, 5);

    // The completion is found under each companion's name and completes
    // options and their values from the program's own help.
    for (const std::string program : kCompanions)
        EXPECT_TRUE(fs::is_regular_file(root / "share/bash-completion/completions" / program))
            << program;
    const fs::path completion = root / "share/bash-completion/completions/corvel-radio-sim";
    auto complete = [&](const std::string& line) {
        const std::string script = "source '" + completion.string() + "'; COMP_WORDS=(" + line
            + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _corvel_tool ${COMP_WORDS[0]}; echo "
              "\"${COMPREPLY[*]}\"";
        auto r = testsupport::RunProcess({ kEnv, "bash", "-c", script },
            { { "PATH", (root / "bin").string() + ":/usr/bin:/bin" } });
        EXPECT_EQ(r.err, "") << line;
        return r.out;
    };
    EXPECT_EQ(complete("corvel-radio-sim --exit-after-r"), "--exit-after-restart\n");
    EXPECT_EQ(complete("corvel-radio-sim --family m"), "mobile\n");
    EXPECT_EQ(complete("corvel-pack --upgrade-type app"), "application application-boot\n");
    EXPECT_EQ(complete("corvel-pack --list /nonexistent-dir/x"), "\n");
    EXPECT_EQ(complete("corvel-radio-sim --port ''"), "\n");
    EXPECT_EQ(complete("corvel-codeplug con"), "convert\n");
    EXPECT_EQ(complete("corvel-codeplug convert a b --to 5.1"), "5.10\n");
    EXPECT_EQ(complete("corvel-codeplug write --oth"), "--other-radio\n");
}
