#pragma once

// S-record images for the flash engine's tests and benchmark, and the
// simulated radio as a child process (SIGTERM on Stop; it writes its output
// files on the way out).

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/SimProcess.h"

namespace flashtest {

using SimRadio = testsupport::SimProcess;

// One data record of type '1', '2' or '3' (checksum computed, no line end).
std::string SRecordLine(char type, uint32_t address, const std::vector<uint8_t>& data);
// S-record text (CR LF lines) of `data` in records of `perLine` bytes, with
// an S0 header and an end record (S9, or S7 after S3 records).
std::string MakeSRecords(
    char type, uint32_t address, const std::vector<uint8_t>& data, int perLine = 16);
// Deterministic pattern bytes.
std::vector<uint8_t> Pattern(size_t count, uint8_t seed);
// MakeSRecords of `dataBytes` pattern bytes written to `path`; returns the data.
std::vector<uint8_t> WriteImage(const std::filesystem::path& path, char type, uint32_t address,
    size_t dataBytes, int perLine, uint8_t seed);
// The lines of the simulator's frame log ("<time> >> BA 7F ..." from the PC).
std::vector<std::string> ReadSimLog(const std::filesystem::path& log);

} // namespace flashtest
