#pragma once

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/types.h>

// A COM folder (CORVEL_COM_DIR) and a private lock folder for the duration of
// one test, with helpers to map ports onto pseudo-terminals.
class SerialFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes COM<n> a symlink to `target`.
    void MapPort(int number, const std::string& target);
    // A new pseudo-terminal pair mapped as COM<n>.
    testsupport::PtyPair& AddPty(int number);

    std::filesystem::path LockFileOf(const std::string& devicePath) const;
    // Writes a lock file for the device naming `pid`.
    void WriteLock(const std::string& devicePath, int pid) const;

    testsupport::TempDir m_ComDir;
    testsupport::TempDir m_LockDir;
    std::vector<std::unique_ptr<testsupport::PtyPair>> m_Ptys;

private:
    std::string m_SavedComDir;
    bool m_HadComDir = false;
};

// A child process that does nothing until killed; stands for another
// program holding a port.
class IdleChild {
public:
    IdleChild();
    ~IdleChild();
    pid_t Pid() const { return m_Pid; }

private:
    pid_t m_Pid = -1;
};

// The pid of a process that has already ended.
pid_t DeadPid();
