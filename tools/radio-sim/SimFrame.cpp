#include "SimFrame.h"

namespace radiosim {

namespace {

void PutEscaped(std::vector<uint8_t>& out, uint8_t b)
{
    switch (b) {
    case kStartByte:
        out.push_back(kEscapeByte);
        out.push_back(0x00);
        break;
    case kEndByte:
        out.push_back(kEscapeByte);
        out.push_back(0x01);
        break;
    case kEscapeByte:
        out.push_back(kEscapeByte);
        out.push_back(0x02);
        break;
    default:
        out.push_back(b);
    }
}

constexpr uint8_t kRadioHeader0 = 0x01;
constexpr uint8_t kRadioHeader1 = 0x7F;
constexpr uint8_t kPcHeader0 = 0x7F;

} // namespace

std::vector<uint8_t> BuildRadioFrame(const std::vector<uint8_t>& message)
{
    std::vector<uint8_t> out;
    out.reserve(message.size() * 2 + 8);
    out.push_back(kStartByte);
    out.push_back(kRadioHeader0);
    out.push_back(kRadioHeader1);
    uint8_t sum = static_cast<uint8_t>(kRadioHeader0 + kRadioHeader1);
    for (uint8_t b : message) {
        PutEscaped(out, b);
        sum = static_cast<uint8_t>(sum + b);
    }
    PutEscaped(out, static_cast<uint8_t>(0x100 - sum));
    out.push_back(kEndByte);
    return out;
}

std::optional<std::vector<uint8_t>> DecodeFrameBody(const uint8_t* body, size_t size)
{
    std::vector<uint8_t> plain;
    plain.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = body[i];
        if (b == kEscapeByte) {
            if (i + 1 >= size)
                return std::nullopt;
            uint8_t code = body[++i];
            if (code == 0x00)
                b = kStartByte;
            else if (code == 0x01)
                b = kEndByte;
            else if (code == 0x02)
                b = kEscapeByte;
            else
                return std::nullopt;
        }
        plain.push_back(b);
    }
    // Two header bytes and a checksum at least.
    if (plain.size() < 3 || body[0] != kPcHeader0)
        return std::nullopt;
    uint8_t sum = 0;
    for (uint8_t b : plain)
        sum = static_cast<uint8_t>(sum + b);
    if (sum != 0)
        return std::nullopt;
    return std::vector<uint8_t>(plain.begin() + 2, plain.end() - 1);
}

std::optional<ReceivedFrame> FrameReceiver::Feed(uint8_t byte)
{
    if (byte == kStartByte) {
        m_Raw.clear();
        m_Raw.push_back(byte);
        m_InFrame = true;
        m_Overflow = false;
        return std::nullopt;
    }
    if (!m_InFrame)
        return std::nullopt;
    if (byte != kEndByte) {
        if (m_Raw.size() < kMaxRawFrame)
            m_Raw.push_back(byte);
        else
            m_Overflow = true;
        return std::nullopt;
    }
    m_Raw.push_back(byte);
    m_InFrame = false;
    ReceivedFrame frame;
    if (!m_Overflow)
        frame.message = DecodeFrameBody(m_Raw.data() + 1, m_Raw.size() - 2);
    frame.raw.swap(m_Raw);
    m_Raw.clear();
    return frame;
}

} // namespace radiosim
