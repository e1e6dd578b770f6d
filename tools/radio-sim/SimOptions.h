#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace radiosim {

// Requests the radio can be told to answer negatively or not at all.
enum class Request {
    Probe,
    Format,
    Dsp,
    Controller,
    Hardware,
    Serial,
    Boot,
    Sem,
    Family,
    FlashType,
    Start,
    DspStart,
    Upload,
    Download,
    Count
};

// The stage a fault option aims at.
enum class Stage { Loader, Code, Dsp, Upload, Download };

enum class RestartKind { Message, Heads, None };

enum class CodeKind { Auto, Boot, App };

// How many times a request is refused: -1 = always, 0 = never, n = the first n.
struct RefusalCounts {
    int negative[static_cast<int>(Request::Count)] = {};
    int silent[static_cast<int>(Request::Count)] = {};
};

struct Version {
    uint8_t major = 0;
    uint8_t minor = 0;
    bool operator==(const Version&) const = default;
};

struct Options {
    // Publishing and life cycle
    std::string comDir;
    int port = 0; // 0 = lowest free number
    std::string logFile;
    double idleExitSeconds = 0;
    bool exitAfterRestart = false;
    bool exitAfterCodeplug = false;
    long lineRate = 0; // bits per second, 0 = no pacing
    bool lineRateFollow = false; // the rate follows the baud-rate messages
    bool checkSpeed = false; // frames sent at the wrong speed are garbage
    int adapterLatencyMs = 0; // a USB adapter's latency timer; 0 = no adapter

    // Identity in bootload mode
    bool portable = true;
    Version bootVersion { 6, 10 };
    std::optional<Version> newBootVersion;
    Version formatVersion { 5, 8 };
    std::optional<Version> newFormatVersion;
    std::vector<uint8_t> dspVersion { 0x01, 0x02, 0x03 };
    std::vector<uint8_t> controllerVersion { 0x02, 0x10, 0x00 };
    std::vector<uint8_t> hardwareRevision { 0x00, 0x01, 0x00 };
    std::vector<uint8_t> serial { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70 };
    std::vector<uint8_t> semVersion { 0x01, 0x00 };
    std::vector<uint8_t> probeReply { 0x00, 0x00, 0x00, 0x00 };
    RefusalCounts refusals;
    bool mute = false;

    // Flash side
    uint8_t flashType = 4;
    std::string loaderOut;
    std::string codeOut;
    std::string bootOut;
    CodeKind codeKind = CodeKind::Auto;

    // Faults
    Stage faultStage = Stage::Code;
    bool faultRepeat = false;
    int wrongSum = 0;
    int verifyFail = 0;
    std::vector<uint8_t> verifyAddress { 0x00, 0x10, 0x20, 0x30 };
    int silentAfterBlock = 0;
    int closeAfterBlock = 0;
    long silentAfterFrames = 0;
    long closeAfterFrames = 0;
    double corruptRate = 0; // chance of each byte on the line to be damaged
    uint64_t seed = 1;

    // Restart
    RestartKind restart = RestartKind::Message;
    int restartDelayMs = 500;
    std::vector<uint8_t> restartMessage { 0x07, 0x25 };
    std::vector<uint8_t> controlHeads { 0 };
    int headIntervalMs = 1000;

    // Codeplug side
    std::string codeplugFile;
    std::string codeplugOut;
    std::string password; // digits; empty = no password
    uint8_t grantCode = 13;
    int verdictNoise = 0;
    int sumEvery = 4;
    uint8_t uploadFill = 0x00;
    int corruptStoredWord = -1; // -1 = none

    // DSP side
    std::string dspPagesDir;
};

// Reads the command line into `options` (the COM directory defaults to
// comDirFromEnv). Returns the exit status when the program ends here: 0 after
// --help or --version, 2 after a usage error (both printed).
std::optional<int> ReadCommandLine(
    int argc, const char* const* argv, const char* comDirFromEnv, Options& options);

// "5.8" -> {5, 8}; numbers 0..255.
std::optional<Version> ParseVersion(const std::string& text);
// Hex digits, blanks allowed between bytes: "00 1A" or "001A".
std::optional<std::vector<uint8_t>> ParseHex(const std::string& text);

} // namespace radiosim
