#pragma once

// Drives corvel-radio-sim from a test: starts it, opens its line and
// exchanges frames written byte by byte, the way the PC would. Its framing is
// written here from the wire description, apart from the updater's.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tests/support/TestFrames.h"
#include "tests/support/TestSupport.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

using testframes::PcFrame;
using testframes::RadioMessage;

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess()
    {
        if (m_Pid > 0) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    // Starts the simulator on the COM folder with the arguments; waits for its
    // ready line. False when it ended or never got ready.
    bool Start(const testsupport::TempDir& comDir, const std::vector<std::string>& args = {})
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        std::vector<std::string> all { testsupport::BinPath("corvel-radio-sim").string(),
            "--com-dir", comDir.Path().string() };
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string errFile = (m_Dir / "stderr").string();
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(out[1], 1);
            dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The ready line, within 5 s; the simulator writes nothing after it.
        char c = 0;
        pollfd p { out[0], POLLIN, 0 };
        while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
            m_Ready += c;
        close(out[0]);
        return c == '\n';
    }
    const std::string& ReadyLine() const { return m_Ready; }
    std::string Port() const { return m_Ready.substr(0, m_Ready.find(' ')); } // "COM1"
    std::string DevicePath() const { return m_Ready.substr(m_Ready.find(' ') + 1); }
    // Exit status (or 128 + signal) once it ended within the time.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout)
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
    void Signal(int sig)
    {
        if (m_Pid > 0)
            kill(m_Pid, sig);
    }
    std::string Stderr() const { return testsupport::ReadFileText(m_Dir / "stderr"); }

private:
    pid_t m_Pid = -1;
    std::string m_Ready;
    testsupport::TempDir m_Dir;
};

// The PC's end of the simulator's line.
class Line {
public:
    explicit Line(const std::string& path)
    {
        m_Fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_Fd >= 0) {
            termios t {};
            tcgetattr(m_Fd, &t);
            cfmakeraw(&t);
            tcsetattr(m_Fd, TCSANOW, &t);
        }
    }
    ~Line()
    {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    bool IsOpen() const { return m_Fd >= 0; }

    void Write(const Bytes& bytes)
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
    // Sets the PC's end of the line to 9600, 19200 or 115200 bit/s.
    void SetSpeed(long baud)
    {
        termios t {};
        tcgetattr(m_Fd, &t);
        speed_t code = baud == 9600 ? B9600 : baud == 115200 ? B115200 : B19200;
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
        tcsetattr(m_Fd, TCSANOW, &t);
    }
    void Send(const Bytes& message) { Write(PcFrame(message)); }
    // The next whole frame (BA .. 7E) or nothing within the time.
    std::optional<Bytes> ReadFrame(std::chrono::milliseconds timeout = 3s)
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
    // The message of the next valid frame.
    std::optional<Bytes> Receive(std::chrono::milliseconds timeout = 3s)
    {
        auto frame = ReadFrame(timeout);
        return frame ? RadioMessage(*frame) : std::nullopt;
    }
    // Sends and waits for the answer.
    std::optional<Bytes> Ask(const Bytes& message, std::chrono::milliseconds timeout = 3s)
    {
        Send(message);
        return Receive(timeout);
    }
    // The frame answering the message, in hex.
    std::string AskHex(const Bytes& message)
    {
        Send(message);
        auto frame = ReadFrame(2s);
        return frame ? testsupport::Hex(*frame) : "(nothing)";
    }
    // True when nothing arrives within the time.
    bool Quiet(std::chrono::milliseconds time) { return !ReadFrame(time) && m_Pending.empty(); }

private:
    int m_Fd = -1;
    Bytes m_Pending;
};

} // namespace simtest
