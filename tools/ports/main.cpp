// corvel-ports: lists the COM ports as the updater sees them, with the device
// behind each, the USB adapter, who holds a busy port and why a port does not
// open (and what to do about it).

#include "tools/ports/PortReport.h"

#include "tools/common/ToolCli.h"

#include <cstdio>
#include <string>

namespace {

const toolcli::ProgramText kText = {
    "corvel-ports",
    "corvel-ports [--json] [--all]",
    "Lists the COM ports the updater can see: the port list's text, the device\n"
    "path, the USB adapter and its series, and whether the port is free, held by\n"
    "another program (which one, and whether an update runs there), or refused\n"
    "(why, and how to fix it); for a USB adapter its driver and latency timer.\n"
    "Ports are the COM<n> entries of $CORVEL_COM_DIR when it is set; otherwise\n"
    "COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and COM65-COM96\n"
    "/dev/ttyACM0-31.",
    "Exit codes: 0 listed, 2 wrong command line.",
};

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool all = false;
    CLI::App app;
    toolcli::Prepare(app, kText);
    app.add_flag("--json", json, "one JSON object for scripts instead of the text");
    app.add_flag("--all", all, "list absent port numbers too (COM1 to COM255)");
    if (auto done = toolcli::Parse(app, argc, argv))
        return *done;

    const std::vector<ports::PortInfo> list
        = ports::CollectPorts(ports::PortSystem::Platform(), all);
    const std::optional<std::string> comDir = ports::ComDirectory();
    const std::string text
        = json ? ports::FormatJson(list, comDir) : ports::FormatText(list, comDir);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
