#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codeplug/Scrambler.h"

class CommSession;
struct LinkMessage;
class QUVTransferParmsPassChecker;

// The codeplug buffer: 65536 bytes, owned by the caller, holding the
// codeplug as 16-bit words, most significant byte first as they travel.
constexpr int32_t kCodeplugBufferSize = 0x10000;
// Codeplug data moves in blocks of this many bytes.
constexpr int32_t kCodeplugBlockSize = 128;

// Asks the user for the codeplug password. Fills `entry` with the text the
// user confirmed (trimmed of surrounding blanks) and returns true, or returns
// false when the user cancelled.
using PasswordPrompt = std::function<bool(std::string& entry)>;

// How the password check at the start of a transfer ended, for a caller that
// must tell a refused or cancelled password from a failed link.
enum class PasswordOutcome {
    Granted, // the radio granted access (with or without a password)
    Cancelled, // the prompt was cancelled
    Refused, // the radio asked again after the last answer it could get
    Failed, // the link failed or the radio sent something unexpected
};

// Base of the codeplug transfers: a link session, a buffer and a byte count.
// Results are signed: greater than 0 is success, 0 or less is failure.
class QUVTransfer {
public:
    QUVTransfer() = default;
    virtual ~QUVTransfer();
    QUVTransfer(const QUVTransfer&) = delete;
    QUVTransfer& operator=(const QUVTransfer&) = delete;

    virtual int Upload() { return -1; }
    virtual int Download() { return -1; }
    virtual void SetSession(CommSession* session) { m_Session = session; }

    // The 65536-byte buffer and the number of valid bytes in it: 0 before an
    // upload, the codeplug's length before a download.
    void SetBuffer(uint8_t* buffer, int32_t count)
    {
        m_Buffer = buffer;
        m_ByteCount = count;
    }
    int32_t ByteCount() const { return m_ByteCount; }

protected:
    CommSession* m_Session = nullptr;
    uint8_t* m_Buffer = nullptr;
    int32_t m_ByteCount = 0;
};

// Reads the codeplug out of the radio (upload) and writes it back, scrambled
// (download). Lives for one upload-and-download cycle.
class QUVTransferParms : public QUVTransfer {
public:
    using Identifier = QUVScrambler::Identifier;

    QUVTransferParms();
    ~QUVTransferParms() override;

    // Reads the codeplug into the buffer from offset 0; ByteCount() then
    // gives the bytes received (a multiple of 128).
    int Upload() override;
    // Writes the first ByteCount() bytes of the buffer to the radio. Pads the
    // buffer from ByteCount() to its end with 0x20 and always sends an even
    // number of blocks.
    int Download() override;
    // Stores the session here and in the password checker.
    void SetSession(CommSession* session) override;

    // The radio's 8-byte identifier as hexadecimal text (two digits a byte).
    // Surrounding blanks are ignored; any character that is not a
    // hexadecimal digit counts as 0; missing digits leave zero bytes.
    void SetRadioIdentifier(const std::string& text);
    const Identifier& RadioIdentifier() const { return m_Identifier; }

    // Replaces the password prompt of this transfer's checker.
    void SetPasswordPrompt(PasswordPrompt prompt);
    // How the password check of the last transfer ended.
    PasswordOutcome LastPasswordOutcome() const;

    // Called with the number of codeplug bytes moved so far after every
    // block of an upload or a download (a download counts at most
    // ByteCount()).
    using ProgressCallback = std::function<void(int32_t bytes)>;
    void SetProgress(ProgressCallback progress) { m_Progress = std::move(progress); }

private:
    int Transfer(uint8_t start, int (QUVTransferParms::*blocks)());
    int SendCode(uint8_t code);
    int ReceiveReply(LinkMessage& reply);
    int ForEachReply(const std::function<std::optional<int>(const LinkMessage&)>& onReply);
    int ReceiveBlocks();
    int SendBlocks();
    bool UploadComplete();

    void ReportProgress(int32_t bytes) const;

    std::unique_ptr<QUVTransferParmsPassChecker> m_PassChecker;
    ProgressCallback m_Progress;
    uint16_t m_Checksum = 0;
    Identifier m_Identifier {};
    QUVScrambler m_Scrambler;
    // Byte offset of the next block header the upload expects.
    int32_t m_NextHeader = 0;
};

// Exchanges the two bytes of every complete 16-bit word in the first
// `length` bytes (a trailing odd byte stays as it is).
void SwapWordBytes(uint8_t* buffer, int32_t length);

// Two upper-case hexadecimal digits for each byte.
std::string HexTextOfBytes(const uint8_t* bytes, size_t count);
