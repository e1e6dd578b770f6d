#pragma once

// Drives corvel-radio-sim from a test: starts it, opens its line and
// exchanges frames written byte by byte, the way the PC would. Its framing is
// written here from the wire description, apart from the updater's.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tests/support/SimProcess.h"
#include "tests/support/TestFrames.h"
#include "tests/support/TestSupport.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

using testframes::PcFrame;
using testframes::RadioMessage;

// The simulator in a child process, its standard error kept in a file.
class SimProcess : public testsupport::SimProcess {
public:
    // Starts it on the COM folder; false when it ended or never got ready.
    bool Start(const testsupport::TempDir& comDir, const std::vector<std::string>& args = {})
    {
        return testsupport::SimProcess::Start(
            testsupport::SimBinary(), comDir.Path(), args, 5s, m_Dir / "stderr");
    }
    std::string Stderr() const { return testsupport::ReadFileText(m_Dir / "stderr"); }

private:
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
