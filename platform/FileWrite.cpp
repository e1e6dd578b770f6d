#include "platform/FileWrite.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string DirectoryOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

bool WriteAll(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string SystemErrorText(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

NewFile CreateNumberedFile(
    int dirFd, const std::function<std::string(unsigned)>& nameFor, unsigned tries, mode_t mode)
{
    NewFile file;
    file.error = EEXIST;
    for (unsigned k = 0; k < tries; ++k) {
        file.name = nameFor(k);
        const int fd = ::openat(
            dirFd, file.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.fd.Reset(fd);
            file.error = 0;
            return file;
        }
        file.error = errno;
        if (errno != EEXIST)
            return file;
    }
    return file;
}

AtomicFileWriter::~AtomicFileWriter()
{
    Abandon();
}

bool AtomicFileWriter::Fail(const std::string& what, int error)
{
    m_Error = SystemErrorText(what + " " + m_Path, error);
    Abandon();
    return false;
}

bool AtomicFileWriter::Open(const std::string& path, mode_t mode, bool keepMode)
{
    Abandon();
    m_Path = path;
    m_Error.clear();
    m_Mode = mode;
    struct stat st { };
    if (keepMode && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        m_Mode = st.st_mode & 07777;
    // The temporary file lies in the target's folder, so that the rename
    // stays on one filesystem and is atomic.
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        m_Error = SystemErrorText("cannot create a temporary file beside " + path, error);
        return false;
    }
    m_Fd.Reset(fd);
    m_Temp = std::move(temp);
    return true;
}

bool AtomicFileWriter::Write(const void* data, std::size_t size)
{
    if (!m_Fd.Valid()) {
        if (m_Error.empty())
            m_Error = "cannot write " + m_Path + ": not open";
        return false;
    }
    if (!WriteAll(m_Fd.Get(), data, size))
        return Fail("cannot write", errno);
    return true;
}

bool AtomicFileWriter::Flush()
{
    if (!m_Fd.Valid()) {
        if (m_Error.empty())
            m_Error = "cannot write " + m_Path + ": not open";
        return false;
    }
    if (::fchmod(m_Fd.Get(), m_Mode) != 0)
        return Fail("cannot write", errno);
    if (::fsync(m_Fd.Get()) != 0)
        return Fail("cannot write", errno);
    if (!m_Fd.Close())
        return Fail("cannot write", errno);
    return true;
}

bool AtomicFileWriter::Commit()
{
    if (!Flush())
        return false;
    if (::rename(m_Temp.c_str(), m_Path.c_str()) != 0)
        return Fail("cannot replace", errno);
    m_Temp.clear();
    SyncFolder();
    return true;
}

bool AtomicFileWriter::CommitNumbered(
    const std::function<std::string(unsigned)>& nameFor, unsigned tries)
{
    m_NameTaken = false;
    if (!Flush())
        return false;
    const std::string folder = DirectoryOf(m_Path);
    const std::string prefix = m_Path.find('/') == std::string::npos ? std::string() : folder + "/";
    for (unsigned k = 0; k < tries; ++k) {
        const std::string candidate = prefix + nameFor(k);
        // link() never replaces an existing name: the first free one wins.
        if (::link(m_Temp.c_str(), candidate.c_str()) == 0) {
            m_Path = candidate;
            Abandon();
            SyncFolder();
            return true;
        }
        if (errno != EEXIST) {
            m_Path = candidate;
            return Fail("cannot create", errno);
        }
    }
    m_NameTaken = true;
    return Fail("cannot create", EEXIST);
}

void AtomicFileWriter::SyncFolder() const
{
    // The new name reaches the disk with its folder.
    UniqueFd dir(::open(DirectoryOf(m_Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.Get());
}

void AtomicFileWriter::Abandon()
{
    m_Fd.Reset();
    if (!m_Temp.empty()) {
        ::unlink(m_Temp.c_str());
        m_Temp.clear();
    }
}

bool WriteFileAtomically(
    const std::string& path, const void* data, std::size_t size, std::string* error, mode_t mode)
{
    AtomicFileWriter writer;
    const bool ok = writer.Open(path, mode) && writer.Write(data, size) && writer.Commit();
    if (!ok && error != nullptr)
        *error = writer.Error();
    return ok;
}

} // namespace platform
