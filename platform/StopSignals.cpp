#include "platform/StopSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kSignals[] = { SIGTERM, SIGINT, SIGHUP };

std::atomic<bool> g_InUse { false };
int g_Pipe[2] = { -1, -1 };
volatile std::sig_atomic_t g_Caught = 0;
struct sigaction g_Previous[3];

void OnSignal(int signal)
{
    const int savedErrno = errno;
    if (g_Caught == 0)
        g_Caught = signal;
    const char byte = static_cast<char>(signal);
    // A full pipe already says that a signal is waiting.
    [[maybe_unused]] const ssize_t n = ::write(g_Pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals()
{
    if (g_InUse.exchange(true))
        return;
    if (::pipe2(g_Pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_InUse = false;
        return;
    }
    g_Caught = 0;
    struct sigaction action { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        sigaddset(&action.sa_mask, signal);
    // Interrupted system calls go on: the job notices the signal at its next
    // wait, not in the middle of writing a file.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        ::sigaction(kSignals[i], &action, &g_Previous[i]);
    m_Active = true;
}

StopSignals::~StopSignals()
{
    if (!m_Active)
        return;
    for (int i = 0; i < 3; ++i)
        ::sigaction(kSignals[i], &g_Previous[i], nullptr);
    ::close(g_Pipe[0]);
    ::close(g_Pipe[1]);
    g_Pipe[0] = g_Pipe[1] = -1;
    g_InUse = false;
}

int StopSignals::Fd() const
{
    return m_Active ? g_Pipe[0] : -1;
}

int StopSignals::Drain()
{
    if (!m_Active)
        return 0;
    char buffer[64];
    while (::read(g_Pipe[0], buffer, sizeof buffer) > 0) { }
    return g_Caught;
}

int StopSignals::Caught() const
{
    return m_Active ? static_cast<int>(g_Caught) : 0;
}

const char* StopSignalName(int signal)
{
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace platform
