#pragma once

// Drives corvel-radio-sim from a test: starts it, opens its line and
// exchanges frames written byte by byte, the way the PC would.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The PC's frame of a message: BA 7F 01, escaped message and checksum, 7E.
Bytes PcFrame(const Bytes& message);
// The message inside a radio frame (header 01 7F), checked; nullopt if the
// frame is malformed or its sum is wrong.
std::optional<Bytes> RadioMessage(const Bytes& frame);

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator with the arguments; waits for its ready line.
    // Returns false (and keeps the output) when it ended or never got ready.
    bool Start(const std::vector<std::string>& args);
    const std::string& ReadyLine() const { return m_Ready; }
    std::string Port() const; // "COM1"
    std::string DevicePath() const; // "/dev/pts/3"
    pid_t Pid() const { return m_Pid; }
    // Exit status (or 128 + signal) once it ended within the time.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    void Signal(int sig);
    std::string Stderr() const;

private:
    pid_t m_Pid = -1;
    int m_Out = -1;
    std::string m_Ready;
    std::filesystem::path m_ErrFile;
};

// The PC's end of the simulator's line.
class Line {
public:
    explicit Line(const std::string& path);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    bool IsOpen() const { return m_Fd >= 0; }

    void Write(const Bytes& bytes);
    // Sets the PC's end of the line to 9600, 19200 or 115200 bit/s.
    void SetSpeed(long baud);
    void Send(const Bytes& message) { Write(PcFrame(message)); }
    // The next whole frame (BA .. 7E) or nothing within the time.
    std::optional<Bytes> ReadFrame(std::chrono::milliseconds timeout = 3s);
    // The message of the next valid frame.
    std::optional<Bytes> Receive(std::chrono::milliseconds timeout = 3s);
    // Sends and waits for the answer.
    std::optional<Bytes> Ask(const Bytes& message, std::chrono::milliseconds timeout = 3s);
    // True when nothing arrives within the time.
    bool Quiet(std::chrono::milliseconds time);
    // True when the line reports hang-up or end within the time.
    bool HangsUp(std::chrono::milliseconds timeout);

private:
    int m_Fd = -1;
    Bytes m_Pending;
};

Bytes Concat(const Bytes& a, const Bytes& b);

} // namespace simtest
