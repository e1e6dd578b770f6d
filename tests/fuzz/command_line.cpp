// The console job's command line: arbitrary argument lists (NUL-separated in
// the input) must give one of the four outcomes, never a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "workflow/ConsoleCommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments;
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < 16; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty())
        arguments.push_back(current);
    ConsoleCommand command = ParseConsoleCommandLine(arguments, [](int port) {
        if (port > 255)
            std::abort(); // numbers above 255 never reach the open test
        return port >= 1 && port % 2 == 1;
    });
    if (command.kind == ConsoleCommand::Kind::Download && (command.port < 1 || command.port > 255))
        std::abort();
    return 0;
}
