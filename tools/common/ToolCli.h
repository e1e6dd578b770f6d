#pragma once

// The command line of the companion programs (corvel-pack, corvel-ports,
// corvel-radio-sim, corvel-codeplug, corvel-station): each describes its
// options on a CLI::App, this frame adds the usual -h/--help and --version,
// lays out the help the same way for all of them and reports usage errors as
//
//   corvel-pack: unknown option --bogus
//   Try corvel-pack --help.
//
// with exit status 2.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace toolcli {

struct ProgramText {
    std::string name; // "corvel-pack"
    std::string usage; // what follows "Usage: " (one or more lines)
    std::string description; // paragraphs between the usage and the options
    std::string footer; // after the options, e.g. the exit statuses
};

// "corvel-pack (Corvel Code Updater) 1.4.2"
std::string VersionLine(std::string_view program);

// Gives the app the shared help layout, -h/--help and --version. Options
// appear in the help grouped by their group(), in the order they were added;
// a description may hold several lines.
void Prepare(CLI::App& app, const ProgramText& text);

// Parses the command line. Returns the exit status when the program is done
// already: 0 after printing the help or the version on standard output, 2
// after printing a usage error on standard error. Returns nothing when the
// program goes on. Arguments the app does not know are usage errors unless
// the app was told to allow extras before Prepare.
std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv);

// Reports a usage error found after parsing the way Parse does; returns 2.
int UsageError(const CLI::App& app, std::string_view message);
int UsageError(std::string_view program, std::string_view message);

// A bad value for an option, thrown from an option's callback:
// "bad value for --port: 0".
[[noreturn]] void BadValue(std::string_view option, std::string_view value);

} // namespace toolcli
