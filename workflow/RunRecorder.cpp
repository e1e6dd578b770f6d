#include "workflow/RunRecorder.h"

#include "download/FlashDownload.h"
#include "workflow/FirmwareCatalogue.h"

#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace {

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

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

} // namespace

RunRecorder::RunRecorder(IUpdateHost& owner, history::Record skeleton)
    : m_Owner(owner)
    , m_Record(std::move(skeleton))
    , m_BytesAtStart(download::CodeBytesAccepted())
    , m_Start(std::chrono::steady_clock::now())
{
    m_Record.pid = static_cast<long>(::getpid());
    m_Record.started = std::time(nullptr);
    m_Record.host = history::HostName();
    m_Record.user = history::UserName();
}

void RunRecorder::Step(const std::string& text)
{
    // "Idle" is the text of no step at all.
    if (text.empty() || text == "Idle"
        || (!m_Record.steps.empty() && m_Record.steps.back().text == text)) {
        return;
    }
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    m_Record.steps.push_back({ text, seconds });
}

void RunRecorder::ShowStatusText(const std::string& text)
{
    // The engines report their steps here in both uses. The loader goes into
    // the radio's memory; the flash is erased once the loader runs, and a
    // code stream (application or boot code) writes it.
    if (StartsWith(text, "Erasing flash")
        || StartsWith(text, std::string("Downloading ") + download::kKindApplication)
        || StartsWith(text, std::string("Downloading ") + download::kKindBootloader)) {
        m_Facts.flashTouched = true;
    }
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
    record.durationSeconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    record.durationSeconds
        = static_cast<double>(static_cast<long long>(*record.durationSeconds * 1000)) / 1000;

    history::RunFacts facts = m_Facts;
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
    const long long bytes = download::CodeBytesAccepted() - m_BytesAtStart;
    record.bytesWritten = bytes;

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
