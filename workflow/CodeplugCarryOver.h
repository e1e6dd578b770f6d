#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "codeplug/CodeplugImage.h"
#include "workflow/PostUpdate.h"

class CommSession;
class IUpdateHost;

// Carrying a radio's codeplug across an application update: after the
// restart the codeplug is read out of the radio, saved to a backup file,
// converted to the parameter format the new code reports and written back.

// Requests of the codeplug path and the codes of their replies.
inline constexpr uint8_t kIdentifierReply[2] = { 0x04, 0x05 };
inline constexpr int kIdentifierBytes = 8;
inline constexpr uint8_t kCodeplugInfoReply[2] = { 0x04, 0x1D };

// Wait time of every exchange of the codeplug path (ms).
inline constexpr int kCodeplugWaitMs = 4000;
// Timed-progress intervals (ms) of the upload and the conversion wait.
inline constexpr int kUploadProgressMs = 300;
inline constexpr int kConversionProgressMs = 200;
// The radio resets on its new code while the codeplug is converted: 360
// ticks of 55 ms.
inline constexpr int kConversionWaitTicks = 360;

inline constexpr const char* kTextUploadingCodeplug = "Uploading codeplug...";
inline constexpr const char* kTextConvertingCodeplug = "Resetting radio and converting codeplug...";
inline constexpr const char* kTextDownloadingCodeplug = "Downloading codeplug...";

// Asks the radio for its identifier (its serial number). When it answers,
// `text` becomes the 8 identifier bytes as 16 upper-case hexadecimal digits
// and the result is true; otherwise `text` is left as it was.
bool ReadRadioIdentifier(CommSession& session, std::string& text);

// Asks the radio for the parameter-format version its code expects (the
// codeplug-information request). False when it gives no valid answer.
bool ReadCodeplugFormat(CommSession& session, FormatVersion& version);

// Timed-progress interval of a codeplug download: 0.015 ms per byte (1.5 s
// per 1000 bytes to fill the bar), at least 1 ms.
int DownloadProgressInterval(int32_t byteCount);

// Name of the backup of a codeplug read out at `when`:
// Codeplug_<identifier>_<UTC yyyymmddThhmmssZ>.bin ("unknown" stands in for
// an empty identifier).
std::string CodeplugBackupName(const std::string& identifier, std::time_t when);

// Writes `byteCount` bytes to a new file `path`. The file must not exist yet
// (an existing file is never replaced), and one that could not be written
// completely is removed again. False with the reason in `error`, and
// *alreadyExists (when given) set when the file was there before.
bool SaveCodeplugBackup(const std::string& path, const uint8_t* bytes, int32_t byteCount,
    std::string& error, bool* alreadyExists = nullptr);

// Saves the backup of a codeplug read out of the radio with identifier
// `identifier` at `when` in the working directory under
// CodeplugBackupName; should that file exist already (the same radio read
// twice within a second), under the same name with "_2" to "_9" before
// ".bin". Never replaces a file. `name` is the file created.
// `folder`, when given, is where the file goes instead (`name` then
// includes it).
bool CreateCodeplugBackup(const std::string& identifier, std::time_t when, const uint8_t* bytes,
    int32_t byteCount, std::string& name, std::string& error, const std::string& folder = {});

// The status text of a failed codeplug download in window use: the
// download error followed by the name of the backup, when there is one.
std::string DownloadFailedStatusText(const std::string& backupName);

// The codeplug path of RunPostUpdate: the radio restarted without a restart
// or control-head message. Reads the identifier and the parameter format of
// the new code, uploads the codeplug and saves it in the working directory,
// validates it and, when its format differs from the new code's, waits for
// the radio's reset, converts it and downloads it. Nothing is written to the
// radio unless the backup was saved and the conversion went through. The
// backup's name is noted with the host (NoteCodeplugBackup; cleared first),
// and the radio's password prompt is the host's.
PostUpdateResult CarryCodeplugOver(IUpdateHost& host);
