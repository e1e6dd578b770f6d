#pragma once

namespace radiosim {

// The speed the program on the other end has set on the terminal, in bit/s,
// read through any descriptor of the terminal's device side; 0 if unknown.
long TerminalSpeed(int deviceFd);

} // namespace radiosim
