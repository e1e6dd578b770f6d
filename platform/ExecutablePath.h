#pragma once

#include <string>

namespace platform {

// Full path of the running executable, as the file is named now (a release
// copy renamed by the user shows its new name).
std::string ExecutablePath();

// The file name without its folder, with its extension.
std::string ExecutableFileName();

// The folder of the executable, with a trailing "/".
std::string ExecutableDirectory();

} // namespace platform
