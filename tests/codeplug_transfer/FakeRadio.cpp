#include "FakeRadio.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

KeystreamData LoadKeystreamData(const std::string& identifier)
{
    std::ifstream in(std::string(KEYSTREAM_DATA_DIR) + "/keystream-" + identifier + ".txt");
    if (!in)
        throw std::runtime_error("keystream data for " + identifier + " not found");
    // Lines: identifier, keystream, then plain and scrambled for two blocks.
    std::string line;
    std::vector<Bytes> lines;
    while (std::getline(in, line)) {
        std::istringstream items(line);
        Bytes bytes;
        for (std::string item; items >> item;)
            bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
        lines.push_back(bytes);
    }
    lines.resize(6);
    return { lines[1], { lines[2], lines[4] }, { lines[3], lines[5] } };
}

int FakeRadio::GetChar(uint8_t& ch)
{
    if (m_Out.empty())
        return -1;
    ch = m_Out.front();
    m_Out.pop_front();
    return 1;
}

int FakeRadio::Write(const uint8_t* buffer, int count)
{
    m_Reader.Push(buffer, count, [this](const std::optional<Bytes>& message) {
        if (message)
            Handle(*message);
    });
    return count;
}

void FakeRadio::Send(const Bytes& message)
{
    const Bytes frame = testframes::RadioFrame(message);
    m_Out.insert(m_Out.end(), frame.begin(), frame.end());
}

std::string FakeRadio::Trace() const
{
    std::string text;
    for (const Bytes& m : received)
        text += (text.empty() ? "" : " ") + std::to_string(m[0]) + "," + std::to_string(m[1]);
    return text;
}

int FakeRadio::Count(uint8_t command, uint8_t subCode) const
{
    return static_cast<int>(std::count_if(received.begin(), received.end(),
        [&](const Bytes& m) { return m.size() >= 2 && m[0] == command && m[1] == subCode; }));
}

void FakeRadio::Grant()
{
    Send({ 3, 13 });
    if (m_Mode == Mode::Upload)
        NextUploadBlock();
    else
        Send({ 3, 8 });
}

void FakeRadio::NextUploadBlock()
{
    Bytes block { 3, 2 };
    for (int i = 0; i < 128; ++i) {
        const size_t at = static_cast<size_t>(m_UploadBlock) * 128 + i;
        block.push_back(at < codeplug.size() ? codeplug[at] : 0);
    }
    ++m_UploadBlock;
    Send(block);
}

// Undoes the block masking with the keystream bytes of the test data.
void FakeRadio::TakeBlock(const uint8_t* data)
{
    rawBlocks.emplace_back(data, data + 128);
    if (m_KeyUsed + 2 > keystream.size())
        return;
    const uint8_t k1 = keystream[m_KeyUsed++];
    const uint8_t k2 = keystream[m_KeyUsed++];
    const uint16_t mask = static_cast<uint16_t>(data[1] << 8 | data[0]);
    Bytes block { static_cast<uint8_t>(data[1] ^ k2), static_cast<uint8_t>(data[0] ^ k1) };
    for (int i = 2; i < 128; i += 2) {
        const uint16_t word = static_cast<uint16_t>((data[i + 1] << 8 | data[i]) ^ mask);
        block.push_back(static_cast<uint8_t>(word >> 8));
        block.push_back(static_cast<uint8_t>(word));
    }
    for (int i = 0; i < 128; i += 2)
        m_Sum = static_cast<uint16_t>(m_Sum + (block[i] << 8 | block[i + 1]));
    plain.insert(plain.end(), block.begin(), block.end());
}

// True when the normal answer is to be left out.
bool FakeRadio::Inject()
{
    if (!injectAt || *injectAt != m_Requests++)
        return false;
    for (const Bytes& m : inject)
        Send(m);
    return injectReplaces;
}

void FakeRadio::Handle(const Bytes& message)
{
    received.push_back(message);
    if (message.size() < 2 || message[0] != 3)
        return;
    switch (message[1]) {
    case 7:
    case 0:
        m_Mode = message[1] == 7 ? Mode::Upload : Mode::Download;
        m_UploadBlock = 0;
        m_KeyUsed = 0;
        m_Sum = 0;
        if (password)
            Send({ 3, 11 });
        else
            Grant();
        break;
    case 12:
        if (password && message.size() == 6
            && std::equal(password->begin(), password->end(), message.begin() + 2))
            Grant();
        else
            Send({ 3, 11 });
        break;
    case 8:
        if (m_Mode == Mode::Upload) {
            if (!Inject())
                NextUploadBlock();
        }
        break;
    case 2:
        if (m_Mode != Mode::Download || message.size() != 130)
            break;
        TakeBlock(message.data() + 2);
        if (Inject())
            break;
        if (checksumEvery > 0 && rawBlocks.size() % checksumEvery == 0) {
            const bool wrong = std::find(wrongReports.begin(), wrongReports.end(), m_Reports++)
                != wrongReports.end();
            const uint16_t sum = static_cast<uint16_t>(m_Sum + (wrong ? 1 : 0));
            Send({ 3, 3, static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum) });
        } else {
            Send({ 3, 8 });
        }
        break;
    case 5:
    case 6:
        verdicts.push_back(message[1]);
        m_Sum = 0;
        Send({ 3, 8 });
        break;
    case 4:
        m_Mode = Mode::Idle;
        break;
    default:
        break;
    }
}
