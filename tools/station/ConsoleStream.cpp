#include "tools/station/ConsoleStream.h"

#include <cctype>

namespace station {

namespace {

constexpr std::string_view kComplete = "% complete";
constexpr std::string_view kDoneSuffix = "...Done.";
constexpr std::string_view kEllipsis = "...";

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A step announced on the console ends in "..." and gets a further "..." from
// the announcement: "Extracting embedded files......" is the step
// "Extracting embedded files...". A record cut in the middle of the dots
// names the same step.
std::string StepOf(std::string_view text)
{
    while (EndsWith(text, "....")) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// "Downloading Application code...40% complete": the step and the
// percentage; false for any other text.
bool ParseProgress(std::string_view text, std::string& step, int& percent)
{
    if (!EndsWith(text, kComplete)) {
        return false;
    }
    text.remove_suffix(kComplete.size());
    size_t digits = 0;
    while (digits < text.size() && digits < 4
        && std::isdigit(static_cast<unsigned char>(text[text.size() - 1 - digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 3) {
        return false;
    }
    percent = std::stoi(std::string(text.substr(text.size() - digits)));
    text.remove_suffix(digits);
    if (!EndsWith(text, kEllipsis) || percent > 100) {
        return false;
    }
    step = std::string(text);
    return true;
}

} // namespace

void ConsoleStream::SetStep(const std::string& step, std::vector<Event>& events)
{
    if (step == m_Step) {
        return;
    }
    m_Step = step;
    m_Percent = -1;
    events.push_back({ Event::Kind::Step, step });
}

void ConsoleStream::Segment(std::string_view segment, bool complete, std::vector<Event>& events)
{
    segment = Trim(segment);
    if (segment.empty()) {
        return;
    }
    std::string step;
    int percent = -1;
    // A progress record, perhaps still growing its "...Done." at the end.
    const size_t progressEnd = segment.find(kComplete);
    if (progressEnd != std::string_view::npos) {
        segment = segment.substr(0, progressEnd + kComplete.size());
    }
    if (ParseProgress(segment, step, percent)) {
        SetStep(step, events);
        if (percent != m_Percent) {
            m_Percent = percent;
            events.push_back({ Event::Kind::Progress, step, percent });
        }
        return;
    }
    // "Checking target radio......Done.": a step and its end in one record.
    if (EndsWith(segment, kDoneSuffix) && segment.size() > kDoneSuffix.size()) {
        SetStep(StepOf(segment.substr(0, segment.size() - 5)), events);
        return;
    }
    if (EndsWith(segment, kEllipsis)) {
        SetStep(StepOf(segment), events);
        return;
    }
    // Anything else is a text of its own, once it is whole.
    if (complete) {
        events.push_back({ Event::Kind::Text, std::string(segment) });
    }
}

std::vector<ConsoleStream::Event> ConsoleStream::Feed(std::string_view bytes)
{
    std::vector<Event> events;
    for (const char c : bytes) {
        if (c == '\n' || c == '\r') {
            Segment(m_Pending, true, events);
            m_Pending.clear();
        } else if (m_Pending.size() < 4096) {
            // A record longer than any text of the job is cut, never grown.
            m_Pending.push_back(c);
        }
    }
    Segment(m_Pending, false, events);
    return events;
}

std::vector<ConsoleStream::Event> ConsoleStream::Finish()
{
    std::vector<Event> events;
    Segment(m_Pending, true, events);
    m_Pending.clear();
    return events;
}

std::string IdentifierInText(std::string_view text)
{
    constexpr std::string_view kPrefix = "Codeplug_";
    const size_t at = text.find(kPrefix);
    if (at == std::string_view::npos || text.size() < at + kPrefix.size() + 17) {
        return {};
    }
    const std::string_view digits = text.substr(at + kPrefix.size(), 16);
    for (const char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
    }
    if (text[at + kPrefix.size() + 16] != '_') {
        return {};
    }
    return std::string(digits);
}

} // namespace station
