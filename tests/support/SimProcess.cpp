#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

std::filesystem::path SimBinary()
{
    return BinPath("corvel-radio-sim");
}

SimProcess::~SimProcess()
{
    Stop();
}

bool SimProcess::Start(const std::filesystem::path& program, const std::filesystem::path& comDir,
    const std::vector<std::string>& options, std::chrono::milliseconds timeout,
    const std::filesystem::path& errorFile)
{
    Stop();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        m_Error = "pipe failed";
        return false;
    }
    std::vector<std::string> args { program.string(), "--com-dir", comDir.string() };
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    m_Pid = ::fork();
    if (m_Pid < 0) {
        m_Error = "fork failed";
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    if (m_Pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (!errorFile.empty()) {
            const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (err >= 0) {
                ::dup2(err, STDERR_FILENO);
            }
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd entry { out[0], POLLIN, 0 };
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) {
            m_Error = "no ready line from " + program.string();
            break;
        }
        char buffer[256];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            m_Error = "the simulator ended before announcing its port";
            break;
        }
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("COM", 0) != 0 || line.find('\n') == std::string::npos) {
        if (m_Error.empty()) {
            m_Error = "unexpected ready line: " + line;
        }
        Stop();
        return false;
    }
    line.resize(line.find('\n'));
    size_t blank = line.find(' ');
    m_Port = std::atoi(line.substr(3, blank - 3).c_str());
    m_Device = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    return m_Port > 0;
}

int SimProcess::Stop(int signal)
{
    if (m_Pid <= 0) {
        return -1;
    }
    ::kill(m_Pid, signal);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (::waitpid(m_Pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(m_Pid, SIGKILL);
            ::waitpid(m_Pid, &status, 0);
            break;
        }
        ::usleep(10000);
    }
    m_Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool SimProcess::WaitForExit(std::chrono::milliseconds timeout, int* status)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_Pid > 0) {
        int raw = 0;
        if (::waitpid(m_Pid, &raw, WNOHANG) == m_Pid) {
            m_Pid = -1;
            if (status) {
                *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            }
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(20000);
    }
    return true;
}

} // namespace testsupport
