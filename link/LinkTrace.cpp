#include "link/LinkTrace.h"

#include <cstdio>

namespace {

std::string FormatLine(double seconds, const char* direction, const uint8_t* bytes, size_t count)
{
    char head[40];
    std::snprintf(head, sizeof head, "%.6f %s", seconds, direction);
    std::string line(head);
    static const char kDigits[] = "0123456789ABCDEF";
    line.reserve(line.size() + count * 3);
    for (size_t i = 0; i < count; ++i) {
        line += ' ';
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 0x0F];
    }
    return line;
}

} // namespace

LinkTrace::LinkTrace(size_t maxLines)
    : m_Start(std::chrono::steady_clock::now())
    , m_MaxLines(maxLines == 0 ? 1 : maxLines)
{
}

double LinkTrace::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
}

void LinkTrace::Add(std::string line)
{
    if (m_Lines.size() >= m_MaxLines) {
        m_Lines.pop_front();
        ++m_Dropped;
    }
    m_Lines.push_back(std::move(line));
}

void LinkTrace::FlushReceived()
{
    if (m_Pending.empty()) {
        return;
    }
    Add(FormatLine(m_PendingTime, "<<", m_Pending.data(), m_Pending.size()));
    m_Pending.clear();
}

void LinkTrace::Sent(const uint8_t* bytes, int count)
{
    FlushReceived();
    Add(FormatLine(Seconds(), ">>", bytes, count > 0 ? static_cast<size_t>(count) : 0));
}

void LinkTrace::Received(uint8_t byte, bool endOfFrame)
{
    if (m_Pending.empty()) {
        m_PendingTime = Seconds();
    }
    m_Pending.push_back(byte);
    if (endOfFrame || m_Pending.size() >= kMaxBytesPerLine) {
        FlushReceived();
    }
}

void LinkTrace::Event(const std::string& text)
{
    FlushReceived();
    char head[40];
    std::snprintf(head, sizeof head, "%.6f -- ", Seconds());
    Add(head + text);
}

std::vector<std::string> LinkTrace::Lines() const
{
    std::vector<std::string> lines(m_Lines.begin(), m_Lines.end());
    if (!m_Pending.empty()) {
        lines.push_back(FormatLine(m_PendingTime, "<<", m_Pending.data(), m_Pending.size()));
    }
    return lines;
}

std::string LinkTrace::Text() const
{
    std::string text;
    for (const std::string& line : Lines()) {
        text += line;
        text += '\n';
    }
    return text;
}

void LinkTrace::Clear()
{
    m_Lines.clear();
    m_Pending.clear();
    m_Dropped = 0;
}
