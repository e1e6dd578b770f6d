#include "SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace radiosim {

namespace {

const char kHelp[] = R"(Usage: corvel-radio-sim --com-dir DIR [--port N] [options]

Plays a radio on a pseudo-terminal and publishes it as DIR/COM<N>. When ready
it prints one line "COM<N> <device path>" on standard output. It removes the
entry when it ends (SIGINT, SIGTERM, SIGHUP, its parent ending, or an exit
option below).

Publishing and life cycle:
  --com-dir DIR            directory of the COM namespace (default: $CORVEL_COM_DIR)
  --port N                 port number 1..255 (default: lowest number without an entry)
  --log FILE               every frame received and sent, one line each:
                           "<seconds, 6 decimals> >>|<< <hex bytes>" (>> PC to radio)
  --idle-exit SECONDS      end when nothing arrived from the PC for SECONDS
  --exit-after-restart     end about 1 s after the restart message(s) were sent
  --exit-after-codeplug    end right after a codeplug download ended
  --line-rate BITS|follow  delay every byte both ways as a line at BITS bit/s would
                           (10 bits a byte); "follow" uses the rate the baud-rate
                           messages set (19200 at start); default: no delay
  --check-speed            a frame that arrives while the PC's line speed differs
                           from the radio's is garbage: dropped (baud-rate messages
                           excepted)
  --help                   this text

Identity (bootload mode):
  --family portable|mobile       answer to the family request (default portable)
  --boot-version MAJ.MIN         boot information (default 6.10)
  --new-boot-version MAJ.MIN     boot version after a boot-code download (default: unchanged)
  --format-version MAJ.MIN       file/parameter format version (0x04 0x1D) (default 5.8)
  --new-format-version MAJ.MIN   format version after an application download
                                 (default: unchanged)
  --dsp-version HEX              3 bytes (default 010203)
  --controller-version HEX       3 bytes; first byte 2, 4 or 6 makes the PC ask SEM
                                 (default 021000)
  --hardware-revision HEX        3 bytes (default 000100)
  --serial HEX                   8 bytes, also the codeplug identifier
                                 (default 001A2B3C4D5E6F70)
  --sem-version HEX              2 bytes (default 0100)
  --version-record HEX           the 23-byte version record at once: format 2, DSP 3,
                                 controller 3, hardware 3, serial 8, boot 2, SEM 2
  --probe-reply HEX              4 data bytes of the probe reply (default 00000000)
  --negative NAME[:N][,...]      answer NAME negatively (0x04 0x20, or 0x02 0x0A for
                                 start and dsp-start), the first N times or always
  --silent NAME[:N][,...]        do not answer NAME, the first N times or always
                                 NAMEs: probe format dsp controller hardware serial
                                 boot sem family flash-type start dsp-start
                                 upload download (codeplug starts (3,7), (3,0))
  --mute                         answer nothing at all

Flash side:
  --flash-type N           type in the flash-type reply 0x02 0x0C 0x00 N (default 4)
  --loader-out FILE        data of the last loader stream (confirmed blocks, 128 bytes each)
  --code-out FILE          data of the last application code stream
  --boot-out FILE          data of the last boot code stream
  --code-kind auto|boot|app  what a code stream is; auto: boot code while the boot
                           version differs from --new-boot-version, else application

Faults (block and pair numbers count from 1 within one run of the stage):
  --fault-stage STAGE      loader, code, dsp, upload or download (default code)
  --fault-repeat           faults fire in every run of the stage, not only the first
  --wrong-sum K            pair K (flash, DSP) or checksum report K (codeplug
                           download) carries a wrong sum
  --verify-fail K[:ADDR]   after pair K answer 0x02 0x0A + 4 address bytes
                           (default address 00102030)
  --silent-after-block K   after block K go silent for good
  --close-after-block K    after block K close the line and end
  --silent-after-frames N  after the N-th valid frame received go silent for good
  --close-after-frames N   on the N-th valid frame received close the line and end
  --corrupt-rate P         damage each byte on the line, both ways, with chance P
                           (0..1; the byte is XORed with a random non-zero value)
  --seed N                 seed of the damage (default 1)

