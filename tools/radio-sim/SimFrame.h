#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace radiosim {

// Frame bytes on the line: start, two header bytes, escaped message and
// checksum, end. The radio answers with the header 0x01 0x7F.
constexpr uint8_t kStartByte = 0xBA;
constexpr uint8_t kEndByte = 0x7E;
constexpr uint8_t kEscapeByte = 0x10;
constexpr size_t kMaxRawFrame = 1024;

// Builds the line bytes of one message sent by the radio.
std::vector<uint8_t> BuildRadioFrame(const std::vector<uint8_t>& message);

// A frame gathered from the line. `raw` holds the bytes as received, from
// the start byte to the end byte; `message` is set when the frame is valid.
struct ReceivedFrame {
    std::vector<uint8_t> raw;
    std::optional<std::vector<uint8_t>> message;
};

// Gathers the PC's frames byte by byte. A start byte always begins a new
// frame; an end byte closes it. Frames whose first header byte is not 0x7F,
// whose escapes are not 0x10 followed by 0x00, 0x01 or 0x02, whose sum is
// not 0, or that grow beyond 1024 bytes are invalid. Bytes between frames are
// dropped.
class FrameReceiver {
public:
    // Returns a frame when `byte` ended one.
    std::optional<ReceivedFrame> Feed(uint8_t byte);

private:
    bool m_InFrame = false;
    bool m_Overflow = false;
    std::vector<uint8_t> m_Raw;
};

// Decodes the bytes between the start and end byte; nullopt when invalid.
std::optional<std::vector<uint8_t>> DecodeFrameBody(const uint8_t* body, size_t size);

} // namespace radiosim
