#include "workflow/RunRecorder.h"

#include "codeplug/CodeplugConvert.h"
#include "download/FlashDownload.h"
#include "platform/ComNamespace.h"
#include "platform/UsbAdapterNames.h"
#include "workflow/FirmwareCatalogue.h"

#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace {

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of("\r\n ");
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of("\r\n ");
    return std::string(text.substr(first, last - first + 1));
}

std::string Absolute(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

using Clock = std::chrono::steady_clock;

// Seconds since `start`, to the millisecond.
double SecondsSince(Clock::time_point start)
{
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000;
}

// Who runs the job, where, and since when.
void Stamp(history::Record& record)
{
    record.pid = static_cast<long>(::getpid());
    record.started = std::time(nullptr);
    record.host = history::HostName();
    record.user = history::UserName();
}

void AddStep(history::Record& record, const std::string& text, Clock::time_point start)
{
    // "Idle" is the text of no step at all.
    if (text.empty() || text == "Idle"
        || (!record.steps.empty() && record.steps.back().text == text)) {
        return;
    }
    record.steps.push_back({ text, std::chrono::duration<double>(Clock::now() - start).count() });
}

} // namespace

RunRecorder::RunRecorder(IUpdateHost& owner, history::Record skeleton)
    : m_Owner(owner)
    , m_Record(std::move(skeleton))
    , m_Start(Clock::now())
{
    Stamp(m_Record);
}

void RunRecorder::Step(const std::string& text)
{
    AddStep(m_Record, text, m_Start);
}

void RunRecorder::ShowStatusText(const std::string& text)
{
    if (text == download::kTextFinished) {
        m_Facts.codeWritten = true;
        (m_BootSetExtracted ? m_BootWritten : m_ApplicationWritten) = true;
    }
    Step(text);
    if (!ConsoleMode()) {
        m_LastText = text;
    }
    m_Owner.ShowStatusText(text);
}

void RunRecorder::WriteConsoleText(const std::string& text)
{
    // Console texts are announcements ("\nStep..." plus "..."), "Done.", the
    // progress records ("\r...") and the final texts.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view piece(text.data() + start, end - start);
        start = end + 1;
        if (piece.empty() || piece.front() == '\r') {
            continue;
        }
        std::string line = Trimmed(piece);
        if (line.empty()) {
            continue;
        }
        m_LastText = line;
        if (EndsWith(line, "......")) {
            line.resize(line.size() - 3);
        }
        if (EndsWith(line, "...")) {
            Step(line);
        }
    }
    m_Owner.WriteConsoleText(text);
}

void RunRecorder::SetReturnCode(int value)
{
    m_Facts.returnCode = value;
    m_ReturnCodeSet = true;
    m_Owner.SetReturnCode(value);
}

bool RunRecorder::ExtractFirmwareSet(bool boot)
{
    m_BootSetExtracted = boot;
    m_BootTwoExtracted = boot && m_Owner.UseBootTwo();
    return m_Owner.ExtractFirmwareSet(boot);
}

void RunRecorder::LeaveUpdateState(bool deleteWorkFiles)
{
    // The sequence leaves the update state once, at its end. If the flag is
    // down already, Stop (or a signal acting as Stop) took it away.
    if (!m_Owner.UpdateInProgress()) {
        m_Facts.stopped = true;
    }
    m_Owner.LeaveUpdateState(deleteWorkFiles);
}

