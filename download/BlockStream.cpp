#include "download/BlockStream.h"

#include <algorithm>

#include "link/CommSession.h"
#include "link/MessageTable.h"

namespace download {

namespace {

// Length of the negative reply that carries a verify-failure address.
constexpr int kVerifyReplyLength = 6;

} // namespace

void BlockPair::StartStream()
{
    m_RunningSum = 0;
    m_SecondOfPair = false;
    EmptyBlock();
}

void BlockPair::EmptyBlock()
{
    MessageTable::BuildRequest(msg::kDataBlock, m_Block);
    m_Block.count = kBlockMessageBytes;
    m_FillPosition = 2;
}

void BlockPair::Put(uint16_t word)
{
    m_Block.data[m_FillPosition] = static_cast<uint8_t>(word & 0xFF);
    m_Block.data[m_FillPosition + 1] = static_cast<uint8_t>(word >> 8);
    m_FillPosition += 2;
    m_RunningSum = static_cast<uint16_t>(m_RunningSum + word);
}

bool BlockPair::SumMatches(const LinkMessage& reply, bool wasNegative) const
{
    if (wasNegative || reply.count < 4) {
        return false;
    }
    return static_cast<uint16_t>(reply.data[2] << 8 | reply.data[3]) == m_RunningSum;
}

void BlockPair::Accepted()
{
    if (m_SecondOfPair) {
        m_SecondOfPair = false;
        m_RunningSum = 0;
    } else {
        m_SecondOfPair = true;
    }
    EmptyBlock();
}

LinkResult StatusAfterWait(const CommSession& session, const LinkMessage& reply)
{
    const LinkResult status = session.LinkStatus();
    // The wait ended with the flag still set but nothing matched: the line
    // closed under it. Going on would read the empty reply as an answer.
    if (status == LinkResult::ReplyReceived && reply.count == 0) {
        return LinkResult::CommProblem;
    }
    return status;
}

BlockStream::BlockStream(
    CommSession& session, const BlockPolicy& policy, std::function<void()> blockAccepted)
    : m_Session(session)
    , m_Policy(policy)
    , m_BlockAccepted(std::move(blockAccepted))
{
}

LinkMessage BlockStream::Request(const std::function<void()>& send, int expected, bool* wasNegative)
{
    const LinkCode code = MessageTable::CodeOf(expected);
    const int length = MessageTable::ExpectedLength(expected);
    const LinkCode negative = MessageTable::CodeOf(msg::kDownloadNegative);
    const int negativeLength = MessageTable::ExpectedLength(msg::kDownloadNegative);
    send();
    *wasNegative = false;
    LinkMessage reply = m_Session.Exchange(code, length, negative, negativeLength, wasNegative);
    while (m_Policy.repeatsAfterNegative && m_Session.RepeatsAfterNegative() && *wasNegative
        && m_Session.ReceiveEnabled()) {
        send();
        *wasNegative = false;
        reply = m_Session.Exchange(code, length, negative, negativeLength, wasNegative);
    }
    return reply;
}

bool BlockStream::WaitSucceeded(const LinkMessage& reply)
{
    m_Link = StatusAfterWait(m_Session, reply);
    if (m_Link != LinkResult::ReplyReceived) {
        m_State = State::LinkFailed;
        return false;
    }
    return true;
}

bool BlockStream::Start(int startMessage)
{
    m_State = State::Sending;
    bool wasNegative = false;
    const LinkMessage reply
        = Request([this, startMessage] { m_Session.SendTableMessage(startMessage); },
            msg::kRadioAck, &wasNegative);
    m_Block.StartStream();
    return WaitSucceeded(reply);
}

void BlockStream::Append(uint16_t word)
{
    SendBlockIfFull();
    if (!m_Block.HasRoom()) {
        // Only when the block could not leave (the stream has failed):
        // nothing more is sent, so the word is dropped.
        return;
    }
    m_Block.Put(word);
}

void BlockStream::Finish()
{
    for (int round = 0; round < 2; ++round) {
        while (Sending() && !m_Block.Full()) {
            Append(m_Policy.padWord);
        }
        SendBlockIfFull();
        // A first block of a pair was the last to go: one more block of
        // padding completes the pair and its checksum exchange.
        if (!m_Block.SecondOfPair()) {
            break;
        }
    }
}

void BlockStream::SendBlock()
{
    m_Session.SendMessage(m_Block.Message());
}

void BlockStream::SendBlockIfFull()
{
    if (!Sending() || !m_Block.Full()) {
        return;
    }
    // The block; after the second of a pair, the pair's checksum exchange.
    bool matched = false;
    if (!m_Block.SecondOfPair()) {
        SendBlock();
    } else {
        bool wasNegative = false;
        const LinkMessage reply
            = Request([this] { SendBlock(); }, msg::kDownloadChecksum, &wasNegative);
        if (!WaitSucceeded(reply)) {
            return;
        }
        matched = m_Block.SumMatches(reply, wasNegative);
        m_Session.SendTableMessage(matched ? msg::kChecksumMatches : msg::kChecksumMismatch);
    }

    // The radio's verdict on the block (and on the pair).
    const LinkCode ack = MessageTable::CodeOf(msg::kRadioAck);
    const int ackLength = MessageTable::ExpectedLength(msg::kRadioAck);
    const LinkCode negative = MessageTable::CodeOf(msg::kDownloadNegative);
    const int negativeLength = m_Policy.negativeAccepts
        ? MessageTable::ExpectedLength(msg::kDownloadNegative)
        : kVerifyReplyLength;
    int resends = 0;
    for (;;) {
        bool wasNegative = false;
        const LinkMessage reply
            = m_Session.Exchange(ack, ackLength, negative, negativeLength, &wasNegative);
        if (!WaitSucceeded(reply)) {
            return;
        }
        if (!m_Block.SecondOfPair()) {
            break;
        }
        if (wasNegative && !m_Policy.negativeAccepts) {
            std::copy(reply.data + 2, reply.data + kVerifyReplyLength, m_VerifyAddress.begin());
            m_State = State::VerifyFailed;
            return;
        }
        if (matched || !m_Policy.resendsOnMismatch) {
            break;
        }
        SendBlock();
        ++resends;
        if (resends >= kMaxResends) {
            m_State = State::ResendsExhausted;
            return;
        }
    }

    // An empty block, which starts or ends a pair.
    m_Block.Accepted();
    if (m_BlockAccepted) {
        m_BlockAccepted();
    }
}

} // namespace download
