#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/CommSession.h"
#include "link/QUVCommDevice.h"
#include "link/SimpleEventLoop.h"
#include "tests/support/ScriptedLink.h"
#include "tests/support/TestFrames.h"

using Bytes = std::vector<uint8_t>;

// Known-answer data of the scrambler (see data/make_keystream.py).
struct KeystreamData {
    Bytes keystream;
    Bytes plain[2];
    Bytes scrambled[2];
};
KeystreamData LoadKeystreamData(const std::string& identifier);

// Plays the radio's side of the codeplug exchange behind the link session.
// It decodes the frames the PC writes with the suites' own framing code,
// answers them at once, and records every message and every block it
// receives.
class FakeRadio : public QUVCommDevice {
public:
    // --- behaviour, set before the transfer ---
    Bytes codeplug; // what an upload reads out
    std::optional<std::array<uint8_t, 4>> password; // BCD answer it wants
    Bytes keystream; // to unscramble received blocks
    int checksumEvery = 0; // (3, 3) after every n blocks
    std::vector<int> wrongReports; // report numbers sent off by one
    // Messages sent before the answer to the PC's n-th block request
    // (upload) or n-th block (download), 0-based; with injectReplaces the
    // normal answer is left out.
    std::optional<int> injectAt;
    std::vector<Bytes> inject;
    bool injectReplaces = false;

    // --- what happened ---
    std::vector<Bytes> received; // every message from the PC (code + data)
    std::vector<Bytes> rawBlocks;
    Bytes plain; // unscrambled download
    std::vector<uint8_t> verdicts; // 5 or 6, one per (3, 3) report

    bool IsOpen() override { return true; }
    bool CharReady() override { return !m_Out.empty(); }
    int GetChar(uint8_t& ch) override;
    int Write(const uint8_t* buffer, int count) override;

    void Send(const Bytes& message);
    // The codes (command, sub-code) of the received messages, "3,7 3,8 ...".
    std::string Trace() const;
    int Count(uint8_t command, uint8_t subCode) const;

private:
    void Handle(const Bytes& message);
    void Grant();
    void NextUploadBlock();
    void TakeBlock(const uint8_t* data);
    bool Inject();

    enum class Mode { Idle, Upload, Download };
    Mode m_Mode = Mode::Idle;
    testframes::PcFrameReader m_Reader;
    std::deque<uint8_t> m_Out;
    int m_UploadBlock = 0;
    int m_Requests = 0;
    size_t m_KeyUsed = 0;
    uint16_t m_Sum = 0;
    int m_Reports = 0;
};

// A link session on a fake radio (its `device`), pumped by a Qt-free loop.
using FakeLink = testsupport::ScriptedLink<FakeRadio>;
