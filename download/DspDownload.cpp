#include "download/DspDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "download/SRecord.h"
#include "link/CommSession.h"
#include "link/MessageTable.h"
#include "link/ModelTraits.h"

namespace download {

namespace {

// File header fields.
constexpr uint32_t kSectionCountOffset = 2;
constexpr uint32_t kOptionalHeaderSizeOffset = 16;
constexpr uint32_t kFileHeaderSize = 22;
constexpr uint32_t kHeadersAfterOptional = 50;

// Section header fields.
constexpr uint32_t kStartAddressOffset = 12;
constexpr uint32_t kStartAddressUpperOffset = 14;
constexpr uint32_t kSizeOffset = 16;
constexpr uint32_t kRawOffsetOffset = 20;
constexpr uint32_t kPage40Offset = 38;
constexpr uint32_t kPage48Offset = 46;

// A loader line read as an S3 record: byte count at 2, data from 12, and
// five bytes of the count for the address and the checksum.
constexpr int kS3DataOffset = 12;
constexpr int kS3OverheadBytes = 5;

// Ticks of 55 ms that cover the pause after the loader.
constexpr int kLoaderStartTicks = (kDspLoaderStartMs + 54) / 55;

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8
        | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Data bytes of a loader line read as an S3 record: 0 when the line has no
// byte count or a count too small to carry data; -1 when the line is shorter
// than the data and checksum its count announces.
int LoaderDataLength(const char* line)
{
    const std::size_t length = std::strlen(line);
    if (length < 4) {
        return 0;
    }
    const int count = ParseHexByte(line + 2);
    if (count < 0) {
        return 0;
    }
    const int data = count - kS3OverheadBytes;
    if (data <= 0) {
        return 0;
    }
    if (length < static_cast<std::size_t>(kS3DataOffset + 2 * data + 2)) {
        return -1;
    }
    return data;
}

long long FdSize(int fd)
{
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    return static_cast<long long>(info.st_size);
}

bool WriteAllAt(int fd, const uint8_t* bytes, size_t count, off_t offset)
{
    while (count > 0) {
        const ssize_t written = ::pwrite(fd, bytes, count, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

std::string Damaged(const std::string& what)
{
    return "The DSP file is damaged: " + what + ".";
}

} // namespace

// ---------------------------------------------------------------- layout

DspLayout DspLayoutFor(int32_t targetModelCode)
{
    return ModelTraitsOf(targetModelCode).dspLayout;
}

int DspSectionHeaderSize(DspLayout layout)
{
    return layout == DspLayout::Header48 ? 48 : 40;
}

bool DspPageLoaded(DspLayout layout, int pageIndex)
{
    if (layout == DspLayout::Header48) {
        return pageIndex >= 0 && pageIndex <= 7;
    }
    return pageIndex == 0 || pageIndex == 2 || (pageIndex >= 5 && pageIndex <= 8);
}

std::string DspPageName(const std::string& directory, int index)
{
    return directory + "Page" + std::to_string(index);
}

DspObjectFile::DspObjectFile(int fd)
    : m_Fd(fd)
{
    struct stat info { };
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        m_Size = static_cast<uint64_t>(info.st_size);
        m_Usable = true;
    }
}

bool DspObjectFile::ReadAt(uint64_t offset, uint8_t* buffer, size_t count) const
{
    if (!m_Usable || offset > m_Size || count > m_Size - offset) {
        return false;
    }
    while (count > 0) {
        const ssize_t got = ::pread(m_Fd, buffer, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false; // the file shrank under us, or a read error
        }
        buffer += got;
        count -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool DspObjectBytes::ReadAt(uint64_t offset, uint8_t* buffer, size_t count) const
{
    if (offset > m_Size || count > m_Size - offset) {
        return false;
    }
    if (count > 0) {
        std::memcpy(buffer, m_Data + offset, count);
    }
    return true;
}

DspObjectLayout ReadDspObject(const DspObjectSource& source, DspLayout layout)
{
    DspObjectLayout result;
    uint8_t fileHeader[kFileHeaderSize];
    if (!source.ReadAt(0, fileHeader, sizeof fileHeader)) {
        result.error = Damaged("it is too short for its file header");
        return result;
    }
    result.sectionCount = Le16(fileHeader + kSectionCountOffset);
    result.firstHeader = Le16(fileHeader + kOptionalHeaderSizeOffset) != 0 ? kHeadersAfterOptional
                                                                           : kFileHeaderSize;

    const uint32_t headerSize = static_cast<uint32_t>(DspSectionHeaderSize(layout));
    const uint64_t headersEnd
        = result.firstHeader + static_cast<uint64_t>(result.sectionCount) * headerSize;
    if (headersEnd > source.Size()) {
        result.error = Damaged("its " + std::to_string(result.sectionCount)
            + " section headers run past the end of the file");
        return result;
    }

    result.sections.reserve(static_cast<size_t>(result.sectionCount));
    uint8_t header[48];
    for (int i = 0; i < result.sectionCount; ++i) {
        if (!source.ReadAt(
                result.firstHeader + static_cast<uint64_t>(i) * headerSize, header, headerSize)) {
            result.error = kDspTextUnreadable;
            return result;
        }
        DspSection section;
        section.number = i + 1;
        section.startAddress = Le32(header + kStartAddressOffset);
        section.sizeWords = Le32(header + kSizeOffset);
        section.rawOffset = Le32(header + kRawOffsetOffset);
        if (layout == DspLayout::Header48) {
            // The upper half of the start address names the page; the lower
            // half is the address within it.
            section.pageIndex = Le16(header + kStartAddressUpperOffset);
            section.pageAddress = section.startAddress & 0xFFFF;
            const uint16_t memoryPage = Le16(header + kPage48Offset);
            section.loaded = DspPageLoaded(layout, section.pageIndex) && (memoryPage & 0xFF) == 0;
        } else {
            section.pageIndex = header[kPage40Offset + 1];
            section.pageAddress = section.startAddress;
            section.loaded = DspPageLoaded(layout, section.pageIndex);
        }
        if (section.loaded) {
            const uint64_t dataEnd
                = static_cast<uint64_t>(section.rawOffset) + 2ull * section.sizeWords;
            if (dataEnd > source.Size()) {
                result.error = Damaged(
                    "section " + std::to_string(section.number) + " runs past the end of the file");
                return result;
            }
            const uint64_t wordsEnd
                = static_cast<uint64_t>(section.pageAddress) + section.sizeWords;
            if (wordsEnd > kDspPageWords) {
                result.error = Damaged("section " + std::to_string(section.number)
                    + " does not fit in memory page " + std::to_string(section.pageIndex));
                return result;
            }
        }
        result.sections.push_back(section);
    }
    result.ok = true;
    return result;
}

// ---------------------------------------------------------------- engine

DspResult DspResultOf(LinkResult link)
{
    return link == LinkResult::ReplyReceived ? DspResult::Success
        : link == LinkResult::CommProblem    ? DspResult::CommProblem
                                             : DspResult::TimedOut;
}

DspDownloadEngine::DspDownloadEngine(CommSession& session, DspDownloadJob job)
    : m_Session(session)
    , m_Job(std::move(job))
    , m_Stream(session, kDspBlocks, [this] { AdvanceProgress(); })
{
}

void DspDownloadEngine::ReportLinkStatus(DspResult status) const
{
    if (status == DspResult::CommProblem) {
        ShowStatus(kDspTextCommProblem);
    } else if (status == DspResult::TimedOut) {
        ShowStatus(kDspTextTimedOut);
    }
}

DspResult DspDownloadEngine::Fail(const std::string& text)
{
    m_Status = DspResult::FileProblem;
    ShowStatus(text);
    return m_Status;
}

bool DspDownloadEngine::StartHandshake(int startMessage)
{
    if (!m_Stream.Start(startMessage)) {
        m_Status = DspResultOf(m_Stream.Link());
        ReportLinkStatus(m_Status);
        return false;
    }
    return true;
}

void DspDownloadEngine::StartProgress(long long maximum)
{
    m_ProgressMaximum = static_cast<int>(std::clamp<long long>(maximum, 1, INT_MAX));
    m_ProgressCounter = 0;
    if (m_Job.progressBar != nullptr) {
        m_Job.progressBar->SetMinimum(0);
        m_Job.progressBar->SetMaximum(m_ProgressMaximum);
        m_Job.progressBar->SetPosition(0);
    }
}

void DspDownloadEngine::AdvanceProgress()
{
    if (m_ProgressCounter <= INT_MAX - 64) {
        m_ProgressCounter += 64;
    }
    if (m_Job.progressBar != nullptr) {
        m_Job.progressBar->SetPosition(std::min(m_ProgressCounter, m_ProgressMaximum));
    }
}

void DspDownloadEngine::TakeStreamStatus()
{
    // With the DSP's policy a stream fails only by a wait.
    if (m_Status == DspResult::Success && !m_Stream.Sending()) {
        m_Status = DspResultOf(m_Stream.Link());
    }
}

DspResult DspDownloadEngine::DownloadDspLoader(std::FILE* loaderStream)
{
    if (loaderStream == nullptr) {
        return Fail("Download stopped: the Loader code file could not be read.");
    }
    StartProgress(FdSize(::fileno(loaderStream)) / 4 + 64);
    if (!StartHandshake(msg::kStartCodeDownload)) {
        return m_Status;
    }
    ShowStatus(ActivityText(kKindLoader));

    // Every line up to an "S9" line is read as an S3 record.
    char line[kRecordLineSize];
    long lineNumber = 0;
    while (m_Status == DspResult::Success && ReadRecordLine(loaderStream, line, sizeof line)) {
        ++lineNumber;
        if (line[0] == 'S' && line[1] == '9') {
            break;
        }
        if (m_ProgressCounter <= INT_MAX - 4) {
            m_ProgressCounter += 4;
        }
        const int length = LoaderDataLength(line);
        if (length < 0) {
            // Streaming on would shift every later byte of the loader.
            return Fail("Download stopped: damaged record in line " + std::to_string(lineNumber)
                + " of the Loader code file.");
        }
        for (int k = 0; k < 2 * length; k += 4) {
            m_Stream.Append(DataWord(line, kS3DataOffset + k));
        }
        TakeStreamStatus();
    }
    if (m_Status == DspResult::Success && std::ferror(loaderStream)) {
        return Fail("Download stopped: the Loader code file could not be read.");
    }

    if (m_Status == DspResult::Success) {
        m_Stream.Finish();
        TakeStreamStatus();
        if (m_Status == DspResult::Success) {
            m_Session.SendTableMessage(msg::kEndOfDownload);
            m_Status = DspResultOf(m_Session.LinkStatus());
        }
    }
    if (m_Status != DspResult::Success) {
        ReportLinkStatus(m_Status);
    }
    return m_Status;
}

bool DspDownloadEngine::CreatePageFiles(PageFds& fds)
{
    for (int index = 0; index < kDspPageCount; ++index) {
        const std::string name = DspPageName(m_Job.executableDirectory, index);
        // A link or a special file planted under the name is refused rather
        // than followed or truncated.
        platform::UniqueFd fd(
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        struct stat info { };
        if (fd
            && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)
                || ::ftruncate(fd.Get(), 0) != 0)) {
            fd.Reset();
        }
        if (!fd) {
            for (int created = 0; created < index; ++created) {
                fds[created].Reset();
                ::unlink(DspPageName(m_Job.executableDirectory, created).c_str());
            }
            Fail("Could not create the DSP page file " + name + ".");
            return false;
        }
        fds[index] = std::move(fd);
        m_PageWritten[index] = false;
    }
    m_PagesWritten = 0;
    return true;
}

bool DspDownloadEngine::CopySections(
    const DspObjectSource& source, const DspObjectLayout& layout, const PageFds& fds)
{
    std::vector<uint8_t> chunk(kDspChunkBytes);
    for (const DspSection& section : layout.sections) {
        if (!section.loaded) {
            continue;
        }
        const int index = section.pageIndex;
        uint64_t from = section.rawOffset;
        uint64_t to = 2ull * section.pageAddress;
        uint64_t left = 2ull * section.sizeWords;
        while (left > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kDspChunkBytes));
            if (!source.ReadAt(from, chunk.data(), piece)) {
                Fail(kDspTextUnreadable);
                return false;
            }
            if (!WriteAllAt(fds[index].Get(), chunk.data(), piece, static_cast<off_t>(to))) {
                Fail("Could not write the DSP page file "
                    + DspPageName(m_Job.executableDirectory, index) + ".");
                return false;
            }
            from += piece;
            to += piece;
            left -= piece;
        }
        if (!m_PageWritten[index]) {
            m_PageWritten[index] = true;
            ++m_PagesWritten;
        }
    }
    return true;
}

void DspDownloadEngine::RemovePageFiles() const
{
    for (int index = 0; index < kDspPageCount; ++index) {
        ::unlink(DspPageName(m_Job.executableDirectory, index).c_str());
    }
}

DspResult DspDownloadEngine::DownloadDspPages(int objectFd)
{
    PageFds fds;
    if (!CreatePageFiles(fds)) {
        return m_Status;
    }
    // The page files belong to this download alone: none outlives it, whether
    // it succeeds, fails or is stopped (a stop ends the wait it is in).
    SendPages(objectFd, fds);
    RemovePageFiles();
    return m_Status;
}

DspResult DspDownloadEngine::SendPages(int objectFd, PageFds& fds)
{
    ShowStatus(kTextPreparing);
    m_Status = DspResult::Success;
    if (!StartHandshake(msg::kStartDspDownload)) {
        return m_Status;
    }
    m_ProgressCounter = 0;
    if (m_Job.progressBar != nullptr) {
        m_Job.progressBar->SetPosition(0);
    }

    // Every header and every loaded section is checked before a byte is
    // copied, so a damaged file leaves no half-built page behind it.
    const DspObjectFile object(objectFd);
    if (!object.Usable()) {
        return Fail(kDspTextUnreadable);
    }
    const DspObjectLayout layout = ReadDspObject(object, DspLayoutFor(m_Job.targetModelCode));
    if (!layout.ok) {
        return Fail(layout.error);
    }
    const bool copied = CopySections(object, layout, fds);
    for (platform::UniqueFd& fd : fds) {
        fd.Reset();
    }
    if (!copied) {
        return m_Status;
    }

    int pageNumber = 1;
    for (int index = 0; index < kDspPageCount; ++index) {
        if (!m_PageWritten[index]) {
            continue;
        }
        const std::string name = DspPageName(m_Job.executableDirectory, index);
        platform::UniqueFd fd(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            return Fail("Could not read the DSP page file " + name + ".");
        }
        DownloadPage(fd.Get(), pageNumber);
        fd.Reset();
        if (m_Status != DspResult::Success) {
            if (m_Status == DspResult::CommProblem || m_Status == DspResult::TimedOut) {
                ReportLinkStatus(m_Status);
            }
            return m_Status;
        }
        m_Session.SendTableMessage(msg::kEndOfDspPage);
        const LinkMessage reply = m_Session.Exchange(MessageTable::CodeOf(msg::kDspPageAck),
            MessageTable::ExpectedLength(msg::kDspPageAck),
            MessageTable::CodeOf(msg::kDownloadNegative), 2);
        m_Status = DspResultOf(StatusAfterWait(m_Session, reply));
        if (m_Status != DspResult::Success) {
            ReportLinkStatus(m_Status);
            return m_Status;
        }
        ++pageNumber;
    }

    m_Session.SendTableMessage(msg::kEndOfDownload);
    ShowStatus(kDspTextFinished);
    return m_Status;
}

DspResult DspDownloadEngine::DownloadPage(int pageFd, int pageNumber)
{
    StartProgress(FdSize(pageFd) / 2 + 128);
    ShowStatus("Downloading page " + std::to_string(pageNumber) + " of "
        + std::to_string(m_PagesWritten) + " from input DSP file ...");

    std::vector<uint8_t> piece(kDspChunkBytes);
    off_t offset = 0;
    while (m_Status == DspResult::Success) {
        const ssize_t got = ::pread(pageFd, piece.data(), piece.size(), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail("Could not read a DSP page file.");
        }
        if (got == 0) {
            break;
        }
        offset += got;
        for (ssize_t k = 0; k < got && m_Stream.Sending(); k += 2) {
            // A lone last byte is completed with a blank.
            const uint8_t high = k + 1 < got ? piece[static_cast<size_t>(k + 1)] : 0x20;
            m_Stream.Append(static_cast<uint16_t>(piece[static_cast<size_t>(k)] | high << 8));
        }
        TakeStreamStatus();
    }
    if (m_Status == DspResult::Success) {
        m_Stream.Finish();
        TakeStreamStatus();
    }
    return m_Status;
}

DspResult DownloadDsp(CommSession& session, const DspDownloadJob& job)
{
    DspDownloadEngine engine(session, job);
    session.SetWaitTime(kDownloadWaitMs);

    // An object file that cannot be used is found before the radio is
    // touched, so that a damaged file never leaves it running a loader.
    const DspObjectFile object(job.objectFd);
    if (!object.Usable()) {
        engine.ShowStatus(kDspTextUnreadable);
        return DspResult::FileProblem;
    }
    const DspObjectLayout layout = ReadDspObject(object, DspLayoutFor(job.targetModelCode));
    if (!layout.ok) {
        engine.ShowStatus(layout.error);
        return DspResult::FileProblem;
    }

    if (engine.DownloadDspLoader(job.loaderStream) != DspResult::Success) {
        return engine.Status();
    }
    // The radio starts the loader; the pause yields to the message queue.
    session.DelayTicks(kLoaderStartTicks);
    return engine.DownloadDspPages(job.objectFd);
}

} // namespace download
