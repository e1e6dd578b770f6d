#include <gtest/gtest.h>

#include <algorithm>

#include "FakeRadio.h"
#include "codeplug/QUVTransfer.h"
#include "tests/support/TestSupport.h"

namespace {

// A codeplug buffer with a guard zone behind its 65536 bytes.
struct GuardedBuffer {
    static constexpr size_t kGuard = 4096;
    Bytes storage = Bytes(kCodeplugBufferSize + kGuard, 0);
    uint8_t* data() { return storage.data(); }
    bool GuardIntact() const
    {
        return std::all_of(
            storage.begin() + kCodeplugBufferSize, storage.end(), [](uint8_t b) { return b == 0; });
    }
    Bytes Head(size_t n) const { return Bytes(storage.begin(), storage.begin() + n); }
};

// A chain of blocks of the given lengths in words, each "__" + length word
// + filler, followed by `tail` bytes that are no block header.
Bytes Chain(const std::vector<int>& words, size_t tail = 128)
{
    Bytes bytes;
    for (int w : words) {
        bytes.insert(
            bytes.end(), { 0x5F, 0x5F, static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w) });
        for (int i = 2; i < w; ++i)
            bytes.insert(bytes.end(), { static_cast<uint8_t>(i), static_cast<uint8_t>(w) });
    }
    bytes.insert(bytes.end(), tail, 0x00);
    return bytes;
}

TEST(TransferHelpers, IdentifierTextSwapAndHex)
{
    using Id = QUVTransferParms::Identifier;
    const Id upper { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF };
    // Blanks around the text are ignored, non-digits count as 0, a lone last
    // digit and digits past 8 bytes are dropped, and an empty text leaves zeros.
    const std::pair<const char*, Id> cases[] = { { "0123456789ABCDEF", upper },
        { "  0123456789abcdef\t ", upper }, { "G1x2-9A", { 0x01, 0x02, 0x09, 0, 0, 0, 0, 0 } },
        { "00112233445566778899", { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77 } },
        { "", {} } };
    QUVTransferParms transfer;
    for (const auto& [text, id] : cases) {
        transfer.SetRadioIdentifier(text);
        EXPECT_EQ(transfer.RadioIdentifier(), id) << text;
    }

    EXPECT_EQ(HexTextOfBytes(nullptr, 0), "");
    Bytes words { 1, 2, 3, 4, 5 };
    SwapWordBytes(words.data(), 4);
    EXPECT_EQ(words, (Bytes { 2, 1, 4, 3, 5 }));
    SwapWordBytes(words.data(), 5); // the odd last byte stays, nothing beyond is touched
    EXPECT_EQ(words, (Bytes { 1, 2, 3, 4, 5 }));
}

struct TransferRig {
    FakeLink link;
    GuardedBuffer buffer;
    QUVTransferParms transfer;
    explicit TransferRig(int waitMs = 2000)
        : link(waitMs)
    {
        transfer.SetBuffer(buffer.data(), 0);
        transfer.SetSession(&link.session);
    }
};

TEST(Upload, EndsWhereTheBlockWalkFindsNoMoreHeaders)
{
    {
        // One 64-word block: the first block moves the walk to byte 128,
        // the second shows no header there.
        TransferRig rig;
        rig.link.device->codeplug = Chain({ 64 });
        EXPECT_GT(rig.transfer.Upload(), 0);
        EXPECT_EQ(rig.transfer.ByteCount(), 256);
        EXPECT_EQ(rig.buffer.Head(256), rig.link.device->codeplug);
        EXPECT_EQ(rig.link.device->Trace(), "3,7 3,8 3,4");
        EXPECT_FALSE(rig.link.session.ReceiveEnabled());
    }
    {
        // Twenty 8-word blocks end at byte 320, but the walk examines one
        // header per received block: it reaches 320 after 20 blocks and
        // finds the end in the 21st.
        TransferRig rig;
        rig.link.device->codeplug = Chain(std::vector<int>(20, 8));
        EXPECT_GT(rig.transfer.Upload(), 0);
        EXPECT_EQ(rig.transfer.ByteCount(), 21 * 128);
        EXPECT_EQ(rig.link.device->Count(3, 8), 20);
    }
    {
        // A header whose length word lies in the next block is read only
        // once that block is in, whatever the buffer held before.
        TransferRig rig;
        std::fill(
            rig.buffer.storage.begin(), rig.buffer.storage.begin() + kCodeplugBufferSize, 0xFF);
        rig.link.device->codeplug = Chain({ 127, 5 });
        EXPECT_GT(rig.transfer.Upload(), 0);
        EXPECT_EQ(rig.transfer.ByteCount(), 512);
        EXPECT_EQ(rig.buffer.Head(264),
            Bytes(rig.link.device->codeplug.begin(), rig.link.device->codeplug.begin() + 264));
    }
}

