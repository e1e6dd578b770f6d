#include "tests/download_flash/FakeFlashRadio.h"

namespace flashtest {

namespace {

uint16_t BlockSum(const Bytes& message)
{
    uint16_t sum = 0;
    for (size_t i = 2; i + 1 < message.size(); i += 2)
        sum = static_cast<uint16_t>(sum + (message[i] | message[i + 1] << 8));
    return sum;
}

} // namespace

void FakeRadioState::Reply(const Bytes& message)
{
    const Bytes frame = testframes::RadioFrame(message);
    pending.insert(pending.end(), frame.begin(), frame.end());
}

void FakeRadioState::Receive(const uint8_t* bytes, int count)
{
    m_Reader.Push(bytes, count, [this](const std::optional<Bytes>& message) {
        if (!message || message->size() < 2)
            ++badFrames;
        else
            Handle(*message);
    });
}

void FakeRadioState::Handle(const Bytes& message)
{
    messages.push_back(message);
    if (!open || (silentAfterBlocks > 0 && m_BlocksTotal >= silentAfterBlocks))
        return;
    const uint8_t command = message[0];
    const uint8_t sub = message[1];
    if (command == 0x02 && sub == 0x01) {
        if (negativeStarts > 0) {
            --negativeStarts;
            Reply({ 0x02, 0x0A });
            return;
        }
        streams.emplace_back();
        m_BlocksInStream = 0;
        m_PairsInStream = 0;
        Reply({ 0x02, 0x07 });
    } else if (command == 0x02 && sub == 0x09 && message.size() == 130) {
        ++m_BlocksTotal;
        if (closeAfterBlocks > 0 && m_BlocksTotal >= closeAfterBlocks) {
            open = false;
            return;
        }
        if (silentAfterBlocks > 0 && m_BlocksTotal >= silentAfterBlocks)
            return;
        ++m_BlocksInStream;
        if (!streams.empty())
            streams.back().insert(streams.back().end(), message.begin() + 2, message.end());
        if (m_BlocksInStream % 2 == 1) {
            m_PairSum = BlockSum(message);
            Reply({ 0x02, 0x07 });
            return;
        }
        if (negativeSumReports > 0) {
            // Refuse the second block: it comes again.
            --negativeSumReports;
            --m_BlocksInStream;
            streams.back().resize(streams.back().size() - 128);
            Reply({ 0x02, 0x0A });
            return;
        }
        ++m_PairsInStream;
        const uint16_t sum = static_cast<uint16_t>(m_PairSum + BlockSum(message));
        Reply({ 0x02, 0x02, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum & 0xFF) });
    } else if (command == 0x02 && sub == 0x05) {
        const bool fail = m_PairsInStream == verifyFailPair
            && static_cast<int>(streams.size()) - 1 == faultStream;
        Reply(fail ? Bytes { 0x02, 0x0A, 0x00, 0x10, 0x20, 0x30 } : Bytes { 0x02, 0x07 });
    } else if (command == 0x02 && sub == 0x0B) {
        if (closeOnFlashType) {
            open = false;
        } else {
            Reply(flashTypeReply);
        }
    }
    // 02 04 (end) and 09 00 (baud rate) are not answered.
}

int FakeRadioDevice::Write(const uint8_t* buffer, int count)
{
    if (!m_State->open)
        return -1;
    m_State->Receive(buffer, count);
    return count;
}

int FakeRadioComponent::WriteBlock(const uint8_t* bytes, int count)
{
    written.insert(written.end(), bytes, bytes + count);
    if (m_State && !m_State->open)
        return -1;
    if (m_State)
        m_State->Receive(bytes, count);
    return 0;
}

void FakeRadioComponent::DelayTicks(int ticks)
{
    if (m_State && (m_State->ticks += ticks) == m_State->stopOnTick && m_State->onStop)
        m_State->onStop();
}

} // namespace flashtest
