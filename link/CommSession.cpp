#include "link/CommSession.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>

#include "link/ComponentLine.h"
#include "link/DeviceLine.h"
#include "link/LineRates.h"
#include "link/LinkTrace.h"
#include "link/MessageTable.h"
#include "link/QUVCommDeviceSerial.h"

namespace {

// Longest sleep of one idle pass: a Stop or a timer still acts well within
// 50 ms, and an idle wait wakes at most 50 times a second.
constexpr int kIdleSliceMs = 20;
constexpr int kTickMs = 55;
// A frame in the worst case: start, header, every byte and the checksum
// escaped, end.
constexpr int kFrameCapacity = 3 + 2 * (kLinkMessageCapacity + 1) + 1;

bool Matches(const LinkCode& code, int length, const LinkMessage& payload)
{
    if (code.size < 1 || code.size > 2 || payload.count != length || payload.count < code.size) {
        return false;
    }
    for (int i = 0; i < code.size; ++i) {
        if (payload.data[i] != code.bytes[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

CommSession::CommSession()
    : m_Line(std::make_unique<DeviceLine>(nullptr, nullptr))
{
}

// Only the direct device is the session's own; the component belongs to the
// window, which closes it itself.
CommSession::~CommSession() = default;

// ---------------------------------------------------------------- opening

void CommSession::AttachLine(std::unique_ptr<ILinkLine> line)
{
    m_ReceiveEnable = false;
    m_Idle = false;
    m_RepeatAfterNegative = false;
    m_LineLoss = platform::LineLoss::None;
    m_Line = std::move(line);
}

void CommSession::AttachDevice(std::unique_ptr<QUVCommDevice> device)
{
    AttachLine(std::make_unique<DeviceLine>(std::move(device), nullptr));
}

bool CommSession::OpenDevice(int portNumber, int baudRate, bool rs485, std::string& message)
{
    // The old line goes before the new device is made.
    AttachLine(std::make_unique<DeviceLine>(nullptr, nullptr));
    try {
        auto device = std::make_unique<QUVCommDeviceSerial>();
        QUVCommDeviceSerial* serial = device.get();
        m_Line = std::make_unique<DeviceLine>(std::move(device), serial);
        if (!serial->Connect(portNumber, LineRateOf(baudRate).deviceCode, rs485)) {
            message = kTextPortError;
            return false;
        }
    } catch (const std::exception&) {
        message = kTextPortError;
        return false;
    }
    return true;
}

bool CommSession::OpenComponentPort(ISerialPortComponent* component, std::string& message)
{
    AttachLine(std::make_unique<ComponentLine>(component));
    m_Component = component;
    if (component == nullptr) {
        message = kTextPortError;
        return false;
    }
    try {
        int error = component->Open();
        if (error != 0 || !component->IsOpen()) {
            message
                = error == ISerialPortComponent::kErrorPortInUse ? kTextPortInUse : kTextPortError;
            return false;
        }
        component->EmptyInputBuffer();
        component->EmptyOutputBuffer();
    } catch (const std::exception&) {
        message = kTextPortError;
        return false;
    }
    return true;
}

void CommSession::Close()
{
    m_LineLoss = platform::LineLoss::None;
    m_Line->Close(*this);
}

void CommSession::IdlePass(int maxMs)
{
    if (m_Pump != nullptr) {
        m_Pump->PumpOnce();
    }
    IdlePause(-1, maxMs);
}

void CommSession::StopWaitTimer()
{
    if (m_WaitTimer != nullptr) {
        m_WaitTimer->Stop();
    }
}

// ------------------------------------------------------------- settings

bool CommSession::SetWaitTime(int milliseconds)
{
    m_WaitTime = milliseconds;
    return true;
}

void CommSession::SetLocalBaudRate(int baudRate)
{
    try {
        m_Line->SetBaudRate(baudRate);
    } catch (const std::exception&) {
        // The next wait finds out whether the line still works.
    }
}

// ---------------------------------------------------------- choke point

bool CommSession::WireReadByte(uint8_t& byte)
{
    bool ok = false;
    try {
        ok = m_Line->ReadByte(byte);
    } catch (const std::exception&) {
        ok = false;
    }
    if (ok && m_Trace != nullptr) {
        m_Trace->Received(byte, byte == FrameDecoder::kEndByte);
    }
    return ok;
}

// ---------------------------------------------------------------- waits

void CommSession::IdlePause(int fd, int maxMs)
{
    if (m_OwnDeadlineArmed) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_OwnDeadline - std::chrono::steady_clock::now())
                        .count();
        maxMs = static_cast<int>(std::clamp<long long>(left + 1, 0, maxMs));
    }
    if (fd >= 0 && m_CheckHangup) {
        // A line whose other end has gone reports itself ready for good; the
        // wait then sleeps without it instead of spinning until the time-out.
        pollfd probe { fd, POLLIN, 0 };
        if (::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            fd = -1;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    if (m_Pump != nullptr) {
        m_Pump->WaitIdle(fd, maxMs);
    } else if (fd >= 0) {
        pollfd entry { fd, POLLIN, 0 };
        ::poll(&entry, 1, maxMs);
    } else if (maxMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(maxMs));
    }
    m_CheckHangup = fd >= 0 && maxMs > 0
        && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1);
}

void CommSession::StartWait()
{
    if (m_WaitTimer != nullptr) {
        m_WaitTimer->Start(m_WaitTime);
        m_OwnDeadlineArmed = false;
    } else {
        m_OwnDeadlineArmed = true;
        m_OwnDeadline
            = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(m_WaitTime, 0));
    }
}

void CommSession::EndWait()
{
    if (m_WaitTimer != nullptr) {
        m_WaitTimer->Stop();
    }
    m_OwnDeadlineArmed = false;
}

bool CommSession::OwnDeadlinePassed() const
{
    return m_OwnDeadlineArmed && std::chrono::steady_clock::now() >= m_OwnDeadline;
}

bool CommSession::ReceiveFrame(
    WaitKind kind, const Expectation* expectation, LinkMessage& reply, bool* alternative)
{
    const auto started = std::chrono::steady_clock::now();
    const bool enabledAtStart = m_ReceiveEnable;
    StartWait();
    m_Idle = false;
    m_Decoder.Reset();
    bool accepted = false;
    bool lineClosed = false;
    while (m_ReceiveEnable && !accepted) {
        if (m_Pump != nullptr) {
            m_Pump->PumpOnce();
        }
        if (OwnDeadlinePassed()) {
            m_ReceiveEnable = false;
            break;
        }
        if (!m_ReceiveEnable) {
            break;
        }
        if (!m_Line->IsOpen()) {
            lineClosed = true;
            break;
        }
        bool byteReady = false;
        try {
            byteReady = m_Line->ByteReady();
        } catch (const std::exception&) {
            byteReady = false;
        }
        if (!byteReady) {
            // A pulled adapter or a hung-up line never delivers again: the
            // wait ends now instead of at its time-out.
            const platform::LineLoss loss = m_Line->Loss();
            if (loss != platform::LineLoss::None) {
                m_LineLoss = loss;
                break;
            }
            if (kind != WaitKind::Message) {
                m_Idle = true;
            }
            IdlePause(m_Line->WaitHandle(), kIdleSliceMs);
            continue;
        }
        m_Idle = false;
        uint8_t byte = 0;
        if (!WireReadByte(byte)) {
            continue;
        }
        const FrameDecoder::Event event = m_Decoder.Push(byte);
        if (event == FrameDecoder::Event::Overlong && m_Trace != nullptr) {
            m_Trace->Event("frame over 1024 bytes dropped");
        }
        if (event != FrameDecoder::Event::Message) {
            continue;
        }
        const LinkMessage& payload = m_Decoder.Message();
        if (kind != WaitKind::Exchange) {
            reply = payload;
            accepted = true;
        } else if (Matches(expectation->expected, expectation->expectedLength, payload)) {
            reply = payload;
            *alternative = false;
            accepted = true;
        } else if (Matches(expectation->alternative, expectation->alternativeLength, payload)) {
            reply = payload;
            *alternative = true;
            accepted = true;
        }
    }
    EndWait();
    if (m_Trace != nullptr && !accepted) {
        if (m_LineLoss == platform::LineLoss::HungUp) {
            m_Trace->Event("line hung up");
        } else if (m_LineLoss == platform::LineLoss::Removed) {
            m_Trace->Event("device removed");
        } else if (lineClosed) {
            m_Trace->Event("line closed");
        } else if (!enabledAtStart) {
            m_Trace->Event("wait skipped: receive-enable cleared");
        } else {
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started)
                              .count();
            m_Trace->Event(waited + 1 >= m_WaitTime
                    ? "time-out after " + std::to_string(waited) + " ms"
                    : "stopped after " + std::to_string(waited) + " ms");
        }
    }
    return accepted;
}

LinkMessage CommSession::Exchange(LinkCode expected, int expectedLength, LinkCode alternative,
    int alternativeLength, bool* matchedAlternative)
{
    Expectation expectation { expected, expectedLength, alternative, alternativeLength };
    LinkMessage reply;
    bool alternativeMatched = false;
    if (!ReceiveFrame(WaitKind::Exchange, &expectation, reply, &alternativeMatched)) {
        reply = LinkMessage();
    }
    if (matchedAlternative != nullptr) {
        *matchedAlternative = alternativeMatched;
    }
    return reply;
}

LinkMessage CommSession::ReceiveAny()
{
    LinkMessage reply;
    if (!ReceiveFrame(WaitKind::Any, nullptr, reply, nullptr)) {
        reply = LinkMessage();
    }
    return reply;
}

int CommSession::ReceiveMessage(LinkMessage& reply)
{
    LinkMessage received;
    if (!ReceiveFrame(WaitKind::Message, nullptr, received, nullptr)) {
        return -1;
    }
    reply = received;
    return 1;
}

LinkResult CommSession::LinkStatus() const
{
    if (m_LineLoss != platform::LineLoss::None) {
        return LinkResult::CommProblem;
    }
    if (m_Idle && m_Line->SilenceIsProblem()) {
        return LinkResult::CommProblem;
    }
    return m_ReceiveEnable ? LinkResult::ReplyReceived : LinkResult::TimedOut;
}

// -------------------------------------------------------------- sending

int CommSession::BuildFrame(const uint8_t* message, int count, uint8_t* frame)
{
    int length = 0;
    auto put = [&](uint8_t byte) {
        if (byte == FrameDecoder::kStartByte) {
            frame[length++] = FrameDecoder::kEscapeByte;
            frame[length++] = 0x00;
        } else if (byte == FrameDecoder::kEndByte) {
            frame[length++] = FrameDecoder::kEscapeByte;
            frame[length++] = 0x01;
        } else if (byte == FrameDecoder::kEscapeByte) {
            frame[length++] = FrameDecoder::kEscapeByte;
            frame[length++] = 0x02;
        } else {
            frame[length++] = byte;
        }
    };
    frame[length++] = FrameDecoder::kStartByte;
    frame[length++] = kHeader1;
    frame[length++] = kHeader2;
    uint8_t sum = static_cast<uint8_t>(kHeader1 + kHeader2);
    for (int i = 0; i < count; ++i) {
        put(message[i]);
        sum = static_cast<uint8_t>(sum + message[i]);
    }
    put(static_cast<uint8_t>(0x100 - sum));
    frame[length++] = FrameDecoder::kEndByte;
    return length;
}

int CommSession::SendMessage(const LinkMessage& message)
{
    if (message.count < 0 || message.count > kLinkMessageCapacity) {
        return -1;
    }
    uint8_t frame[kFrameCapacity];
    int length = 0;
    if (m_Framing == kFramingFramed) {
        length = BuildFrame(message.data, message.count, frame);
    } else {
        std::memcpy(frame, message.data, static_cast<size_t>(message.count));
        length = message.count;
    }
    if (!m_Line->ReadyToSend(length, *this)) {
        if (m_Trace != nullptr) {
            m_Trace->Event("send failed: output not ready");
        }
        return -1;
    }
    // The one place through which every sent byte passes.
    if (m_Trace != nullptr) {
        m_Trace->Sent(frame, length);
    }
    return m_Line->Write(frame, length);
}

int CommSession::SendCode(const uint8_t* code, int codeLength, const uint8_t* data, int length)
{
    LinkMessage message;
    std::memcpy(message.data, code, static_cast<size_t>(codeLength));
    message.count = codeLength;
    if (data != nullptr && length > 0) {
        if (length > kLinkMessageCapacity - codeLength) {
            return -1;
        }
        std::memcpy(message.data + codeLength, data, static_cast<size_t>(length));
        message.count += length;
    }
    return SendMessage(message);
}

int CommSession::SendCode2(uint8_t command, uint8_t subCode, const uint8_t* data, int length)
{
    const uint8_t code[] = { command, subCode };
    return SendCode(code, 2, data, length);
}

int CommSession::SendCode1(uint8_t code, const uint8_t* data, int length)
{
    return SendCode(&code, 1, data, length);
}

// -------------------------------------------------------- radio control

void CommSession::SetRadioBaudRate(int baudRate)
{
    LinkMessage message;
    MessageTable::BuildRequest(msg::kSetBaudRate, message);
    message.data[message.count++] = LineRateOf(baudRate).radioIndex;
    SendMessage(message);
    const int pauseMs = m_Line->RateSwitchPauseMs();
    if (pauseMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    SetLocalBaudRate(baudRate);
}

bool CommSession::ProbeRadio()
{
    static constexpr uint8_t kProbe[]
        = { 0xBA, 0x7F, 0x4F, 0x09, 0x01, 0x77, 0x77, 0x77, 0xC3, 0x7E };
    LinkMessage probe;
    std::memcpy(probe.data, kProbe, sizeof kProbe);
    probe.count = sizeof kProbe;
    SetFraming(kFramingRaw);
    SendMessage(probe);
    SetFraming(kFramingFramed);
    const LinkCode answer(0x09, 0x02);
    LinkMessage reply = Exchange(answer, 6, answer, 6);
    return reply.count >= 2 && reply.data[0] == 0x09 && reply.data[1] == 0x02;
}

void CommSession::DelayTicks(int ticks)
{
    if (ticks <= 0) {
        return;
    }
    if (m_Component != nullptr) {
        m_Component->DelayTicks(ticks);
        return;
    }
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(ticks * kTickMs);
    for (;;) {
        if (m_Pump != nullptr) {
            m_Pump->PumpOnce();
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            break;
        }
        int slice = static_cast<int>(std::min<long long>(left, kIdleSliceMs * 5));
        if (m_Pump != nullptr) {
            m_Pump->WaitIdle(-1, slice);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        }
    }
}

// ---------------------------------------------------------------- utility

uint16_t CommSession::WordSum16(const uint8_t* bytes, int length)
{
    uint16_t sum = 0;
    for (int i = 0; i < length; i += 2) {
        uint16_t high = bytes[i];
        uint16_t low = i + 1 < length ? bytes[i + 1] : 0;
        sum = static_cast<uint16_t>(sum + ((high << 8) | low));
    }
    return sum;
}

int CommSession::SendTableMessage(int number)
{
    LinkMessage message;
    if (!MessageTable::BuildRequest(number, message)) {
        return -1;
    }
    return SendMessage(message);
}
