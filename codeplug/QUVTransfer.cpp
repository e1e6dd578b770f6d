#include "codeplug/QUVTransfer.h"

#include <algorithm>
#include <cstring>

#include "codeplug/CodeplugImage.h"
#include "codeplug/CodeplugMessages.h"
#include "codeplug/QUVTransferParmsPassChecker.h"
#include "link/CommSession.h"
#include "platform/ByteOrder.h"
#include "platform/HexText.h"

namespace {

using namespace cpmsg;

// Every codeplug block starts with the marker word 0x5F5F ("__"), the same
// byte twice, followed by its type-and-length word.
constexpr uint8_t kMarkerByte = kBlockMarker & 0xFF;

// The download pads the buffer beyond the codeplug with blanks.
constexpr uint8_t kPadding = 0x20;

// A character that is not a hex digit counts as 0.
int HexDigitOrZero(char c)
{
    return std::max(0, platform::HexDigitValue(c));
}

bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

} // namespace

QUVTransfer::~QUVTransfer() = default;

QUVTransferParms::QUVTransferParms()
    : m_PassChecker(std::make_unique<QUVTransferParmsPassChecker>())
{
}

QUVTransferParms::~QUVTransferParms() = default;

void QUVTransferParms::SetSession(CommSession* session)
{
    m_Session = session;
    m_PassChecker->SetSession(session);
}

void QUVTransferParms::SetPasswordPrompt(PasswordPrompt prompt)
{
    m_PassChecker->SetPasswordPrompt(std::move(prompt));
}

PasswordOutcome QUVTransferParms::LastPasswordOutcome() const
{
    return m_PassChecker->LastOutcome();
}

void QUVTransferParms::ReportProgress(int32_t bytes) const
{
    if (m_Progress) {
        m_Progress(bytes);
    }
}

void QUVTransferParms::SetRadioIdentifier(const std::string& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    m_Identifier.fill(0);
    size_t filled = 0;
    for (size_t i = begin; i + 1 < end && filled < m_Identifier.size(); i += 2) {
        m_Identifier[filled++]
            = static_cast<uint8_t>((HexDigitOrZero(text[i]) << 4) | HexDigitOrZero(text[i + 1]));
    }
}

int QUVTransferParms::Upload()
{
    if (m_Session == nullptr || m_Buffer == nullptr) {
        return -1;
    }
    return Transfer(kStartUpload, &QUVTransferParms::ReceiveBlocks);
}

// Both directions open the same way: the start message, then the password
// check; the blocks follow only when both succeeded.
int QUVTransferParms::Transfer(uint8_t start, int (QUVTransferParms::*blocks)())
{
    m_Session->SetReceiveEnable(true);
    int status = SendCode(start);
    if (status > 0) {
        status = m_PassChecker->CheckPassword();
    }
    if (status > 0) {
        status = (this->*blocks)();
    }
    m_Session->SetReceiveEnable(false);
    return status;
}

int QUVTransferParms::SendCode(uint8_t code)
{
    return m_Session->SendCode2(kCommand, code, nullptr, 0);
}

// The next message of the codeplug exchange: greater than 0 with a message
// of at least two bytes in `reply`, else the failure to pass on.
int QUVTransferParms::ReceiveReply(LinkMessage& reply)
{
    const int received = m_Session->ReceiveMessage(reply);
    if (received <= 0) {
        return received;
    }
    if (reply.count < 2 || reply.data[0] != kCommand) {
        return -1;
    }
    return received;
}

// Hands the radio's messages to `onReply` one after the other until it
// returns the transfer's status, or a receive fails.
int QUVTransferParms::ForEachReply(
    const std::function<std::optional<int>(const LinkMessage&)>& onReply)
{
    LinkMessage reply;
    for (;;) {
        const int received = ReceiveReply(reply);
        if (received <= 0) {
            return received;
        }
        if (const std::optional<int> status = onReply(reply)) {
            return *status;
        }
    }
}

namespace {

// A send in the middle of a transfer: a failure ends it.
std::optional<int> GoOnAfter(int sent)
{
    return sent > 0 ? std::nullopt : std::optional<int>(sent);
}

} // namespace

