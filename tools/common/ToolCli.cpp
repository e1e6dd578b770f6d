#include "tools/common/ToolCli.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace toolcli {

namespace {

std::string OptionName(const CLI::Option& option)
{
    std::string name;
    for (const std::string& s : option.get_snames())
        name += (name.empty() ? "-" : ", -") + s;
    for (const std::string& l : option.get_lnames())
        name += (name.empty() ? "--" : ", --") + l;
    if (option.get_type_size() != 0 && !option.get_type_name().empty())
        name += " " + option.get_type_name();
    return name;
}

// Every line of text indented by `indent` spaces after the first.
std::string Indented(const std::string& text, size_t indent)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n')
            out.append(indent, ' ');
    }
    return out;
}

std::string Help(const CLI::App& app, const ProgramText& text)
{
    std::string out = "Usage: " + Indented(text.usage, 7) + "\n";
    if (!text.description.empty())
        out += "\n" + text.description + "\n";

    std::vector<std::string> groups;
    const auto options = app.get_options();
    // One column for the descriptions; long names run past it rather than
    // pushing every description to the right.
    size_t width = 0;
    for (const CLI::Option* o : options)
        width = std::max(width, std::min<size_t>(OptionName(*o).size(), 26));
    const size_t column = width + 4;
    // The program's own options first, --help and --version last.
    auto own = [&app](const CLI::Option* o) {
        return o != app.get_help_ptr() && o != app.get_version_ptr();
    };
    for (int pass = 0; pass < 2; ++pass)
        for (const CLI::Option* o : options)
            if (own(o) == (pass == 0) && !o->get_group().empty()
                && std::find(groups.begin(), groups.end(), o->get_group()) == groups.end())
                groups.push_back(o->get_group());
    for (const std::string& group : groups) {
        std::vector<std::pair<std::string, const CLI::Option*>> rows;
        for (int pass = 0; pass < 2; ++pass) {
            for (const CLI::Option* o : options) {
                if (o->get_group() != group || own(o) != (pass == 0))
                    continue;
                rows.emplace_back(OptionName(*o), o);
            }
        }
        out += "\n" + group + ":\n";
        for (const auto& [name, o] : rows) {
            std::string row = "  " + name;
            row += row.size() + 2 <= column ? std::string(column - row.size(), ' ') : "  ";
            out += row + Indented(o->get_description(), column) + "\n";
        }
    }
    if (!text.footer.empty())
        out += "\n" + text.footer + "\n";
    return out;
}

} // namespace

std::string VersionLine(std::string_view program)
{
    return std::string(program) + " (Corvel Code Updater) " CORVEL_VERSION;
}

void Prepare(CLI::App& app, const ProgramText& text)
{
    app.name(text.name);
    app.description(text.description);
    app.footer(text.footer);
    app.set_help_flag("-h,--help", "this text, then end");
    app.set_version_flag("--version", VersionLine(text.name), "the program's version, then end");
    app.formatter_fn([text](const CLI::App* shown, std::string, CLI::AppFormatMode) {
        return Help(*shown, text);
    });
}

int UsageError(std::string_view program, std::string_view message)
{
    std::fprintf(stderr, "%.*s: %.*s\nTry %.*s --help.\n", static_cast<int>(program.size()),
        program.data(), static_cast<int>(message.size()), message.data(),
        static_cast<int>(program.size()), program.data());
    return 2;
}

int UsageError(const CLI::App& app, std::string_view message)
{
    return UsageError(app.get_name(), message);
}

void BadValue(std::string_view option, std::string_view value)
{
    throw CLI::ValidationError("bad value for " + std::string(option) + ": " + std::string(value));
}

std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv)
{
    const bool extrasAllowed = app.get_allow_extras();
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        return UsageError(app, e.what());
    }
    app.allow_extras(extrasAllowed);
    if (!extrasAllowed && !app.remaining().empty()) {
        const std::string first = app.remaining().front();
        return UsageError(app,
            first.size() > 1 && first[0] == '-' ? "unknown option " + first
                                                : "unexpected argument: " + first);
    }
    return std::nullopt;
}

} // namespace toolcli
