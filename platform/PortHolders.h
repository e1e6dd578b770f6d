#pragma once

#include <filesystem>
#include <string>

namespace platform {

// Which other process has a device open, found through the open files that
// /proc lists for each process. Both the open test and the port report ask
// this.

// The first process (not this one) that has `devicePath` (the resolved
// device path) open, or 0 when none is seen. Passed over are processes whose
// open files this user may not see, and a process that also holds the other
// side of a pseudo-terminal: that is the far end of the line (a simulated
// radio, a terminal emulator), not a second user of it. `procRoot` stands
// for /proc in tests.
int FindProcessHolding(
    const std::string& devicePath, const std::filesystem::path& procRoot = "/proc");

// The name of the program a process runs, in full (the kernel's own name for
// it stops at 15 characters): the last part of its first command-line word,
// else the kernel's name; empty when the process is gone.
std::string ProcessCommandName(int pid, const std::filesystem::path& procRoot = "/proc");

} // namespace platform
