#include "link/LinkTrace.h"

#include <cstdio>

#include "platform/HexText.h"

namespace {

std::string FormatLine(double seconds, const char* direction, const uint8_t* bytes, size_t count)
{
    char head[40];
    std::snprintf(head, sizeof head, "%.6f %s", seconds, direction);
    std::string line(head);
    line.reserve(line.size() + count * 3);
    for (size_t i = 0; i < count; ++i) {
        line += ' ';
        platform::AppendHexByte(line, bytes[i]);
    }
    return line;
}

} // namespace

LinkTrace::LinkTrace(size_t maxLines, size_t maxBytes)
    : m_Start(std::chrono::steady_clock::now())
    , m_MaxLines(maxLines == 0 ? 1 : maxLines)
    , m_MaxBytes(maxBytes)
{
}

double LinkTrace::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
}

void LinkTrace::Add(std::string line, size_t bytes)
{
    m_Lines.emplace_back(std::move(line), bytes);
    m_Bytes += bytes;
    while (m_Lines.size() > 1 && (m_Lines.size() > m_MaxLines || m_Bytes > m_MaxBytes)) {
        m_Bytes -= m_Lines.front().second;
        m_Lines.pop_front();
        ++m_Dropped;
    }
}

void LinkTrace::FlushReceived()
{
    if (m_Pending.empty()) {
        return;
    }
    Add(FormatLine(m_PendingTime, "<<", m_Pending.data(), m_Pending.size()), m_Pending.size());
    m_Pending.clear();
}

void LinkTrace::Sent(const uint8_t* bytes, int count)
{
    FlushReceived();
    const size_t size = count > 0 ? static_cast<size_t>(count) : 0;
    Add(FormatLine(Seconds(), ">>", bytes, size), size);
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
    Add(head + text, 0);
}

std::vector<std::string> LinkTrace::Lines() const
{
    std::vector<std::string> lines;
    lines.reserve(m_Lines.size() + 1);
    for (const auto& entry : m_Lines) {
        lines.push_back(entry.first);
    }
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
    m_Bytes = 0;
    m_Dropped = 0;
}
