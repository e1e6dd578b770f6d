#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codeplug/CodeplugImage.h"

class CommSession;

// Reading a radio's codeplug into a file, and writing a codeplug file into a
// radio (restoring a backup), verified by reading it back. The radio runs
// its application code and is reached at 19200 bit/s; the transfer, the
// password exchange, the backup and the conversion are those of the
// codeplug carry-over after an update.

// Results, also the codeplug tool's exit codes.
enum class CodeplugJobResult {
    Done = 0, // read, or written and verified
    Refused = 1, // refused (nothing written) or the verify found a difference
    LinkFailed = 2, // communication with the radio failed
};

// What a job asks of whoever runs it (the codeplug tool, the window).
class ICodeplugJobHost {
public:
    virtual ~ICodeplugJobHost() = default;
    // A step begins ("Uploading codeplug...").
    virtual void Step(const std::string& text) = 0;
    // A result line: a file saved, the conversion that runs.
    virtual void Note(const std::string& text) = 0;
    // Bytes moved so far by the transfer in progress, of `total` (0 when the
    // total is not known: an upload ends where the codeplug's chain ends).
    virtual void Progress(int32_t bytes, int32_t total) = 0;
    // The radio asks for its codeplug password: true with the entry, false
    // to cancel.
    virtual bool AskPassword(std::string& entry) = 0;
    // True once the job is to stop (Stop, a signal); checked during the
    // wait before the download.
    virtual bool Cancelled() { return false; }
};

struct CodeplugJobReport {
    CodeplugJobResult result = CodeplugJobResult::LinkFailed;
    // The result line: what was done, or what failed and why.
    std::string message;
    // Read: the file written. Write: the backup of the radio's codeplug
    // saved before anything was written (empty when none was saved).
    std::string file;
    // What the job learnt of the radio (empty when it did not get so far).
    std::string identifier;
    FormatVersion radioFormat;
    // Write: refused because the file is the backup of another radio.
    bool anotherRadio = false;
    // Write: whether a download began and whether it ran to its end, and the
    // codeplug bytes it sent.
    bool downloadStarted = false;
    bool downloadFinished = false;
    int32_t bytesWritten = 0;
};

// A codeplug file to be written into a radio, checked (step 1 of a write).
struct CodeplugFileImage {
    std::string path;
    std::vector<uint8_t> wire; // kCodeplugBytes bytes, the file's bytes first
    int byteCount = 0;
    FormatVersion version;
    // The radio identifier in the file's name when it is named as a backup
    // (Codeplug_<16 hexadecimal digits>_...), upper-case; else empty.
    std::string identifier;
};

// Reads and checks a codeplug file: readable, a valid block chain, a
// parameter format from 5.8 to 5.10. False with the reason otherwise.
bool LoadCodeplugForWrite(const std::string& path, CodeplugFileImage& image, std::string& error);

// The radio identifier of a backup's file name (see above), or empty.
std::string IdentifierOfBackupName(const std::string& path);

// Identifier request, codeplug-information request, upload; the codeplug is
// saved in wire form under `target`, or, when `target` is a folder, in it
// under the backup name. The session is open on the radio.
CodeplugJobReport ReadCodeplugJob(
    CommSession& session, ICodeplugJobHost& host, const std::string& target);

struct CodeplugWriteOptions {
    // Write a backup of another radio (its name carries another identifier).
    bool otherRadio = false;
    // Folder of the backup of the radio's current codeplug ("" = working
    // folder).
    std::string backupFolder;
};

// Steps 2 to 7 of a write for a file that LoadCodeplugForWrite accepted:
// the radio's identifier and format, the check of the file name's
// identifier, the backup of the radio's codeplug, the conversion, the wait
// for the radio's reset, the download and the verify.
CodeplugJobReport WriteCodeplugJob(CommSession& session, ICodeplugJobHost& host,
    const CodeplugFileImage& file, const CodeplugWriteOptions& options);
