#pragma once

#include <functional>
#include <string>
#include <vector>

// What the console job's command line asks for. The grammar: either the
// single option "/?", or "/d /sp PortNumber" optionally followed by "/c" and
// then "/m". Options are compared exactly (case matters); a missing argument
// reads as an empty text.
struct ConsoleCommand {
    enum class Kind {
        None, // no arguments: window use
        Help, // "/?"
        Download, // a valid "/d /sp N" line
        Error, // anything else; errorText says what
    };
    Kind kind = Kind::None;
    std::string errorText;
    // The port text converted as a signed decimal number (0 until it converts).
    int port = 0;
    bool closeOnFinish = false;
    bool minimize = false;
};

// The error texts, each followed on the console by the wait for Enter.
extern const char* const kInvalidOptionsText;
extern const char* const kNeedPortOptionText;
extern const char* const kNeedValidPortText;

// Parses the arguments (without the program name). `portOpens` is the open
// test of a port number; it is asked only for numbers up to 255 (a number
// below 1 names no port, and the test says so). `portProblem`, when given,
// says why a port that does not open is unavailable (empty: nothing to
// add); its text follows the error text on a line of its own.
ConsoleCommand ParseConsoleCommandLine(const std::vector<std::string>& arguments,
    const std::function<bool(int)>& portOpens,
    const std::function<std::string(int)>& portProblem = {});
