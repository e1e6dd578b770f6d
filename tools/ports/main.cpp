// corvel-ports: lists the COM ports as the updater sees them, with the device
// behind each, the USB adapter, who holds a busy port and why a port does not
// open (and what to do about it).

#include "tools/ports/PortReport.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char* const kUsage
    = "Usage: corvel-ports [--json] [--all]\n"
      "Lists the COM ports the updater can see: the port list's text, the device\n"
      "path, the USB adapter and its series, and whether the port is free, held by\n"
      "another program (which one, and whether an update runs there), or refused\n"
      "(why, and how to fix it); for a USB adapter its driver and latency timer.\n"
      "  --json   one JSON object for scripts instead of the text\n"
      "  --all    list absent port numbers too (COM1 to COM255)\n"
      "  --help   this text\n"
      "Ports are the COM<n> entries of $CORVEL_COM_DIR when it is set; otherwise\n"
      "COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and COM65-COM96\n"
      "/dev/ttyACM0-31.\n"
      "Exit codes: 0 listed, 2 wrong command line.\n";

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool all = false;
    bool help = false;
    CLI::App app("corvel-ports");
    app.set_help_flag();
    app.allow_extras();
    app.add_flag("--json", json);
    app.add_flag("--all", all);
    app.add_flag("-h,--help", help);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "corvel-ports: %s\n\n%s", error.what(), kUsage);
        return kExitUsage;
    }
    if (!app.remaining().empty()) {
        std::fprintf(
            stderr, "corvel-ports: unknown option '%s'\n\n%s", app.remaining()[0].c_str(), kUsage);
        return kExitUsage;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }

    const std::vector<ports::PortInfo> list
        = ports::CollectPorts(ports::PortSystem::Platform(), all);
    const std::optional<std::string> comDir = ports::ComDirectory();
    const std::string text
        = json ? ports::FormatJson(list, comDir) : ports::FormatText(list, comDir);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
}
