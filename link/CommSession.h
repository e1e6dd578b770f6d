#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/FrameDecoder.h"
#include "link/LinkCallbacks.h"
#include "link/LinkLine.h"
#include "link/LinkMessage.h"
#include "link/QUVCommDevice.h"
#include "link/SerialPortComponent.h"

class LinkTrace;

// The link session: every message to and from the radio passes through it.
// It owns the open line (ILinkLine: the direct serial device or the window's
// serial-port component), frames outgoing messages, and has incoming ones
// unframed and checked by its FrameDecoder and matches them to what a wait
// expects. All waiting happens on the caller's thread: a wait
// polls the line one byte per pass and pumps the window's message queue
// between passes, sleeping on the line's descriptor when nothing is waiting.
// A wait ends when a matching reply arrived, when the line is found closed,
// or when the receive-enable flag is cleared (by the wait timer's owner on
// expiry, by Stop, or by a caller).
class CommSession final : private ILineWaits {
public:
    // Framing modes.
    static constexpr int kFramingRaw = 0;
    static constexpr int kFramingFramed = 1;

    // Header bytes of the PC's frames.
    static constexpr uint8_t kHeader1 = 0x7F;
    static constexpr uint8_t kHeader2 = 0x01;
    // Bound of a received raw frame; a longer one is dropped.
    static constexpr int kRawFrameLimit = FrameDecoder::kRawFrameLimit;

    // Texts of a failed open.
    static constexpr const char* kTextPortError = "Unable to start communication: COM port error";
    static constexpr const char* kTextPortInUse = "The chosen COM port is in use or not available";

    CommSession();
    ~CommSession();
    CommSession(const CommSession&) = delete;
    CommSession& operator=(const CommSession&) = delete;

    // Wiring by the owner (the main window, a tool or a test).
    void SetMessagePump(IMessagePump* pump) { m_Pump = pump; }
    // The window's m_CommTimer. Its owner handles expiry by calling
    // SetReceiveEnable(false) and stopping the timer. Without a timer the
    // session ends its waits after the wait time by itself.
    void SetWaitTimer(IWaitTimer* timer) { m_WaitTimer = timer; }
    // The window's serial-port component (not owned), attached at
    // construction even while the direct path is used.
    void SetComponent(ISerialPortComponent* component) { m_Component = component; }
    ISerialPortComponent* Component() const { return m_Component; }
    // Support trace of the line's traffic (not owned), or nullptr.
    void SetTrace(LinkTrace* trace) { m_Trace = trace; }

    // Takes over an open line (any way to the radio): the session starts
    // from a clean state, as after every open.
    void AttachLine(std::unique_ptr<ILinkLine> line);
    // Direct path on a ready-made device (a scripted device in tests): the
    // session takes it over as OpenDevice would after a successful open.
    void AttachDevice(std::unique_ptr<QUVCommDevice> device);

    // Direct path: opens COM<portNumber> at the given baud rate. False with
    // kTextPortError in `message` on failure.
    bool OpenDevice(int portNumber, int baudRate, bool rs485, std::string& message);
    // Component path: the caller has set the component's port number and
    // RS-485 mode; opens it and empties its buffers. False with
    // kTextPortInUse or kTextPortError in `message` on failure.
    bool OpenComponentPort(ISerialPortComponent* component, std::string& message);
    void Close();

    void SetReceiveEnable(bool enable) { m_ReceiveEnable = enable; }
    bool ReceiveEnabled() const { return m_ReceiveEnable; }
    void SetFraming(int mode) { m_Framing = mode; }
    int Framing() const { return m_Framing; }
    // Interval of each wait in milliseconds; always true.
    bool SetWaitTime(int milliseconds);
    int WaitTime() const { return m_WaitTime; }
    // Sets the local side of the line to a baud rate.
    void SetLocalBaudRate(int baudRate);
    // Whether a request the radio answered negatively is sent again (while
    // the wait lasts): set by whoever opens the line, for a radio behind an
    // RS-485 box that refuses while it settles. Every open clears it.
    void SetRepeatAfterNegative(bool repeat) { m_RepeatAfterNegative = repeat; }
    bool RepeatsAfterNegative() const { return m_RepeatAfterNegative; }
    bool Idle() const { return m_Idle; }

