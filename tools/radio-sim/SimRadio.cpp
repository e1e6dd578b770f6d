#include "SimRadio.h"

#include "SimScrambler.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace radiosim {

namespace {

constexpr size_t kBlockData = 128;
constexpr size_t kCodeplugMax = 65536;

// Sum of the 64 little-endian words of one 128-byte flash block.
uint16_t LittleEndianSum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i] | data[i + 1] << 8);
    return static_cast<uint16_t>(sum);
}

uint16_t BigEndianSum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    return static_cast<uint16_t>(sum);
}

// A message of a code and data bytes.
std::vector<uint8_t> Message(uint8_t command, uint8_t sub, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(2 + data.size());
    out[0] = command;
    out[1] = sub;
    std::copy(data.begin(), data.end(), out.begin() + 2);
    return out;
}

std::string HexOf(const std::vector<uint8_t>& m)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < m.size() && i < 16; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", m[i]);
        s += buf;
    }
    if (m.size() > 16)
        s += " ...";
    return s;
}

} // namespace

std::vector<uint8_t> PackedPassword(const std::string& digits)
{
    std::vector<uint8_t> out(4, 0xFF);
    size_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            continue;
        if (n >= 8)
            break;
        uint8_t v = static_cast<uint8_t>(c - '0');
        uint8_t& b = out[n / 2];
        if (n % 2 == 0)
            b = static_cast<uint8_t>((v << 4) | (b & 0x0F));
        else
            b = static_cast<uint8_t>((b & 0xF0) | v);
        ++n;
    }
    return out;
}

Radio::Radio(const Options& options, RadioHost& host)
    : m_Options(options)
    , m_Host(host)
    , m_BootVersion(options.bootVersion)
    , m_FormatVersion(options.formatVersion)
{
    for (int i = 0; i < static_cast<int>(Request::Count); ++i) {
        m_Negative[i] = options.refusals.negative[i];
        m_Silent[i] = options.refusals.silent[i];
    }
}

Radio::~Radio() = default;

bool Radio::Load(std::string& error)
{
    if (m_Options.codeplugFile.empty())
        return true;
    std::ifstream in(m_Options.codeplugFile, std::ios::binary);
    if (!in) {
        error = "cannot read the codeplug file " + m_Options.codeplugFile;
        return false;
    }
    m_Codeplug.assign(std::istreambuf_iterator<char>(in), {});
    if (m_Codeplug.size() > kCodeplugMax) {
        error = "the codeplug file is larger than 65536 bytes";
        return false;
    }
    return true;
}

Radio::Answer Radio::Decide(Request request)
{
    int i = static_cast<int>(request);
    if (m_Silent[i] != 0) {
        if (m_Silent[i] > 0)
            --m_Silent[i];
        return Answer::Silent;
    }
    if (m_Negative[i] != 0) {
        if (m_Negative[i] > 0)
            --m_Negative[i];
        return Answer::Negative;
    }
    return Answer::Normal;
}

void Radio::AnswerQuery(Request request, uint8_t replySub, const std::vector<uint8_t>& data)
{
    switch (Decide(request)) {
    case Answer::Silent:
        return;
    case Answer::Negative:
        m_Host.Send({ 0x04, 0x20 });
        return;
    case Answer::Normal:
        break;
    }
    m_Host.Send(Message(0x04, replySub, data));
}

