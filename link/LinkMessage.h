#pragma once

#include <cstdint>

// A message to or from the radio: a count followed by the message bytes.
// For a request the count is the number of message bytes (code plus data);
// for a reply it is the number of payload bytes left once the two header
// bytes and the checksum are removed. A message starts with a two-byte code
// (command byte, sub-code byte) followed by data.
constexpr int kLinkMessageCapacity = 1024;

struct LinkMessage {
    int32_t count = 0;
    uint8_t data[kLinkMessageCapacity] = {};
};

// The code an `Exchange` waits for: one or two bytes. With two bytes both
// must match the reply's first two payload bytes; with one byte only the
// first payload byte is compared.
struct LinkCode {
    uint8_t bytes[2] = { 0, 0 };
    int size = 0;

    constexpr LinkCode() = default;
    constexpr LinkCode(uint8_t command, uint8_t subCode)
        : bytes { command, subCode }
        , size(2)
    {
    }
    static constexpr LinkCode One(uint8_t command)
    {
        LinkCode code;
        code.bytes[0] = command;
        code.size = 1;
        return code;
    }
};

// Result of the link's last wait (`CommSession::LinkStatus`). The layers
// above map it into their own results, each in one function.
enum class LinkResult {
    ReplyReceived = 1, // a reply arrived (or the line closed)
    CommProblem = 2, // component path, line idle when the wait ended
    TimedOut = 4, // time-out or Stop
};
