#pragma once

// A scripted radio in bootload mode in place of the serial line (as the
// direct path's device or as the serial-port component). It decodes the
// frames the session writes with the suites' own decoder, answers as the
// radio's boot code and loader would, and keeps every message.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "link/LinkCallbacks.h"
#include "link/QUVCommDevice.h"
#include "link/SerialPortComponent.h"
#include "tests/support/TestFrames.h"

namespace flashtest {

using Bytes = std::vector<uint8_t>;

struct FakeRadioState {
    // Behaviour. Pairs count from 1 within a stream; blocks over all streams.
    int verifyFailPair = 0; // the PC's verdict on this pair is answered 02 0A 00 10 20 30
    int negativeStarts = 0; // refuse this many starts with 02 0A
    int negativeSumReports = 0; // refuse this many second blocks with 02 0A
    int closeAfterBlocks = 0; // close the line at this block
    int silentAfterBlocks = 0; // answer nothing from this block on
    int faultStream = 1; // stream the verify fault hits (0 loader, 1 code)
    bool closeOnFlashType = false; // close the line instead of answering the query
    Bytes flashTypeReply = { 0x02, 0x0C, 0x00, 0x04 };
    int stopOnTick = 0; // call onStop when the DelayTicks total reaches this
    std::function<void()> onStop;

    // What crossed the line.
    std::vector<Bytes> messages; // every message the PC sent, unframed
    std::vector<Bytes> streams; // each stream's block data, resends excluded
    int ticks = 0; // DelayTicks total
    int badFrames = 0; // frames with a wrong checksum or shape
    bool open = true;

    std::deque<uint8_t> pending; // bytes on their way to the PC
    void Reply(const Bytes& message);
    void Receive(const uint8_t* bytes, int count);
    bool TakeByte(uint8_t& b)
    {
        const bool any = !pending.empty();
        if (any) {
            b = pending.front();
            pending.pop_front();
        }
        return any;
    }

private:
    void Handle(const Bytes& message);
    testframes::PcFrameReader m_Reader;
    int m_BlocksInStream = 0;
    int m_BlocksTotal = 0;
    int m_PairsInStream = 0;
    uint16_t m_PairSum = 0;
};

// The radio as the direct path's device.
class FakeRadioDevice : public QUVCommDevice {
public:
    explicit FakeRadioDevice(std::shared_ptr<FakeRadioState> state)
        : m_State(std::move(state))
    {
    }
    int Open() override { return 1; }
    int Close() override
    {
        m_State->open = false;
        return 1;
    }
    bool IsOpen() override { return m_State->open; }
    bool CharReady() override { return !m_State->pending.empty(); }
    int GetChar(uint8_t& ch) override { return m_State->TakeByte(ch) ? 1 : 0; }
    int Write(const uint8_t* buffer, int count) override;

private:
    std::shared_ptr<FakeRadioState> m_State;
};

// The serial-port component: it records what it is told and, with a radio
// attached, leads to that radio. With `line` false it only provides
// DelayTicks (the window attaches it even on the direct path).
class FakeRadioComponent : public ISerialPortComponent {
public:
    explicit FakeRadioComponent(std::shared_ptr<FakeRadioState> state = {}, bool line = true)
        : m_State(std::move(state))
        , m_Line(line)
    {
    }
    void SetPortNumber(int number) override { port = number; }
    void SetRs485Mode(bool on) override { rs485 = on; }
    bool Rs485Mode() const override { return rs485; }
    int Open() override
    {
        open = openResult == 0;
        return openResult;
    }
    void Close() override
    {
        open = false;
        if (m_State)
            m_State->open = false;
    }
    bool IsOpen() const override { return m_State ? m_Line && m_State->open : open; }
    void EmptyInputBuffer() override { }
    void EmptyOutputBuffer() override { }
    void SetBaudRate(int baudRate) override { bauds.push_back(baudRate); }
    bool ByteReady() override { return m_State && m_Line && !m_State->pending.empty(); }
    uint8_t GetByte() override
    {
        uint8_t b = 0;
        return m_State && m_State->TakeByte(b) ? b : 0;
    }
    int OutputFree() override { return kBufferSize; }
    int OutputUsed() override { return 0; }
    bool Cts() override { return false; }
    int WriteBlock(const uint8_t* bytes, int count) override;
    void DelayTicks(int ticks) override;
    int WaitHandle() const override { return -1; }

    int openResult = 0; // what Open gives
    int port = 0;
    bool rs485 = false;
    bool open = false;
    std::vector<int> bauds; // every rate set
    Bytes written; // every byte written

private:
    std::shared_ptr<FakeRadioState> m_State;
    bool m_Line;
};

// A progress bar that keeps every position it was given.
class RecordingProgressBar : public IProgressBar {
public:
    void SetMinimum(int value) override { minimum = value; }
    void SetMaximum(int value) override { maximum = value; }
    void SetPosition(int value) override { positions.push_back(value); }
    int Minimum() const override { return minimum; }
    int Maximum() const override { return maximum; }
    int Position() const override { return positions.empty() ? -1 : positions.back(); }
    int minimum = -1;
    int maximum = -1;
    std::vector<int> positions;
};

} // namespace flashtest
