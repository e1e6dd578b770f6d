#pragma once

#include <cstddef>

namespace platform {

// Writes all `size` bytes to the descriptor, going on after short writes and
// interruptions. False on a write error (errno tells which).
bool WriteAll(int fd, const void* data, std::size_t size);

} // namespace platform