void Radio::OnMessage(const std::vector<uint8_t>& m)
{
    if (m_Silenced || m_Options.mute || m.size() < 2)
        return;
    const uint8_t cmd = m[0], sub = m[1];
    if (cmd == 0x09) {
        if (sub == 0x01) {
            auto a = Decide(Request::Probe);
            if (a == Answer::Negative)
                m_Host.Send({ 0x04, 0x20 });
            if (a != Answer::Normal)
                return;
            m_Host.Send(Message(0x09, 0x02, m_Options.probeReply));
        } else if (sub == 0x00 && m.size() >= 3) {
            static const long rates[] = { 9600, 19200, 19200, 38400, 57600, 115200 };
            m_Host.SetBaudRate(m[2] < 6 ? rates[m[2]] : 19200);
        }
        return;
    }
    if (cmd == 0x04 && m.size() == 2) {
        switch (sub) {
        case 0x1C:
            AnswerQuery(Request::Format, 0x1D, { m_FormatVersion.major, m_FormatVersion.minor });
            break;
        case 0x0B:
            AnswerQuery(Request::Dsp, 0x0C, m_Options.dspVersion);
            break;
        case 0x09:
            AnswerQuery(Request::Controller, 0x0A, m_Options.controllerVersion);
            break;
        case 0x07:
            AnswerQuery(Request::Hardware, 0x08, m_Options.hardwareRevision);
            break;
        case 0x04:
            AnswerQuery(Request::Serial, 0x05, m_Options.serial);
            break;
        case 0x2D:
            AnswerQuery(Request::Boot, 0x2E, { m_BootVersion.major, m_BootVersion.minor });
            break;
        case 0x3E:
            AnswerQuery(Request::Sem, 0x3F, m_Options.semVersion);
            break;
        case 0x67:
            AnswerQuery(
                Request::Family, 0x68, { static_cast<uint8_t>(m_Options.portable ? 1 : 0) });
            break;
        default:
            m_Host.Warn("ignored request " + HexOf(m));
        }
        return;
    }
    if (cmd == 0x02) {
        OnDownloadMessage(m);
        return;
    }
    if (cmd == 0x03) {
        OnCodeplugMessage(m);
        return;
    }
    m_Host.Warn("ignored message " + HexOf(m));
}

// ---------------------------------------------------------------- flash, DSP

Stage Radio::CurrentStage() const
{
    switch (m_Stream) {
    case StreamKind::Loader:
        return Stage::Loader;
    case StreamKind::DspPages:
        return Stage::Dsp;
    default:
        return Stage::Code;
    }
}

bool Radio::FaultsArmed(Stage stage) const
{
    return m_Options.faultStage == stage
        && (m_Options.faultRepeat || m_StageRuns[static_cast<int>(stage)] == 1);
}

void Radio::OnDownloadMessage(const std::vector<uint8_t>& m)
{
    const uint8_t sub = m[1];
    switch (sub) {
    case 0x01: { // start of a loader or code stream
        auto a = Decide(Request::Start);
        if (a == Answer::Silent)
            return;
        if (a == Answer::Negative) {
            m_Host.Send({ 0x02, 0x0A });
            return;
        }
        // Only a start right after a finished loader stream begins code.
        StartStream(m_LoaderDone ? StreamKind::Code : StreamKind::Loader);
        m_LoaderDone = false;
        m_Host.Send({ 0x02, 0x07 });
        return;
    }
    case 0x00: { // start of the DSP pages
        auto a = Decide(Request::DspStart);
        if (a == Answer::Silent)
            return;
        if (a == Answer::Negative) {
            m_Host.Send({ 0x02, 0x0A });
            return;
        }
        StartStream(StreamKind::DspPages);
        m_LoaderDone = false;
        m_Host.Send({ 0x02, 0x07 });
        return;
    }
    case 0x0B: { // flash-type query
        auto a = Decide(Request::FlashType);
        if (a == Answer::Silent)
            return;
        if (a == Answer::Negative)
            m_Host.Send({ 0x02, 0x0A });
        else
            m_Host.Send({ 0x02, 0x0C, 0x00, m_Options.flashType });
        return;
    }
    case 0x09:
        OnBlock(m);
        return;
    case 0x05:
    case 0x06:
        OnVerdict(sub == 0x05);
        return;
    case 0x08:
        OnPageEnd();
        return;
    case 0x04:
        OnStreamEnd();
        return;
    default:
        m_Host.Warn("ignored download message " + HexOf(m));
    }
}

void Radio::StartStream(StreamKind kind)
{
    AbandonStream();
    m_Stream = kind;
    if (kind == StreamKind::Code) {
        if (m_Options.codeKind == CodeKind::Boot)
            m_StreamBoot = true;
        else if (m_Options.codeKind == CodeKind::App)
            m_StreamBoot = false;
        else
            m_StreamBoot
                = m_Options.newBootVersion && !(*m_Options.newBootVersion == m_BootVersion);
    }
    m_StreamBroken = false;
    m_StreamWritten = false;
    m_AwaitVerdict = false;
    m_ResendMode = false;
    m_Blocks = 0;
    m_Pairs = 0;
    m_PagesWritten = 0;
    m_Pair.clear();
    m_Confirmed.clear();
    Stage stage = CurrentStage();
    ++m_StageRuns[static_cast<int>(stage)];
    m_Armed = FaultsArmed(stage);
}

