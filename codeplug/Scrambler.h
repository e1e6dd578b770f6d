#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

struct des_ctx;

// Scrambling of the codeplug blocks sent to the radio: DES in 8-bit output
// feedback supplies two keystream bytes per block; they mask the block's
// first word, and the masked first word masks every later word. Every word
// leaves low byte first.
//
// Each transfer owns its own scrambler, so two transfers never share a
// keystream.
class QUVScrambler {
public:
    static constexpr int kBlockSize = 128;
    using Identifier = std::array<uint8_t, 8>;

    QUVScrambler();
    ~QUVScrambler();
    QUVScrambler(const QUVScrambler&) = delete;
    QUVScrambler& operator=(const QUVScrambler&) = delete;

    // Keys DES with "K#K#K#K#" and loads the feedback register with the
    // radio identifier. Called at the start of every download.
    void Start(const Identifier& identifier);

    // Encrypts the feedback register; the first byte of the result is the
    // keystream byte, which is then shifted into the register from the right.
    uint8_t NextKeystreamByte();

    // Scrambles one 128-byte block in place, taking the next two keystream
    // bytes.
    void ScrambleBlock(std::span<uint8_t, kBlockSize> block);

    const Identifier& Register() const { return m_Register; }

private:
    std::unique_ptr<des_ctx> m_Key;
    Identifier m_Register {};
};