    // Sends a message, framed in framing mode 1, as it is in mode 0: the
    // line's write result (direct path: the device's Write result; component
    // path: 1 when the block write succeeded), -1 when it could not be sent.
    int SendMessage(const LinkMessage& message);
    // Sends the code byte(s) followed by `length` data bytes (none when
    // `data` is null).
    int SendCode2(uint8_t command, uint8_t subCode, const uint8_t* data, int length);
    int SendCode1(uint8_t code, const uint8_t* data, int length);
    // Sends the request of a message-table row by its number (-1 for a
    // number that is not in the table).
    int SendTableMessage(int number);

    // Waits for a framed reply whose code and payload length match the
    // expected ones, or the alternative ones (then *matchedAlternative is
    // true). Other valid frames are dropped. Without a match the reply has
    // count 0 and zeroed bytes; LinkStatus tells why.
    LinkMessage Exchange(LinkCode expected, int expectedLength, LinkCode alternative,
        int alternativeLength, bool* matchedAlternative = nullptr);
    // Waits for the first valid frame, whatever its code (count 0 if none).
    LinkMessage ReceiveAny();
    // Waits for the first valid frame: 1 and `reply` filled, or -1 and
    // `reply` untouched.
    int ReceiveMessage(LinkMessage& reply);
    // Result of the last wait: CommProblem (line hung up or device gone;
    // component path with an idle line), ReplyReceived (receive-enable still
    // set) or TimedOut.
    LinkResult LinkStatus() const;
    // Why the line is gone, once a wait has found it hung up or its device
    // removed; None while the line works. Cleared when a line is opened.
    platform::LineLoss LineLoss() const { return m_LineLoss; }

    // Tells the radio the new rate (message 42 plus a rate index), then
    // switches the local side.
    void SetRadioBaudRate(int baudRate);
    // The presence probe: true when the radio answered it.
    bool ProbeRadio();

    // Waits `ticks` ticks of 55 ms while yielding to the message queue:
    // through the component when one is attached, else through the pump.
    void DelayTicks(int ticks);

    // Sum modulo 65536 of the big-endian words starting at even indexes
    // below `length` (a last odd byte counts as the high byte of a word).
    static uint16_t WordSum16(const uint8_t* bytes, int length);

    // Builds the frame of a message into `frame` (room for at least
    // 3 + 2 * (count + 1) + 1 bytes); returns the frame length.
    static int BuildFrame(const uint8_t* message, int count, uint8_t* frame);

private:
    enum class WaitKind { Exchange, Any, Message };
    struct Expectation {
        LinkCode expected;
        int expectedLength = 0;
        LinkCode alternative;
        int alternativeLength = 0;
    };

    // The receive loop shared by the three waits. Returns true when a frame
    // was accepted (payload in `reply`, *alternative set for Exchange).
    bool ReceiveFrame(
        WaitKind kind, const Expectation* expectation, LinkMessage& reply, bool* alternative);
    // Sends a code of one or two bytes followed by `length` data bytes.
    int SendCode(const uint8_t* code, int codeLength, const uint8_t* data, int length);

    // The one place through which every received byte passes.
    bool WireReadByte(uint8_t& byte);
    // One idle pause of a wait: pumps and sleeps until a byte, an event or a
    // few milliseconds.
    void IdlePause(int fd, int maxMs);
    void StartWait();
    void EndWait();
    bool OwnDeadlinePassed() const;

    // ILineWaits: what the line uses while its output drains.
    void IdlePass(int maxMs) override;
    int WaitTimeMs() const override { return m_WaitTime; }
    void StopWaitTimer() override;

    bool m_ReceiveEnable = false;
    bool m_Idle = false;
    bool m_RepeatAfterNegative = false;
    int m_Framing = kFramingRaw;
    ISerialPortComponent* m_Component = nullptr;
    // Never null: before the first open, the direct path without a device.
    std::unique_ptr<ILinkLine> m_Line;
    IWaitTimer* m_WaitTimer = nullptr;
    int m_WaitTime = 0;

    IMessagePump* m_Pump = nullptr;
    LinkTrace* m_Trace = nullptr;
    // Deadline of the current wait when no wait timer is attached.
    bool m_OwnDeadlineArmed = false;
    std::chrono::steady_clock::time_point m_OwnDeadline {};

    FrameDecoder m_Decoder;
    // Set when an idle sleep ended at once without a byte: the line may
    // have hung up, which the next idle pass checks.
    bool m_CheckHangup = false;
    // Set by a wait that found the line hung up or its device gone: that
    // wait and every later one end at once with a communication problem.
    platform::LineLoss m_LineLoss = platform::LineLoss::None;
};