// An armed close or silence fault set on this received block makes the radio
// go quiet for good (dropping the line first for a close). True when it did.
bool Radio::BlockFaultStops(int block)
{
    if (!m_Armed)
        return false;
    if (m_Options.closeAfterBlock == block)
        m_Host.CloseLine();
    else if (m_Options.silentAfterBlock != block)
        return false;
    m_Silenced = true;
    return true;
}

void Radio::OnBlock(const std::vector<uint8_t>& m)
{
    if (m_Stream == StreamKind::None) {
        m_Host.Warn("data block outside a download");
        return;
    }
    if (m.size() != 2 + kBlockData) {
        m_Host.Warn("data block of " + std::to_string(m.size() - 2) + " bytes ignored");
        return;
    }
    ++m_Blocks;
    if (BlockFaultStops(m_Blocks))
        return;
    if (m_AwaitVerdict) {
        m_Host.Warn("data block while the sum verdict is due");
        m_StreamBroken = true;
    }
    if (m_ResendMode) {
        // A resend of the pair's second block; the pair stays unconfirmed.
        std::copy(m.begin() + 2, m.end(), m_Pair.begin() + kBlockData);
        m_Host.Send({ 0x02, 0x07 });
        return;
    }
    m_Pair.insert(m_Pair.end(), m.begin() + 2, m.end());
    if (m_Pair.size() < 2 * kBlockData) {
        m_Host.Send({ 0x02, 0x07 });
        return;
    }
    ++m_Pairs;
    m_PairSum = LittleEndianSum(m_Pair.data(), m_Pair.size());
    uint16_t reported = m_PairSum;
    if (m_Armed && m_Options.wrongSum == m_Pairs)
        reported = static_cast<uint16_t>(reported ^ 0x5A5A);
    m_ReportedTrueSum = reported == m_PairSum;
    m_AwaitVerdict = true;
    m_Host.Send(
        { 0x02, 0x02, static_cast<uint8_t>(reported >> 8), static_cast<uint8_t>(reported & 0xFF) });
}

void Radio::OnVerdict(bool match)
{
    if (!m_AwaitVerdict) {
        m_Host.Warn(
            std::string("sum verdict ") + (match ? "02 05" : "02 06") + " without a sum report");
        return;
    }
    m_AwaitVerdict = false;
    if (match && !m_ReportedTrueSum) {
        m_Host.Warn("the PC confirmed a wrong sum on pair " + std::to_string(m_Pairs));
        m_StreamBroken = true;
    }
    if (m_Armed && m_Options.verifyFail == m_Pairs) {
        m_Host.Send(Message(0x02, 0x0A, m_Options.verifyAddress));
        m_StreamBroken = true;
        m_Pair.clear();
        return;
    }
    if (match && m_ReportedTrueSum) {
        if (!m_StreamBroken)
            m_Confirmed.insert(m_Confirmed.end(), m_Pair.begin(), m_Pair.end());
        m_Pair.clear();
    } else if (m_Stream == StreamKind::DspPages) {
        // The DSP engine goes on after a mismatch; the pair is left out.
        m_Pair.clear();
    } else {
        m_ResendMode = true;
        m_StreamBroken = true;
    }
    m_Host.Send({ 0x02, 0x07 });
}

void Radio::OnPageEnd()
{
    if (m_Stream != StreamKind::DspPages) {
        m_Host.Warn("end of page outside the DSP pages");
        return;
    }
    if (!m_Pair.empty()) {
        m_Host.Warn("page ended inside a pair");
        m_Pair.clear();
    }
    ++m_PagesWritten;
    if (!m_Options.dspPagesDir.empty())
        WriteOut(
            m_Options.dspPagesDir + "/page" + std::to_string(m_PagesWritten) + ".bin", m_Confirmed);
    m_Confirmed.clear();
    m_AwaitVerdict = false;
    m_Host.Send({ 0x02, 0x03 });
}

void Radio::OnStreamEnd()
{
    if (m_Stream == StreamKind::None) {
        m_Host.Warn("end of download outside a download");
        return;
    }
    StreamKind kind = m_Stream;
    bool complete = !m_StreamBroken && m_Pair.empty() && !m_AwaitVerdict;
    if (!complete)
        m_Host.Warn("download ended with unconfirmed data");
    if (kind == StreamKind::DspPages) {
        m_Stream = StreamKind::None;
        m_LoaderDone = false;
        return;
    }
    AbandonStream(); // writes the output file
    if (kind == StreamKind::Loader) {
        m_LoaderDone = complete;
        return;
    }
    m_LoaderDone = false;
    if (!complete)
        return;
    if (m_StreamBoot) {
        if (m_Options.newBootVersion)
            m_BootVersion = *m_Options.newBootVersion;
        m_Host.SetBaudRate(19200);
        return;
    }
    Restart();
}

