#include "workflow/CodeplugJobs.h"

#include "codeplug/CodeplugConvert.h"
#include "codeplug/CodeplugFile.h"
#include "codeplug/QUVTransfer.h"
#include "link/CommSession.h"
#include "platform/ByteOrder.h"
#include "workflow/CodeplugCarryOver.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

constexpr const char* kBackupPrefix = "Codeplug_";
constexpr const char* kTextVerifyingCodeplug = "Verifying codeplug...";

CodeplugJobReport Report(CodeplugJobResult result, std::string message, std::string file = {})
{
    CodeplugJobReport report;
    report.result = result;
    report.message = std::move(message);
    report.file = std::move(file);
    return report;
}

bool IsFolder(const std::string& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Passes the host's password on to the checker and keeps an entry the radio
// granted, so that the transfers after the first one (the download, the
// read-back) offer it before asking again.
class PasswordKeeper {
public:
    explicit PasswordKeeper(ICodeplugJobHost& host)
        : m_Host(host)
    {
    }

    PasswordPrompt Prompt()
    {
        return [this](std::string& entry) {
            if (m_Asked++ == 0 && m_Known) {
                entry = m_Granted;
                return true;
            }
            if (!m_Host.AskPassword(entry)) {
                return false;
            }
            m_Last = entry;
            return true;
        };
    }

    // After each transfer: an entry the radio took is kept.
    void TransferEnded(PasswordOutcome outcome)
    {
        if (outcome == PasswordOutcome::Granted && m_Asked > 0) {
            m_Granted = m_Asked == 1 && m_Known ? m_Granted : m_Last;
            m_Known = true;
        }
        m_Asked = 0;
    }

private:
    ICodeplugJobHost& m_Host;
    std::string m_Granted;
    std::string m_Last;
    bool m_Known = false;
    int m_Asked = 0;
};

// One radio session of a job: the identifier, the transfer object with the
// password keeper, and the texts of failed transfers.
class RadioCodeplug {
public:
    RadioCodeplug(CommSession& session, ICodeplugJobHost& host)
        : m_Session(session)
        , m_Host(host)
        , m_Passwords(host)
    {
        m_Transfer.SetSession(&session);
        m_Transfer.SetPasswordPrompt(m_Passwords.Prompt());
    }

    // The identifier and the format the radio's code expects; false with
    // the report filled when the radio does not answer.
    bool Identify(CodeplugJobReport& report)
    {
        m_Session.SetWaitTime(kCodeplugWaitMs);
        if (!ReadRadioIdentifier(m_Session, m_Identifier)) {
            report = Report(CodeplugJobResult::LinkFailed,
                "communication failure: the radio did not answer the identifier request");
            return false;
        }
        if (!ReadCodeplugFormat(m_Session, m_Format)) {
            report = Report(CodeplugJobResult::LinkFailed,
                "communication failure: the radio did not answer the codeplug-information "
                "request");
            return false;
        }
        m_Transfer.SetRadioIdentifier(m_Identifier);
        return true;
    }

    // Reads the radio's codeplug into `wire` (kCodeplugBytes bytes); the
    // byte count, or 0 with the report filled.
    int32_t Upload(std::vector<uint8_t>& wire, const std::string& what, CodeplugJobReport& report)
    {
        wire.assign(kCodeplugBufferSize, 0);
        m_Transfer.SetBuffer(wire.data(), 0);
        m_Transfer.SetProgress([this](int32_t bytes) { m_Host.Progress(bytes, 0); });
        const int uploaded = m_Transfer.Upload();
        m_Passwords.TransferEnded(m_Transfer.LastPasswordOutcome());
        const int32_t length = std::clamp<int32_t>(m_Transfer.ByteCount(), 0, kCodeplugBufferSize);
        if (uploaded > 0 && length > 0) {
            return length;
        }
        report = Failed(what);
        return 0;
    }

    // Writes the first `length` bytes of `wire`; false with the report
    // filled.
    bool Download(std::vector<uint8_t>& wire, int32_t length, const std::string& backup,
        CodeplugJobReport& report)
    {
        m_Transfer.SetBuffer(wire.data(), length);
        m_Transfer.SetProgress([this, length](int32_t bytes) {
            m_BytesWritten = bytes;
            m_Host.Progress(bytes, length);
        });
        m_DownloadStarted = true;
        const int downloaded = m_Transfer.Download();
        m_Passwords.TransferEnded(m_Transfer.LastPasswordOutcome());
        if (downloaded > 0) {
            m_DownloadFinished = true;
            return true;
        }
        report = Failed("writing the codeplug");
        if (report.result == CodeplugJobResult::LinkFailed) {
            report.message += "; the radio's codeplug from before the write is saved in " + backup;
        }
        report.file = backup;
        return false;
    }

    const std::string& Identifier() const { return m_Identifier; }
    FormatVersion Format() const { return m_Format; }

    // Adds what is known of the radio to a finished job's report.
    CodeplugJobReport Described(CodeplugJobReport report) const
    {
        report.identifier = m_Identifier;
        report.radioFormat = m_Format;
        report.downloadStarted = m_DownloadStarted;
        report.downloadFinished = m_DownloadFinished;
        report.bytesWritten = m_BytesWritten;
        return report;
    }

private:
    // A failed transfer: a refused or cancelled password refuses the job
    // (the transfer never started), anything else is a link failure.
    CodeplugJobReport Failed(const std::string& doing) const
    {
        switch (m_Transfer.LastPasswordOutcome()) {
        case PasswordOutcome::Cancelled:
            return Report(CodeplugJobResult::Refused,
                "cancelled: no codeplug password given; nothing was written");
        case PasswordOutcome::Refused:
            return Report(CodeplugJobResult::Refused,
                "the radio refused the codeplug password; nothing was written");
        case PasswordOutcome::Granted:
        case PasswordOutcome::Failed:
            break;
        }
        return Report(CodeplugJobResult::LinkFailed, "communication failure while " + doing);
    }

    CommSession& m_Session;
    ICodeplugJobHost& m_Host;
    PasswordKeeper m_Passwords;
    QUVTransferParms m_Transfer;
    std::string m_Identifier;
    FormatVersion m_Format;
    bool m_DownloadStarted = false;
    bool m_DownloadFinished = false;
    int32_t m_BytesWritten = 0;
};

// Words 0 to word 4 - 129 of a codeplug in wire form: its block chain, in
// bytes (0 when the image is too short to say).
int32_t ChainBytes(const std::vector<uint8_t>& wire, int32_t length)
{
    if (length < 2 * (kHeaderWordChainEnd + 1)) {
        return 0;
    }
    const int chainEnd = platform::ReadBigEndian16(wire.data() + 2 * kHeaderWordChainEnd);
    return 2 * std::max(chainEnd - kChainTrailer, 0);
}

} // namespace

