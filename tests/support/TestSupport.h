#pragma once

#include "platform/NonCopyable.h"
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir : private platform::NonCopyable {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& Path() const { return m_Path; }
    std::filesystem::path operator/(const std::string& name) const { return m_Path / name; }

private:
    std::filesystem::path m_Path;
};

// A small filesystem that fills up, for tests of full disks: a tmpfs of
// `bytes` mounted on a fresh folder when the test may mount one (root);
// otherwise a plain folder, with every file this process and its children
// write limited to `bytes` (RLIMIT_FSIZE, SIGXFSZ ignored) while the object
// lives, so a write past that fails as it would on a full disk.
class SmallFilesystem : private platform::NonCopyable {
public:
    explicit SmallFilesystem(std::uint64_t bytes);
    ~SmallFilesystem();
    const std::filesystem::path& Path() const { return m_Dir.Path(); }
    std::filesystem::path operator/(const std::string& name) const { return m_Dir / name; }
    // True for a real tmpfs; false when writes are limited instead.
    bool Mounted() const { return m_Mounted; }
    // Makes room: the tmpfs grows to `bytes`, or the write limit goes.
    void Grow(std::uint64_t bytes);

private:
    TempDir m_Dir;
    bool m_Mounted = false;
    std::uint64_t m_OldLimit = 0;
    bool m_Limited = false;
};

// A pseudo-terminal pair in raw mode. The slave side is what the program
// under test opens (through its device path); the test plays the other end
// on the master descriptor.
class PtyPair : private platform::NonCopyable {
public:
    PtyPair();
    ~PtyPair();
    int Master() const { return m_Master; }
    const std::string& SlavePath() const { return m_SlavePath; }
    // Writes all bytes to the master side.
    void Write(const std::vector<uint8_t>& bytes);
    // Reads whatever arrives on the master side until `count` bytes were read
    // or the time runs out.
    std::vector<uint8_t> Read(size_t count, std::chrono::milliseconds timeout);
    // Closes the master side (the line "goes dead" for the program).
    void CloseMaster();

private:
    int m_Master = -1;
    int m_KeepSlave = -1;
    std::string m_SlavePath;
};

struct ProcessResult {
    int exitCode = -1; // exit status, or 128 + signal number
    bool timedOut = false; // killed after the time limit
    std::string out; // standard output
    std::string err; // standard error
};

// Called with the standard output so far and the program's process id each
// time more output arrived (to signal it at a chosen point, say).
using OutputWatch = std::function<void(const std::string& out, int pid)>;

// Runs a program to its end with the given arguments (argv[0] is the program
// path), extra environment entries (an empty value removes the variable),
// standard input text and a time limit.
ProcessResult RunProcess(const std::vector<std::string>& argv,
    const std::map<std::string, std::string>& env = {}, const std::string& input = {},
    std::chrono::milliseconds timeout = std::chrono::seconds(60),
    const std::filesystem::path& workDir = {}, const OutputWatch& watch = {});

// Path of a program built into the build's bin folder.
std::filesystem::path BinPath(const std::string& name);
// Path of a file below the source tree.
std::filesystem::path SourcePath(const std::string& relative);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string ReadFileText(const std::filesystem::path& path);
void WriteFileText(const std::filesystem::path& path, const std::string& text);

// Files in `directory` whose names start with `prefix`.
std::vector<std::filesystem::path> FilesStartingWith(
    const std::filesystem::path& directory, const std::string& prefix);

// "BA 7F 01" style text of bytes, for readable failure messages.
std::string Hex(const std::vector<uint8_t>& bytes);

} // namespace testsupport
