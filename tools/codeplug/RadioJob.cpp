#include "tools/codeplug/RadioJob.h"

#include "link/CommSession.h"
#include "link/SimpleEventLoop.h"
#include "workflow/CodeplugJobs.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

constexpr int kLineRate = 19200;

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

} // namespace

int RunRadioJob(RadioJob job, const std::string& file, const RadioJobOptions& options)
{
    auto fail = [](CodeplugJobResult result, const std::string& text) {
        std::fprintf(stderr, "corvel-codeplug: %s\n", text.c_str());
        return static_cast<int>(result);
    };

    std::string password;
    if (!options.passwordFile.empty()) {
        std::ifstream in(options.passwordFile);
        std::string line;
        if (!in || !std::getline(in, line))
            return fail(CodeplugJobResult::Refused,
                "cannot read the password from " + options.passwordFile);
        password = Trimmed(line);
    }

    // Step 1 of a write comes before the port is even opened.
    CodeplugFileImage image;
    if (job == RadioJob::Write) {
        std::string error;
        if (!LoadCodeplugForWrite(file, image, error))
            return fail(CodeplugJobResult::Refused, error + "; nothing was written");
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
    std::string message;
    if (!session.OpenDevice(options.port, kLineRate, false, message))
        return fail(CodeplugJobResult::LinkFailed,
            "cannot open COM" + std::to_string(options.port) + ": " + message);
    session.SetFraming(CommSession::kFramingFramed);
    session.SetReceiveEnable(true);

    ToolHost host(password, !options.passwordFile.empty());
    CodeplugWriteOptions writeOptions;
    writeOptions.otherRadio = options.otherRadio;
    const CodeplugJobReport report = job == RadioJob::Read
        ? ReadCodeplugJob(session, host, file)
        : WriteCodeplugJob(session, host, image, writeOptions);
    session.Close();
    host.EndProgress();
    if (stopSignal != 0)
        return fail(
            report.result == CodeplugJobResult::Done ? CodeplugJobResult::Refused : report.result,
            report.message + " (stopped by signal " + std::to_string(stopSignal) + ")");
    if (report.anotherRadio)
        return fail(report.result, report.message + " (give --other-radio to write it anyway)");
    if (report.result != CodeplugJobResult::Done)
        return fail(report.result, report.message);
    std::printf("%s\n", report.message.c_str());
    return 0;
}
