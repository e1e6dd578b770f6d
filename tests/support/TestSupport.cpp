#include "tests/support/TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "corvel-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    m_Path = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(m_Path, ec);
}

SmallFilesystem::SmallFilesystem(std::uint64_t bytes)
{
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", m_Dir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
        m_Mounted = true;
        return;
    }
    rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
        m_OldLimit = limit.rlim_cur;
        limit.rlim_cur = bytes;
        signal(SIGXFSZ, SIG_IGN);
        m_Limited = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
}

void SmallFilesystem::Grow(std::uint64_t bytes)
{
    if (m_Mounted) {
        const std::string options = "size=" + std::to_string(bytes);
        mount("tmpfs", m_Dir.Path().c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV,
            options.c_str());
    } else if (m_Limited) {
        rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = m_OldLimit;
        setrlimit(RLIMIT_FSIZE, &limit);
        m_Limited = false;
    }
}

SmallFilesystem::~SmallFilesystem()
{
    if (m_Mounted)
        umount2(m_Dir.Path().c_str(), MNT_DETACH);
    if (m_Limited) {
        rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = m_OldLimit;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
}

PtyPair::PtyPair()
{
    m_Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0)
        throw std::runtime_error("posix_openpt failed");
    char name[128];
    if (ptsname_r(m_Master, name, sizeof name) != 0)
        throw std::runtime_error("ptsname_r failed");
    m_SlavePath = name;
    // Raw mode on the slave so that no byte is translated; keep one slave
    // descriptor open so the master does not see a hang-up between opens.
    m_KeepSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_KeepSlave >= 0) {
        termios t {};
        tcgetattr(m_KeepSlave, &t);
        cfmakeraw(&t);
        tcsetattr(m_KeepSlave, TCSANOW, &t);
    }
    int flags = fcntl(m_Master, F_GETFL);
    fcntl(m_Master, F_SETFL, flags | O_NONBLOCK);
}

PtyPair::~PtyPair()
{
    if (m_KeepSlave >= 0)
        close(m_KeepSlave);
    CloseMaster();
}

void PtyPair::CloseMaster()
{
    if (m_Master >= 0)
        close(m_Master);
    m_Master = -1;
}

void PtyPair::Write(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_Master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p { m_Master, POLLOUT, 0 };
            poll(&p, 1, 100);
        } else {
            throw std::runtime_error("write to pty master failed");
        }
    }
}

std::vector<uint8_t> PtyPair::Read(size_t count, std::chrono::milliseconds timeout)
{
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p { m_Master, POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buf[4096];
        ssize_t n = read(m_Master, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

namespace {

void ReadAll(int fd, std::string& into)
{
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            into.append(buf, static_cast<size_t>(n));
        else
            return;
    }
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
    const std::map<std::string, std::string>& env, const std::string& input,
    std::chrono::milliseconds timeout, const fs::path& workDir, const OutputWatch& watch)
{
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        setpgid(0, 0);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(127);
        for (const auto& [k, v] : env) {
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    // Feed the input, then close it so the program sees end of input.
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t ignored = write(inPipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(inPipe[1]);

    ProcessResult result;
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pollfd fds[2] = { { outPipe[0], POLLIN, 0 }, { errPipe[0], POLLIN, 0 } };
        poll(fds, 2, 20);
        const size_t before = result.out.size();
        ReadAll(outPipe[0], result.out);
        ReadAll(errPipe[0], result.err);
        if (watch && result.out.size() > before)
            watch(result.out, pid);
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
    }
    ReadAll(outPipe[0], result.out);
    ReadAll(errPipe[0], result.err);
    close(outPipe[0]);
    close(errPipe[0]);
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitCode = 128 + WTERMSIG(status);
    return result;
}

fs::path BinPath(const std::string& name)
{
    const char* dir = std::getenv("CORVEL_BIN_DIR");
    return fs::path(dir ? dir : CORVEL_DEFAULT_BIN_DIR) / name;
}

fs::path SourcePath(const std::string& relative)
{
    const char* dir = std::getenv("CORVEL_SOURCE_DIR");
    return fs::path(dir ? dir : CORVEL_DEFAULT_SOURCE_DIR) / relative;
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(
        reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<fs::path> FilesStartingWith(const fs::path& directory, const std::string& prefix)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            files.push_back(entry.path());
    return files;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i)
            s += ' ';
        s += buf;
    }
    return s;
}

} // namespace testsupport