Restart (after an application code stream):
  --restart message|heads|none  what the radio sends (default message)
  --restart-delay MS       delay before the first message (default 500)
  --restart-message HEX    bytes of the restart message (default 0725)
  --control-heads FLAGS    duplicate-address flag of each control-head message
                           0x09 0x03 0x00 FLAG, comma separated (default 0)
  --head-interval MS       time between control-head messages (default 1000)

Codeplug side:
  --codeplug FILE          the radio's codeplug, wire form (big-endian words);
                           default: none (the upload sends blocks of the fill byte)
  --codeplug-out FILE      the codeplug stored by the last download (wire form,
                           every block received, padding included)
  --password DIGITS        password (up to 8 digits) asked for with (3,11)
  --grant 13|14            sub-code that grants access (default 13)
  --verdict-noise N        (7,37) messages before each password verdict (default 0)
  --sum-every N            blocks between (3,3) checksum reports (default 4)
  --upload-fill HEX        byte sent beyond the end of the codeplug (default 00)

DSP side:
  --dsp-pages-dir DIR      write the k-th page received to DIR/page<k>.bin

Exit status: 0 after a signal or an exit option, 1 on a runtime error,
2 on a usage error.
)";

struct NameEntry {
    const char* name;
    Request request;
};

const NameEntry kRequestNames[] = {
    { "probe", Request::Probe },
    { "format", Request::Format },
    { "dsp", Request::Dsp },
    { "controller", Request::Controller },
    { "hardware", Request::Hardware },
    { "serial", Request::Serial },
    { "boot", Request::Boot },
    { "sem", Request::Sem },
    { "family", Request::Family },
    { "flash-type", Request::FlashType },
    { "start", Request::Start },
    { "upload", Request::Upload },
    { "download", Request::Download },
    { "dsp-start", Request::DspStart },
};

std::optional<long> ParseNumber(const std::string& text, long low, long high)
{
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9')
            return std::nullopt;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high)
        return std::nullopt;
    return v;
}

bool ParseRefusals(const std::string& text, int* counts)
{
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item
            = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        std::string name = item;
        int count = -1;
        size_t colon = item.find(':');
        if (colon != std::string::npos) {
            name = item.substr(0, colon);
            auto n = ParseNumber(item.substr(colon + 1), 1, 1000000);
            if (!n)
                return false;
            count = static_cast<int>(*n);
        }
        bool found = false;
        for (const auto& e : kRequestNames) {
            if (name == e.name) {
                counts[static_cast<int>(e.request)] = count;
                found = true;
            }
        }
        if (!found)
            return false;
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return true;
}

} // namespace

const char* HelpText()
{
    return kHelp;
}

std::optional<Version> ParseVersion(const std::string& text)
{
    size_t dot = text.find('.');
    if (dot == std::string::npos)
        return std::nullopt;
    auto major = ParseNumber(text.substr(0, dot), 0, 255);
    auto minor = ParseNumber(text.substr(dot + 1), 0, 255);
    if (!major || !minor)
        return std::nullopt;
    return Version { static_cast<uint8_t>(*major), static_cast<uint8_t>(*minor) };
}

