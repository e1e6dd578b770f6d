#pragma once

// The DSP download: writes a radio's DSP program. First a RAM loader goes
// out as an S-record stream, much like the flash engine's loader stream;
// then the DSP program is taken from a binary object file: its loadable
// sections are copied into up to nine page files, one per memory page, in
// the executable's directory, and each page file is downloaded in turn with
// the same 128-byte block protocol, closed by an end-of-page handshake.
//
// Wire traffic (message numbers of the message table):
//   PC 47 (02 01) start of the loader       radio 8 (02 07) or 49 (02 0A)
//   ... loader blocks (48) in pairs with the checksum exchange (3, 6/7, 8)
//   PC 5 (02 04) end of the loader
//   PC 1 (02 00) start of the pages         radio 8 or 49
//   for each written page:
//     ... page blocks (48) in pairs with the checksum exchange
//     PC 11 (02 08) end of page             radio 4 (02 03) or 49
//   PC 5 (02 04) end of the download
//
// The blocks go through download/BlockStream with the policy kDspBlocks.
// Unlike the flash engine, a negative reply is never answered by repeating
// the request, a checksum mismatch is reported to the radio and the download
// goes on without resending, the radio's negative reply after a block counts
// as acceptance (there is no verify report), the loader stream ends only at
// an "S9" line and every other line is taken as an S3 record, and blocks are
// padded with the word 0x2020 instead of 0xFFFF.
//
// Object file layout (all numbers little-endian):
//   file header: offset 2, 2 bytes: number of section headers;
//                offset 16, 2 bytes: size of the optional header.
//   The section headers follow at offset 50, or at 22 when the optional
//   header size is 0. A section header is 48 bytes for target model code 3
//   and 40 bytes for every other model code:
//     12, 4 bytes: start address in 16-bit words
//     14, 2 bytes: (48-byte headers) upper half of the start address: the page
//     16, 4 bytes: size in 16-bit words
//     20, 4 bytes: file offset of the raw data
//     38, 2 bytes: (40-byte headers) the high byte is the page
//     46, 2 bytes: (48-byte headers) memory page; a low byte other than 0
//                  marks a section that is not loaded
//   Pages that take data: 0 to 7 with 48-byte headers; 0, 2, 5, 6, 7 and 8
//   with 40-byte headers. Sections on other pages are skipped.
//
// The object file comes from outside: every header and section is checked
// against the file's size, and a section must fit in its page (64 Ki words),
// before anything is copied.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "download/BlockStream.h"
#include "link/LinkCallbacks.h"
#include "link/LinkMessage.h"
#include "link/ModelTraits.h"
#include "platform/UniqueFd.h"

class CommSession;

namespace download {

// Results of DownloadDsp.
enum class DspResult {
    Success = 1,
    CommProblem = 2,
    // The loader or the object file cannot be used (unreadable, damaged, a
    // section outside the file or its page), or a page file could not be
    // created or written. The status text says which.
    FileProblem = 3,
    TimedOut = 4,
};

// The link's result of a wait as the engine's result.
DspResult DspResultOf(LinkResult link);

// Status texts.
inline constexpr const char* kDspTextFinished = "Download finished";
inline constexpr const char* kDspTextCommProblem = "Communication problem during DSP download.";
inline constexpr const char* kDspTextTimedOut = "DSP download timed out or canceled by user.";
inline constexpr const char* kDspTextUnreadable = "The DSP file could not be read.";

// Number of page files, and the largest page: 64 Ki words of 16 bits.
inline constexpr int kDspPageCount = 9;
inline constexpr uint32_t kDspPageWords = 0x10000;
// Sections are copied, and page files read, in pieces of 16000 words.
inline constexpr int kDspChunkBytes = 32000;
// Pause after the loader, while the radio starts it.
inline constexpr int kDspLoaderStartMs = 1000;

// Section header layout of a target model code (DspLayout: link/ModelTraits.h).
DspLayout DspLayoutFor(int32_t targetModelCode);
int DspSectionHeaderSize(DspLayout layout);
// True when the page index takes data with the layout.
bool DspPageLoaded(DspLayout layout, int pageIndex);

// Random access to an object file's bytes.
class DspObjectSource {
public:
    virtual ~DspObjectSource() = default;
    // Size in bytes.
    virtual uint64_t Size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they are not all there.
    virtual bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) const = 0;
};

