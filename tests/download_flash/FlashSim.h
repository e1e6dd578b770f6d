#pragma once

// The simulated radio as a child process for the flash engine's end-to-end
// tests and benchmarks, and a demo-shaped release image to feed it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace flashtest {

class SimRadio {
public:
    SimRadio() = default;
    ~SimRadio();
    SimRadio(const SimRadio&) = delete;
    SimRadio& operator=(const SimRadio&) = delete;

    // Starts `program` with --com-dir and the options; true once it has
    // announced "COM<n> <device>".
    bool Start(const std::filesystem::path& program, const std::filesystem::path& comDir,
        const std::vector<std::string>& options,
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGTERM, then waits for the end (the simulator writes its output
    // files on the way out). Returns the exit status, or -1.
    int Stop();
    // True when the process has ended by itself within the time.
    bool WaitExit(std::chrono::milliseconds timeout);

    int Port() const { return m_Port; }
    const std::string& Error() const { return m_Error; }

private:
    pid_t m_Pid = -1;
    int m_Out = -1; // kept open so that a late line does not break its pipe
    int m_Port = 0;
    int m_Status = -1;
    std::string m_Error;
};

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