std::optional<std::vector<uint8_t>> ParseHex(const std::string& text)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0)
                return std::nullopt;
            continue;
        } else {
            return std::nullopt;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

ParseResult ParseOptions(int argc, char** argv, const char* comDirFromEnv)
{
    ParseResult r;
    Options& o = r.options;
    if (comDirFromEnv)
        o.comDir = comDirFromEnv;

    auto fail = [&r](const std::string& text) {
        r.ok = false;
        r.error = text;
        return r;
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            r.help = true;
            return r;
        }
        // Flags without a value.
        if (arg == "--exit-after-restart") {
            o.exitAfterRestart = true;
            continue;
        }
        if (arg == "--exit-after-codeplug") {
            o.exitAfterCodeplug = true;
            continue;
        }
        if (arg == "--check-speed") {
            o.checkSpeed = true;
            continue;
        }
        if (arg == "--mute") {
            o.mute = true;
            continue;
        }
        if (arg == "--fault-repeat") {
            o.faultRepeat = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0)
            return fail("unexpected argument: " + arg);
        if (i + 1 >= argc)
            return fail("option " + arg + " needs a value");
        std::string v = argv[++i];
        auto bad = [&]() { return fail("bad value for " + arg + ": " + v); };
        auto hexOf = [&](size_t size, std::vector<uint8_t>& into) {
            auto h = ParseHex(v);
            if (!h || h->size() != size)
                return false;
            into = *h;
            return true;
        };
        auto numberOf = [&](long low, long high, auto& into) {
            auto n = ParseNumber(v, low, high);
            if (!n)
                return false;
            into = static_cast<std::remove_reference_t<decltype(into)>>(*n);
            return true;
        };

        if (arg == "--com-dir") {
            o.comDir = v;
        } else if (arg == "--port") {
            if (!numberOf(1, 255, o.port))
                return bad();
        } else if (arg == "--log") {
            o.logFile = v;
        } else if (arg == "--idle-exit") {
            char* end = nullptr;
            errno = 0;
            double s = std::strtod(v.c_str(), &end);
            if (errno || end == v.c_str() || *end || !(s > 0) || s > 1e6)
                return bad();
            o.idleExitSeconds = s;
        } else if (arg == "--line-rate") {
            if (v == "follow") {
                o.lineRateFollow = true;
                o.lineRate = 19200;
            } else if (!numberOf(0, 100000000, o.lineRate)) {
                return bad();
            }
        } else if (arg == "--family") {
            if (v == "portable")
                o.portable = true;
            else if (v == "mobile")
                o.portable = false;
            else
                return bad();
        } else if (arg == "--boot-version") {
            auto ver = ParseVersion(v);
            if (!ver)
                return bad();
            o.bootVersion = *ver;
        } else if (arg == "--new-boot-version") {
            auto ver = ParseVersion(v);
            if (!ver)
                return bad();
            o.newBootVersion = *ver;
        } else if (arg == "--format-version") {
            auto ver = ParseVersion(v);
            if (!ver)
                return bad();
            o.formatVersion = *ver;
        } else if (arg == "--new-format-version") {
            auto ver = ParseVersion(v);
            if (!ver)
                return bad();
            o.newFormatVersion = *ver;
        } else if (arg == "--dsp-version") {
            if (!hexOf(3, o.dspVersion))
                return bad();
        } else if (arg == "--controller-version") {
            if (!hexOf(3, o.controllerVersion))
                return bad();
        } else if (arg == "--hardware-revision") {
            if (!hexOf(3, o.hardwareRevision))
                return bad();
        } else if (arg == "--serial") {
            if (!hexOf(8, o.serial))
                return bad();
        } else if (arg == "--sem-version") {
            if (!hexOf(2, o.semVersion))
                return bad();
        } else if (arg == "--version-record") {
            std::vector<uint8_t> rec;
            if (!hexOf(23, rec))
                return bad();
            o.formatVersion = { rec[0], rec[1] };
            o.dspVersion.assign(rec.begin() + 2, rec.begin() + 5);
            o.controllerVersion.assign(rec.begin() + 5, rec.begin() + 8);
            o.hardwareRevision.assign(rec.begin() + 8, rec.begin() + 11);
            o.serial.assign(rec.begin() + 11, rec.begin() + 19);
            o.bootVersion = { rec[19], rec[20] };
            o.semVersion.assign(rec.begin() + 21, rec.begin() + 23);
        } else if (arg == "--probe-reply") {
            if (!hexOf(4, o.probeReply))
                return bad();
        } else if (arg == "--negative") {
            if (!ParseRefusals(v, o.refusals.negative))
                return bad();
        } else if (arg == "--silent") {
            if (!ParseRefusals(v, o.refusals.silent))
                return bad();
        } else if (arg == "--flash-type") {
            if (!numberOf(0, 255, o.flashType))
                return bad();
        } else if (arg == "--loader-out") {
            o.loaderOut = v;
        } else if (arg == "--code-out") {
            o.codeOut = v;
        } else if (arg == "--boot-out") {
            o.bootOut = v;
        } else if (arg == "--code-kind") {
            if (v == "auto")
                o.codeKind = CodeKind::Auto;
            else if (v == "boot")
                o.codeKind = CodeKind::Boot;
            else if (v == "app")
                o.codeKind = CodeKind::App;
            else
                return bad();
        } else if (arg == "--fault-stage") {
            if (v == "loader")
                o.faultStage = Stage::Loader;
            else if (v == "code")
                o.faultStage = Stage::Code;
            else if (v == "dsp")
                o.faultStage = Stage::Dsp;
            else if (v == "upload")
                o.faultStage = Stage::Upload;
            else if (v == "download")
                o.faultStage = Stage::Download;
            else
                return bad();
        } else if (arg == "--wrong-sum") {
            if (!numberOf(1, 100000000, o.wrongSum))
                return bad();
        } else if (arg == "--verify-fail") {
            size_t colon = v.find(':');
            std::string k = v.substr(0, colon);
            auto n = ParseNumber(k, 1, 100000000);
            if (!n)
                return bad();
            o.verifyFail = static_cast<int>(*n);
            if (colon != std::string::npos) {
                auto h = ParseHex(v.substr(colon + 1));
                if (!h || h->size() != 4)
                    return bad();
                o.verifyAddress = *h;
            }
        } else if (arg == "--silent-after-block") {
            if (!numberOf(1, 100000000, o.silentAfterBlock))
                return bad();
        } else if (arg == "--close-after-block") {
            if (!numberOf(1, 100000000, o.closeAfterBlock))
                return bad();
        } else if (arg == "--silent-after-frames") {
            if (!numberOf(1, 1000000000, o.silentAfterFrames))
                return bad();
        } else if (arg == "--close-after-frames") {
            if (!numberOf(1, 1000000000, o.closeAfterFrames))
                return bad();
        } else if (arg == "--corrupt-rate") {
            char* end = nullptr;
            errno = 0;
            double p = std::strtod(v.c_str(), &end);
            if (errno || end == v.c_str() || *end || !(p >= 0) || p > 1)
                return bad();
            o.corruptRate = p;
        } else if (arg == "--seed") {
            long long n = 0;
            if (!numberOf(0, 1000000000000L, n))
                return bad();
            o.seed = static_cast<uint64_t>(n);
        } else if (arg == "--restart") {
            if (v == "message")
                o.restart = RestartKind::Message;
            else if (v == "heads")
                o.restart = RestartKind::Heads;
            else if (v == "none")
                o.restart = RestartKind::None;
            else
                return bad();
        } else if (arg == "--restart-delay") {
            if (!numberOf(0, 3600000, o.restartDelayMs))
                return bad();
        } else if (arg == "--restart-message") {
            auto h = ParseHex(v);
            if (!h || h->empty() || h->size() > 512)
                return bad();
            o.restartMessage = *h;
        } else if (arg == "--control-heads") {
            std::vector<uint8_t> flags;
            size_t pos = 0;
            while (true) {
                size_t comma = v.find(',', pos);
                auto n = ParseNumber(
                    v.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos), 0,
                    255);
                if (!n)
                    return bad();
                flags.push_back(static_cast<uint8_t>(*n));
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
            if (flags.size() > 1000)
                return bad();
            o.controlHeads = flags;
        } else if (arg == "--head-interval") {
            if (!numberOf(0, 3600000, o.headIntervalMs))
                return bad();
        } else if (arg == "--codeplug") {
            o.codeplugFile = v;
        } else if (arg == "--codeplug-out") {
            o.codeplugOut = v;
        } else if (arg == "--password") {
            if (v.empty() || v.size() > 8)
                return bad();
            for (char c : v)
                if (c < '0' || c > '9')
                    return bad();
            o.password = v;
        } else if (arg == "--grant") {
            if (v == "13")
                o.grantCode = 13;
            else if (v == "14")
                o.grantCode = 14;
            else
                return bad();
        } else if (arg == "--verdict-noise") {
            if (!numberOf(0, 1000, o.verdictNoise))
                return bad();
        } else if (arg == "--sum-every") {
            if (!numberOf(1, 512, o.sumEvery))
                return bad();
        } else if (arg == "--upload-fill") {
            std::vector<uint8_t> b;
            if (!hexOf(1, b))
                return bad();
            o.uploadFill = b[0];
        } else if (arg == "--dsp-pages-dir") {
            o.dspPagesDir = v;
        } else {
            return fail("unknown option: " + arg);
        }
    }
    if (o.comDir.empty())
        return fail("no COM directory: give --com-dir or set CORVEL_COM_DIR");
    r.ok = true;
    return r;
}

} // namespace radiosim
