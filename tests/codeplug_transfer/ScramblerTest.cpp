#include <gtest/gtest.h>

#include "FakeRadio.h"
#include "codeplug/QUVTransfer.h"
#include "codeplug/Scrambler.h"

namespace {

// Keystream and scrambled blocks made with the OpenSSL command line (see
// data/make_keystream.py), for two identifiers.
TEST(Scrambler, MatchesKeystreamAndBlocksMadeWithOpenssl)
{
    for (const char* id : { "0123456789ABCDEF", "A5F00D1234C0FFEE" }) {
        SCOPED_TRACE(id);
        const KeystreamData data = LoadKeystreamData(id);
        ASSERT_EQ(data.keystream.size(), 64u);
        ASSERT_EQ(data.plain[1].size(), 128u);
        ASSERT_EQ(data.scrambled[1].size(), 128u);
        QUVTransferParms transfer;
        transfer.SetRadioIdentifier(id);

        QUVScrambler scrambler;
        scrambler.Start(transfer.RadioIdentifier());
        for (size_t i = 0; i < data.keystream.size(); ++i)
            ASSERT_EQ(scrambler.NextKeystreamByte(), data.keystream[i]) << "keystream byte " << i;
        EXPECT_EQ(Bytes(scrambler.Register().begin(), scrambler.Register().end()),
            Bytes(data.keystream.end() - 8, data.keystream.end()));

        // Restarting goes back to the identifier; two blocks in a row take
        // keystream bytes 0-1 and 2-3.
        scrambler.Start(transfer.RadioIdentifier());
        for (int b = 0; b < 2; ++b) {
            Bytes block = data.plain[b];
            scrambler.ScrambleBlock(std::span<uint8_t, 128>(block.data(), 128));
            EXPECT_EQ(block, data.scrambled[b]) << "block " << b;
        }
    }
}

} // namespace