history::Record RunRecorder::Finish(const std::string& trace, const std::string& backup)
{
    history::Record record = m_Record;
    record.ended = std::time(nullptr);
    record.durationSeconds = SecondsSince(m_Start);

    history::RunFacts facts = m_Facts;
    facts.flashTouched = m_Notes.flashTouched;
    if (!m_ReturnCodeSet) {
        // The window's selected update leaves no return code: its result is
        // its final status text.
        facts.returnCode = m_LastText == "Done." && !facts.stopped ? 0 : 2;
    }
    record.returnCode = facts.returnCode;
    record.outcome = history::ClassifyOutcome(facts);
    record.flashTouched = facts.flashTouched;
    if (!m_LastText.empty()) {
        record.finalText = m_LastText;
    }
    record.bytesWritten = m_Notes.codeBytesWritten;

    record.radio.identifier = m_Notes.identifier;
    if (m_Notes.portable) {
        record.radio.familyAnswer = *m_Notes.portable ? "portable" : "mobile";
    }
    record.radio.bootBefore = m_Notes.bootBefore;
    const ResourceAttributes& attributes = m_Owner.Attributes();
    if (m_BootWritten) {
        record.radio.bootAfter = m_BootTwoExtracted
            ? VersionText(static_cast<int>(attributes.BootTwoMajor),
                static_cast<int>(attributes.BootTwoMinor))
            : VersionText(
                static_cast<int>(attributes.BootMajor), static_cast<int>(attributes.BootMinor));
    } else if (!facts.flashTouched || m_ApplicationWritten) {
        // The boot code was not written: it is what it was.
        record.radio.bootAfter = m_Notes.bootBefore;
    }
    record.radio.codeplugFormatBefore = m_Notes.codeplugFormatBefore;
    record.radio.codeplugFormatAfter = m_Notes.codeplugFormatAfter;
    if (!backup.empty()) {
        record.backup = Absolute(backup);
    }
    if (!trace.empty()) {
        record.trace = Absolute(trace);
    }
    return record;
}

history::Record::Release ReleaseOf(const ResourceAttributes& attributes, const std::string& name)
{
    history::Record::Release release;
    if (!name.empty()) {
        release.name = name;
    }
    const std::string family = FamilyText(attributes.RadioFamily);
    if (!family.empty()) {
        release.family = family;
    }
    release.series = static_cast<int>(static_cast<int8_t>(attributes.SeriesNumber));
    const std::string version = VersionFieldText(attributes.ProgrammingAppVersion);
    if (!version.empty()) {
        release.version = version;
    }
    const std::string type = UpgradeTypeText(attributes.UpgradeType);
    if (!type.empty()) {
        release.upgradeType = type;
    }
    return release;
}

void DescribePort(history::Record& record, int port)
{
    if (port <= 0) {
        return;
    }
    record.port = port;
    record.device = platform::ComDevicePath(port);
    if (!record.device) {
        return;
    }
    if (const auto adapter = platform::UsbAdapterOf(*record.device)) {
        if (!adapter->product.empty()) {
            record.adapter.product = adapter->product;
        }
        if (!adapter->serial.empty()) {
            record.adapter.serial = adapter->serial;
        }
    }
}

CodeplugJobRecorder::CodeplugJobRecorder(ICodeplugJobHost& owner, bool write, int port)
    : m_Owner(owner)
    , m_Write(write)
    , m_Start(Clock::now())
{
    Stamp(m_Record);
    m_Record.mode = write ? "codeplug-write" : "codeplug-read";
    DescribePort(m_Record, port);
}

void CodeplugJobRecorder::Step(const std::string& text)
{
    AddStep(m_Record, text, m_Start);
    m_Owner.Step(text);
}

history::Record CodeplugJobRecorder::Finish(const CodeplugJobReport& report, int returnCode,
    const std::string& finalText, bool stopped) const
{
    history::Record record = m_Record;
    record.ended = std::time(nullptr);
    record.durationSeconds = SecondsSince(m_Start);
    record.returnCode = returnCode;
    if (!finalText.empty()) {
        record.finalText = finalText;
    }
    if (!report.identifier.empty()) {
        record.radio.identifier = report.identifier;
        // A write converts the file to the radio's format: the format stays.
        const std::string format = FormatVersionText(report.radioFormat);
        record.radio.codeplugFormatBefore = format;
        record.radio.codeplugFormatAfter = format;
    }
    // Read: the file read. Write: the backup of the radio's codeplug.
    if (!report.file.empty() && (m_Write || report.result == CodeplugJobResult::Done)) {
        record.backup = Absolute(report.file);
    }
    record.flashTouched = report.downloadStarted;
    record.bytesWritten = report.bytesWritten;
    if (m_Write) {
        history::RunFacts facts;
        facts.returnCode = report.result == CodeplugJobResult::Done && !stopped ? 0 : 2;
        facts.flashTouched = report.downloadStarted;
        facts.codeWritten = report.downloadFinished;
        facts.stopped = stopped;
        record.outcome = history::ClassifyOutcome(facts);
    } else if (stopped) {
        // A read changes nothing in the radio: its return code tells how it
        // ended.
        record.outcome = history::Outcome::Stopped;
    }
    return record;
}
