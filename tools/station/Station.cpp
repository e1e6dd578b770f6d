#include "tools/station/Station.h"

#include "platform/ComNamespace.h"
#include "platform/UsbAdapterNames.h"
#include "tools/station/View.h"
#include "workflow/History.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace station {

namespace fs = std::filesystem;

namespace {

constexpr auto kSecondStopWindow = std::chrono::seconds(2);
constexpr int kPollMs = 250;

// ---- Signals ---------------------------------------------------------------

int signalPipe[2] = { -1, -1 };

void OnSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// Routes SIGINT, SIGTERM, SIGHUP and SIGCHLD into a pipe the main loop
// watches, and puts the old handlers back when it goes.
class SignalRoute {
public:
    SignalRoute()
    {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
        }
        struct sigaction action { };
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &action, &m_Old[i]);
        }
        struct sigaction ignore { };
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &m_OldPipe);
    }
    ~SignalRoute()
    {
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &m_Old[i], nullptr);
        }
        ::sigaction(SIGPIPE, &m_OldPipe, nullptr);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    SignalRoute(const SignalRoute&) = delete;
    SignalRoute& operator=(const SignalRoute&) = delete;

    static constexpr int kSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGCHLD };

private:
    struct sigaction m_Old[std::size(kSignals)] {};
    struct sigaction m_OldPipe { };
};

// ---- Jobs ------------------------------------------------------------------

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Starts the console job of one port: RELEASE /d /sp N /c in the port's
// folder, standard input at end of file, standard output and error into a
// pipe, in a process group of its own (so that a Ctrl-C on the terminal
// reaches the station only, which stops the jobs itself), and ended with
// SIGTERM should the station die first. Without a display, so that a message
// box comes out on the console instead of waiting for a click.
bool StartJob(Row& row, const std::string& release, std::string& error)
{
    std::error_code folderError;
    fs::create_directories(row.dir, folderError);
    if (folderError) {
        error = "cannot create " + row.dir.string() + ": " + folderError.message();
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string port = std::to_string(row.port);
    const std::string dir = row.dir.string();
    const char* argv[] = { release.c_str(), "/d", "/sp", port.c_str(), "/c", nullptr };
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("cannot start a job: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        CloseFd(input);
        return false;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(2);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int number : { SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE }) {
            ::signal(number, SIG_DFL);
        }
        if (input >= 0) {
            ::dup2(input, STDIN_FILENO);
        }
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(127);
        }
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::execv(release.c_str(), const_cast<char* const*>(argv));
        const char text[] = "corvel-station: cannot run the release\n";
        const ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
        (void)ignored;
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(pipeFds[1]);
    if (input >= 0) {
        ::close(input);
    }
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);

    row.pid = pid;
    row.out = pipeFds[0];
    CloseFd(row.log);
    row.log = ::open(
        (row.dir / "console.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    row.exited = false;
    row.returnCode = -1;
    row.signal = 0;
    row.stream = ConsoleStream();
    ++row.runs;
    row.start = row.stepStart = Clock::now();
    row.startedWall = std::time(nullptr);
    row.step.clear();
    row.percent = -1;
    row.lastText.clear();
    row.record.reset();
    row.outcome.clear();
    return true;
}

// Ends every job still running at once and waits for it: the last word on
// every path out of the station, exceptions included.
class JobReaper {
public:
    explicit JobReaper(std::vector<Row>& rows)
        : m_Rows(rows)
    {
    }
    ~JobReaper()
    {
        for (Row& row : m_Rows) {
            if (row.pid > 0) {
                ::kill(-row.pid, SIGKILL);
                ::kill(row.pid, SIGKILL);
                int status = 0;
                while (::waitpid(row.pid, &status, 0) < 0 && errno == EINTR) { }
                row.pid = -1;
            }
            CloseFd(row.out);
            CloseFd(row.log);
        }
    }
    JobReaper(const JobReaper&) = delete;
    JobReaper& operator=(const JobReaper&) = delete;

private:
    std::vector<Row>& m_Rows;
};

void SignalJobs(std::vector<Row>& rows, int number)
{
    for (Row& row : rows) {
        if (row.pid > 0 && !row.exited) {
            ::kill(-row.pid, number);
        }
    }
}

// The history records appended since `offset` (the size of the file when the
// station started).
std::vector<nlohmann::json> HistorySince(const std::string& path, std::streamoff offset)
{
    std::vector<nlohmann::json> records;
    std::ifstream in(path);
    if (!in) {
        return records;
    }
    in.seekg(offset);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_object()) {
            records.push_back(std::move(json));
        }
    }
    return records;
}

