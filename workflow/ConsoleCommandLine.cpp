#include "workflow/ConsoleCommandLine.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

const char* const kInvalidOptionsText = "Invalid command line options.\n";
const char* const kNeedPortOptionText = "Invalid command line options (Need COM Port option).\n";
const char* const kNeedValidPortText
    = "Invalid command line options (Need valid/available COM Port number).\n";

namespace {

// A signed decimal number that is the whole text and fits 32 bits.
std::optional<int> ToInt(const std::string& text)
{
    if (text.empty() || text[0] == ' ' || text[0] == '\t' || text.find('\0') != std::string::npos)
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

} // namespace

ConsoleCommand ParseConsoleCommandLine(const std::vector<std::string>& arguments,
    const std::function<bool(int)>& portOpens, const std::function<std::string(int)>& portProblem)
{
    ConsoleCommand command;
    const size_t count = arguments.size();
    if (count == 0)
        return command;
    auto arg = [&](size_t i) { return i >= 1 && i <= count ? arguments[i - 1] : std::string(); };

    if (arg(1) == "/?") {
        command.kind = ConsoleCommand::Kind::Help;
        return command;
    }
    command.kind = ConsoleCommand::Kind::Error;
    if (arg(1) != "/d") {
        command.errorText = kInvalidOptionsText;
        return command;
    }
    if (arg(2) != "/sp") {
        command.errorText = kNeedPortOptionText;
        return command;
    }
    std::optional<int> port = ToInt(arg(3));
    if (port)
        command.port = *port;
    if (!port || *port > 255 || !portOpens(*port)) {
        command.errorText = kNeedValidPortText;
        const std::string problem = port && *port <= 255 && portProblem ? portProblem(*port) : "";
        if (!problem.empty())
            command.errorText += problem + "\n";
        return command;
    }
    command.kind = ConsoleCommand::Kind::Download;
    if (count > 3) {
        if (arg(4) == "/c") {
            command.closeOnFinish = true;
            if (count > 4 && arg(5) == "/m")
                command.minimize = true;
        } else if (arg(4) == "/m") {
            command.minimize = true;
        }
    }
    return command;
}