TEST(Upload, NeverWritesBeyondTheBuffer)
{
    Bytes endless(kCodeplugBufferSize, 0x5F); // every word a header
    Bytes farReaching = Chain({ 0x3FFF }, 0);
    farReaching.resize(kCodeplugBufferSize, 0);
    farReaching[32766] = farReaching[32767] = 0x5F;
    farReaching[32768] = farReaching[32769] = 0xFF; // low 14 bits: 0x3FFF
    for (const Bytes* codeplug : { &endless, &farReaching }) {
        TransferRig rig;
        rig.link.device->codeplug = *codeplug;
        EXPECT_GT(rig.transfer.Upload(), 0);
        EXPECT_EQ(rig.transfer.ByteCount(), kCodeplugBufferSize);
        EXPECT_EQ(rig.link.device->Count(3, 8), 511);
        EXPECT_EQ(rig.link.device->received.back(), (Bytes { 3, 4 }));
        EXPECT_EQ(rig.buffer.Head(kCodeplugBufferSize), *codeplug);
        EXPECT_TRUE(rig.buffer.GuardIntact());
    }
}

TEST(Upload, PasswordRadioRequestsAndFailures)
{
    {
        TransferRig rig;
        rig.link.device->codeplug = Chain({ 64 });
        rig.link.device->password = std::array<uint8_t, 4> { 0x20, 0x26, 0xFF, 0xFF };
        rig.transfer.SetPasswordPrompt([](std::string& entry) {
            entry = "2026";
            return true;
        });
        // A block request from the radio is ignored.
        rig.link.device->injectAt = 0;
        rig.link.device->inject = { { 3, 8 } };
        EXPECT_GT(rig.transfer.Upload(), 0);
        EXPECT_EQ(rig.transfer.ByteCount(), 256);
        EXPECT_EQ(rig.link.device->Trace(), "3,7 3,12 3,8 3,4");
    }
    const std::vector<Bytes> wrongMessages = {
        { 4, 32 }, // another command
        { 3, 6 }, // another sub-code
        { 3, 2, 1, 2, 3 }, // a short block
    };
    for (const Bytes& wrong : wrongMessages) {
        TransferRig rig;
        rig.link.device->codeplug = Chain({ 64, 64, 64 });
        rig.link.device->injectAt = 1;
        rig.link.device->inject = { wrong };
        rig.link.device->injectReplaces = true;
        EXPECT_EQ(rig.transfer.Upload(), -1) << testsupport::Hex(wrong);
        EXPECT_EQ(rig.transfer.ByteCount(), 256);
        EXPECT_EQ(rig.link.device->Trace(), "3,7 3,8 3,8");
    }
    {
        TransferRig rig(150); // silence after the second block
        rig.link.device->codeplug = Chain({ 64, 64, 64 });
        rig.link.device->injectAt = 0;
        rig.link.device->injectReplaces = true;
        EXPECT_LE(rig.transfer.Upload(), 0);
        EXPECT_FALSE(rig.link.session.ReceiveEnabled());
    }
    QUVTransferParms unwired;
    EXPECT_EQ(unwired.Upload(), -1);
    EXPECT_EQ(unwired.Download(), -1);
}

// A download rig whose radio unscrambles with the OpenSSL keystream of the
// identifier 0123456789ABCDEF.
struct DownloadRig : TransferRig {
    explicit DownloadRig(int32_t length, int waitMs = 2000)
        : TransferRig(waitMs)
    {
        link.device->keystream = LoadKeystreamData("0123456789ABCDEF").keystream;
        transfer.SetRadioIdentifier(" 0123456789abcdef ");
        for (int32_t i = 0; i < length; ++i)
            buffer.storage[i] = static_cast<uint8_t>(i * 13 + i / 256);
        transfer.SetBuffer(buffer.data(), length);
    }
};

