#include "download/SRecord.h"

#include <cstring>

namespace download {

namespace {

int AddressBytes(int kind)
{
    return AddressDigits(kind) / 2;
}

} // namespace

bool ReadRecordLine(std::FILE* file, char* buffer, std::size_t size)
{
    if (file == nullptr || buffer == nullptr || size == 0)
        return false;
    std::size_t used = 0;
    bool readSomething = false;
    for (;;) {
        const int c = std::getc(file);
        if (c == EOF)
            break;
        readSomething = true;
        if (c == '\n')
            break;
        if (used + 1 < size)
            buffer[used++] = static_cast<char>(c);
    }
    // Drop the CR of a CR LF line end.
    if (used > 0 && buffer[used - 1] == '\r')
        --used;
    buffer[used] = '\0';
    return readSomething;
}

bool IsEndRecord(const char* line)
{
    return line != nullptr && line[0] == 'S' && (line[1] == '9' || line[1] == '7');
}

int RecordKind(const char* line)
{
    if (line == nullptr || line[0] != 'S')
        return kKindOther;
    switch (line[1]) {
    case '1':
        return kKindS1;
    case '2':
        return kKindS2;
    case '3':
        return kKindS3;
    case '0':
        return kKindS0;
    default:
        return kKindOther;
    }
}

int AddressDigits(int kind)
{
    switch (kind) {
    case kKindS1:
        return 4;
    case kKindS2:
        return 6;
    case kKindS3:
        return 8;
    default:
        return 0;
    }
}

int DataOffset(int kind)
{
    const int digits = AddressDigits(kind);
    return digits == 0 ? 0 : 4 + digits;
}

int DataLength(const char* line)
{
    const int kind = RecordKind(line);
    if (kind < kKindS1 || kind > kKindS3)
        return kRejectedRecord;
    const int count = ParseHexByte(line + 2);
    if (count < 0)
        return kRejectedRecord;
    const int length = count - AddressBytes(kind) - 1;
    if (length < 0 || length % 2 != 0)
        return kRejectedRecord;
    // The data field and the checksum must be there in full.
    const std::size_t needed = static_cast<std::size_t>(DataOffset(kind)) + 2u * length + 2u;
    if (::strnlen(line, needed) < needed)
        return kRejectedRecord;
    return length;
}

std::uint16_t DataWord(const char* line, int offset)
{
    if (line == nullptr || offset < 0)
        return 0;
    // Walk up to the offset without passing the end of the line.
    const char* p = line;
    for (int i = 0; i < offset; ++i) {
        if (*p == '\0')
            return 0;
        ++p;
    }
    unsigned digits[4] = { 0, 0, 0, 0 };
    for (int i = 0; i < 4; ++i) {
        if (p[i] == '\0')
            break;
        const int v = platform::HexDigitValue(p[i]);
        digits[i] = v < 0 ? 0u : static_cast<unsigned>(v);
    }
    const unsigned low = digits[0] * 16 + digits[1];
    const unsigned high = digits[2] * 16 + digits[3];
    return static_cast<std::uint16_t>(high << 8 | low);
}

namespace {

ImageReport Fail(std::size_t line, std::string reason)
{
    ImageReport report;
    report.ok = false;
    report.problem.line = line;
    report.problem.reason = std::move(reason);
    return report;
}

const char* KindName(ImageKind kind)
{
    return kind == ImageKind::Loader ? "S2" : "S3";
}

} // namespace

ImageReport ValidateImage(std::string_view image, ImageKind kind, bool allowLfOnly)
{
    ImageReport report;
    const int wantedKind = kind == ImageKind::Loader ? kKindS2 : kKindS3;

    // First pass: split into lines and settle the line-end convention.
    struct Span {
        std::size_t start;
        std::size_t length; // without the line end
    };
    std::vector<Span> lines;
    bool sawCrLf = false;
    bool sawLfOnly = false;
    std::size_t lfOnlyLine = 0;
    std::size_t pos = 0;
    while (pos < image.size()) {
        const std::size_t lineNumber = lines.size() + 1;
        const std::size_t nl = image.find('\n', pos);
        if (nl == std::string_view::npos) {
            return Fail(lineNumber, "line does not end in CR LF");
        }
        std::size_t end = nl;
        if (end > pos && image[end - 1] == '\r') {
            --end;
            sawCrLf = true;
        } else {
            if (!sawLfOnly)
                lfOnlyLine = lineNumber;
            sawLfOnly = true;
        }
        lines.push_back({ pos, end - pos });
        pos = nl + 1;
    }
    if (sawLfOnly && (sawCrLf || !allowLfOnly)) {
        return Fail(lfOnlyLine, "line does not end in CR LF");
    }

    bool seenData = false;
    bool seenEnd = false;
    std::uint64_t nextAddress = 0;
    std::size_t lineNumber = 0;
    for (const Span& span : lines) {
        ++lineNumber;
        const std::string_view text = image.substr(span.start, span.length);
        if (text.find('\r') != std::string_view::npos) {
            return Fail(lineNumber, "stray CR inside the line");
        }
        if (seenEnd) {
            // Blank lines after the end record are harmless; anything else is not.
            if (text.empty())
                continue;
            return Fail(lineNumber, "record after the end record");
        }
        if (text.empty())
            return Fail(lineNumber, "empty line");
        if (text.size() >= kRecordLineSize) {
            return Fail(lineNumber,
                "line longer than " + std::to_string(kRecordLineSize - 1) + " characters");
        }
        if (text.size() < 4 || text[0] != 'S')
            return Fail(lineNumber, "not an S-record");
        for (std::size_t i = 2; i < text.size(); ++i) {
            if (platform::HexDigitValue(text[i]) < 0)
                return Fail(lineNumber, "non-hex character");
        }
        if ((text.size() - 2) % 2 != 0)
            return Fail(lineNumber, "odd number of hex digits");
        const int count = ParseHexByte(text, 2);
        if (static_cast<std::size_t>(count) * 2 + 4 != text.size()) {
            return Fail(lineNumber, "byte count does not match the line length");
        }
        // Checksum: ones' complement of the sum of count, address and data bytes.
        unsigned sum = 0;
        for (std::size_t i = 2; i + 2 < text.size(); i += 2)
            sum += ParseHexByte(text, i);
        const int checksum = ParseHexByte(text, text.size() - 2);
        if (static_cast<int>(~sum & 0xFFu) != checksum) {
            return Fail(lineNumber, "wrong record checksum");
        }

        const char type = text[1];
        if (type == '0') {
            if (seenData)
                return Fail(lineNumber, "header record after data records");
            continue;
        }
        if (type == '9' || type == '7') {
            const int addressBytes = type == '9' ? 2 : 4;
            if (count < addressBytes + 1)
                return Fail(lineNumber, "end record too short");
            seenEnd = true;
            continue;
        }
        const std::string line(text);
        const int recordKind = RecordKind(line.c_str());
        if (recordKind != wantedKind) {
            return Fail(lineNumber,
                std::string("record type S") + type + " does not belong in this image ("
                    + KindName(kind) + " records expected)");
        }
        const int addressBytes = AddressBytes(recordKind);
        const int length = count - addressBytes - 1;
        if (length < 0)
            return Fail(lineNumber, "byte count too small for the address");
        if (length % 2 != 0)
            return Fail(lineNumber, "odd data length");
        std::uint64_t address = 0;
        for (int i = 0; i < addressBytes; ++i) {
            address = address << 8 | static_cast<unsigned>(ParseHexByte(text, 4 + 2 * i));
        }
        if (!seenData) {
            report.firstAddress = static_cast<std::uint32_t>(address);
            seenData = true;
        } else if (address != nextAddress) {
            return Fail(lineNumber,
                address < nextAddress ? "address goes back or overlaps the previous record"
                                      : "gap before this record's address");
        }
        nextAddress = address + static_cast<std::uint64_t>(length);
        report.dataBytes += static_cast<std::uint64_t>(length);
    }
    if (!seenEnd)
        return Fail(0, "missing end record (S9 or S7)");
    if (!seenData)
        return Fail(0, "no data records");

    report.ok = true;
    report.normalisedLineEnds = sawLfOnly;
    if (sawLfOnly) {
        report.text.reserve(image.size() + lines.size());
    } else {
        report.text.reserve(image.size());
    }
    for (const Span& span : lines) {
        const std::string_view line = image.substr(span.start, span.length);
        report.text.append(line);
        report.text.append("\r\n");
        // Blank lines after the end record carry nothing; they are dropped.
        if (line.size() >= 2 && line[0] == 'S' && (line[1] == '9' || line[1] == '7'))
            break;
    }
    return report;
}

} // namespace download