void Radio::AbandonStream()
{
    if (m_Stream == StreamKind::None)
        return;
    if (!m_StreamWritten) {
        if (m_Stream == StreamKind::Loader)
            WriteOut(m_Options.loaderOut, m_Confirmed);
        else if (m_Stream == StreamKind::Code)
            WriteOut(m_StreamBoot ? m_Options.bootOut : m_Options.codeOut, m_Confirmed);
        m_StreamWritten = true;
    }
    m_Stream = StreamKind::None;
}

void Radio::WriteOut(const std::string& path, const std::vector<uint8_t>& data)
{
    if (path.empty())
        return;
    std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(
            reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out) {
            m_Host.Warn("cannot write " + path);
            return;
        }
    }
    // Appear at once, so a test never reads half a file.
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        m_Host.Warn("cannot write " + path);
}

void Radio::Restart()
{
    m_Host.SetBaudRate(19200);
    if (m_Options.newFormatVersion)
        m_FormatVersion = *m_Options.newFormatVersion;
    double delay = m_Options.restartDelayMs / 1000.0;
    double last = 0;
    switch (m_Options.restart) {
    case RestartKind::Message:
        m_Host.Send(m_Options.restartMessage, delay);
        last = delay;
        break;
    case RestartKind::Heads:
        for (size_t i = 0; i < m_Options.controlHeads.size(); ++i) {
            last = delay + static_cast<double>(i) * m_Options.headIntervalMs / 1000.0;
            m_Host.Send({ 0x09, 0x03, 0x00, m_Options.controlHeads[i] }, last);
        }
        break;
    case RestartKind::None:
        break;
    }
    if (m_Options.exitAfterRestart)
        m_Host.ExitAfter(last + 1.0);
}

void Radio::Finish()
{
    AbandonStream();
}

// ---------------------------------------------------------------- codeplug

void Radio::OnCodeplugMessage(const std::vector<uint8_t>& m)
{
    const uint8_t sub = m[1];
    switch (sub) {
    case 0x07: // upload
    case 0x00: // download
        switch (Decide(sub == 0x00 ? Request::Download : Request::Upload)) {
        case Answer::Silent:
            return;
        case Answer::Negative:
            m_Host.Send({ 0x04, 0x20 });
            return;
        case Answer::Normal:
            break;
        }
        m_CodeplugDownload = sub == 0x00;
        m_CpBlocks = 0;
        m_CpReports = 0;
        m_CpSum = 0;
        m_Received.clear();
        {
            Stage stage = m_CodeplugDownload ? Stage::Download : Stage::Upload;
            ++m_StageRuns[static_cast<int>(stage)];
            m_Armed = FaultsArmed(stage);
        }
        if (m_CodeplugDownload)
            m_Unscrambler = std::make_unique<BlockUnscrambler>(m_Options.serial.data());
        if (m_Options.password.empty()) {
            Grant();
        } else {
            m_Codeplug_State = m_CodeplugDownload ? CodeplugState::PasswordDownload
                                                  : CodeplugState::PasswordUpload;
            m_Host.Send({ 0x03, 0x0B });
        }
        return;
    case 0x0C: // password answer
        if (m_Codeplug_State != CodeplugState::PasswordUpload
            && m_Codeplug_State != CodeplugState::PasswordDownload) {
            m_Host.Warn("password answer without a request");
            return;
        }
        for (int i = 0; i < m_Options.verdictNoise; ++i)
            m_Host.Send({ 0x07, 0x25 });
        if (m.size() == 6
            && std::vector<uint8_t>(m.begin() + 2, m.end()) == PackedPassword(m_Options.password))
            Grant();
        else
            m_Host.Send({ 0x03, 0x0B });
        return;
    case 0x08:
        if (m_Codeplug_State == CodeplugState::Uploading)
            SendUploadBlock();
        else
            m_Host.Warn("block request outside an upload");
        return;
    case 0x02:
        OnCodeplugBlock(m);
        return;
    case 0x05:
    case 0x06:
        if (m_Codeplug_State != CodeplugState::AwaitSumVerdict) {
            m_Host.Warn("codeplug sum verdict without a report");
            return;
        }
        if (sub == 0x06)
            m_Host.Warn(
                "the PC found codeplug sum report " + std::to_string(m_CpReports) + " wrong");
        m_Codeplug_State = CodeplugState::Downloading;
        m_Host.Send({ 0x03, 0x08 });
        return;
    case 0x04:
        EndCodeplugTransfer();
        return;
    default:
        m_Host.Warn("ignored codeplug message " + HexOf(m));
    }
}

