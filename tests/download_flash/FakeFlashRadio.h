#pragma once

// A scripted radio in bootload mode for the flash engine's tests. It sits in
// place of the serial line (as a direct-path device or as the serial-port
// component), takes the frames the session writes apart with its own
// decoder, answers them as the radio's boot code and loader would, and keeps
// every message and every wire byte for the tests to look at.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/LinkCallbacks.h"
#include "link/QUVCommDevice.h"
#include "link/SerialPortComponent.h"

namespace flashtest {

using Bytes = std::vector<uint8_t>;

struct FakeRadioState {
    // --- behaviour
    int wrongSumPair = 0; // pair k (from 1, per stream) gets a wrong sum report
    int verifyFailPair = 0; // after the PC's verdict on pair k: 02 0A + address
    Bytes verifyAddress = { 0x00, 0x10, 0x20, 0x30 };
    int negativeStarts = 0; // answer this many starts with 02 0A
    int negativeSumReports = 0; // answer this many second blocks with 02 0A first
    int closeAfterBlocks = 0; // close the line after this many blocks (all streams)
    int silentAfterBlocks = 0; // answer nothing after this many blocks (all streams)
    int faultStream = 1; // faults above apply to this stream (0 loader, 1 code)
    bool answerFlashType = true;
    bool closeOnFlashType = false; // close the line instead of answering the query
    Bytes flashTypeReply = { 0x02, 0x0C, 0x00, 0x04 };
    int stopOnTick = 0; // DelayTicks: call onStop when this tick is reached
    std::function<void()> onStop;

    // --- what crossed the line
    Bytes wire; // every byte the PC wrote
    std::vector<Bytes> messages; // every message the PC sent, unframed
    std::vector<Bytes> streams; // data bytes of each stream's blocks, resends excluded
    std::vector<int> delayCalls; // DelayTicks calls
    int badFrames = 0; // frames with a wrong checksum or shape
    bool open = true;

    // --- radio side
    std::deque<uint8_t> pending; // bytes on their way to the PC
    void Reply(const Bytes& message);
    void Receive(const uint8_t* bytes, int count);
    int TotalTicks() const;

private:
    void Handle(const Bytes& message);
    bool InFaultStream() const { return static_cast<int>(streams.size()) - 1 == faultStream; }
    Bytes m_Raw;
    bool m_InFrame = false;
    int m_BlocksInStream = 0;
    int m_BlocksTotal = 0;
    int m_PairsInStream = 0;
    uint16_t m_PairSum = 0;
    bool m_AwaitResends = false;
};

// The radio as the direct path's device.
class FakeRadioDevice : public QUVCommDevice {
public:
    explicit FakeRadioDevice(std::shared_ptr<FakeRadioState> state)
        : m_State(std::move(state))
    {
    }
    int Open() override { return 1; }
    int Close() override;
    bool IsOpen() override { return m_State->open; }
    bool CharReady() override { return !m_State->pending.empty(); }
    int GetChar(uint8_t& ch) override;
    int Write(const uint8_t* buffer, int count) override;

private:
    std::shared_ptr<FakeRadioState> m_State;
};

// The radio behind the serial-port component. With `line` false the
// component only provides DelayTicks (the window attaches it even while the
// direct path is used).
class FakeRadioComponent : public ISerialPortComponent {
public:
    explicit FakeRadioComponent(std::shared_ptr<FakeRadioState> state, bool line = true)
        : m_State(std::move(state))
        , m_Line(line)
    {
    }
    void SetPortNumber(int) override { }
    void SetRs485Mode(bool) override { }
    bool Rs485Mode() const override { return false; }
    int Open() override { return 0; }
    void Close() override { m_State->open = false; }
    bool IsOpen() const override { return m_Line && m_State->open; }
    void EmptyInputBuffer() override { }
    void EmptyOutputBuffer() override { }
    void SetBaudRate(int) override { }
    bool ByteReady() override { return m_Line && !m_State->pending.empty(); }
    uint8_t GetByte() override;
    int OutputFree() override { return kBufferSize; }
    int OutputUsed() override { return 0; }
    bool Cts() override { return false; }
    int WriteBlock(const uint8_t* bytes, int count) override;
    void DelayTicks(int ticks) override;
    int WaitHandle() const override { return -1; }

private:
    std::shared_ptr<FakeRadioState> m_State;
    bool m_Line;
};

// A progress bar that keeps every position it was given.
class RecordingProgressBar : public IProgressBar {
public:
    void SetMinimum(int value) override { m_Minimum = value; }
    void SetMaximum(int value) override { m_Maximum = value; }
    void SetPosition(int value) override
    {
        m_Position = value;
        positions.push_back(value);
    }
    int Minimum() const override { return m_Minimum; }
    int Maximum() const override { return m_Maximum; }
    int Position() const override { return m_Position; }
    std::vector<int> positions;

private:
    int m_Minimum = -1;
    int m_Maximum = -1;
    int m_Position = -1;
};

} // namespace flashtest
