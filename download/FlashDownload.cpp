#include "download/FlashDownload.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>

#include "download/SRecord.h"
#include "link/CommSession.h"
#include "link/MessageTable.h"
#include "platform/HexText.h"

namespace download {

namespace {

// Size of the stream's file in bytes, or 0 when it cannot be told.
long long StreamSize(std::FILE* stream)
{
    struct stat info { };
    if (::fstat(::fileno(stream), &info) == 0 && S_ISREG(info.st_mode)) {
        return static_cast<long long>(info.st_size);
    }
    const long here = std::ftell(stream);
    if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) {
        return 0;
    }
    const long end = std::ftell(stream);
    std::fseek(stream, here, SEEK_SET);
    return end < 0 ? 0 : static_cast<long long>(end);
}

} // namespace

FlashResult FlashResultOf(LinkResult link)
{
    return link == LinkResult::ReplyReceived ? FlashResult::Success
        : link == LinkResult::CommProblem    ? FlashResult::CommProblem
                                             : FlashResult::TimedOut;
}

EraseWait EraseWaitFor(int32_t targetModelCode, bool bootFlag)
{
    if (bootFlag) {
        return { kEraseTicksBootCode, nullptr };
    }
    return ModelTraitsOf(targetModelCode).erase;
}

FlashDownloadEngine::FlashDownloadEngine(CommSession& session, CodeDownload job)
    : m_Session(session)
    , m_Job(std::move(job))
    , m_Stream(session, kFlashBlocks, [this] { BlockAccepted(); })
{
}

void FlashDownloadEngine::ShowStreamDone() const
{
    ShowProgressLine("\r" + m_ActivityText + "100% complete...Done.\n");
}

void FlashDownloadEngine::ReportLinkStatus(FlashResult status) const
{
    if (status == FlashResult::CommProblem) {
        ShowStatus(kTextCommProblem);
    } else if (status == FlashResult::TimedOut) {
        ShowStatus(kTextTimedOut);
    }
}

void FlashDownloadEngine::AdvanceProgress(int amount)
{
    if (m_ProgressCounter <= INT_MAX - amount) {
        m_ProgressCounter += amount;
    }
}

void FlashDownloadEngine::ReportPercent()
{
    // The counter grows a little faster than the file size it is measured
    // against, so it is held at the maximum rather than running past 100%.
    const int position = std::min(m_ProgressCounter, m_ProgressMaximum);
    if (m_Job.progressBar != nullptr) {
        m_Job.progressBar->SetPosition(position);
    }
    if (m_Job.textProgressFlag) {
        const long long percent = static_cast<long long>(position) * 100 / m_ProgressMaximum;
        ShowProgressLine("\r" + m_ActivityText + std::to_string(percent) + "% complete");
    }
}

FlashResult FlashDownloadEngine::DownloadStream(
    std::FILE* stream, const char* kind, bool codeStream)
{
    const std::string kindText = kind;
    if (stream == nullptr) {
        m_Status = FlashResult::ImageProblem;
        ShowStatus("Download stopped: the " + kindText + "code file could not be read.");
        return m_Status;
    }

    // The progress bar runs against a quarter of the file's size.
    const long long maximum = StreamSize(stream) / 4 + 64;
    m_ProgressMaximum = static_cast<int>(std::min<long long>(maximum, INT_MAX));
    m_ProgressCounter = 0;
    if (m_Job.progressBar != nullptr) {
        m_Job.progressBar->SetMinimum(0);
        m_Job.progressBar->SetMaximum(m_ProgressMaximum);
        m_Job.progressBar->SetPosition(0);
    }
    m_ResendsExhausted = false;
    m_CodeStream = codeStream;

    // The start; one the radio did not take ends the stream here.
    if (!m_Stream.Start(msg::kStartCodeDownload)) {
        m_Status = FlashResultOf(m_Stream.Link());
        ReportLinkStatus(m_Status);
        return m_Status;
    }

    m_ActivityText = ActivityText(kind);
    ShowStatus(m_ActivityText);
    m_FlashTouched = m_FlashTouched || codeStream;

    // The data records, word by word.
    char line[kRecordLineSize];
    long lineNumber = 0;
    while (m_Status == FlashResult::Success && ReadRecordLine(stream, line, sizeof line)) {
        ++lineNumber;
        if (IsEndRecord(line)) {
            break;
        }
        const int recordKind = RecordKind(line);
        if (recordKind == kKindS0 || recordKind == kKindOther) {
            continue;
        }
        const int length = DataLength(line);
        if (length < 0) {
            // Streaming on would shift every later byte in the flash.
            m_Status = FlashResult::ImageProblem;
            ShowStatus("Download stopped: damaged record in line " + std::to_string(lineNumber)
                + " of the " + kindText + "code file.");
            return m_Status;
        }
        AdvanceProgress(recordKind == kKindS3 ? 4 : 3);
        const int offset = DataOffset(recordKind);
        for (int k = 0; k < 2 * length; k += 4) {
            m_Stream.Append(DataWord(line, offset + k));
        }
        TakeStreamStatus();
    }
    if (m_Status == FlashResult::Success && std::ferror(stream)) {
        m_Status = FlashResult::ImageProblem;
        ShowStatus("Download stopped: the " + kindText + "code file could not be read.");
        return m_Status;
    }

    // The last block, its pair, the end message and the way back to
    // 19200 bit/s, all only while nothing has gone wrong.
    if (m_Status == FlashResult::Success) {
        m_Stream.Finish();
        TakeStreamStatus();
        if (m_Status == FlashResult::Success) {
            m_Session.SendTableMessage(msg::kEndOfDownload);
            if (codeStream) {
                m_Session.SetRadioBaudRate(19200);
            }
        }
    }

    // The outcome and its text.
    if (m_Status == FlashResult::VerifyFailed) {
        return m_Status;
    }
    if (m_ResendsExhausted) {
        m_Status = FlashResult::TimedOut;
        ReportLinkStatus(m_Status);
        return m_Status;
    }
    if (m_Status == FlashResult::Success) {
        m_Status = FlashResultOf(m_Session.LinkStatus());
    }
    if (m_Status != FlashResult::Success) {
        ReportLinkStatus(m_Status);
    }
    return m_Status;
}

