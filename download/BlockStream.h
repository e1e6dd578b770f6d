#pragma once

// The block protocol both download engines speak, and the one sender of it.
//
// A stream opens with a start message that the radio acknowledges. Its data
// then travels in blocks of 128 bytes (the code bytes 02 09 and 64 words,
// low byte first), in pairs: after the second block of a pair the radio
// sends the pair's sum, the PC says whether it matches (02 05) or not
// (02 06), and the radio gives its verdict. Every block waits for the
// radio's acknowledgement. The last block of a stream is padded, and a
// lone first block of a pair gets a padded second one.
//
// What the flash and DSP engines do differently is their BlockPolicy: the
// pad word, whether a negative reply to a start or to a checksum makes the
// request go again, whether a mismatched second block goes again, and
// whether the radio's negative reply to a block counts as acceptance or
// reports a failed verify with its address.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "link/LinkCallbacks.h"
#include "link/LinkMessage.h"

class CommSession;

namespace download {

// Wait for each reply during a download.
inline constexpr int kDownloadWaitMs = 15000;

// Stream kinds, as they appear in the activity text.
inline constexpr const char* kKindLoader = "Loader ";
inline constexpr const char* kKindApplication = "Application ";
inline constexpr const char* kKindBootloader = "Bootloader ";

// Texts both engines show: before the first start, and while a stream of a
// kind goes out.
inline constexpr const char* kTextPreparing = "Preparing to download ...";
inline std::string ActivityText(const char* kind)
{
    return std::string("Downloading ") + kind + "code...";
}

// Sends a text to a sink that may be empty.
inline void ShowText(const StatusCallback& sink, const std::string& text)
{
    if (sink) {
        sink(text);
    }
}

// Block layout: the two code bytes 02 09 and 128 data bytes.
inline constexpr int kBlockDataBytes = 128;
inline constexpr int kBlockMessageBytes = 2 + kBlockDataBytes;
// Resends of a second block after a checksum mismatch before the stream ends.
inline constexpr int kMaxResends = 4;

// The block being filled and the pair it belongs to: the code bytes 02 09,
// then data words low byte first, with the running sum of the pair.
class BlockPair {
public:
    BlockPair() { StartStream(); }
    // A fresh pair and an empty block.
    void StartStream();
    bool Full() const { return m_FillPosition == kBlockMessageBytes; }
    bool HasRoom() const { return m_FillPosition + 2 <= kBlockMessageBytes; }
    // Adds a word to the block, low byte first, and to the pair's sum.
    void Put(uint16_t word);
    const LinkMessage& Message() const { return m_Block; }
    // True when the block is the second of its pair: the radio sums the pair.
    bool SecondOfPair() const { return m_SecondOfPair; }
    // True when the radio's checksum reply carries the pair's sum; a
    // negative reply carries no sum and never matches.
    bool SumMatches(const LinkMessage& reply, bool wasNegative) const;
    // The radio took the block: the next one is empty and, after the second
    // block of a pair, starts a new pair.
    void Accepted();

private:
    void EmptyBlock();

    LinkMessage m_Block;
    int m_FillPosition = 2;
    uint16_t m_RunningSum = 0;
    bool m_SecondOfPair = false;
};

// A download's view of a wait for a reply: the link's status, and a
// communication problem when the wait ended with the line closed (no reply,
// no time-out).
LinkResult StatusAfterWait(const CommSession& session, const LinkMessage& reply);

// What differs between the streams of the two engines.
struct BlockPolicy {
    // Pads the last block(s) of a stream.
    uint16_t padWord;
    // A negative reply to a start or to a pair's checksum makes the request
    // go again when the session is set to repeat after negative replies;
    // otherwise the negative reply is taken as it is.
    bool repeatsAfterNegative;
    // After a checksum mismatch the second block goes again after every
    // acknowledgement until its sum matches (at most kMaxResends times);
    // otherwise the mismatch is only told to the radio.
    bool resendsOnMismatch;
    // The radio's negative reply to a block counts as acceptance; otherwise
    // it reports a failed verify of the pair with four address bytes.
    bool negativeAccepts;
};

// The flash engine pads with erased flash and verifies every pair; the DSP
// download pads with two blanks and takes whatever the radio answers.
inline constexpr BlockPolicy kFlashBlocks { 0xFFFF, true, true, false };
inline constexpr BlockPolicy kDspBlocks { 0x2020, false, false, true };

// Sends one stream after another with the block protocol. A stream ends at
// the first failure: nothing more is sent until the next Start.
class BlockStream {
public:
    enum class State {
        Sending, // nothing has gone wrong
        LinkFailed, // a wait ended without its reply: see Link()
        VerifyFailed, // the radio reported a failed verify: see VerifyAddress()
        ResendsExhausted, // a second block mismatched kMaxResends times
    };

    // `blockAccepted` is called after every block the radio has taken.
    BlockStream(
        CommSession& session, const BlockPolicy& policy, std::function<void()> blockAccepted);

    // Sends the start message (a table message number) and waits for the
    // radio's acknowledgement; either reply lets the stream go on. Begins a
    // fresh pair. False when the wait failed.
    bool Start(int startMessage);
    // Adds a word to the block being filled, sending the block first when it
    // is full.
    void Append(uint16_t word);
    // Pads the last block and sends it, and completes its pair.
    void Finish();

    bool Sending() const { return m_State == State::Sending; }
    State Status() const { return m_State; }
    // The link's status after the failed wait.
    LinkResult Link() const { return m_Link; }
    // The address the radio reported with a failed verify.
    const std::array<uint8_t, 4>& VerifyAddress() const { return m_VerifyAddress; }

private:
    // Sends by `send` and waits for `expected` or a negative reply, sending
    // again after a negative one when the policy and the session say so.
    LinkMessage Request(const std::function<void()>& send, int expected, bool* wasNegative);
    // Notes the wait's status; false when it failed.
    bool WaitSucceeded(const LinkMessage& reply);
    void SendBlock();
    void SendBlockIfFull();

    CommSession& m_Session;
    BlockPolicy m_Policy;
    std::function<void()> m_BlockAccepted;
    BlockPair m_Block;
    State m_State = State::Sending;
    LinkResult m_Link = LinkResult::ReplyReceived;
    std::array<uint8_t, 4> m_VerifyAddress {};
};

} // namespace download