int QUVTransferParms::ReceiveBlocks()
{
    m_ByteCount = 0;
    m_NextHeader = 0;
    return ForEachReply([this](const LinkMessage& reply) -> std::optional<int> {
        if (reply.data[1] == kNextBlock) {
            return std::nullopt;
        }
        // A block must carry exactly 128 bytes; anything else would leave
        // stale bytes in the codeplug.
        if (reply.data[1] != kDataBlock || reply.count != 2 + kCodeplugBlockSize) {
            return -1;
        }
        // The completion test ends the upload once the buffer is full, so a
        // block always fits; the check keeps that true whatever changes.
        if (m_ByteCount > kCodeplugBufferSize - kCodeplugBlockSize) {
            return -1;
        }
        std::memcpy(m_Buffer + m_ByteCount, reply.data + 2, kCodeplugBlockSize);
        m_ByteCount += kCodeplugBlockSize;
        ReportProgress(m_ByteCount);
        if (UploadComplete()) {
            return SendCode(kEndOfTransfer);
        }
        return GoOnAfter(SendCode(kNextBlock));
    });
}

// Examines one block header per received block. The walk may trail the
// received data by several blocks; the upload then asks for further blocks
// until the walk reaches the end of the chain.
bool QUVTransferParms::UploadComplete()
{
    if (m_ByteCount >= kCodeplugBufferSize) {
        m_NextHeader = 0;
        return true;
    }
    int32_t position = 0;
    if (m_ByteCount != kCodeplugBlockSize) {
        if (m_NextHeader >= m_ByteCount) {
            return false; // the next header has not arrived yet
        }
        position = m_NextHeader;
    }
    if (m_Buffer[position] != kMarkerByte || m_Buffer[position + 1] != kMarkerByte) {
        m_NextHeader = 0;
        return true;
    }
    // The marker is the last word received so far: its length word comes
    // with the next block, and the header is examined again then.
    if (position + 4 > m_ByteCount) {
        return false;
    }
    const uint16_t lengthWord = platform::ReadBigEndian16(m_Buffer + position + 2);
    m_NextHeader += 2 * static_cast<int32_t>(lengthWord & kBlockLengthMask);
    return false;
}

int QUVTransferParms::Download()
{
    if (m_Session == nullptr || m_Buffer == nullptr || m_ByteCount < 0
        || m_ByteCount > kCodeplugBufferSize) {
        return -1;
    }
    std::memset(
        m_Buffer + m_ByteCount, kPadding, static_cast<size_t>(kCodeplugBufferSize - m_ByteCount));
    m_Scrambler.Start(m_Identifier);
    return Transfer(kStartDownload, &QUVTransferParms::SendBlocks);
}

int QUVTransferParms::SendBlocks()
{
    int32_t blocksSent = 0;
    m_Checksum = 0;
    // Only the end message sent after the last block completes a download;
    // any other message from the radio ends it as a failure.
    return ForEachReply([this, &blocksSent](const LinkMessage& reply) -> std::optional<int> {
        if (reply.data[1] == kNextBlock) {
            // Once the codeplug is out, an even block count ends the
            // transfer. The buffer's 512 blocks are an even number, so the
            // block read below never goes past the buffer's end.
            if (blocksSent * kCodeplugBlockSize >= m_ByteCount && blocksSent % 2 == 0) {
                return SendCode(kEndOfTransfer);
            }
            uint8_t block[kCodeplugBlockSize];
            std::memcpy(block, m_Buffer + blocksSent * kCodeplugBlockSize, kCodeplugBlockSize);
            m_Checksum = static_cast<uint16_t>(
                m_Checksum + CommSession::WordSum16(block, kCodeplugBlockSize));
            m_Scrambler.ScrambleBlock(std::span<uint8_t, kCodeplugBlockSize>(block));
            const int sent = m_Session->SendCode2(kCommand, kDataBlock, block, kCodeplugBlockSize);
            if (sent > 0) {
                ++blocksSent;
                ReportProgress(std::min(blocksSent * kCodeplugBlockSize, m_ByteCount));
            }
            return GoOnAfter(sent);
        }
        if (reply.data[1] == kChecksumReport) {
            // A report too short to carry a sum cannot match ours.
            const bool matches
                = reply.count >= 4 && platform::ReadBigEndian16(reply.data + 2) == m_Checksum;
            const int sent = SendCode(matches ? kChecksumMatches : kChecksumDiffers);
            if (sent > 0) {
                m_Checksum = 0;
            }
            return GoOnAfter(sent);
        }
        return -1;
    });
}

void SwapWordBytes(uint8_t* buffer, int32_t length)
{
    for (int32_t i = 0; i + 1 < length; i += 2) {
        const uint8_t first = buffer[i];
        buffer[i] = buffer[i + 1];
        buffer[i + 1] = first;
    }
}

std::string HexTextOfBytes(const uint8_t* bytes, size_t count)
{
    return platform::HexOfBytes(bytes, count);
}
