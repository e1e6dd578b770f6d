#include "codeplug/QUVTransferParmsPassChecker.h"

#include "codeplug/CodeplugMessages.h"
#include "link/CommSession.h"

namespace {

using namespace cpmsg;

// A message the radio may send between the answer and its verdict.
constexpr uint8_t kInterimCommand = 7;
constexpr uint8_t kInterimSubCode = 37;
constexpr int kMaxAttempts = 3;

} // namespace

std::array<uint8_t, 4> QUVTransferParmsPassChecker::EncodeEntry(const std::string& entry)
{
    std::array<uint8_t, 4> answer;
    answer.fill(0xFF);
    const size_t scanned = entry.size() < 12 ? entry.size() : 12;
    int digit = 0;
    for (size_t i = 0; i < scanned && digit < 8; ++i) {
        const char c = entry[i];
        if (c < '0' || c > '9') {
            continue;
        }
        const uint8_t value = static_cast<uint8_t>(c - '0');
        uint8_t& byte = answer[digit / 2];
        if (digit % 2 == 0) {
            byte = static_cast<uint8_t>((value << 4) | (byte & 0x0F));
        } else {
            byte = static_cast<uint8_t>((byte & 0xF0) | value);
        }
        ++digit;
    }
    return answer;
}

int QUVTransferParmsPassChecker::CheckPassword()
{
    if (m_Session == nullptr) {
        return -1;
    }
    int status = -1;
    bool granted = false;
    int attempts = 0;
    m_Outcome = PasswordOutcome::Failed;
    LinkMessage reply;
    while (!granted && attempts <= kMaxAttempts) {
        status = m_Session->ReceiveMessage(reply);
        if (status <= 0) {
            break;
        }
        if (reply.count < 2) {
            break;
        }
        const uint8_t command = reply.data[0];
        const uint8_t subCode = reply.data[1];
        if (command == kCommand && subCode == kPasswordRequired) {
            bool answered = false;
            std::string entry;
            if (attempts >= kMaxAttempts) {
                m_Outcome = PasswordOutcome::Refused;
            } else if (m_PasswordPrompt && m_PasswordPrompt(entry)) {
                const std::array<uint8_t, 4> answer = EncodeEntry(entry);
                status = m_Session->SendCode2(kCommand, kPasswordAnswer, answer.data(),
                    static_cast<int>(answer.size()));
                answered = status > 0;
            } else {
                m_Outcome = PasswordOutcome::Cancelled;
            }
            if (!answered) {
                // Cancelled, refused a third time or the answer was not sent.
                attempts = kMaxAttempts;
            }
            ++attempts;
        } else if (command == kCommand
            && (subCode == kAccessGranted || subCode == kAccessGrantedAlt)) {
            granted = true;
            status = 1;
            m_Outcome = PasswordOutcome::Granted;
        } else if (command == kInterimCommand && subCode == kInterimSubCode) {
            // The radio may send this while it checks the answer; it is no
            // verdict and costs no attempt.
        } else {
            break;
        }
    }
    if (!granted || status < 0) {
        m_Session->SendCode2(kCommand, kEndOfTransfer, nullptr, 0);
    }
    return status;
}
