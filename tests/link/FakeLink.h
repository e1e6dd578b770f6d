#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "link/QUVCommDevice.h"
#include "link/SerialPortComponent.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

// A frame as the radio sends it, built here independently of the session:
// BA, header 7F 01 (or the given ones), escaped payload, escaped checksum, 7E.
Bytes RadioFrame(const Bytes& payload, uint8_t header1 = 0x01, uint8_t header2 = 0x7F);

// A scripted direct device. Bytes queued with Feed are read back one at a
// time; every Write is recorded and handed to the responder, which may feed
// a reply. Optionally the line "closes" once the queued bytes are used up.
class FakeDevice : public QUVCommDevice {
public:
    FakeDevice() { m_DeviceKind = 2; }

    void Feed(const Bytes& bytes) { m_Input.insert(m_Input.end(), bytes.begin(), bytes.end()); }
    // Called with the bytes of every Write.
    std::function<void(const Bytes&)> responder;
    // Called on each CharReady (lets a test feed bytes slowly).
    std::function<void()> onPoll;
    bool closeWhenDrained = false;

    std::vector<Bytes> writes;
    int charReadyCalls = 0;
    int writeResult = 0; // 0: bytes written; otherwise the result to return

    int Open() override
    {
        m_Open = true;
        return 1;
    }
    int Close() override
    {
        m_Open = false;
        ++closeCalls;
        return 1;
    }
    bool IsOpen() override
    {
        if (closeWhenDrained && m_Input.empty()) {
            m_Open = false;
        }
        return m_Open;
    }
    bool CharReady() override
    {
        ++charReadyCalls;
        if (onPoll) {
            onPoll();
        }
        return m_Open && !m_Input.empty();
    }
    int GetChar(uint8_t& ch) override
    {
        if (m_Input.empty()) {
            return 0;
        }
        ch = m_Input.front();
        m_Input.pop_front();
        return 1;
    }
    // Block reads of up to this many bytes; 0: the device has only GetChar.
    int readChunk = 0;
    int Read(uint8_t* buffer, int count) override
    {
        if (readChunk <= 0) {
            return -1;
        }
        int n = 0;
        while (n < count && n < readChunk && !m_Input.empty()) {
            buffer[n++] = m_Input.front();
            m_Input.pop_front();
        }
        return n;
    }
    int Write(const uint8_t* buffer, int count) override
    {
        Bytes bytes(buffer, buffer + count);
        writes.push_back(bytes);
        if (responder) {
            responder(bytes);
        }
        return writeResult != 0 ? writeResult : count;
    }

    size_t Pending() const { return m_Input.size(); }
    int closeCalls = 0;

private:
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
    int portNumber = 0;
    int baudRate = 0;
    int outputUsed = 0;
    int writeError = 0;
    int emptyInputCalls = 0;
    int emptyOutputCalls = 0;
    std::vector<int> delays;
    std::deque<uint8_t> input;
    std::vector<Bytes> writes;

    void SetPortNumber(int number) override { portNumber = number; }
    void SetRs485Mode(bool on) override { rs485 = on; }
    bool Rs485Mode() const override { return rs485; }
    int Open() override
    {
        open = openError == 0;
        return openError;
    }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    void EmptyInputBuffer() override
    {
        ++emptyInputCalls;
        input.clear();
    }
    void EmptyOutputBuffer() override
    {
        ++emptyOutputCalls;
        outputUsed = 0;
    }
    void SetBaudRate(int rate) override { baudRate = rate; }
    bool ByteReady() override { return open && !input.empty(); }
    uint8_t GetByte() override
    {
        uint8_t byte = input.front();
        input.pop_front();
        return byte;
    }
    int OutputFree() override
    {
        if (onOutputPoll) {
            onOutputPoll();
        }
        return kBufferSize - outputUsed;
    }
    int OutputUsed() override
    {
        if (onOutputPoll) {
            onOutputPoll();
        }
        return outputUsed;
    }
    bool Cts() override
    {
        if (onOutputPoll) {
            onOutputPoll();
        }
        return cts;
    }
    int WriteBlock(const uint8_t* bytes, int count) override
    {
        Bytes block(bytes, bytes + count);
        writes.push_back(block);
        if (responder) {
            responder(block);
        }
        return writeError;
    }
    void DelayTicks(int ticks) override { delays.push_back(ticks); }
    int WaitHandle() const override { return -1; }
};

} // namespace linktest
