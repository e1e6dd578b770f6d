// corvel-ports: lists the COM ports as the updater sees them, with the device
// behind each, the USB adapter, who holds a busy port and why a port does not
// open (and what to do about it).

#include "tools/ports/PortReport.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char* const kUsage
    = "Usage: corvel-ports [--json] [--all]\n"
      "Lists the COM ports the updater can see: the port list's text, the device\n"
      "path, the USB adapter and its series, and whether the port is free, held by\n"
      "another program (which one), or refused (why, and how to fix it).\n"
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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--all") {
            all = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else {
            std::fprintf(stderr, "corvel-ports: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
            return kExitUsage;
        }
    }

    const std::vector<ports::PortInfo> list
        = ports::CollectPorts(ports::PortSystem::Platform(), all);
    const std::optional<std::string> comDir = ports::ComDirectory();
    const std::string text
        = json ? ports::FormatJson(list, comDir) : ports::FormatText(list, comDir);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
}
