#include "SimDriver.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace simtest {

namespace {

void PutEscaped(Bytes& out, uint8_t b)
{
    if (b == 0xBA) {
        out.insert(out.end(), { 0x10, 0x00 });
    } else if (b == 0x7E) {
        out.insert(out.end(), { 0x10, 0x01 });
    } else if (b == 0x10) {
        out.insert(out.end(), { 0x10, 0x02 });
    } else {
        out.push_back(b);
    }
}

} // namespace

Bytes PcFrame(const Bytes& message)
{
    Bytes out { 0xBA, 0x7F, 0x01 };
    unsigned sum = 0x7F + 0x01;
    for (uint8_t b : message) {
        PutEscaped(out, b);
        sum += b;
    }
    PutEscaped(out, static_cast<uint8_t>(-sum));
    out.push_back(0x7E);
    return out;
}

std::optional<Bytes> RadioMessage(const Bytes& frame)
{
    if (frame.size() < 5 || frame.front() != 0xBA || frame.back() != 0x7E)
        return std::nullopt;
    Bytes plain;
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        uint8_t b = frame[i];
        if (b == 0x10) {
            if (i + 2 >= frame.size())
                return std::nullopt;
            uint8_t c = frame[++i];
            if (c > 2)
                return std::nullopt;
            b = c == 0 ? 0xBA : c == 1 ? 0x7E : 0x10;
        }
        plain.push_back(b);
    }
    unsigned sum = 0;
    for (uint8_t b : plain)
        sum += b;
    if (plain.size() < 3 || plain[1] != 0x7F || (sum & 0xFF) != 0)
        return std::nullopt;
    return Bytes(plain.begin() + 2, plain.end() - 1);
}

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

SimProcess::~SimProcess()
{
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
    if (m_Out >= 0)
        close(m_Out);
    std::error_code ec;
    if (!m_ErrFile.empty())
        std::filesystem::remove(m_ErrFile, ec);
}

bool SimProcess::Start(const std::vector<std::string>& args)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    char errName[] = "/tmp/radio-sim-err-XXXXXX";
    int errFd = mkstemp(errName);
    m_ErrFile = errName;
    std::string program = testsupport::BinPath("corvel-radio-sim").string();
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(out[1], 1);
        dup2(errFd, 2);
        std::vector<char*> argv { const_cast<char*>(program.c_str()) };
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    m_Out = out[0];
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p { m_Out, POLLIN, 0 };
        if (poll(&p, 1, 50) <= 0)
            continue;
        char c;
        ssize_t n = read(m_Out, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        m_Ready += c;
    }
    return false;
}

std::string SimProcess::Port() const
{
    return m_Ready.substr(0, m_Ready.find(' '));
}

std::string SimProcess::DevicePath() const
{
    size_t blank = m_Ready.find(' ');
    return blank == std::string::npos ? std::string() : m_Ready.substr(blank + 1);
}

std::optional<int> SimProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_Pid <= 0)
        return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
            m_Pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

void SimProcess::Signal(int sig)
{
    if (m_Pid > 0)
        kill(m_Pid, sig);
}

std::string SimProcess::Stderr() const
{
    return testsupport::ReadFileText(m_ErrFile);
}

Line::Line(const std::string& path)
{
    m_Fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_Fd >= 0) {
        termios t {};
        tcgetattr(m_Fd, &t);
        cfmakeraw(&t);
        tcsetattr(m_Fd, TCSANOW, &t);
    }
}

Line::~Line()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

void Line::SetSpeed(long baud)
{
    termios t {};
    tcgetattr(m_Fd, &t);
    speed_t code = baud == 9600 ? B9600 : baud == 115200 ? B115200 : B19200;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    tcsetattr(m_Fd, TCSANOW, &t);
}

void Line::Write(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_Fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p { m_Fd, POLLOUT, 0 };
            poll(&p, 1, 100);
        } else {
            throw std::runtime_error("write to the simulator's line failed");
        }
    }
}

std::optional<Bytes> Line::ReadFrame(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // A frame runs from the last start byte to the next end byte.
        auto start = std::find(m_Pending.begin(), m_Pending.end(), uint8_t { 0xBA });
        if (start != m_Pending.end()) {
            auto end = std::find(start, m_Pending.end(), uint8_t { 0x7E });
            if (end != m_Pending.end()) {
                Bytes frame(start, end + 1);
                m_Pending.erase(m_Pending.begin(), end + 1);
                return frame;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p { m_Fd, POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buf[4096];
        ssize_t n = read(m_Fd, buf, sizeof buf);
        if (n > 0)
            m_Pending.insert(m_Pending.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return std::nullopt;
    }
}

std::optional<Bytes> Line::Receive(std::chrono::milliseconds timeout)
{
    auto frame = ReadFrame(timeout);
    if (!frame)
        return std::nullopt;
    return RadioMessage(*frame);
}

std::optional<Bytes> Line::Ask(const Bytes& message, std::chrono::milliseconds timeout)
{
    Send(message);
    return Receive(timeout);
}

bool Line::Quiet(std::chrono::milliseconds time)
{
    return !ReadFrame(time).has_value() && m_Pending.empty();
}

bool Line::HangsUp(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p { m_Fd, POLLIN, 0 };
        if (poll(&p, 1, 50) <= 0)
            continue;
        if (p.revents & (POLLHUP | POLLERR))
            return true;
        uint8_t buf[256];
        ssize_t n = read(m_Fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

} // namespace simtest
