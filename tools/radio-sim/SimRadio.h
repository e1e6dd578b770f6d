#pragma once

#include "SimOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace radiosim {

class BlockUnscrambler;

// What the radio asks of the line it sits on.
class RadioHost {
public:
    virtual ~RadioHost() = default;
    // Sends one message, now or after a delay.
    virtual void Send(const std::vector<uint8_t>& message, double delaySeconds = 0) = 0;
    // The radio's serial speed changed (baud-rate message, restart).
    virtual void SetBaudRate(long baud) = 0;
    // Closes the line once everything queued has gone, then ends.
    virtual void CloseLine() = 0;
    // Ends after the given time.
    virtual void ExitAfter(double seconds) = 0;
    // A remark for standard error.
    virtual void Warn(const std::string& text) = 0;
};

// The radio's behaviour: takes the PC's messages one by one and answers
// through its host.
class Radio {
public:
    Radio(const Options& options, RadioHost& host);
    ~Radio();
    Radio(const Radio&) = delete;
    Radio& operator=(const Radio&) = delete;

    // Loads the codeplug file; false with a text when it cannot.
    bool Load(std::string& error);
    // One valid message from the PC (code bytes and data).
    void OnMessage(const std::vector<uint8_t>& message);
    // Writes what a broken stream confirmed so far; called before the end.
    void Finish();

private:
    enum class Answer { Normal, Negative, Silent };
    enum class StreamKind { None, Loader, Code, DspPages };
    enum class CodeplugState {
        Idle,
        PasswordUpload,
        PasswordDownload,
        Uploading,
        Downloading,
        AwaitSumVerdict
    };

    Answer Decide(Request request);
    void AnswerQuery(Request request, uint8_t replySub, const std::vector<uint8_t>& data);

    void OnDownloadMessage(const std::vector<uint8_t>& m);
    void StartStream(StreamKind kind);
    void OnBlock(const std::vector<uint8_t>& m);
    bool BlockFaultStops(int block);
    void OnVerdict(bool match);
    void OnStreamEnd();
    void OnPageEnd();
    void AbandonStream();
    bool FaultsArmed(Stage stage) const;
    Stage CurrentStage() const;
    void WriteOut(const std::string& path, const std::vector<uint8_t>& data);
    void Restart();

    void OnCodeplugMessage(const std::vector<uint8_t>& m);
    void Grant();
    void SendUploadBlock();
    void OnCodeplugBlock(const std::vector<uint8_t>& m);
    void EndCodeplugTransfer();

    const Options& m_Options;
    RadioHost& m_Host;
    bool m_Silenced = false; // a fault made the radio go quiet for good
    int m_Negative[static_cast<int>(Request::Count)];
    int m_Silent[static_cast<int>(Request::Count)];

    Version m_BootVersion;
    Version m_FormatVersion;

    // Flash and DSP streams.
    StreamKind m_Stream = StreamKind::None;
    bool m_LoaderDone = false;
    bool m_StreamBoot = false; // the code stream carries boot code
    bool m_StreamBroken = false; // a pair was refused or a verify failure was reported
    bool m_StreamWritten = false; // the stream's output file is up to date
    bool m_AwaitVerdict = false;
    bool m_ResendMode = false;
    bool m_ReportedTrueSum = true;
    int m_Blocks = 0;
    int m_Pairs = 0;
    uint16_t m_PairSum = 0;
    std::vector<uint8_t> m_Pair; // the blocks of the pair in progress
    std::vector<uint8_t> m_Confirmed; // confirmed data of the stream or page
    int m_PagesWritten = 0;
    int m_StageRuns[5] = {};
    bool m_Armed = false; // faults active in this run of the stage

    // Codeplug.
    std::vector<uint8_t> m_Codeplug;
    CodeplugState m_Codeplug_State = CodeplugState::Idle;
    bool m_CodeplugDownload = false; // the transfer in progress is a download
    int m_CpBlocks = 0;
    int m_CpReports = 0;
    uint16_t m_CpSum = 0;
    std::vector<uint8_t> m_Received;
    std::unique_ptr<BlockUnscrambler> m_Unscrambler;
};

// The four answer bytes the PC sends for a password of digits.
std::vector<uint8_t> PackedPassword(const std::string& digits);

} // namespace radiosim
