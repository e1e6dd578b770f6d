#pragma once

namespace platform {

// Base of a class that owns something only one object may hold (a
// descriptor, a lock, a file being written, a child process).
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

} // namespace platform