void Radio::Grant()
{
    m_Host.Send({ 0x03, m_Options.grantCode });
    if (m_CodeplugDownload) {
        m_Codeplug_State = CodeplugState::Downloading;
        m_Host.Send({ 0x03, 0x08 });
    } else {
        m_Codeplug_State = CodeplugState::Uploading;
        SendUploadBlock();
    }
}

void Radio::SendUploadBlock()
{
    if (m_Armed && m_Options.silentAfterBlock > 0 && m_CpBlocks >= m_Options.silentAfterBlock) {
        m_Silenced = true;
        return;
    }
    std::vector<uint8_t> block(2 + kBlockData);
    block[0] = 0x03;
    block[1] = 0x02;
    size_t offset = static_cast<size_t>(m_CpBlocks) * kBlockData;
    for (size_t i = 0; i < kBlockData; ++i) {
        size_t at = offset + i;
        block[2 + i] = at < m_Codeplug.size() ? m_Codeplug[at] : m_Options.uploadFill;
    }
    ++m_CpBlocks;
    m_Host.Send(block);
    if (m_Armed && m_Options.closeAfterBlock == m_CpBlocks) {
        m_Host.CloseLine();
        m_Silenced = true;
    }
}

void Radio::OnCodeplugBlock(const std::vector<uint8_t>& m)
{
    if (m_Codeplug_State != CodeplugState::Downloading) {
        m_Host.Warn("codeplug block outside a download");
        return;
    }
    if (m.size() != 2 + kBlockData) {
        m_Host.Warn("codeplug block of " + std::to_string(m.size() - 2) + " bytes ignored");
        return;
    }
    ++m_CpBlocks;
    if (BlockFaultStops(m_CpBlocks))
        return;
    uint8_t block[kBlockData];
    std::copy(m.begin() + 2, m.end(), block);
    m_Unscrambler->UnscrambleBlock(block);
    if (m_Received.size() + kBlockData <= kCodeplugMax)
        m_Received.insert(m_Received.end(), block, block + kBlockData);
    else
        m_Host.Warn("codeplug download beyond 65536 bytes");
    m_CpSum = static_cast<uint16_t>(m_CpSum + BigEndianSum(block, kBlockData));
    if (m_CpBlocks % m_Options.sumEvery != 0) {
        m_Host.Send({ 0x03, 0x08 });
        return;
    }
    ++m_CpReports;
    uint16_t reported = m_CpSum;
    if (m_Armed && m_Options.wrongSum == m_CpReports)
        reported = static_cast<uint16_t>(reported ^ 0x5A5A);
    m_CpSum = 0;
    m_Codeplug_State = CodeplugState::AwaitSumVerdict;
    m_Host.Send(
        { 0x03, 0x03, static_cast<uint8_t>(reported >> 8), static_cast<uint8_t>(reported & 0xFF) });
}

void Radio::EndCodeplugTransfer()
{
    bool wasDownload = m_Codeplug_State == CodeplugState::Downloading
        || m_Codeplug_State == CodeplugState::AwaitSumVerdict;
    m_Codeplug_State = CodeplugState::Idle;
    m_Unscrambler.reset();
    if (!wasDownload || m_Received.empty())
        return;
    m_Codeplug = m_Received;
    WriteOut(m_Options.codeplugOut, m_Codeplug);
    // A word that does not hold what was written, for the PC's verify.
    const size_t corrupt = 2 * static_cast<size_t>(m_Options.corruptStoredWord) + 1;
    if (m_Options.corruptStoredWord >= 0 && corrupt < m_Codeplug.size())
        m_Codeplug[corrupt] ^= 0x01;
    if (m_Options.exitAfterCodeplug)
        m_Host.ExitAfter(0);
}

} // namespace radiosim
