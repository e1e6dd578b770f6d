#include "SimOptions.h"

#include "tools/common/ToolCli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <type_traits>
#include <utility>

namespace radiosim {

namespace {

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

std::optional<int> ReadCommandLine(
    int argc, const char* const* argv, const char* comDirFromEnv, Options& o)
{
    if (comDirFromEnv)
        o.comDir = comDirFromEnv;

    CLI::App app;
    toolcli::Prepare(app,
        { "corvel-radio-sim", "corvel-radio-sim --com-dir DIR [--port N] [options]",
            "Plays a radio on a pseudo-terminal and publishes it as DIR/COM<N>. When ready\n"
            "it prints one line \"COM<N> <device path>\" on standard output. It removes the\n"
            "entry when it ends (SIGINT, SIGTERM, SIGHUP, its parent ending, or an exit\n"
            "option below).",
            "Exit status: 0 after a signal or an exit option, 1 on a runtime error,\n"
            "2 on a usage error." });

    // Options take effect in the order given; given twice, the later one wins.
    using Apply = std::function<bool(const std::string&)>;
    std::string group;
    auto value = [&](const std::string& name, const std::string& shown, const std::string& help,
                     Apply apply) {
        app.add_option_function<std::string>(
               name,
               [name, apply](const std::string& v) {
                   if (!apply(v))
                       toolcli::BadValue(name, v);
               },
               help)
            ->type_name(shown)
            ->group(group)
            ->trigger_on_parse();
    };
    auto flag = [&](const std::string& name, const std::string& help, bool& into) {
        app.add_flag_callback(
               name, [&into] { into = true; }, help)
            ->group(group);
    };
    auto text = [](std::string& into) -> Apply {
        return [&into](const std::string& v) {
            into = v;
            return true;
        };
    };
    auto number = [](long low, long high, auto& into) -> Apply {
        return [low, high, &into](const std::string& v) {
            auto n = ParseNumber(v, low, high);
            if (n)
                into = static_cast<std::remove_reference_t<decltype(into)>>(*n);
            return n.has_value();
        };
    };
    auto hex = [](size_t size, std::vector<uint8_t>& into) -> Apply {
        return [size, &into](const std::string& v) {
            auto h = ParseHex(v);
            if (!h || h->size() != size)
                return false;
            into = *h;
            return true;
        };
    };
    auto version = [](auto& into) -> Apply {
        return [&into](const std::string& v) {
            auto ver = ParseVersion(v);
            if (ver)
                into = *ver;
            return ver.has_value();
        };
    };
    auto choice
        = [](auto& into,
              std::vector<std::pair<std::string, std::remove_reference_t<decltype(into)>>> names)
        -> Apply {
        return [&into, names](const std::string& v) {
            for (const auto& [name, meaning] : names)
                if (v == name) {
                    into = meaning;
                    return true;
                }
            return false;
        };
    };
    auto fraction = [](double low, double high, bool lowIncluded, double& into) -> Apply {
        return [=, &into](const std::string& v) {
            char* end = nullptr;
            errno = 0;
            double d = std::strtod(v.c_str(), &end);
            if (errno || end == v.c_str() || *end || !(lowIncluded ? d >= low : d > low)
                || d > high)
                return false;
            into = d;
            return true;
        };
    };

    group = "Publishing and life cycle";
    value("--com-dir", "DIR", "directory of the COM namespace (default: $CORVEL_COM_DIR)",
        text(o.comDir));
    value("--port", "N", "port number 1..255 (default: lowest number without an entry)",
        number(1, 255, o.port));
    value("--log", "FILE",
        "every frame received and sent, one line each:\n"
        "\"<seconds, 6 decimals> >>|<< <hex bytes>\" (>> PC to radio)",
        text(o.logFile));
    value("--idle-exit", "SECONDS", "end when nothing arrived from the PC for SECONDS",
        fraction(0, 1e6, false, o.idleExitSeconds));
    flag("--exit-after-restart", "end about 1 s after the restart message(s) were sent",
        o.exitAfterRestart);
    flag("--exit-after-codeplug", "end right after a codeplug download ended", o.exitAfterCodeplug);
    value("--line-rate", "BITS|follow",
        "delay every byte both ways as a line at BITS bit/s would\n"
        "(10 bits a byte); \"follow\" uses the rate the baud-rate\n"
        "messages set (19200 at start); default: no delay",
        [&o](const std::string& v) {
            if (v == "follow") {
                o.lineRateFollow = true;
                o.lineRate = 19200;
                return true;
            }
            auto n = ParseNumber(v, 0, 100000000);
            if (n)
                o.lineRate = *n;
            return n.has_value();
        });
    flag("--check-speed",
        "a frame that arrives while the PC's line speed differs\n"
        "from the radio's is garbage: dropped (baud-rate messages\n"
        "excepted)",
        o.checkSpeed);
    value("--adapter-latency", "MS",
        "model a USB serial adapter: bytes from the radio are held\n"
        "until MS ms after the first held byte, or until 62 are\n"
        "waiting (0..255; default 0: no adapter)",
        number(0, 255, o.adapterLatencyMs));
    app.get_help_ptr()->group(group);
    app.get_option("--version")->group(group);

    group = "Identity (bootload mode)";
    value("--family", "portable|mobile", "answer to the family request (default portable)",
        choice(o.portable, { { "portable", true }, { "mobile", false } }));
    value("--boot-version", "MAJ.MIN", "boot information (default 6.10)", version(o.bootVersion));
    value("--new-boot-version", "MAJ.MIN",
        "boot version after a boot-code download (default: unchanged)", version(o.newBootVersion));
    value("--format-version", "MAJ.MIN", "file/parameter format version (0x04 0x1D) (default 5.8)",
        version(o.formatVersion));
    value("--new-format-version", "MAJ.MIN",
        "format version after an application download\n(default: unchanged)",
        version(o.newFormatVersion));
    value("--dsp-version", "HEX", "3 bytes (default 010203)", hex(3, o.dspVersion));
    value("--controller-version", "HEX",
        "3 bytes; first byte 2, 4 or 6 makes the PC ask SEM\n(default 021000)",
        hex(3, o.controllerVersion));
    value("--hardware-revision", "HEX", "3 bytes (default 000100)", hex(3, o.hardwareRevision));
    value("--serial", "HEX", "8 bytes, also the codeplug identifier\n(default 001A2B3C4D5E6F70)",
        hex(8, o.serial));
    value("--identifier", "HEX16",
        "the radio serial it reports, as 16 hex digits without\nblanks (the same as --serial); "
        "tells simulated radios apart",
        [&o](const std::string& v) {
            if (v.size() != 16
                || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            auto bytes = ParseHex(v);
            if (!bytes || bytes->size() != 8)
                return false;
            o.serial = *bytes;
            return true;
        });
    value("--sem-version", "HEX", "2 bytes (default 0100)", hex(2, o.semVersion));
    value("--version-record", "HEX",
        "the 23-byte version record at once: format 2, DSP 3,\n"
        "controller 3, hardware 3, serial 8, boot 2, SEM 2",
        [&o](const std::string& v) {
            auto rec = ParseHex(v);
            if (!rec || rec->size() != 23)
                return false;
            o.formatVersion = { (*rec)[0], (*rec)[1] };
            o.dspVersion.assign(rec->begin() + 2, rec->begin() + 5);
            o.controllerVersion.assign(rec->begin() + 5, rec->begin() + 8);
            o.hardwareRevision.assign(rec->begin() + 8, rec->begin() + 11);
            o.serial.assign(rec->begin() + 11, rec->begin() + 19);
            o.bootVersion = { (*rec)[19], (*rec)[20] };
            o.semVersion.assign(rec->begin() + 21, rec->begin() + 23);
            return true;
        });
    value("--probe-reply", "HEX", "4 data bytes of the probe reply (default 00000000)",
        hex(4, o.probeReply));
    value("--negative", "NAME[:N][,...]",
        "answer NAME negatively (0x04 0x20, or 0x02 0x0A for\n"
        "start and dsp-start), the first N times or always",
        [&o](const std::string& v) { return ParseRefusals(v, o.refusals.negative); });
    value("--silent", "NAME[:N][,...]",
        "do not answer NAME, the first N times or always\n"
        "NAMEs: probe format dsp controller hardware serial\n"
        "boot sem family flash-type start dsp-start\n"
        "upload download (codeplug starts (3,7), (3,0))",
        [&o](const std::string& v) { return ParseRefusals(v, o.refusals.silent); });
    flag("--mute", "answer nothing at all", o.mute);

    group = "Flash side";
    value("--flash-type", "N", "type in the flash-type reply 0x02 0x0C 0x00 N (default 4)",
        number(0, 255, o.flashType));
    value("--loader-out", "FILE",
        "data of the last loader stream (confirmed blocks, 128 bytes each)", text(o.loaderOut));
    value("--code-out", "FILE", "data of the last application code stream", text(o.codeOut));
    value("--boot-out", "FILE", "data of the last boot code stream", text(o.bootOut));
    value("--code-kind", "auto|boot|app",
        "what a code stream is; auto: boot code while the boot\n"
        "version differs from --new-boot-version, else application",
        choice(o.codeKind,
            { { "auto", CodeKind::Auto }, { "boot", CodeKind::Boot }, { "app", CodeKind::App } }));

    group = "Faults (block and pair numbers count from 1 within one run of the stage)";
    value("--fault-stage", "STAGE", "loader, code, dsp, upload or download (default code)",
        choice(o.faultStage,
            { { "loader", Stage::Loader }, { "code", Stage::Code }, { "dsp", Stage::Dsp },
                { "upload", Stage::Upload }, { "download", Stage::Download } }));
    flag("--fault-repeat", "faults fire in every run of the stage, not only the first",
        o.faultRepeat);
    value("--wrong-sum", "K",
        "pair K (flash, DSP) or checksum report K (codeplug\n"
        "download) carries a wrong sum",
        number(1, 100000000, o.wrongSum));
    value("--verify-fail", "K[:ADDR]",
        "after pair K answer 0x02 0x0A + 4 address bytes\n(default address 00102030)",
        [&o](const std::string& v) {
            size_t colon = v.find(':');
            auto n = ParseNumber(v.substr(0, colon), 1, 100000000);
            if (!n)
                return false;
            if (colon != std::string::npos) {
                auto h = ParseHex(v.substr(colon + 1));
                if (!h || h->size() != 4)
                    return false;
                o.verifyAddress = *h;
            }
            o.verifyFail = static_cast<int>(*n);
            return true;
        });
    value("--silent-after-block", "K", "after block K go silent for good",
        number(1, 100000000, o.silentAfterBlock));
    value("--close-after-block", "K", "after block K close the line and end",
        number(1, 100000000, o.closeAfterBlock));
    value("--silent-after-frames", "N", "after the N-th valid frame received go silent for good",
        number(1, 1000000000, o.silentAfterFrames));
    value("--close-after-frames", "N", "on the N-th valid frame received close the line and end",
        number(1, 1000000000, o.closeAfterFrames));
    value("--corrupt-rate", "P",
        "damage each byte on the line, both ways, with chance P\n"
        "(0..1; the byte is XORed with a random non-zero value)",
        fraction(0, 1, true, o.corruptRate));
    value("--seed", "N", "seed of the damage (default 1)", number(0, 1000000000000L, o.seed));

    group = "Restart (after an application code stream)";
    value("--restart", "message|heads|none", "what the radio sends (default message)",
        choice(o.restart,
            { { "message", RestartKind::Message }, { "heads", RestartKind::Heads },
                { "none", RestartKind::None } }));
    value("--restart-delay", "MS", "delay before the first message (default 500)",
        number(0, 3600000, o.restartDelayMs));
    value("--restart-message", "HEX", "bytes of the restart message (default 0725)",
        [&o](const std::string& v) {
            auto h = ParseHex(v);
            if (!h || h->empty() || h->size() > 512)
                return false;
            o.restartMessage = *h;
            return true;
        });
    value("--control-heads", "FLAGS",
        "duplicate-address flag of each control-head message\n"
        "0x09 0x03 0x00 FLAG, comma separated (default 0)",
        [&o](const std::string& v) {
            std::vector<uint8_t> flags;
            size_t pos = 0;
            while (true) {
                size_t comma = v.find(',', pos);
                auto n = ParseNumber(
                    v.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos), 0,
                    255);
                if (!n || flags.size() == 1000)
                    return false;
                flags.push_back(static_cast<uint8_t>(*n));
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
            o.controlHeads = flags;
            return true;
        });
    value("--head-interval", "MS", "time between control-head messages (default 1000)",
        number(0, 3600000, o.headIntervalMs));

    group = "Codeplug side";
    value("--codeplug", "FILE",
        "the radio's codeplug, wire form (big-endian words);\n"
        "default: none (the upload sends blocks of the fill byte)",
        text(o.codeplugFile));
    value("--codeplug-out", "FILE",
        "the codeplug stored by the last download (wire form,\n"
        "every block received, padding included)",
        text(o.codeplugOut));
    value("--password", "DIGITS", "password (up to 8 digits) asked for with (3,11)",
        [&o](const std::string& v) {
            if (v.empty() || v.size() > 8
                || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return false;
            o.password = v;
            return true;
        });
    value("--grant", "13|14", "sub-code that grants access (default 13)",
        choice(o.grantCode, { { "13", uint8_t { 13 } }, { "14", uint8_t { 14 } } }));
    value("--verdict-noise", "N", "(7,37) messages before each password verdict (default 0)",
        number(0, 1000, o.verdictNoise));
    value("--sum-every", "N", "blocks between (3,3) checksum reports (default 4)",
        number(1, 512, o.sumEvery));
    value("--upload-fill", "HEX", "byte sent beyond the end of the codeplug (default 00)",
        [&o](const std::string& v) {
            auto h = ParseHex(v);
            if (!h || h->size() != 1)
                return false;
            o.uploadFill = (*h)[0];
            return true;
        });

    value("--corrupt-stored-word", "N",
        "after each codeplug download, word N (from 0) of the stored\n"
        "codeplug has its lowest bit flipped: later uploads serve it\n"
        "changed (--codeplug-out keeps what was received)",
        number(0, 32767, o.corruptStoredWord));

    group = "DSP side";
    value("--dsp-pages-dir", "DIR", "write the k-th page received to DIR/page<k>.bin",
        text(o.dspPagesDir));

    if (auto done = toolcli::Parse(app, argc, argv))
        return done;
    if (o.comDir.empty())
        return toolcli::UsageError(app, "no COM directory: give --com-dir or set CORVEL_COM_DIR");
    return std::nullopt;
}

} // namespace radiosim
