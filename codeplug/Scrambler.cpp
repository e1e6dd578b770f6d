#include "codeplug/Scrambler.h"

#include "platform/ByteOrder.h"

#include <nettle/des.h>

namespace {
constexpr uint8_t kKeyText[DES_KEY_SIZE] = { 'K', '#', 'K', '#', 'K', '#', 'K', '#' };
} // namespace

QUVScrambler::QUVScrambler()
    : m_Key(std::make_unique<des_ctx>())
{
    Start(Identifier {});
}

QUVScrambler::~QUVScrambler() = default;

void QUVScrambler::Start(const Identifier& identifier)
{
    // nettle ignores the parity bits and flags only weak keys; this key is
    // not one, so the result carries no information here.
    des_set_key(m_Key.get(), kKeyText);
    m_Register = identifier;
}

uint8_t QUVScrambler::NextKeystreamByte()
{
    uint8_t out[DES_BLOCK_SIZE];
    des_encrypt(m_Key.get(), DES_BLOCK_SIZE, out, m_Register.data());
    const uint8_t k = out[0];
    for (size_t i = 0; i + 1 < m_Register.size(); ++i) {
        m_Register[i] = m_Register[i + 1];
    }
    m_Register.back() = k;
    return k;
}

void QUVScrambler::ScrambleBlock(std::span<uint8_t, kBlockSize> block)
{
    const uint8_t k1 = NextKeystreamByte();
    const uint8_t k2 = NextKeystreamByte();
    const uint8_t high = block[0];
    const uint8_t low = block[1];
    block[0] = static_cast<uint8_t>(low ^ k1);
    block[1] = static_cast<uint8_t>(high ^ k2);
    const uint16_t mask = static_cast<uint16_t>((block[1] << 8) | block[0]);
    for (int i = 2; i < kBlockSize; i += 2) {
        const uint16_t word
            = static_cast<uint16_t>(platform::ReadBigEndian16(block.data() + i) ^ mask);
        block[i] = static_cast<uint8_t>(word & 0xFF);
        block[i + 1] = static_cast<uint8_t>(word >> 8);
    }
}
