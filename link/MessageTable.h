#pragma once

#include <cstdint>

#include "link/LinkMessage.h"

// The codes of the messages the updater sends and expects, by message number.
struct MessageTableRow {
    int number;
    uint8_t command;
    uint8_t subCode;
    int dataLength; // data bytes that follow the two code bytes
};

class MessageTable {
public:
    static constexpr int kRowCount = 60;

    // The first row with the given number, or nullptr.
    static const MessageTableRow* Find(int number);
    // The two-byte code of the row; false (and an empty code) when the number
    // is not in the table.
    static bool Code(int number, LinkCode& code);
    // The same code as a value (empty for a number not in the table).
    static LinkCode CodeOf(int number)
    {
        LinkCode code;
        Code(number, code);
        return code;
    }
    // The data length of the row plus the two code bytes: the payload length
    // of a reply with this number. 0 when the number is not in the table.
    static int ExpectedLength(int number);
    // Builds the request message (its two code bytes, count 2). False and an
    // empty message when the number is not in the table.
    static bool BuildRequest(int number, LinkMessage& message);
    // All rows, in table order.
    static const MessageTableRow* Rows();
};

// Message numbers used by the queries and engines.
namespace msg {
constexpr int kStartDspDownload = 1;
constexpr int kDownloadChecksum = 3;
constexpr int kDspPageAck = 4;
constexpr int kEndOfDownload = 5;
constexpr int kChecksumMatches = 6;
constexpr int kChecksumMismatch = 7;
constexpr int kRadioAck = 8;
constexpr int kEndOfDspPage = 11;
constexpr int kAskSerialNumber = 24;
constexpr int kSerialNumber = 25;
constexpr int kAskHardwareRevision = 26;
constexpr int kHardwareRevision = 27;
constexpr int kAskControllerVersion = 28;
constexpr int kControllerVersion = 29;
constexpr int kAskDspVersion = 30;
constexpr int kDspVersion = 31;
constexpr int kAskFileFormatVersion = 35;
constexpr int kFileFormatVersion = 36;
constexpr int kSetBaudRate = 42;
constexpr int kStartCodeDownload = 47;
constexpr int kDataBlock = 48;
constexpr int kDownloadNegative = 49;
constexpr int kQueryNegative = 51;
constexpr int kAskBootInfo = 56;
constexpr int kBootInfo = 57;
constexpr int kAskSemVersion = 58;
} // namespace msg
