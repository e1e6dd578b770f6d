#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/CommSession.h"
#include "link/QUVCommDevice.h"
#include "link/SerialPortComponent.h"
#include "link/SimpleEventLoop.h"
#include "tests/support/ScriptedLink.h"
#include "tests/support/TestFrames.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using testframes::RadioFrame;
using testsupport::CappedWaitTimer;

inline Bytes Payload(const LinkMessage& m)
{
    return Bytes(m.data, m.data + std::max(0, m.count));
}

inline long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A scripted direct device. Bytes queued with Feed are read back one at a
// time; every Write is recorded and handed to the responder, which may feed
// a reply. Optionally the line "closes" once the queued bytes are used up.
class FakeDevice : public QUVCommDevice {
public:
    FakeDevice() { m_DeviceKind = 2; }

    void Feed(const Bytes& bytes) { m_Input.insert(m_Input.end(), bytes.begin(), bytes.end()); }
    size_t Pending() const { return m_Input.size(); }

    std::function<void(const Bytes&)> responder; // called with the bytes of every Write
    std::function<void()> onPoll; // called on each CharReady (to feed bytes slowly)
    bool closeWhenDrained = false;
    int readChunk = 0; // block reads of up to this many bytes; 0: only GetChar
    platform::LineLoss loss = platform::LineLoss::None; // a pulled cable
    std::vector<Bytes> writes;
    int charReadyCalls = 0;

    int Open() override
    {
        m_Open = true;
        return 1;
    }
    int Close() override
    {
        m_Open = false;
        return 1;
    }
    bool IsOpen() override
    {
        if (closeWhenDrained && m_Input.empty())
            m_Open = false;
        return m_Open;
    }
    bool CharReady() override
    {
        ++charReadyCalls;
        if (onPoll)
            onPoll();
        return m_Open && !m_Input.empty() && loss == platform::LineLoss::None;
    }
    platform::LineLoss Loss() const override { return loss; }
    int GetChar(uint8_t& ch) override { return Read(&ch, 1, 1); }
    int Read(uint8_t* buffer, int count) override
    {
        return readChunk > 0 ? Read(buffer, count, readChunk) : -1;
    }
    int Write(const uint8_t* buffer, int count) override
    {
        writes.emplace_back(buffer, buffer + count);
        if (responder)
            responder(writes.back());
        return count;
    }

private:
    int Read(uint8_t* buffer, int count, int chunk)
    {
        int n = 0;
        for (; n < count && n < chunk && !m_Input.empty(); ++n) {
            buffer[n] = m_Input.front();
            m_Input.pop_front();
        }
        return n;
    }
    bool m_Open = true;
    std::deque<uint8_t> m_Input;
};

// A scripted serial-port component.
class FakeComponent : public ISerialPortComponent {
public:
    void Feed(const Bytes& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
    std::function<void(const Bytes&)> responder;
    // Called on each output-space or CTS poll, so a test can free the line.
    std::function<void()> onOutputPoll;

    int openError = 0;
    bool open = false;
    bool rs485 = false;
    bool cts = false;
    int baudRate = 0;
    int outputUsed = 0;
    int writeError = 0;
    std::vector<int> delays;
    std::deque<uint8_t> input;
    std::vector<Bytes> writes;

    void SetPortNumber(int) override { }
    void SetRs485Mode(bool on) override { rs485 = on; }
    bool Rs485Mode() const override { return rs485; }
    int Open() override
    {
        open = openError == 0;
        return openError;
    }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    void EmptyInputBuffer() override { input.clear(); }
    void EmptyOutputBuffer() override { outputUsed = 0; }
    void SetBaudRate(int rate) override { baudRate = rate; }
    bool ByteReady() override { return open && !input.empty(); }
    uint8_t GetByte() override
    {
        uint8_t byte = input.front();
        input.pop_front();
        return byte;
    }
    int OutputFree() override { return kBufferSize - OutputUsed(); }
    int OutputUsed() override { return Polled() ? outputUsed : 0; }
    bool Cts() override { return Polled() && cts; }
    int WriteBlock(const uint8_t* bytes, int count) override
    {
        writes.emplace_back(bytes, bytes + count);
        if (responder)
            responder(writes.back());
        return writeError;
    }
    void DelayTicks(int ticks) override { delays.push_back(ticks); }
    int WaitHandle() const override { return -1; }

private:
    // Runs the poll hook first, so that it can free the line for this poll.
    bool Polled()
    {
        if (onOutputPoll)
            onOutputPoll();
        return true;
    }
};

// A session on a scripted direct device, ready as the window leaves it after
// opening.
struct DirectLink : testsupport::ScriptedLink<FakeDevice> {
    explicit DirectLink(int waitMs = 300)
        : ScriptedLink(waitMs)
    {
        session.SetReceiveEnable(true);
    }
};

} // namespace linktest
