#pragma once

#include <cstdint>

#include "link/LinkMessage.h"

// Unframes what the radio sends, one byte at a time: a start byte, two
// header bytes, the escaped message and checksum, an end byte. Pure: it
// does no I/O and keeps no time; the link session feeds it the bytes of
// each wait, and the fuzzer feeds it directly.
class FrameDecoder {
public:
    // Wire bytes of a frame.
    enum WireByte : uint8_t { kStartByte = 0xBA, kEndByte = 0x7E, kEscapeByte = 0x10 };
    // The second header byte of a frame from the radio.
    static constexpr uint8_t kRadioHeader = 0x7F;
    // Bound of a received raw frame; a longer one is dropped up to the next
    // start byte.
    static constexpr int kRawFrameLimit = 1024;

    enum class Event {
        None, // nothing complete yet (or a frame that was not valid)
        Message, // a valid frame ended: Message() holds its payload
        Overlong, // the frame grew over the bound and is being dropped
    };

    // Forgets any partly received frame (at the start of a wait).
    void Reset();
    Event Push(uint8_t byte);
    // The payload of the last valid frame: the message bytes without the
    // two header bytes and the checksum.
    const LinkMessage& Message() const { return m_Message; }

private:
    // Unescapes and checks the gathered raw frame into m_Message.
    bool Unframe();

    uint8_t m_Raw[kRawFrameLimit] = {};
    int m_RawLength = 0;
    bool m_Discarding = false;
    LinkMessage m_Message;
};
