#pragma once

// The simulated radio as a child process for the flash engine's end-to-end
// tests and benchmarks, and a demo-shaped release image to feed it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/SimProcess.h"

namespace flashtest {

// The simulated radio as a child process (SIGTERM on Stop; it writes its
// output files on the way out).
using SimRadio = testsupport::SimProcess;

// S-record text (CR LF lines) of `data` as records of the given type ('1',
// '2' or '3') with `perLine` data bytes, an S0 header and an end record (S9,
// or S7 after S3 records).
std::string MakeSRecords(
    char type, uint32_t address, const std::vector<uint8_t>& data, int perLine = 16);
// Deterministic pattern bytes.
std::vector<uint8_t> Pattern(size_t count, uint8_t seed);

// A demo-shaped image: an S2 loader or an S3 code image of `dataBytes`
// pattern bytes in records of `perLine` bytes, CR LF lines, written to
// `path`. Returns the data bytes.
std::vector<uint8_t> WriteImage(const std::filesystem::path& path, char type, uint32_t address,
    size_t dataBytes, int perLine, uint8_t seed);

// The data bytes of S-record text in file order (S1, S2 and S3 records, up
// to an end record), read without the updater's own S-record code.
std::vector<uint8_t> SRecordData(const std::string& text);

// What the radio should hold after a stream of `data`: the data padded with
// 0xFF to whole pairs of 128-byte blocks (at least one pair).
std::vector<uint8_t> PaddedToPairs(std::vector<uint8_t> data);

// Bytes that crossed the line according to the simulator's frame log, in
// each direction.
struct LogTraffic {
    uint64_t toRadio = 0;
    uint64_t fromRadio = 0;
    std::vector<std::string> lines;
};
LogTraffic ReadSimLog(const std::filesystem::path& log);

} // namespace flashtest
