#pragma once

#include <string>

// `corvel-codeplug read` and `write`: the radio on a COM port, driven by the
// updater's codeplug jobs, with progress and prompts on the terminal.

struct RadioJobOptions {
    int port = 0;
    std::string passwordFile; // empty: ask on the terminal or read standard input
    bool otherRadio = false;
};

enum class RadioJob { Read, Write };

// Runs the job; returns the exit code (0, 1, 2).
int RunRadioJob(RadioJob job, const std::string& file, const RadioJobOptions& options);