std::string IdentifierOfBackupName(const std::string& path)
{
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string prefix = kBackupPrefix;
    constexpr size_t kDigits = 16;
    if (name.size() < prefix.size() + kDigits + 1 || name.compare(0, prefix.size(), prefix) != 0
        || name[prefix.size() + kDigits] != '_') {
        return {};
    }
    std::string identifier = name.substr(prefix.size(), kDigits);
    for (char& c : identifier) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return identifier;
}

bool LoadCodeplugForWrite(const std::string& path, CodeplugFileImage& image, std::string& error)
{
    image = {};
    image.path = path;
    if (!ReadCodeplugFile(path, image.wire, image.byteCount, error)) {
        return false;
    }
    // Checked against its own format: only validity and the format matter.
    CodeplugConversion check;
    std::string reason;
    switch (check.Prepare(image.wire.data(), image.byteCount, 5, 10, reason)) {
    case CodeplugConvertOutcome::SameFormat:
    case CodeplugConvertOutcome::Due:
        break;
    case CodeplugConvertOutcome::UnsupportedFormat: {
        const uint16_t version
            = platform::ReadBigEndian16(image.wire.data() + 2 * kHeaderWordVersion);
        error = path + " holds a codeplug of parameter format "
            + FormatVersionText(
                { static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version & 0xFF) })
            + "; only 5.8, 5.9 and 5.10 can be written";
        return false;
    }
    default:
        error = path + ": " + reason;
        return false;
    }
    image.version = check.From();
    image.identifier = IdentifierOfBackupName(path);
    return true;
}

