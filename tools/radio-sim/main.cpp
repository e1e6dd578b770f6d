// corvel-radio-sim: a radio on a pseudo-terminal, for tests, the demo and
// trying batch scripts without a radio. See docs/radio-sim.md.

#include "SimFrame.h"
#include "SimOptions.h"
#include "SimPort.h"
#include "SimRadio.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace radiosim {

namespace {

constexpr size_t kMaxQueuedIn = 65536;
constexpr size_t kMaxQueuedOut = 1 << 20;
constexpr int kMaxWarnings = 200;
// On a paced line: how early to stop sleeping before a reply is due (seconds).
// The PC's answer is waited for in poll(), not by polling: a station runs
// eight or more simulated radios beside their updaters on two cores, and a
// simulator that spins while the PC thinks takes the processor the PC needs.
constexpr double kPacingMargin = 250e-6;
// Payload bytes of one USB packet of a serial adapter: a full packet goes to
// the PC without waiting for the latency timer.
constexpr size_t kAdapterPacket = 62;

class Simulator final : public RadioHost {
public:
    Simulator(const Options& options, PublishedPty& pty)
        : m_Options(options)
        , m_Pty(pty)
        , m_Radio(options, *this)
        , m_Start(std::chrono::steady_clock::now())
        , m_LineRate(options.lineRate)
        , m_Random((options.seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL) | 1)
    {
    }

    bool Prepare(std::string& error)
    {
        if (!m_Radio.Load(error))
            return false;
        if (!m_Options.logFile.empty()) {
            m_Log = std::fopen(m_Options.logFile.c_str(), "w");
            if (!m_Log) {
                error = "cannot create the log " + m_Options.logFile;
                return false;
            }
            // A reader (a test, a technician's tail -f) sees every frame as
            // soon as it crossed the line, before the answer to it.
            std::setvbuf(m_Log, nullptr, _IOLBF, 0);
        }
        return true;
    }

    int Run(int signalFd);

    // RadioHost
    void Send(const std::vector<uint8_t>& message, double delaySeconds) override
    {
        if (delaySeconds > 0)
            m_Timers.emplace(m_EventTime + delaySeconds, message);
        else
            Enqueue(message, m_EventTime);
    }
    void SetBaudRate(long baud) override
    {
        m_RadioBaud = baud;
        if (m_Options.lineRateFollow)
            m_LineRate = baud;
    }
    void CloseLine() override { m_CloseRequested = true; }
    void ExitAfter(double seconds) override
    {
        double at = m_EventTime + seconds;
        if (m_ExitAt < 0 || at < m_ExitAt)
            m_ExitAt = at;
    }
    void Warn(const std::string& text) override
    {
        if (m_Warnings++ < kMaxWarnings)
            std::fprintf(stderr, "corvel-radio-sim: %s\n", text.c_str());
    }

private:
    double Now() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    }
    double ByteTime() const { return m_LineRate > 0 ? 10.0 / static_cast<double>(m_LineRate) : 0; }

