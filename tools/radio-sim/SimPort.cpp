#include "SimPort.h"

#include "SimSpeed.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace radiosim {

namespace fs = std::filesystem;

PublishedPty::~PublishedPty()
{
    Close();
}

bool PublishedPty::Open(const std::string& comDir, int port, std::string& error)
{
    m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(m_Master, name, sizeof name) != 0) {
        error = "cannot name the pseudo-terminal";
        return false;
    }
    m_DevicePath = name;
    // One descriptor of the device stays open for the simulator's whole life:
    // the settings below stay in force and the line never hangs up between
    // the updater's opens.
    m_KeepSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_KeepSlave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    termios t {};
    if (tcgetattr(m_KeepSlave, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B19200);
        cfsetospeed(&t, B19200);
        tcsetattr(m_KeepSlave, TCSANOW, &t);
    }

    std::error_code ec;
    fs::create_directories(comDir, ec);
    for (int n = port ? port : 1; n <= 255; ++n) {
        std::string entry = comDir + "/COM" + std::to_string(n);
        if (symlink(name, entry.c_str()) == 0) {
            m_Port = n;
            m_EntryPath = entry;
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create " + entry + ": " + std::strerror(errno);
            return false;
        }
        if (port) {
            // A leftover link to a terminal that is gone may be replaced.
            if (fs::is_symlink(entry, ec) && !fs::exists(entry, ec) && unlink(entry.c_str()) == 0
                && symlink(name, entry.c_str()) == 0) {
                m_Port = n;
                m_EntryPath = entry;
                return true;
            }
            error = entry + " already exists";
            return false;
        }
    }
    error = "no free COM number in " + comDir;
    return false;
}

int PublishedPty::PendingForPc() const
{
    int n = 0;
    if (m_KeepSlave < 0 || ioctl(m_KeepSlave, FIONREAD, &n) != 0)
        return 0;
    return n;
}

long PublishedPty::PcSpeed() const
{
    return TerminalSpeed(m_KeepSlave);
}

void PublishedPty::Unpublish()
{
    if (m_EntryPath.empty())
        return;
    char target[256];
    ssize_t n = readlink(m_EntryPath.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (m_DevicePath == target)
            unlink(m_EntryPath.c_str());
    }
    m_EntryPath.clear();
}

void PublishedPty::Close()
{
    Unpublish();
    if (m_KeepSlave >= 0)
        close(m_KeepSlave);
    if (m_Master >= 0)
        close(m_Master);
    m_KeepSlave = -1;
    m_Master = -1;
}

} // namespace radiosim