void FlashDownloadEngine::TakeStreamStatus()
{
    if (m_Status != FlashResult::Success) {
        return;
    }
    switch (m_Stream.Status()) {
    case BlockStream::State::Sending:
        break;
    case BlockStream::State::LinkFailed:
        m_Status = FlashResultOf(m_Stream.Link());
        break;
    case BlockStream::State::VerifyFailed: {
        const auto& address = m_Stream.VerifyAddress();
        ShowStatus(kTextVerifyFailed + platform::HexOfBytes(address.data(), address.size()));
        m_Status = FlashResult::VerifyFailed;
        break;
    }
    case BlockStream::State::ResendsExhausted:
        m_Status = FlashResult::TimedOut;
        m_ResendsExhausted = true;
        break;
    }
}

void FlashDownloadEngine::BlockAccepted()
{
    if (m_CodeStream) {
        m_CodeBytesAccepted += kBlockDataBytes;
    }
    AdvanceProgress(64);
    ReportPercent();
}

CodeDownloadReport DownloadCode(CommSession& session, const CodeDownload& job)
{
    FlashDownloadEngine engine(session, job);
    engine.ShowStatus(kTextPreparing);
    engine.SetStatus(FlashResult::Success);
    session.SetWaitTime(kDownloadWaitMs);

    engine.DownloadStream(job.loaderStream, kKindLoader, false);

    // Some models' loaders tell which flash they found. Code built for the
    // other processor would leave the radio unusable, so anything but a
    // flash-type reply with the expected type fails the check.
    const ModelTraits& model = ModelTraitsOf(job.targetModelCode);
    bool checkRan = false;
    bool checkPassed = false;
    if (engine.Status() == FlashResult::Success && model.checksFlashType) {
        checkRan = true;
        session.SendCode2(0x02, 0x0B, nullptr, 0);
        LinkMessage reply;
        if (session.ReceiveMessage(reply) != 1) {
            // No reply at all is a link failure, not a wrong processor.
            FlashResult status = FlashResultOf(session.LinkStatus());
            if (status == FlashResult::Success) {
                status = FlashResult::CommProblem;
            }
            engine.SetStatus(status);
            engine.ReportLinkStatus(status);
            return engine.Report();
        }
        const uint8_t expectedType = job.processorFlag ? 4 : 8;
        checkPassed = reply.count >= 4 && reply.data[0] == 0x02 && reply.data[1] == 0x0C
            && reply.data[3] == expectedType;
    }

    // The loader's 100% line, also when the flash type is wrong.
    if (job.textProgressFlag && engine.Status() == FlashResult::Success) {
        engine.ShowStreamDone();
    }

    // No code for a processor it was not built for; the caller explains.
    if (checkRan && !checkPassed) {
        engine.SetStatus(FlashResult::WrongFlashType);
        return engine.Report();
    }

    // The loader erases the flash. The wait yields to the message queue
    // tick by tick and ends early when Stop has cleared the receive-enable
    // flag; the code stream's start then reports the cancellation.
    if (engine.Status() == FlashResult::Success) {
        const EraseWait erase = EraseWaitFor(job.targetModelCode, job.bootFlag);
        if (erase.text != nullptr) {
            engine.ShowStatus(erase.text);
            engine.NoteFlashTouched();
        }
        for (int tick = 0; tick < erase.ticks && session.ReceiveEnabled(); ++tick) {
            session.DelayTicks(1);
        }
        engine.DownloadStream(
            job.codeStream, job.bootFlag ? kKindBootloader : kKindApplication, true);
        if (engine.Status() == FlashResult::Success) {
            engine.ShowStatus(kTextFinished);
            if (job.textProgressFlag) {
                engine.ShowStreamDone();
            }
        }
    }

    return engine.Report();
}

} // namespace download