    void LogFrame(const char* direction, const std::vector<uint8_t>& bytes, double at)
    {
        if (!m_Log)
            return;
        static const char digits[] = "0123456789ABCDEF";
        char head[48];
        int n = std::snprintf(head, sizeof head, "%.6f %s", at, direction);
        std::string line(head, static_cast<size_t>(n));
        line.reserve(line.size() + bytes.size() * 3 + 1);
        for (uint8_t b : bytes) {
            line += ' ';
            line += digits[b >> 4];
            line += digits[b & 0x0F];
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), m_Log);
    }

    void Enqueue(const std::vector<uint8_t>& message, double at)
    {
        if (m_Muted)
            return;
        std::vector<uint8_t> frame = BuildRadioFrame(message);
        Damage(frame.data(), frame.size());
        if (m_QueuedOut + frame.size() > kMaxQueuedOut) {
            Warn("the PC does not read; reply dropped");
            return;
        }
        double due = at;
        if (m_LineRate > 0) {
            due = std::max(m_LastOutDue, at) + static_cast<double>(frame.size()) * ByteTime();
            m_LastOutDue = due;
        }
        m_QueuedOut += frame.size();
        m_Out.push_back({ std::move(frame), due, 0, false });
    }

    // Writes the chunks that are due; false when the line refuses more.
    bool Flush(double now, bool ignorePacing)
    {
        if (m_Options.adapterLatencyMs > 0)
            return FlushThroughAdapter(now, ignorePacing);
        while (!m_Out.empty()) {
            OutChunk& c = m_Out.front();
            if (!ignorePacing && c.due > now)
                return true;
            if (!c.logged) {
                LogFrame("<<", c.bytes, std::max(now, c.due));
                c.logged = true;
            }
            while (c.done < c.bytes.size()) {
                ssize_t n = write(m_Pty.Master(), c.bytes.data() + c.done, c.bytes.size() - c.done);
                if (n > 0) {
                    c.done += static_cast<size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    return false;
                }
            }
            m_QueuedOut -= c.bytes.size();
            m_Out.pop_front();
        }
        return true;
    }

    struct OutChunk;
    // When byte `index` of a chunk has crossed the line: a paced chunk's
    // bytes arrive one byte time apart, ending at its due time.
    double ArrivalOf(const OutChunk& c, size_t index) const
    {
        return c.due - static_cast<double>(c.bytes.size() - 1 - index) * ByteTime();
    }

    // A USB serial adapter between the line and the PC: the bytes that
    // crossed the line wait in its buffer until the latency timer, started
    // by the first waiting byte, runs out, or until a full packet of 62 is
    // waiting.
    bool FlushThroughAdapter(double now, bool ignorePacing)
    {
        while (!m_Out.empty()) {
            OutChunk& c = m_Out.front();
            if (!ignorePacing && ArrivalOf(c, c.done) > now)
                break;
            if (!c.logged) {
                LogFrame("<<", c.bytes, std::max(now, c.due));
                c.logged = true;
            }
            while (c.done < c.bytes.size() && (ignorePacing || ArrivalOf(c, c.done) <= now)) {
                m_Held.push_back({ c.bytes[c.done], ArrivalOf(c, c.done) });
                ++c.done;
            }
            if (c.done < c.bytes.size())
                break;
            m_QueuedOut -= c.bytes.size();
            m_Out.pop_front();
        }
        const double latency = m_Options.adapterLatencyMs / 1000.0;
        while (!m_Held.empty()) {
            size_t count = 0;
            if (m_Held.size() >= kAdapterPacket)
                count = kAdapterPacket;
            else if (ignorePacing || now >= m_Held.front().arrival + latency)
                count = m_Held.size();
            else
                return true;
            uint8_t packet[kAdapterPacket];
            for (size_t i = 0; i < count; ++i)
                packet[i] = m_Held[i].byte;
            size_t done = 0;
            while (done < count) {
                ssize_t n = write(m_Pty.Master(), packet + done, count - done);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    m_Held.erase(m_Held.begin(), m_Held.begin() + static_cast<long>(done));
                    return false;
                }
            }
            m_Held.erase(m_Held.begin(), m_Held.begin() + static_cast<long>(count));
        }
        return true;
    }

    // When the adapter stage has something to do next, or -1.
    double NextAdapterEvent() const
    {
        if (m_Options.adapterLatencyMs <= 0)
            return -1;
        double next = -1;
        if (!m_Held.empty())
            next = m_Held.size() >= kAdapterPacket
                ? 0
                : m_Held.front().arrival + m_Options.adapterLatencyMs / 1000.0;
        if (!m_Out.empty()) {
            const double arrival = ArrivalOf(m_Out.front(), m_Out.front().done);
            next = next < 0 ? arrival : std::min(next, arrival);
        }
        return next;
    }

    bool NothingToSend() const { return m_Out.empty() && m_Held.empty(); }

    void ReadLine(double now)
    {
        uint8_t buf[4096];
        for (;;) {
            ssize_t n = read(m_Pty.Master(), buf, sizeof buf);
            if (n > 0) {
                m_LastReceived = now;
                Damage(buf, static_cast<size_t>(n));
                long speed = JudgedSpeed();
                double bt = ByteTime();
                for (ssize_t i = 0; i < n; ++i) {
                    double due = now;
                    if (bt > 0) {
                        due = std::max(m_LastInDue, now) + bt;
                        m_LastInDue = due;
                    }
                    m_In.push_back({ buf[i], due, speed });
                }
                // A short read emptied the line; spare the extra call.
                if (m_In.size() >= kMaxQueuedIn || static_cast<size_t>(n) < sizeof buf)
                    return;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
    }

    void ProcessInput(double now)
    {
        while (!m_In.empty() && m_In.front().due <= now) {
            InByte in = m_In.front();
            m_In.pop_front();
            m_EventTime = in.due;
            auto frame = m_Receiver.Feed(in.byte);
            if (!frame)
                continue;
            LogFrame(">>", frame->raw, now);
            if (!frame->message || m_CloseRequested || m_Muted)
                continue;
            if (!SpeedsAgree(*frame->message, in.pcSpeed))
                continue;
            ++m_ValidFrames;
            if (m_ValidFrames == m_Options.closeAfterFrames) {
                CloseLine();
                continue;
            }
            if (m_ValidFrames == m_Options.silentAfterFrames) {
                m_Muted = true;
                m_Timers.clear();
                continue;
            }
            m_Radio.OnMessage(*frame->message);
        }
    }

    // With --check-speed, a frame the PC sent at another speed than the
    // radio's is garbage to the radio. The baud-rate message itself may cross
    // while either side is switching.
    bool SpeedsAgree(const std::vector<uint8_t>& message, long pcSpeed)
    {
        if (pcSpeed == 0 || (message.size() >= 2 && message[0] == 0x09 && message[1] == 0x00))
            return true;
        if (pcSpeed == m_RadioBaud)
            return true;
        Warn("frame at " + std::to_string(pcSpeed) + " bit/s while the radio listens at "
            + std::to_string(m_RadioBaud) + " bit/s: dropped");
        return false;
    }

    // The PC's speed for judging the bytes of one read. On a pseudo-terminal
    // the PC may change its speed right after writing, before the bytes are
    // read here; so bytes are judged only when the speed was the same at the
    // previous read too (0 = give them the benefit of the doubt).
    long JudgedSpeed()
    {
        if (!m_Options.checkSpeed)
            return 0;
        long speed = m_Pty.PcSpeed();
        bool settled = speed == m_LastPcSpeed;
        m_LastPcSpeed = speed;
        return settled ? speed : 0;
    }

    // Damages bytes on the line at the chosen rate.
    void Damage(uint8_t* bytes, size_t size)
    {
        if (m_Options.corruptRate <= 0)
            return;
        for (size_t i = 0; i < size; ++i) {
            if (NextRandom() % 1000000 < static_cast<uint64_t>(m_Options.corruptRate * 1e6)) {
                bytes[i] = static_cast<uint8_t>(bytes[i] ^ (1 + NextRandom() % 255));
                ++m_Damaged;
            }
        }
    }
    uint64_t NextRandom()
    {
        // xorshift64*
        m_Random ^= m_Random >> 12;
        m_Random ^= m_Random << 25;
        m_Random ^= m_Random >> 27;
        return (m_Random * 2685821657736338717ULL) >> 11;
    }

    // When the next received frame ends, for the wake-up.
    double NextInputEvent() const
    {
        for (const InByte& in : m_In)
            if (in.byte == kEndByte)
                return in.due;
        return m_In.empty() ? -1 : m_In.back().due;
    }

    struct InByte {
        uint8_t byte;
        double due;
        long pcSpeed; // the PC's speed when the byte was read; 0 = not to be judged
    };
    struct OutChunk {
        std::vector<uint8_t> bytes;
        double due;
        size_t done;
        bool logged;
    };

    const Options& m_Options;
    PublishedPty& m_Pty;
    Radio m_Radio;
    FrameReceiver m_Receiver;
    std::chrono::steady_clock::time_point m_Start;
    std::FILE* m_Log = nullptr;
    long m_LineRate;
    double m_EventTime = 0;
    double m_LastInDue = 0;
    double m_LastOutDue = 0;
    double m_LastReceived = 0;
    double m_ExitAt = -1;
    bool m_CloseRequested = false;
    long m_RadioBaud = 19200;
    long m_LastPcSpeed = 19200;
    bool m_Muted = false; // silent for good after --silent-after-frames
    long m_ValidFrames = 0;
    uint64_t m_Random;
    long m_Damaged = 0;
    bool m_WaitForReader = false; // at the end, give the PC time to read the last replies
    int m_Warnings = 0;
    size_t m_QueuedOut = 0;
    std::deque<InByte> m_In;
    std::deque<OutChunk> m_Out;
    struct HeldByte {
        uint8_t byte;
        double arrival;
    };
    std::deque<HeldByte> m_Held; // in the adapter's buffer
    std::multimap<double, std::vector<uint8_t>> m_Timers;
};

int Simulator::Run(int signalFd)
{
    bool writeBlocked = false;
    for (;;) {
        double now = Now();
        while (!m_Timers.empty() && m_Timers.begin()->first <= now) {
            m_EventTime = m_Timers.begin()->first;
            auto message = std::move(m_Timers.begin()->second);
            m_Timers.erase(m_Timers.begin());
            if (!m_CloseRequested)
                Enqueue(message, m_EventTime);
        }
        ProcessInput(now);
        m_EventTime = now;
        writeBlocked = !Flush(now, false);

        if (m_CloseRequested && NothingToSend())
            break;
        if (m_ExitAt >= 0 && now >= m_ExitAt) {
            m_WaitForReader = true;
            break;
        }
        if (m_Options.idleExitSeconds > 0 && now - m_LastReceived >= m_Options.idleExitSeconds)
            break;

        // Sleep until the next thing is due.
        double wake = -1;
        auto consider = [&wake](double t) {
            if (t >= 0 && (wake < 0 || t < wake))
                wake = t;
        };
        consider(NextInputEvent());
        // A paced line wakes a little before a reply is due and polls up to
        // the due time: a process woken from an idle processor runs a tenth
        // of a millisecond late, which a cable does not.
        if (m_Options.adapterLatencyMs > 0) {
            if (!writeBlocked)
                consider(NextAdapterEvent());
        } else if (!m_Out.empty() && !writeBlocked) {
            consider(std::max(0.0, m_Out.front().due - (m_LineRate > 0 ? kPacingMargin : 0)));
        }
        if (!m_Timers.empty())
            consider(m_Timers.begin()->first);
        consider(m_ExitAt);
        if (m_Options.idleExitSeconds > 0)
            consider(m_LastReceived + m_Options.idleExitSeconds);

        pollfd fds[2] = { { m_Pty.Master(), 0, 0 }, { signalFd, POLLIN, 0 } };
        if (m_In.size() < kMaxQueuedIn)
            fds[0].events |= POLLIN;
        if (writeBlocked)
            fds[0].events |= POLLOUT;
        timespec ts {};
        timespec* timeout = nullptr;
        if (wake >= 0) {
            double left = std::max(0.0, wake - Now());
            ts.tv_sec = static_cast<time_t>(left);
            ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
            timeout = &ts;
        }
        if (m_Log)
            std::fflush(m_Log);
        int r = ppoll(fds, 2, timeout, nullptr);
        if (r < 0 && errno != EINTR) {
            Warn(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN)
            break;
        if (fds[0].revents & POLLIN)
            ReadLine(Now());
        if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN))
            usleep(10000); // nobody on the line for a moment: do not spin
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            Warn("the line failed");
            break;
        }
    }
    // Let what was already said reach the PC, for at most a second: closing
    // the line drops what the PC has not read yet.
    double until = Now() + 1.0;
    while (!NothingToSend() && Now() < until) {
        if (Flush(Now(), true) && NothingToSend())
            break;
        pollfd p { m_Pty.Master(), POLLOUT, 0 };
        poll(&p, 1, 20);
    }
    if (m_CloseRequested || m_WaitForReader) {
        // The terminal hands written bytes on to the reading side a moment
        // later, so only a queue seen empty twice, a while apart, is empty.
        int emptyChecks = 0;
        usleep(20000);
        while (emptyChecks < 2 && Now() < until) {
            emptyChecks = m_Pty.PendingForPc() > 0 ? 0 : emptyChecks + 1;
            usleep(10000);
        }
    }
    m_Radio.Finish();
    if (m_Damaged > 0)
        std::fprintf(stderr, "corvel-radio-sim: %ld bytes damaged on the line\n", m_Damaged);
    if (m_Log) {
        std::fclose(m_Log);
        m_Log = nullptr;
    }
    m_Pty.Close();
    return 0;
}

} // namespace

} // namespace radiosim

int main(int argc, char** argv)
{
    using namespace radiosim;
    Options options;
    if (auto done = ReadCommandLine(argc, argv, std::getenv("CORVEL_COM_DIR"), options))
        return *done;

    // End with the process that started us, and on the usual signals.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        return 0;
    std::signal(SIGPIPE, SIG_IGN);
    // A paced line wakes up for every frame; keep those wake-ups punctual.
    if (options.lineRate > 0)
        prctl(PR_SET_TIMERSLACK, 1UL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("corvel-radio-sim: signalfd");
        return 1;
    }

    PublishedPty pty;
    std::string error;
    if (!pty.Open(options.comDir, options.port, error)) {
        std::fprintf(stderr, "corvel-radio-sim: %s\n", error.c_str());
        return 1;
    }
    Simulator sim(options, pty);
    if (!sim.Prepare(error)) {
        pty.Close();
        std::fprintf(stderr, "corvel-radio-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("COM%d %s\n", pty.Port(), pty.DevicePath().c_str());
    std::fflush(stdout);
    return sim.Run(signalFd);
}