namespace {

CodeplugJobReport ReadSteps(RadioCodeplug& radio, ICodeplugJobHost& host, const std::string& target)
{
    CodeplugJobReport report;
    if (!radio.Identify(report)) {
        return report;
    }
    host.Step(kTextUploadingCodeplug);
    std::vector<uint8_t> wire;
    const int32_t length = radio.Upload(wire, "reading the codeplug", report);
    if (length <= 0) {
        return report;
    }
    std::string file = target;
    std::string error;
    const bool saved = IsFolder(target) ? CreateCodeplugBackup(radio.Identifier(),
                           std::time(nullptr), wire.data(), length, file, error, target)
                                        : WriteCodeplugFile(target, wire.data(), length, error);
    if (!saved) {
        return Report(CodeplugJobResult::Refused, "the codeplug could not be saved: " + error);
    }
    return Report(CodeplugJobResult::Done,
        "read " + std::to_string(length) + " bytes (format " + FormatVersionText(radio.Format())
            + ") from radio " + radio.Identifier() + " into " + file,
        file);
}

CodeplugJobReport WriteSteps(RadioCodeplug& radio, CommSession& session, ICodeplugJobHost& host,
    const CodeplugFileImage& file, const CodeplugWriteOptions& options)
{
    CodeplugJobReport report;
    if (!radio.Identify(report)) {
        return report;
    }
    // A codeplug belongs to one radio.
    if (!file.identifier.empty() && file.identifier != radio.Identifier() && !options.otherRadio) {
        report = Report(CodeplugJobResult::Refused,
            file.path + " is the codeplug of radio " + file.identifier + ", this is radio "
                + radio.Identifier() + "; nothing was written");
        report.anotherRadio = true;
        return report;
    }
    // The radio's format decides whether the file can go in at all.
    CodeplugConversion conversion;
    std::string reason;
    const CodeplugConvertOutcome prepared = conversion.Prepare(
        file.wire.data(), file.byteCount, radio.Format().major, radio.Format().minor, reason);
    if (prepared != CodeplugConvertOutcome::SameFormat && prepared != CodeplugConvertOutcome::Due) {
        return Report(CodeplugJobResult::Refused, reason + "; nothing was written");
    }

    // The radio's codeplug as it is now, saved before anything changes.
    host.Step(kTextUploadingCodeplug);
    std::vector<uint8_t> current;
    const int32_t currentLength = radio.Upload(current, "reading the radio's codeplug", report);
    if (currentLength <= 0) {
        return report;
    }
    std::string backup;
    std::string error;
    if (!CreateCodeplugBackup(radio.Identifier(), std::time(nullptr), current.data(), currentLength,
            backup, error, options.backupFolder)) {
        return Report(CodeplugJobResult::Refused,
            "the radio's codeplug could not be saved (" + error + "); nothing was written");
    }
    host.Note("backup of the radio's codeplug: " + backup);

    std::vector<uint8_t> wire = file.wire;
    wire.resize(kCodeplugBufferSize, 0);
    int length = file.byteCount;
    if (prepared == CodeplugConvertOutcome::Due) {
        host.Note("converting " + FormatVersionText(conversion.From()) + " -> "
            + FormatVersionText(conversion.To()));
        if (conversion.Run(wire.data(), length, reason) != CodeplugConvertOutcome::Converted) {
            return Report(CodeplugJobResult::Refused, reason + "; nothing was written", backup);
        }
    }

    // The radio resets after the upload, as after an update. The wait goes
    // in slices so that a stop ends it within about a second.
    host.Step(kTextConvertingCodeplug);
    constexpr int kSliceTicks = 20;
    for (int waited = 0; waited < kConversionWaitTicks && !host.Cancelled();
         waited += kSliceTicks) {
        session.DelayTicks(std::min(kSliceTicks, kConversionWaitTicks - waited));
    }
    if (host.Cancelled()) {
        return Report(CodeplugJobResult::Refused, "stopped; nothing was written", backup);
    }

    host.Step(kTextDownloadingCodeplug);
    std::vector<uint8_t> sent = wire; // the download pads the buffer it sends from
    if (!radio.Download(sent, length, backup, report)) {
        return report;
    }

    host.Step(kTextVerifyingCodeplug);
    std::vector<uint8_t> back;
    const int32_t backLength
        = radio.Upload(back, "reading the codeplug back after writing it", report);
    if (backLength <= 0) {
        report.message += "; the radio's codeplug from before the write is saved in " + backup;
        report.file = backup;
        return report;
    }
    // The read-back ends where the chain walk ends: every byte of the
    // written codeplug up to its chain end must have come back unchanged.
    const int32_t compared = std::min<int32_t>(length, backLength);
    const auto differs = std::mismatch(wire.begin(), wire.begin() + compared, back.begin());
    if (differs.first != wire.begin() + compared || backLength < ChainBytes(wire, length)) {
        std::string readBack;
        const bool saved = CreateCodeplugBackup(radio.Identifier(), std::time(nullptr), back.data(),
            backLength, readBack, error, options.backupFolder);
        const std::string written = prepared == CodeplugConvertOutcome::Due
            ? file.path + " (converted to " + FormatVersionText(conversion.To()) + ")"
            : file.path;
        return Report(CodeplugJobResult::Refused,
            "verify failed: the codeplug read back from the radio ("
                + (saved ? "saved in " + readBack : "not saved: " + error) + ") differs from "
                + written + " at byte " + std::to_string(differs.first - wire.begin())
                + "; the radio's codeplug from before the write is saved in " + backup,
            backup);
    }
    return Report(CodeplugJobResult::Done,
        "written and verified: " + file.path + " (" + std::to_string(length) + " bytes, format "
            + FormatVersionText(radio.Format()) + ") into radio " + radio.Identifier(),
        backup);
}

} // namespace

CodeplugJobReport ReadCodeplugJob(
    CommSession& session, ICodeplugJobHost& host, const std::string& target)
{
    RadioCodeplug radio(session, host);
    return radio.Described(ReadSteps(radio, host, target));
}

CodeplugJobReport WriteCodeplugJob(CommSession& session, ICodeplugJobHost& host,
    const CodeplugFileImage& file, const CodeplugWriteOptions& options)
{
    RadioCodeplug radio(session, host);
    return radio.Described(WriteSteps(radio, session, host, file, options));
}
