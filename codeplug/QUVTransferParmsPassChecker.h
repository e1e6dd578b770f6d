#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "codeplug/QUVTransfer.h"

// Answers the radio's password request at the start of a codeplug transfer.
// The password lives in the radio; the checker only passes the user's digits
// on, allowing three attempts. Uses only the session of its base.
class QUVTransferParmsPassChecker : public QUVTransfer {
public:
    // Without a prompt set, the password request is cancelled.
    QUVTransferParmsPassChecker() = default;

    // Runs right after the transfer's start message was sent. Greater than 0
    // when the radio granted access, and also after a cancelled prompt, a
    // third refused answer or an unexpected message (the radio has then been
    // told to end the transfer with (3, 4)). 0 or less when the link failed.
    int CheckPassword();

    void SetPasswordPrompt(PasswordPrompt prompt) { m_PasswordPrompt = std::move(prompt); }

    // How the last check ended.
    PasswordOutcome LastOutcome() const { return m_Outcome; }

    // The 4-byte answer: up to eight digits taken from the first 12
    // characters of the entry, packed two a byte, high nibble first; other
    // characters are skipped and unused nibbles hold 0xF.
    static std::array<uint8_t, 4> EncodeEntry(const std::string& entry);

private:
    PasswordPrompt m_PasswordPrompt;
    PasswordOutcome m_Outcome = PasswordOutcome::Failed;
};
