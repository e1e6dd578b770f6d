#pragma once

// The wire format of the radio link as the test suites know it, written here
// on purpose without the link library: a frame is a start byte BA, two header
// bytes, the message and a checksum byte, and an end byte 7E. The checksum
// makes the header, message and checksum bytes sum to zero; BA, 7E and 10
// inside a frame travel as 10 00, 10 01 and 10 02. The PC's frames carry the
// header 7F 01, the radio's 01 7F.

#include <cstdint>
#include <optional>
#include <vector>

namespace testframes {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStart = 0xBA;
constexpr uint8_t kEnd = 0x7E;
constexpr uint8_t kEscape = 0x10;

inline Bytes Frame(const Bytes& message, uint8_t header1, uint8_t header2)
{
    Bytes out { kStart, header1, header2 };
    auto put = [&out](uint8_t b) {
        if (b == kStart || b == kEnd || b == kEscape)
            out.insert(out.end(), { kEscape, uint8_t(b == kStart ? 0 : (b == kEnd ? 1 : 2)) });
        else
            out.push_back(b);
    };
    unsigned sum = header1 + header2;
    for (uint8_t b : message) {
        put(b);
        sum += b;
    }
    put(static_cast<uint8_t>(-sum));
    out.push_back(kEnd);
    return out;
}

// A frame from the radio (or, with other header bytes, one that pretends).
inline Bytes RadioFrame(const Bytes& message, uint8_t header1 = 0x01, uint8_t header2 = 0x7F)
{
    return Frame(message, header1, header2);
}

inline Bytes PcFrame(const Bytes& message)
{
    return Frame(message, 0x7F, 0x01);
}

// The message inside the bytes between a start and an end byte: unescaped,
// checked (escape codes, sum, the two header bytes) and without header and
// checksum; nullopt when anything is wrong.
inline std::optional<Bytes> Unframe(const Bytes& inside, uint8_t header1, uint8_t header2)
{
    Bytes plain;
    unsigned sum = 0;
    for (size_t i = 0; i < inside.size(); ++i) {
        uint8_t b = inside[i];
        if (b == kEscape) {
            if (i + 1 >= inside.size() || inside[i + 1] > 2)
                return std::nullopt;
            const uint8_t code = inside[++i];
            b = code == 0 ? kStart : code == 1 ? kEnd : kEscape;
        }
        plain.push_back(b);
        sum += b;
    }
    if (plain.size() < 3 || plain[0] != header1 || plain[1] != header2 || (sum & 0xFF) != 0)
        return std::nullopt;
    return Bytes(plain.begin() + 2, plain.end() - 1);
}

// The message of a whole frame from the radio (start byte to end byte).
inline std::optional<Bytes> RadioMessage(const Bytes& frame)
{
    if (frame.size() < 2 || frame.front() != kStart || frame.back() != kEnd)
        return std::nullopt;
    return Unframe(Bytes(frame.begin() + 1, frame.end() - 1), 0x01, 0x7F);
}

// Collects the PC's frames from the bytes it writes, as a radio would: a
// start byte begins a frame, an end byte closes it; bytes outside a frame
// are ignored. Push returns the checked message of every frame it closed
// (nullopt for a frame that is malformed).
class PcFrameReader {
public:
    template <typename Handle> void Push(const uint8_t* bytes, int count, Handle handle)
    {
        for (int i = 0; i < count; ++i) {
            const uint8_t b = bytes[i];
            if (b == kStart) {
                m_Inside.clear();
                m_InFrame = true;
            } else if (m_InFrame && b == kEnd) {
                m_InFrame = false;
                handle(Unframe(m_Inside, 0x7F, 0x01));
            } else if (m_InFrame) {
                m_Inside.push_back(b);
            }
        }
    }

private:
    Bytes m_Inside;
    bool m_InFrame = false;
};

} // namespace testframes
