#pragma once

// The flash download engine: writes new firmware into a radio in bootload
// mode. Two S-record streams travel over the link session with the same
// block protocol: first the RAM loader, which the radio's boot code receives
// and starts, then, after the loader has erased the flash, the application
// or boot code, which the loader programs and verifies.
//
// Block protocol (message numbers of the message table; the sender is
// download/BlockStream, with the policy kFlashBlocks):
//   PC 47 (02 01) start            radio 8 (02 07) ready
//   PC 48 (02 09 + 128 bytes)      first block of a pair; radio 8 (or 49)
//   PC 48 (02 09 + 128 bytes)      second block; radio 3 (02 02 + sum, MSB first)
//   PC 6 (02 05) sum matches  or   PC 7 (02 06) sum differs
//   radio 8 (02 07) accepted   or  radio 49 (02 0A + 4 address bytes) verify failed
//   ... after a mismatch the second block is resent after every
//       acknowledgement; the fourth resend ends the stream
//   PC 5 (02 04) end of download (no reply)
//
// The engine streams: it reads one line at a time and holds only the block
// being filled, never an image. It does not know the window: it talks to it
// through the callbacks and the progress-bar interface it is given, and all
// its waiting happens inside the link session, which keeps the message queue
// pumped.

#include <cstdint>
#include <cstdio>
#include <string>

#include "download/BlockStream.h"
#include "link/LinkCallbacks.h"
#include "link/LinkMessage.h"
#include "link/ModelTraits.h"

class CommSession;

namespace download {

// Results of DownloadCode.
// ImageProblem: a stream could not be read (no file, a read error) or holds
// a data record that cannot be streamed; nothing more is sent to the radio.
enum class FlashResult {
    Success = 1,
    CommProblem,
    ImageProblem,
    TimedOut,
    VerifyFailed = 6,
    WrongFlashType = 9
};

// The link's result of a wait as the engine's result.
FlashResult FlashResultOf(LinkResult link);

// Status texts.
inline constexpr const char* kTextFinished = "Download finished.";
inline constexpr const char* kTextCommProblem = "Communication problem during code download.";
inline constexpr const char* kTextTimedOut = "Code download timed out or canceled by user.";
inline constexpr const char* kTextVerifyFailed = "Flash Verify failed at address: 0x";

// Erase wait and its status text (null: no text) for a target model code:
// the model's, or the shortest one for boot code.
EraseWait EraseWaitFor(int32_t targetModelCode, bool bootFlag);

// One code download: the two streams, the target, and where the texts and
// the progress go.
struct CodeDownload {
    // Open S-record text files read from their current position; null for
    // one that could not be opened, which the engine reports.
    std::FILE* loaderStream = nullptr;
    std::FILE* codeStream = nullptr;
    int32_t targetModelCode = 0;
    // The code is boot code: the shortest erase wait and the boot texts.
    bool bootFlag = false;
    // The flash type the loader must report is 4 when set, 8 when clear
    // (checked only for models whose loader reports it).
    bool processorFlag = false;
    // Status texts (may be empty).
    StatusCallback showStatus;
    // May be null.
    IProgressBar* progressBar = nullptr;
    // Console progress lines ("\r" + activity + percent) go to
    // showProgressLine only when this is set.
    bool textProgressFlag = false;
    TextProgressCallback showProgressLine;
};

// What one DownloadCode call did to the radio.
struct CodeDownloadReport {
    FlashResult result = FlashResult::Success;
    // Data bytes of code (not loader) blocks the radio accepted: the flash
    // written.
    long long codeBytesAccepted = 0;
    // The flash was erased or written: the loader's erase wait began with
    // its text, or a code stream got past its start.
    bool flashTouched = false;
};

// Writes the loader and then the code into the radio. The session is open in
// framing mode 1 with its receive-enable flag set. The result is
// FlashResult::Success or one of the failure results above; every failure
// except WrongFlashType has sent its text to showStatus.
CodeDownloadReport DownloadCode(CommSession& session, const CodeDownload& job);

// The engine's state for one DownloadCode call. Exposed so that a stream can
// be driven on its own (the benchmark does); DownloadCode is the entry point.
// Of the job it uses the texts' and the progress's fields.
class FlashDownloadEngine {
public:
    FlashDownloadEngine(CommSession& session, CodeDownload job);

    // Sends one S-record stream with the block protocol; `kind` is one of
    // the kinds above. The code stream (not the loader) ends by setting the
    // radio back to 19200 bit/s. Returns the status.
    FlashResult DownloadStream(std::FILE* stream, const char* kind, bool codeStream);

    FlashResult Status() const { return m_Status; }
    void SetStatus(FlashResult status) { m_Status = status; }
    // The status, the code bytes accepted and whether the flash was touched,
    // over every stream so far.
    CodeDownloadReport Report() const { return { m_Status, m_CodeBytesAccepted, m_FlashTouched }; }
    // The loader begins to erase the flash.
    void NoteFlashTouched() { m_FlashTouched = true; }

    // Texts to the window and the console.
    void ShowStatus(const std::string& text) const { ShowText(m_Job.showStatus, text); }
    // Only when the job asks for console progress.
    void ShowProgressLine(const std::string& text) const
    {
        if (m_Job.textProgressFlag) {
            ShowText(m_Job.showProgressLine, text);
        }
    }
    // "\r" + activity text + "100% complete...Done.\n"
    void ShowStreamDone() const;
    // Sends the text for a communication problem or a time-out.
    void ReportLinkStatus(FlashResult status) const;

private:
    // A failure of the block stream becomes the engine's status (with its
    // text for a failed verify).
    void TakeStreamStatus();
    void BlockAccepted();
    void AdvanceProgress(int amount);
    void ReportPercent();

    CommSession& m_Session;
    CodeDownload m_Job;

    FlashResult m_Status = FlashResult::Success;
    BlockStream m_Stream;
    bool m_ResendsExhausted = false;
    bool m_CodeStream = false; // the stream being sent goes into the flash
    long long m_CodeBytesAccepted = 0;
    bool m_FlashTouched = false;
    int m_ProgressCounter = 0;
    int m_ProgressMaximum = 64;
    std::string m_ActivityText;
};

} // namespace download
