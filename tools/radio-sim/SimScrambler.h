#pragma once

#include <cstdint>

namespace radiosim {

// The radio's side of the codeplug download scrambling: a DES output
// feedback keystream (8-bit feedback) keyed with "K#K#K#K#" and started from
// the identifier, and the block mask built from the first word.
class BlockUnscrambler {
public:
    // Starts a fresh keystream from the 8 identifier bytes.
    explicit BlockUnscrambler(const uint8_t identifier[8]);
    ~BlockUnscrambler();
    BlockUnscrambler(const BlockUnscrambler&) = delete;
    BlockUnscrambler& operator=(const BlockUnscrambler&) = delete;

    // Next keystream byte.
    uint8_t NextKeyByte();

    // Turns one 128-byte block as received back into the plain block
    // (16-bit words, most significant byte first).
    void UnscrambleBlock(uint8_t block[128]);

private:
    struct State;
    State* m_State;
};

} // namespace radiosim