// An object file open as a descriptor (read with pread; the descriptor's
// position is not used).
class DspObjectFile : public DspObjectSource {
public:
    explicit DspObjectFile(int fd);
    uint64_t Size() const override { return m_Size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) const override;
    // False when the descriptor is not an open regular file.
    bool Usable() const { return m_Usable; }

private:
    int m_Fd;
    uint64_t m_Size = 0;
    bool m_Usable = false;
};

// An object file held in memory.
class DspObjectBytes : public DspObjectSource {
public:
    DspObjectBytes(const uint8_t* data, size_t size)
        : m_Data(data)
        , m_Size(size)
    {
    }
    uint64_t Size() const override { return m_Size; }
    bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count) const override;

private:
    const uint8_t* m_Data;
    size_t m_Size;
};

// One section header as read.
struct DspSection {
    int number = 0; // 1-based, in file order
    uint32_t startAddress = 0; // the header's 32-bit start address, in words
    uint32_t pageAddress = 0; // the start address within its page, in words
    uint32_t sizeWords = 0;
    uint32_t rawOffset = 0;
    int pageIndex = 0;
    bool loaded = false; // goes into a page file
};

struct DspObjectLayout {
    bool ok = false;
    std::string error; // a status text, when !ok
    int sectionCount = 0;
    uint32_t firstHeader = 0; // 22 or 50
    std::vector<DspSection> sections; // every section header, in file order
};

// Reads and checks the file header and every section header. A loaded
// section must have its raw data inside the file and fit in its page; the
// headers of all sections must lie inside the file.
DspObjectLayout ReadDspObject(const DspObjectSource& source, DspLayout layout);

// Name of page file `index` in `directory` (which ends with a separator).
std::string DspPageName(const std::string& directory, int index);

// One DSP download: the loader, the object file, the target, where the page
// files go and where the texts and the progress go.
struct DspDownloadJob {
    // An open S-record text file; null for one that could not be opened.
    std::FILE* loaderStream = nullptr;
    // The object file, opened read-only; -1 for one that could not be opened.
    int objectFd = -1;
    int32_t targetModelCode = 0;
    // Status texts (may be empty).
    StatusCallback showStatus;
    // The directory of the page files, ending with a separator.
    std::string executableDirectory;
    // May be null.
    IProgressBar* progressBar = nullptr;
};

// Writes the DSP program into the radio: the loader stream, a pause of one
// second, then the pages of the object file. The object file is checked
// first; a damaged one ends the download before anything is sent. The session
// is open in framing mode 1 with its receive-enable flag set. The page files
// are made in the job's directory and removed when the download ends, on
// every path. Returns DspResult::Success or a failure result,
// whose text has gone to showStatus.
DspResult DownloadDsp(CommSession& session, const DspDownloadJob& job);

// The engine's state for one DownloadDsp call; DownloadDsp is the entry
// point, the stages are public so that they can be driven on their own.
class DspDownloadEngine {
public:
    DspDownloadEngine(CommSession& session, DspDownloadJob job);

    // Sends the loader stream; returns the status.
    DspResult DownloadDspLoader(std::FILE* loaderStream);
    // Builds the page files from the object file, downloads them and removes
    // them; returns the status.
    DspResult DownloadDspPages(int objectFd);
    // Downloads one page file (open for reading); returns the status.
    DspResult DownloadPage(int pageFd, int pageNumber);

    DspResult Status() const { return m_Status; }
    int PagesWritten() const { return m_PagesWritten; }
    void ShowStatus(const std::string& text) const { ShowText(m_Job.showStatus, text); }

private:
    void ReportLinkStatus(DspResult status) const;
    DspResult Fail(const std::string& text);
    bool StartHandshake(int startMessage);
    // A failed block stream becomes the engine's status.
    void TakeStreamStatus();
    void StartProgress(long long maximum);
    void AdvanceProgress();
    using PageFds = std::array<platform::UniqueFd, kDspPageCount>;
    bool CreatePageFiles(PageFds& fds);
    DspResult SendPages(int objectFd, PageFds& fds);
    bool CopySections(
        const DspObjectSource& source, const DspObjectLayout& layout, const PageFds& fds);
    void RemovePageFiles() const;

    CommSession& m_Session;
    DspDownloadJob m_Job;

    DspResult m_Status = DspResult::Success;
    BlockStream m_Stream;
    int m_ProgressCounter = 0;
    int m_ProgressMaximum = 64;

    std::array<bool, kDspPageCount> m_PageWritten {};
    int m_PagesWritten = 0;
};

} // namespace download
