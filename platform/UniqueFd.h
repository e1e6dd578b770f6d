#pragma once

#include <unistd.h>
#include <utility>

namespace platform {

// Owns one file descriptor and closes it when it goes out of scope. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_Fd(fd)
    {
    }
    UniqueFd(UniqueFd&& other) noexcept
        : m_Fd(std::exchange(other.m_Fd, -1))
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.m_Fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return m_Fd; }
    bool Valid() const { return m_Fd >= 0; }
    explicit operator bool() const { return Valid(); }

    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_Fd, -1); }

    // Closes the descriptor held (if any) and takes `fd`.
    void Reset(int fd = -1)
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
        m_Fd = fd;
    }

    // Closes now and reports the result: a file written through the
    // descriptor may report a delayed write error only here. True when
    // nothing was held.
    bool Close()
    {
        if (m_Fd < 0)
            return true;
        return ::close(std::exchange(m_Fd, -1)) == 0;
    }

private:
    int m_Fd = -1;
};

} // namespace platform
