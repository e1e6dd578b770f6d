#include "workflow/CodeplugCarryOver.h"

#include "codeplug/CodeplugConvert.h"
#include "codeplug/CodeplugImage.h"
#include "codeplug/QUVTransfer.h"
#include "link/CommSession.h"
#include "link/LinkMessage.h"
#include "link/MessageTable.h"
#include "platform/FileWrite.h"
#include "platform/MessageBox.h"
#include "workflow/ProductTitle.h"
#include "workflow/RunNotes.h"
#include "workflow/UpdateHost.h"
#include "workflow/UpdateSequences.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

bool StartsWith(const LinkMessage& message, const uint8_t (&code)[2])
{
    return message.data[0] == code[0] && message.data[1] == code[1];
}

// A finished step is followed by the next one: on the console the previous
// step's line gets its "Done." and the new step starts a line of its own.
void ReportStep(IUpdateHost& host, const std::string& text)
{
    if (host.ConsoleMode()) {
        host.WriteConsoleText(std::string(kTextDone) + "\n" + text);
    } else {
        host.ShowStatusText(text);
    }
}

// Sends a request by its message number with receive-enable dropped, then
// waits for whatever the radio sends first.
int Ask(CommSession& session, int messageNumber, LinkMessage& reply)
{
    session.SetReceiveEnable(false);
    session.SendTableMessage(messageNumber);
    session.SetReceiveEnable(true);
    return session.ReceiveMessage(reply);
}

} // namespace

bool ReadRadioIdentifier(CommSession& session, std::string& text)
{
    LinkMessage reply;
    if (Ask(session, msg::kAskSerialNumber, reply) != 1 || !StartsWith(reply, kIdentifierReply)
        || reply.count < 2 + kIdentifierBytes) {
        return false;
    }
    text = HexTextOfBytes(reply.data + 2, kIdentifierBytes);
    return true;
}

bool ReadCodeplugFormat(CommSession& session, FormatVersion& version)
{
    LinkMessage info;
    if (Ask(session, msg::kAskFileFormatVersion, info) != 1 || !StartsWith(info, kCodeplugInfoReply)
        || info.count < 4) {
        return false;
    }
    version = { info.data[2], info.data[3] };
    return true;
}

int DownloadProgressInterval(int32_t byteCount)
{
    // 0.015 ms per byte, truncated; exact in integers.
    const int64_t interval = static_cast<int64_t>(byteCount) * 15 / 1000;
    return static_cast<int>(std::max<int64_t>(interval, 1));
}

std::string CodeplugBackupName(const std::string& identifier, std::time_t when)
{
    std::tm utc {};
    gmtime_r(&when, &utc);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return "Codeplug_" + (identifier.empty() ? std::string("unknown") : identifier) + "_" + stamp
        + ".bin";
}

namespace {

// Writes the backup beside its name, flushes it to the disk and links it in
// under the first free of the names nameFor(0) ... nameFor(tries - 1): the
// backup is what saves the codeplug when the radio loses it, so it must be
// whole on the disk before anything is written to the radio, and it never
// replaces another file.
bool WriteBackup(const std::string& first, const std::function<std::string(unsigned)>& nameFor,
    unsigned tries, const uint8_t* bytes, int32_t byteCount, std::string& path, std::string& error,
    bool* alreadyExists)
{
    if (alreadyExists != nullptr) {
        *alreadyExists = false;
    }
    path = first;
    if (bytes == nullptr || byteCount <= 0 || byteCount > kCodeplugBufferSize) {
        error = "a codeplug of " + std::to_string(byteCount) + " bytes cannot be saved";
        return false;
    }
    platform::AtomicFileWriter file;
    if (!file.Open(first, 0644, false) || !file.Write(bytes, static_cast<std::size_t>(byteCount))
        || !file.CommitNumbered(nameFor, tries)) {
        if (alreadyExists != nullptr) {
            *alreadyExists = file.NameTaken();
        }
        error = file.Error();
        return false;
    }
    path = file.Path();
    return true;
}

} // namespace

bool SaveCodeplugBackup(const std::string& path, const uint8_t* bytes, int32_t byteCount,
    std::string& error, bool* alreadyExists)
{
    const std::string name = path.substr(path.find_last_of('/') + 1);
    std::string saved;
    return WriteBackup(
        path, [&name](unsigned) { return name; }, 1, bytes, byteCount, saved, error, alreadyExists);
}

bool CreateCodeplugBackup(const std::string& identifier, std::time_t when, const uint8_t* bytes,
    int32_t byteCount, std::string& name, std::string& error, const std::string& folder)
{
    // The numbered names are taken in the folder of the first one.
    const std::string base = CodeplugBackupName(identifier, when);
    const std::string first = (folder.empty() ? std::string() : folder + "/") + base;
    const std::string stem = base.substr(0, base.size() - 4);
    return WriteBackup(
        first,
        [&](unsigned k) { return k == 0 ? base : stem + "_" + std::to_string(k + 1) + ".bin"; }, 9,
        bytes, byteCount, name, error, nullptr);
}

