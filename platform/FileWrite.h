#pragma once

// Writing files: the loop that writes a whole buffer, the creation of a new
// file under the first free of a row of names, and the atomic replacement of
// a file (temporary file beside it, fsync, rename).

#include "platform/NonCopyable.h"
#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace platform {

// Writes all `size` bytes to the descriptor, going on after short writes and
// interruptions. False on a write error (errno tells which; a write that
// makes no progress counts as ENOSPC).
bool WriteAll(int fd, const void* data, std::size_t size);

// "WHAT: system reason" for the errno value `error`.
std::string SystemErrorText(const std::string& what, int error);

// A file created by CreateNumberedFile.
struct NewFile {
    UniqueFd fd; // invalid when no file was created
    std::string name; // the name the file got (the last name tried on failure)
    int error = 0; // errno of the failure; EEXIST when every name was taken
};

// Creates a new file in the folder `dirFd` (AT_FDCWD: the working
// directory) under the first free name of nameFor(0), nameFor(1), ...,
// nameFor(tries - 1). The file is created exclusively: an existing file,
// folder or link (even a dangling one) under a name is never opened,
// followed or replaced; the next name is tried. Any other error ends the
// search at once.
NewFile CreateNumberedFile(int dirFd, const std::function<std::string(unsigned)>& nameFor,
    unsigned tries, mode_t mode = 0644);

// Replaces a file atomically: the new contents go to a temporary file in the
// same folder, which is flushed to the disk and then renamed over the target.
// Readers see the old file or the new one, never a part. Until Commit the
// target is untouched; a writer destroyed without a successful Commit removes
// its temporary file. Errors name the target and the system's reason.
class AtomicFileWriter : private platform::NonCopyable {
public:
    AtomicFileWriter() = default;
    ~AtomicFileWriter();

    // Creates the temporary file for `path`. The new file gets `mode`, or,
    // when `path` names an existing regular file and keepMode is set, that
    // file's permission bits.
    bool Open(const std::string& path, mode_t mode = 0644, bool keepMode = true);
    bool Write(const void* data, std::size_t size);
    // fsync, close, rename into place, and fsync of the folder.
    bool Commit();
    // Like Commit, but the file never replaces anything: it is linked in
    // under the first free name of nameFor(0) ... nameFor(tries - 1) (names
    // in the target's folder), which Path() then gives. False with
    // NameTaken() set when every name was taken.
    bool CommitNumbered(const std::function<std::string(unsigned)>& nameFor, unsigned tries);
    bool NameTaken() const { return m_NameTaken; }
    // Removes the temporary file; the target stays as it was.
    void Abandon();

    // The descriptor of the temporary file (for writers that need one).
    int Fd() const { return m_Fd.Get(); }
    const std::string& Path() const { return m_Path; }
    const std::string& Error() const { return m_Error; }

private:
    bool Fail(const std::string& what, int error);
    bool Flush();
    void SyncFolder() const;

    std::string m_Path;
    std::string m_Temp;
    UniqueFd m_Fd;
    mode_t m_Mode = 0644;
    std::string m_Error;
    bool m_NameTaken = false;
};

// Writes `size` bytes to `path` through an AtomicFileWriter. False with the
// reason in `error` (which names the file); the old file is then untouched.
bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size,
    std::string* error, mode_t mode = 0644);

} // namespace platform
