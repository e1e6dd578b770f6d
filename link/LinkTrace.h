#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// A bounded record of the line's traffic for support: one line per frame
// sent or received, and one per event (time-out, Stop, line closed). Each
// line reads "<seconds since start, 6 decimals> <direction> <hex bytes>",
// direction ">>" from the PC to the radio, "<<" from the radio, "--" for an
// event followed by its text. The oldest lines go when the bound is reached.
class LinkTrace {
public:
    // The last 256 KB of traffic are kept; events and short frames are
    // further bounded by a line count.
    static constexpr size_t kDefaultMaxBytes = 256 * 1024;
    static constexpr size_t kDefaultMaxLines = 65536;
    // Received bytes that stay on one line at most.
    static constexpr size_t kMaxBytesPerLine = 1100;

    explicit LinkTrace(size_t maxLines = kDefaultMaxLines, size_t maxBytes = kDefaultMaxBytes);

    void Sent(const uint8_t* bytes, int count);
    // Received bytes are gathered into one line that ends with an end byte
    // (0x7E), with the next send or event, or at the line's byte bound.
    void Received(uint8_t byte, bool endOfFrame);
    void Event(const std::string& text);

    // The lines so far (the gathered received bytes included).
    std::vector<std::string> Lines() const;
    // All lines, each ended by a line feed.
    std::string Text() const;
    size_t DroppedLines() const { return m_Dropped; }
    void Clear();

private:
    double Seconds() const;
    void FlushReceived();
    void Add(std::string line, size_t bytes);

    std::chrono::steady_clock::time_point m_Start;
    size_t m_MaxLines;
    size_t m_MaxBytes;
    size_t m_Bytes = 0; // traffic bytes held in m_Lines
    size_t m_Dropped = 0;
    std::deque<std::pair<std::string, size_t>> m_Lines;
    std::vector<uint8_t> m_Pending;
    double m_PendingTime = 0.0;
};
