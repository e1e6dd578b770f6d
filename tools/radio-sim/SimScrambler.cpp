#include "SimScrambler.h"

#include <cstring>
#include <nettle/des.h>

namespace radiosim {

struct BlockUnscrambler::State {
    des_ctx des {};
    uint8_t reg[8] {};
};

BlockUnscrambler::BlockUnscrambler(const uint8_t identifier[8])
    : m_State(new State)
{
    static const uint8_t key[8] = { 'K', '#', 'K', '#', 'K', '#', 'K', '#' };
    des_set_key(&m_State->des, key);
    std::memcpy(m_State->reg, identifier, 8);
}

BlockUnscrambler::~BlockUnscrambler()
{
    delete m_State;
}

uint8_t BlockUnscrambler::NextKeyByte()
{
    uint8_t out[8];
    des_encrypt(&m_State->des, 8, out, m_State->reg);
    std::memmove(m_State->reg, m_State->reg + 1, 7);
    m_State->reg[7] = out[0];
    return out[0];
}

void BlockUnscrambler::UnscrambleBlock(uint8_t block[128])
{
    uint8_t k1 = NextKeyByte();
    uint8_t k2 = NextKeyByte();
    // The mask is the first word as it went over the line (high byte second).
    const uint16_t mask = static_cast<uint16_t>(block[1] << 8 | block[0]);
    uint8_t low = static_cast<uint8_t>(block[0] ^ k1);
    uint8_t high = static_cast<uint8_t>(block[1] ^ k2);
    block[0] = high;
    block[1] = low;
    for (int i = 2; i < 128; i += 2) {
        // Sent low byte first.
        uint16_t sent = static_cast<uint16_t>(block[i + 1] << 8 | block[i]);
        uint16_t plain = static_cast<uint16_t>(sent ^ mask);
        block[i] = static_cast<uint8_t>(plain >> 8);
        block[i + 1] = static_cast<uint8_t>(plain & 0xFF);
    }
}

} // namespace radiosim