TEST(Download, SendsAnEvenNumberOfPaddedBlocks)
{
    {
        // 300 bytes go as four blocks, padded with blanks; every download
        // restarts the keystream.
        DownloadRig rig(300);
        const Bytes codeplug = rig.buffer.Head(300);
        EXPECT_GT(rig.transfer.Download(), 0);
        EXPECT_EQ(rig.link.device->Trace(), "3,0 3,2 3,2 3,2 3,2 3,4");
        Bytes padded = codeplug;
        padded.resize(512, 0x20);
        EXPECT_EQ(rig.link.device->plain, padded);
        EXPECT_TRUE(std::all_of(rig.buffer.storage.begin() + 300,
            rig.buffer.storage.begin() + kCodeplugBufferSize, [](uint8_t b) { return b == 0x20; }));
        EXPECT_FALSE(rig.link.session.ReceiveEnabled());
        EXPECT_GT(rig.transfer.Download(), 0);
        const std::vector<Bytes>& raw = rig.link.device->rawBlocks;
        ASSERT_EQ(raw.size(), 8u);
        EXPECT_TRUE(std::equal(raw.begin(), raw.begin() + 4, raw.begin() + 4));
        EXPECT_EQ(
            Bytes(rig.link.device->plain.begin() + 512, rig.link.device->plain.end()), padded);
    }
    {
        DownloadRig rig(kCodeplugBufferSize);
        EXPECT_GT(rig.transfer.Download(), 0);
        EXPECT_EQ(rig.link.device->Count(3, 2), 512);
        EXPECT_EQ(rig.link.device->received.back(), (Bytes { 3, 4 }));
        EXPECT_TRUE(rig.buffer.GuardIntact());
    }
    {
        DownloadRig rig(0);
        rig.transfer.SetBuffer(rig.buffer.data(), kCodeplugBufferSize + 1);
        EXPECT_EQ(rig.transfer.Download(), -1);
        rig.transfer.SetBuffer(rig.buffer.data(), -2);
        EXPECT_EQ(rig.transfer.Download(), -1);
        EXPECT_TRUE(rig.link.device->received.empty());
        EXPECT_TRUE(rig.buffer.GuardIntact());
    }
}

TEST(Download, ChecksumReportsAreAnsweredAndTheRunningSumRestarts)
{
    DownloadRig rig(1000);
    rig.link.device->checksumEvery = 2;
    rig.link.device->wrongReports = { 1 };
    EXPECT_GT(rig.transfer.Download(), 0);
    EXPECT_EQ(rig.link.device->verdicts, (std::vector<uint8_t> { 5, 6, 5, 5 }));
    EXPECT_EQ(rig.link.device->Count(3, 2), 8);
    EXPECT_EQ(rig.link.device->received.back(), (Bytes { 3, 4 }));
}

TEST(Download, CancelledPasswordAndUnexpectedMessages)
{
    {
        // A cancelled password leaves the radio silent: nothing is written
        // and the download fails.
        DownloadRig rig(128, 150);
        rig.link.device->password = std::array<uint8_t, 4> { 0x11, 0x22, 0x33, 0x4F };
        rig.transfer.SetPasswordPrompt([](std::string&) { return false; });
        EXPECT_LE(rig.transfer.Download(), 0);
        EXPECT_EQ(rig.link.device->Trace(), "3,0 3,4");
    }
    {
        // A message other than a block request or checksum report ends the
        // download as failed: the codeplug did not get through.
        DownloadRig rig(1024);
        rig.link.device->injectAt = 2;
        rig.link.device->inject = { { 7, 37 } };
        rig.link.device->injectReplaces = true;
        EXPECT_EQ(rig.transfer.Download(), -1);
        EXPECT_EQ(rig.link.device->Count(3, 2), 3);
        EXPECT_EQ(rig.link.device->Count(3, 4), 0);
    }
}

} // namespace
