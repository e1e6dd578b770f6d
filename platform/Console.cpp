#include "platform/Console.h"

#include "platform/FileWrite.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

bool Writable(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    int mode = flags & O_ACCMODE;
    return mode == O_WRONLY || mode == O_RDWR;
}

} // namespace

bool Console::Open(const std::string& title)
{
    if (!Writable(STDOUT_FILENO))
        return false;
    m_Input = STDIN_FILENO;
    m_Output = STDOUT_FILENO;
    m_Open = true;
    m_Terminal = isatty(m_Output) != 0;
    m_LastText.clear();
    if (m_Terminal) {
        std::string escape = "\033]0;" + title + "\007";
        WriteAll(m_Output, escape.data(), escape.size());
    }
    return true;
}

bool Console::Write(const std::string& text)
{
    if (!m_Open)
        return false;
    const bool repeat = !m_Terminal && !text.empty() && text[0] == '\r' && text == m_LastText;
    m_LastText = text;
    if (repeat)
        return true;
    return WriteAll(m_Output, text.data(), text.size());
}

bool Console::WaitForEnter()
{
    if (!m_Open)
        return false;
    char ch = 0;
    for (;;) {
        ssize_t n = ::read(m_Input, &ch, 1);
        if (n >= 0)
            return true; // one character, or end of input
        if (errno != EINTR)
            return false;
    }
}

void Console::Minimize()
{
    if (m_Open && isatty(m_Output)) {
        static const char kIconify[] = "\033[2t";
        WriteAll(m_Output, kIconify, sizeof kIconify - 1);
    }
}

bool Console::Close()
{
    bool was = m_Open;
    m_Open = false;
    m_Input = m_Output = -1;
    return was;
}

bool DisplayAvailable()
{
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

} // namespace platform
