#include "link/FrameDecoder.h"

#include <cstring>

void FrameDecoder::Reset()
{
    m_RawLength = 0;
    m_Discarding = false;
}

FrameDecoder::Event FrameDecoder::Push(uint8_t byte)
{
    if (byte == kStartByte) {
        Reset();
        return Event::None;
    }
    if (m_Discarding) {
        return Event::None;
    }
    if (byte != kEndByte) {
        if (m_RawLength >= kRawFrameLimit) {
            m_RawLength = 0;
            m_Discarding = true;
            return Event::Overlong;
        }
        m_Raw[m_RawLength++] = byte;
        return Event::None;
    }
    // An end byte without the radio's header is taken as data of a frame
    // still to come: the bytes gathered so far are kept.
    if (m_RawLength < 2 || m_Raw[1] != kRadioHeader) {
        return Event::None;
    }
    const bool valid = Unframe();
    m_RawLength = 0;
    return valid ? Event::Message : Event::None;
}

bool FrameDecoder::Unframe()
{
    uint8_t plain[kRawFrameLimit];
    int length = 0;
    uint8_t sum = 0;
    for (int i = 0; i < m_RawLength; ++i) {
        uint8_t byte = m_Raw[i];
        if (byte == kEscapeByte) {
            if (i + 1 >= m_RawLength) {
                return false; // escape byte last before the end byte
            }
            const uint8_t code = m_Raw[++i];
            if (code == 0x00) {
                byte = kStartByte;
            } else if (code == 0x01) {
                byte = kEndByte;
            } else if (code == 0x02) {
                byte = kEscapeByte;
            } else {
                return false; // no such escape
            }
        }
        plain[length++] = byte;
        sum = static_cast<uint8_t>(sum + byte);
    }
    if (sum != 0 || length < 3) {
        return false;
    }
    m_Message = LinkMessage();
    m_Message.count = length - 3;
    std::memcpy(m_Message.data, plain + 2, static_cast<size_t>(m_Message.count));
    return true;
}
