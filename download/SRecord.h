#pragma once

// Motorola S-record images as the updater carries them: text files of lines
// ending in CR LF, one record a line. The flash download engine streams the
// data bytes of the data records in file order, two at a time as 16-bit words
// (first byte low, second byte high); addresses and record checksums are not
// looked at while streaming, so an image holds its data as one contiguous run
// in ascending address order.
//
// Line-level operations (in the order the engine uses them):
//
//   char line[kRecordLineSize];
//   while (ReadRecordLine(file, line)) {
//       if (IsEndRecord(line)) break;
//       int kind = RecordKind(line);
//       if (kind == kKindS0 || kind == kKindOther) continue;
//       int length = DataLength(line);
//       if (length < 0) { /* damaged record: stop, report the image as bad */ }
//       for (int k = 0; k < 2 * length; k += 4)
//           AppendWord(DataWord(line, DataOffset(kind) + k));
//   }
//
// Every function here takes a NUL-terminated line and never reads past its
// terminating NUL, whatever the line holds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/HexText.h"

namespace download {

// Size of a line buffer: at most 299 characters plus the terminating NUL.
inline constexpr std::size_t kRecordLineSize = 300;

// Record kinds returned by RecordKind.
inline constexpr int kKindS1 = 0;
inline constexpr int kKindS2 = 1;
inline constexpr int kKindS3 = 2;
inline constexpr int kKindS0 = 3;
inline constexpr int kKindOther = -1;

// DataLength's answer for a record that must not be streamed.
inline constexpr int kRejectedRecord = -1;

// Reads the next line of `file` into `buffer` (which holds `size` bytes,
// normally kRecordLineSize) without its line end (CR LF, or a lone LF), and
// NUL-terminates it. A line longer than size - 1 characters is cut to size - 1
// characters and the rest of that line is skipped, so the next call starts on
// the next line; a cut data record then fails DataLength's check. Returns
// false at end of file (or on a read error) when no character was read.
bool ReadRecordLine(std::FILE* file, char* buffer, std::size_t size = kRecordLineSize);

// ParseHexByte: platform/HexText.h.
using platform::ParseHexByte;

// True when the line begins with "S9" or "S7". An "S8" line is not an end.
bool IsEndRecord(const char* line);

// 0 for "S1", 1 for "S2", 2 for "S3", 3 for "S0", -1 for anything else.
int RecordKind(const char* line);

// Number of hex digits of the address of kinds 0, 1, 2 (4, 6, 8); 0 for any
// other kind.
int AddressDigits(int kind);

// Character offset of the data field for kinds 0, 1, 2 (8, 10, 12); 0 for any
// other kind.
int DataOffset(int kind);

// The number of data bytes of a data record (S1, S2, S3): the byte count
// (characters 2-3 as hex) minus the address bytes (2, 3 or 4) minus the
// checksum byte. Returns kRejectedRecord (-1) when the record cannot be
// streamed safely: not a data record, a byte count that is not two hex digits
// or too small for the address and checksum, an odd number of data bytes, or
// a line too short to hold the data field and the checksum its byte count
// announces. A non-negative result guarantees that every DataWord at
// DataOffset(kind) + k for k = 0, 4, ... < 2 * result lies inside the line.
int DataLength(const char* line);

// The four hex digits at `offset` read as two bytes, the first pair being the
// low byte and the second the high byte: "AABB" gives 0xBBAA. A non-hex
// digit counts as 0 (the images hold none; the validating reader refuses
// them). Stops at the line's NUL, never reading past it.
std::uint16_t DataWord(const char* line, int offset);

// ---------------------------------------------------------------------------
// Validation of whole images, used by the release packer before it stores an
// image, and by tests.

enum class ImageKind {
    Loader, // S2 data records
    Code, // S3 data records
};

struct ImageProblem {
    std::size_t line = 0; // 1-based line number (0: the image as a whole)
    std::string reason; // e.g. "wrong record checksum"
};

struct ImageReport {
    bool ok = false;
    ImageProblem problem; // set when !ok
    bool normalisedLineEnds = false; // LF-only lines were turned into CR LF
    std::string text; // the image, CR LF line ends, ending with its end record
    std::uint32_t firstAddress = 0; // address of the first data record
    std::uint64_t dataBytes = 0; // data bytes of all data records
};

// Checks a whole image: every line a well-formed record with hex digits only
// and a correct checksum; data records all of the one type the image kind
// allows (S2 for loaders, S3 for code), each with an even number of data
// bytes, each starting where the previous one ended (ascending, no gaps);
// header records (S0) allowed before the data; exactly one end record (S9 or
// S7, the two the engine stops at) as the last record, followed by nothing
// but blank lines (which `text` leaves out); at least one data record; every
// line ending in CR LF. When `allowLfOnly` is true an image whose lines all
// end in a lone LF is accepted and normalised to CR LF (normalisedLineEnds).
ImageReport ValidateImage(std::string_view image, ImageKind kind, bool allowLfOnly);

} // namespace download