std::streamoff FileSize(const std::string& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : static_cast<std::streamoff>(size);
}

std::string JsonText(const nlohmann::json& json, const char* key)
{
    const auto it = json.find(key);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

// ---- Helpers ---------------------------------------------------------------

std::optional<std::vector<int>> ParsePorts(
    const std::vector<std::string>& words, std::string& error)
{
    std::vector<int> ports;
    std::set<int> seen;
    const auto number = [](std::string text) -> int {
        if (text.size() > 3 && (text.rfind("COM", 0) == 0 || text.rfind("com", 0) == 0)) {
            text = text.substr(3);
        }
        if (text.empty() || text.size() > 3
            || text.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        const int value = std::stoi(text);
        return value >= platform::kFirstComPort && value <= platform::kLastComPort ? value : -1;
    };
    for (const std::string& word : words) {
        const size_t dash = word.find('-');
        int first = 0;
        int last = 0;
        if (dash == std::string::npos) {
            first = last = number(word);
        } else {
            first = number(word.substr(0, dash));
            last = number(word.substr(dash + 1));
        }
        if (first < 0 || last < 0) {
            error = "not a port number from 1 to 255: " + word;
            return std::nullopt;
        }
        if (last < first) {
            error = "the range runs backwards: " + word;
            return std::nullopt;
        }
        for (int port = first; port <= last; ++port) {
            if (!seen.insert(port).second) {
                error = platform::ComPortName(port) + " is given twice";
                return std::nullopt;
            }
            ports.push_back(port);
        }
    }
    if (ports.empty()) {
        error = "no port given";
        return std::nullopt;
    }
    return ports;
}

std::vector<int> ProgrammingAdapterPorts(const std::string& family)
{
    std::vector<int> ports;
    const std::string product = "USB RPI QUV " + family;
    for (int port = platform::kFirstComPort; port <= platform::kLastComPort; ++port) {
        const std::optional<std::string> device = platform::ComDevicePath(port);
        if (!device) {
            continue;
        }
        const std::optional<platform::UsbAdapter> adapter = platform::UsbAdapterOf(*device);
        if (adapter && adapter->product == product && platform::ComPortOpens(port)) {
            ports.push_back(port);
        }
    }
    return ports;
}

std::string DefaultWorkDirName(std::time_t when)
{
    return history::FormatUtc(when, "station-%Y%m%dT%H%M%SZ");
}

std::string Duration(double seconds)
{
    const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(
            text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

std::string OutcomeWithoutRecord(const Row& row, bool stopRequested)
{
    if (stopRequested) {
        return "stopped";
    }
    switch (row.returnCode) {
    case 0:
        return "updated";
    case 1:
        return "boot-upgraded";
    default:
        // No record: the job could not say how far it came.
        return "failed";
    }
}

int StationReturnCode(const std::vector<Row>& rows)
{
    bool bootUpgraded = false;
    for (const Row& row : rows) {
        if (row.outcome == "boot-upgraded") {
            bootUpgraded = true;
        } else if (row.outcome != "updated") {
            return 2;
        }
    }
    return bootUpgraded ? 1 : 0;
}

std::string SummaryTable(const std::vector<Row>& rows)
{
    const auto text = [](const Row& row, const char* key) {
        if (!row.record) {
            return std::string("-");
        }
        const std::string value = JsonText(*row.record, key);
        return value.empty() ? std::string("-") : value;
    };
    std::string table;
    char line[4096];
    std::snprintf(line, sizeof line, "%-6s %-16s %-20s %8s  %s\n", "Port", "Radio", "Outcome",
        "Duration", "Backup / trace");
    table += line;
    for (const Row& row : rows) {
        const std::string identifier = row.identifier.empty() ? "-" : row.identifier;
        const double seconds = std::chrono::duration<double>(row.end - row.start).count();
        std::snprintf(line, sizeof line, "%-6s %-16s %-20s %8s  %s\n",
            platform::ComPortName(row.port).c_str(), identifier.c_str(), row.outcome.c_str(),
            row.runs > 0 ? Duration(seconds).c_str() : "-", text(row, "backup").c_str());
        table += line;
        const std::string trace = text(row, "trace");
        if (trace != "-") {
            std::snprintf(
                line, sizeof line, "%-6s %-16s %-20s %8s  %s\n", "", "", "", "", trace.c_str());
            table += line;
        }
    }
    return table;
}

// ---- The station -----------------------------------------------------------

namespace {

class Station {
public:
    Station(const Options& options, std::vector<Row>& rows, View& view)
        : m_Options(options)
        , m_Rows(rows)
        , m_View(view)
        , m_HistoryPath(history::HistoryFilePath())
        , m_HistoryOffset(FileSize(m_HistoryPath))
    {
    }

    void Run()
    {
        for (Row& row : m_Rows) {
            Start(row);
        }
        for (;;) {
            Loop();
            if (m_StopRequested) {
                break;
            }
            // --again runs each port once more at most.
            std::vector<Row*> again;
            for (Row& row : m_Rows) {
                if (row.outcome == "boot-upgraded" && (!m_Options.again || row.runs < 2)) {
                    again.push_back(&row);
                }
            }
            if (again.empty() || !OfferAgain(again)) {
                break;
            }
            for (Row* row : again) {
                Start(*row);
            }
        }
        m_View.Notice("");
        m_View.Refresh(m_Rows, true);
    }

    bool StopRequested() const { return m_StopRequested; }

private:
    void Start(Row& row)
    {
        std::string error;
        if (!StartJob(row, m_Options.release, error)) {
            ++row.runs;
            row.start = row.end = Clock::now();
            row.lastText = error;
            row.outcome = "failed";
            m_View.Ended(row);
            return;
        }
        m_View.Started(row);
    }

    // Runs until every job has ended.
    void Loop()
    {
        while (AnyRunning()) {
            std::vector<pollfd> fds;
            fds.push_back({ signalPipe[0], POLLIN, 0 });
            for (const Row& row : m_Rows) {
                if (row.out >= 0) {
                    fds.push_back({ row.out, POLLIN, 0 });
                }
            }
            const int ready = ::poll(fds.data(), fds.size(), kPollMs);
            if (ready < 0 && errno != EINTR) {
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            }
            HandleSignals();
            for (Row& row : m_Rows) {
                if (row.out >= 0) {
                    ReadOutput(row);
                }
            }
            Reap();
            m_View.Refresh(m_Rows, false);
        }
    }

    bool AnyRunning() const
    {
        for (const Row& row : m_Rows) {
            if (row.pid > 0) {
                return true;
            }
        }
        return false;
    }

    void HandleSignals()
    {
        char numbers[64];
        ssize_t n = 0;
        while ((n = ::read(signalPipe[0], numbers, sizeof numbers)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (numbers[i] != SIGCHLD) {
                    Stop();
                }
            }
        }
    }

    // The first Ctrl-C (or SIGTERM, SIGHUP) stops every job as Stop does; a
    // second one within 2 s ends them at once.
    void Stop()
    {
        const Clock::time_point now = Clock::now();
        if (m_StopRequested && now - m_LastStop <= kSecondStopWindow) {
            SignalJobs(m_Rows, SIGKILL);
            m_View.Notice("Ending every job at once.");
        } else {
            SignalJobs(m_Rows, SIGTERM);
            m_View.Notice("Stopping every job (Ctrl-C again within 2 s ends them at once)...");
        }
        m_StopRequested = true;
        m_LastStop = now;
        m_View.Refresh(m_Rows, true);
    }

    void ReadOutput(Row& row)
    {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(row.out, buffer, sizeof buffer);
            if (n > 0) {
                if (row.log >= 0) {
                    const ssize_t ignored = ::write(row.log, buffer, static_cast<size_t>(n));
                    (void)ignored;
                }
                Apply(row, row.stream.Feed(std::string_view(buffer, static_cast<size_t>(n))));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            // End of the stream.
            Apply(row, row.stream.Finish());
            CloseFd(row.out);
            CloseFd(row.log);
            return;
        }
    }

    void Apply(Row& row, const std::vector<ConsoleStream::Event>& events)
    {
        for (const ConsoleStream::Event& event : events) {
            if (event.kind == ConsoleStream::Event::Kind::Step) {
                row.step = event.text;
                row.percent = -1;
                row.stepStart = Clock::now();
                const std::string identifier = IdentifierInText(event.text);
                if (!identifier.empty()) {
                    row.identifier = identifier;
                }
            } else if (event.kind == ConsoleStream::Event::Kind::Progress) {
                row.percent = event.percent;
            } else {
                row.lastText = event.text;
            }
            m_View.Event(row, event);
        }
    }

    void Reap()
    {
        for (Row& row : m_Rows) {
            if (row.pid <= 0) {
                continue;
            }
            if (!row.exited) {
                int status = 0;
                const pid_t done = ::waitpid(row.pid, &status, WNOHANG);
                if (done == row.pid) {
                    row.exited = true;
                    row.end = Clock::now();
                    if (WIFEXITED(status)) {
                        row.returnCode = WEXITSTATUS(status);
                    } else if (WIFSIGNALED(status)) {
                        row.signal = WTERMSIG(status);
                    }
                }
            }
            if (row.exited && row.out >= 0) {
                // What the job wrote last is still in the pipe.
                ReadOutput(row);
            }
            if (row.exited && row.out < 0) {
                Finish(row);
            }
        }
    }

    void Finish(Row& row)
    {
        const std::string started = history::IsoUtc(row.startedWall - 1);
        for (const nlohmann::json& record : HistorySince(m_HistoryPath, m_HistoryOffset)) {
            const auto pid = record.find("pid");
            if (pid != record.end() && pid->is_number_integer()
                && pid->get<long long>() == static_cast<long long>(row.pid)
                && JsonText(record, "started") >= started) {
                row.record = record;
            }
        }
        if (row.record) {
            row.outcome = JsonText(*row.record, "outcome");
            const auto radio = row.record->find("radio");
            if (radio != row.record->end() && radio->is_object()) {
                const std::string identifier = JsonText(*radio, "identifier");
                if (!identifier.empty()) {
                    row.identifier = identifier;
                }
            }
            const std::string finalText = JsonText(*row.record, "final_text");
            if (!finalText.empty()) {
                row.lastText = finalText;
            }
            row.records.push_back(*row.record);
        }
        if (row.outcome.empty()) {
            row.outcome = OutcomeWithoutRecord(row, m_StopRequested);
        }
        row.pid = -1;
        m_View.Ended(row);
    }

    // Offers to run the boot-upgraded ports again: at once with --again
    // (once per port), on Enter on a terminal.
    bool OfferAgain(const std::vector<Row*>& rows)
    {
        std::string ports;
        for (const Row* row : rows) {
            ports += (ports.empty() ? "" : " ") + platform::ComPortName(row->port);
        }
        if (m_Options.again) {
            m_View.Notice("Boot code upgraded on " + ports + ": running them again.");
            return true;
        }
        if (m_View.InputFd() < 0) {
            return false;
        }
        m_View.Notice("Boot code upgraded on " + ports
            + ": put the radios back into bootload mode, then press Enter to run them again"
              " (q or Ctrl-C: finish).");
        m_View.Refresh(m_Rows, true);
        for (;;) {
            pollfd fds[2] = { { signalPipe[0], POLLIN, 0 }, { m_View.InputFd(), POLLIN, 0 } };
            if (::poll(fds, 2, kPollMs) < 0 && errno != EINTR) {
                return false;
            }
            char numbers[64];
            ssize_t n = 0;
            while ((n = ::read(signalPipe[0], numbers, sizeof numbers)) > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    if (numbers[i] != SIGCHLD) {
                        return false;
                    }
                }
            }
            if (fds[1].revents != 0) {
                const int key = m_View.ReadKey();
                if (key != 0) {
                    m_View.Notice("");
                    return key > 0;
                }
            }
            m_View.Refresh(m_Rows, false);
        }
    }

    const Options& m_Options;
    std::vector<Row>& m_Rows;
    View& m_View;
    std::string m_HistoryPath;
    std::streamoff m_HistoryOffset;
    bool m_StopRequested = false;
    Clock::time_point m_LastStop;
};

} // namespace

int RunStation(const Options& options)
{
    std::vector<Row> rows;
    for (const int port : options.ports) {
        Row row;
        row.port = port;
        row.device = platform::ComDevicePath(port).value_or("");
        if (!row.device.empty()) {
            if (const auto adapter = platform::UsbAdapterOf(row.device)) {
                row.adapter = adapter->product;
            }
        }
        row.dir = options.workDir / platform::ComPortName(port);
        rows.push_back(std::move(row));
    }

    // The signals go to the station before a terminal library looks at them.
    SignalRoute signals;
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    const std::string title = "Corvel update station: "
        + fs::path(options.release).filename().string() + " in " + options.workDir.string();
    std::unique_ptr<View> view;
    if (terminal && !options.plain && !options.json) {
        view = MakeLiveView(title);
    }
    if (!view) {
        view = MakePlainView(::isatty(STDIN_FILENO) != 0 && terminal && !options.json);
    }

    {
        JobReaper reaper(rows);
        Station station(options, rows, *view);
        try {
            station.Run();
        } catch (...) {
            view->Close();
            throw;
        }
    }
    view->Close();

    if (options.json) {
        nlohmann::json all = nlohmann::json::array();
        for (const Row& row : rows) {
            for (const nlohmann::json& record : row.records) {
                all.push_back(record);
            }
        }
        std::printf("%s\n", all.dump(2).c_str());
    } else {
        std::printf("\n%s", SummaryTable(rows).c_str());
    }
    std::fflush(stdout);
    return StationReturnCode(rows);
}

} // namespace station