std::string DownloadFailedStatusText(const std::string& backupName)
{
    std::string text = kTextDownloadError;
    if (!backupName.empty()) {
        text += " The codeplug read from the radio is saved in " + backupName + ".";
    }
    return text;
}

PostUpdateResult CarryCodeplugOver(IUpdateHost& host)
{
    CommSession& session = host.Session();
    host.NoteCodeplugBackup(std::string());

    session.SetWaitTime(kCodeplugWaitMs);
    std::string identifier;
    ReadRadioIdentifier(session, identifier);
    RunNotes* notes = host.Notes();
    if (notes != nullptr && !identifier.empty()) {
        notes->identifier = identifier;
    }

    FormatVersion target;
    if (!ReadCodeplugFormat(session, target)) {
        return kPostUpdateNoAnswer;
    }
    if (notes != nullptr) {
        notes->codeplugFormatAfter = VersionText(target.major, target.minor);
    }

    auto transfer = std::make_unique<QUVTransferParms>();
    std::vector<uint8_t> wire(kCodeplugBufferSize, 0);
    uint8_t* buffer = wire.data();
    transfer->SetBuffer(buffer, 0);
    transfer->SetRadioIdentifier(identifier);
    transfer->SetSession(&session);
    // A radio that guards its codeplug asks its password through the run's host.
    transfer->SetPasswordPrompt(
        [&host](std::string& entry) { return host.AskCodeplugPassword(entry); });

    host.StartTimedProgress(kUploadProgressMs);
    ReportStep(host, kTextUploadingCodeplug);
    const int uploaded = transfer->Upload();
    host.StopTimedProgress();
    const int32_t length = std::clamp<int32_t>(transfer->ByteCount(), 0, kCodeplugBufferSize);
    if (uploaded <= 0 || length <= 0) {
        return kPostUpdateUploadFailed;
    }

    // Keep the codeplug exactly as it came out of the radio before anything
    // else happens to it or to the radio.
    std::string backupName;
    std::string backupError;
    const bool saved = CreateCodeplugBackup(
        identifier, std::time(nullptr), buffer, length, backupName, backupError);
    ReportStep(host, "Saving codeplug to " + backupName + "...");
    if (!saved) {
        if (host.ConsoleMode()) {
            host.WriteConsoleText("Failed: " + backupError + ".\n");
        } else {
            host.ShowMessage(kProductTitle,
                "The codeplug read from the radio could not be saved (" + backupError
                    + ").\nNothing was written to the radio.",
                platform::MessageIcon::Error);
        }
        return kPostUpdateUploadFailed;
    }
    host.NoteCodeplugBackup(backupName);

    // The same conversion as the codeplug tool's: validation, the formats,
    // the chain and the 5.10 defaults.
    CodeplugConversion conversion;
    std::string reason;
    // Header word 3, most significant byte first: the codeplug's format.
    if (notes != nullptr && length >= 8) {
        notes->codeplugFormatBefore = VersionText(buffer[6], buffer[7]);
    }
    switch (conversion.Prepare(buffer, length, target.major, target.minor, reason)) {
    case CodeplugConvertOutcome::Due:
        break;
    case CodeplugConvertOutcome::UnsupportedFormat:
        return kPostUpdateFormatUnsupported;
    case CodeplugConvertOutcome::SameFormat:
        return kPostUpdateNothingToDo;
    default:
        return kPostUpdateUploadFailed;
    }

    host.StartTimedProgress(kConversionProgressMs);
    ReportStep(host, kTextConvertingCodeplug);
    session.DelayTicks(kConversionWaitTicks);
    host.StopTimedProgress();
    // Stop pressed meanwhile: the radio keeps the codeplug it has.
    if (!host.UpdateInProgress()) {
        return kPostUpdateDownloadFailed;
    }

    // A conversion the image's bounds stopped, or one that would not fit the
    // buffer, leaves the radio untouched.
    int downloadLength = 0;
    if (conversion.Run(buffer, downloadLength, reason) != CodeplugConvertOutcome::Converted) {
        return kPostUpdateUploadFailed;
    }

    host.StartTimedProgress(DownloadProgressInterval(downloadLength));
    ReportStep(host, kTextDownloadingCodeplug);
    transfer->SetBuffer(buffer, downloadLength);
    const int downloaded = transfer->Download();
    host.StopTimedProgress();
    return downloaded > 0 ? kPostUpdateConverted : kPostUpdateDownloadFailed;
}
