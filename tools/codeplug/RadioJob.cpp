#include "tools/codeplug/RadioJob.h"

#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "platform/ComNamespace.h"
#include "platform/MessageBox.h"
#include "platform/UsbAdapterNames.h"
#include "workflow/CodeplugJobs.h"
#include "workflow/PortClaim.h"
#include "workflow/RunRecorder.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal)
{
    stopSignal = signal;
}

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// Reads one line from standard input; with `hidden` (a terminal) the typed
// characters are not echoed. False at the end of input.
bool ReadLine(std::string& line, bool hidden)
{
    termios saved {};
    const bool quiet = hidden && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    return got;
}

// Steps and byte counts on a terminal, result lines always.
class ToolHost : public ICodeplugJobHost {
public:
    ToolHost(const std::string& password, bool havePassword)
        : m_Terminal(::isatty(STDOUT_FILENO) == 1)
        , m_Password(password)
        , m_HavePassword(havePassword)
    {
    }

    void Step(const std::string& text) override
    {
        if (!m_Terminal)
            return;
        EndProgress();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

    void Note(const std::string& text) override
    {
        EndProgress();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

    void Progress(int32_t bytes, int32_t total) override
    {
        if (!m_Terminal)
            return;
        if (total > 0)
            std::printf("\r%d of %d bytes", bytes, total);
        else
            std::printf("\r%d bytes", bytes);
        std::fflush(stdout);
        m_ProgressShown = true;
    }

    bool AskPassword(std::string& entry) override
    {
        EndProgress();
        if (m_HavePassword) {
            entry = m_Password;
            return true;
        }
        const bool terminal = ::isatty(STDIN_FILENO) == 1;
        if (terminal) {
            std::fprintf(stderr, "Codeplug password: ");
            std::fflush(stderr);
        }
        std::string line;
        if (!ReadLine(line, terminal))
            return false;
        entry = Trimmed(line);
        return true;
    }

    bool Cancelled() override { return stopSignal != 0; }

    void EndProgress()
    {
        if (m_ProgressShown) {
            std::printf("\n");
            m_ProgressShown = false;
        }
    }

private:
    bool m_Terminal;
    std::string m_Password;
    bool m_HavePassword;
    bool m_ProgressShown = false;
};

// The claim's side of the tool: there is no port list to show (the port is
// the one on the command line), and a port message becomes the reason of the
// failed open.
class ClaimSide : public IPortList, public platform::IMessageBoxes {
public:
    void SetItems(const std::vector<std::string>&) override { }
    int SelectedIndex() const override { return -1; }
    void SetSelectedIndex(int) override { }
    platform::MessageAnswer ShowMessage(const std::string&, const std::string& text,
        platform::MessageIcon, platform::MessageButtons) override
    {
        message = text;
        return platform::MessageAnswer::Ok;
    }

    std::string message = CommSession::kTextPortError;
};

// The radio family whose way of opening a line the port needs: that of a
// USB programming adapter of the 4600 series behind it, else the direct 4400
// way.
uint8_t FamilyOfPort(int port)
{
    const std::optional<std::string> device = platform::ComDevicePath(port);
    const std::optional<platform::UsbAdapter> adapter
        = device ? platform::UsbAdapterOf(*device) : std::nullopt;
    uint8_t type = PortClaim::kAdapterNone;
    if (adapter)
        PortClaim::ParseAdapterName(adapter->product + " (COM" + std::to_string(port) + ")", type);
    return type == PortClaim::kAdapter4600 ? 1 : 0;
}

} // namespace

int RunRadioJob(RadioJob job, const std::string& file, const RadioJobOptions& options)
{
    std::string password;
    bool passwordRead = true;
    if (!options.passwordFile.empty()) {
        std::ifstream in(options.passwordFile);
        std::string line;
        passwordRead = in && std::getline(in, line);
        password = Trimmed(line);
    }
    ToolHost host(password, !options.passwordFile.empty());
    CodeplugJobRecorder recorder(host, job == RadioJob::Write, options.port);
    CodeplugJobReport report;
    // Every run ends here: its result line and its history record.
    auto end = [&](CodeplugJobResult result, const std::string& text) {
        const int code = static_cast<int>(result);
        std::fprintf(code == 0 ? stdout : stderr, "%s%s\n",
            code == 0 ? "" : "corvel-codeplug: ", text.c_str());
        history::Append(recorder.Finish(report, code, text, stopSignal != 0));
        return code;
    };
    if (!passwordRead)
        return end(
            CodeplugJobResult::Refused, "cannot read the password from " + options.passwordFile);

    // Step 1 of a write comes before the port is even opened.
    CodeplugFileImage image;
    if (job == RadioJob::Write) {
        std::string error;
        if (!LoadCodeplugForWrite(file, image, error))
            return end(CodeplugJobResult::Refused, error + "; nothing was written");
    }

    // A stop signal ends the wait in progress; the job then ends the way a
    // failed transfer does and leaves no part files (every file is written
    // whole or not at all).
    struct sigaction action { };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(signal, &action, nullptr);

    CommSession session;
    SimpleEventLoop loop;
    loop.SetPumpHook([&session] {
        if (stopSignal != 0)
            session.SetReceiveEnable(false);
    });
    session.SetMessagePump(&loop);
    // The line opens as the updater opens it for the radio on this port; the
    // codeplug path stays at the line rate.
    ClaimSide side;
    PortClaim claim(session, nullptr, side, side);
    claim.SetTarget(FamilyOfPort(options.port), 0);
    claim.SetConsoleMode(true, options.port);
    if (!claim.ClaimAndOpenPort(true)) {
        claim.ReleasePort();
        return end(CodeplugJobResult::LinkFailed,
            "cannot open COM" + std::to_string(options.port) + ": " + side.message);
    }

    CodeplugWriteOptions writeOptions;
    writeOptions.otherRadio = options.otherRadio;
    report = job == RadioJob::Read ? ReadCodeplugJob(session, recorder, file)
                                   : WriteCodeplugJob(session, recorder, image, writeOptions);
    claim.ReleasePort();
    host.EndProgress();
    if (stopSignal != 0)
        return end(
            report.result == CodeplugJobResult::Done ? CodeplugJobResult::Refused : report.result,
            report.message + " (stopped by signal " + std::to_string(stopSignal) + ")");
    if (report.anotherRadio)
        return end(report.result, report.message + " (give --other-radio to write it anyway)");
    return end(report.result, report.message);
}
