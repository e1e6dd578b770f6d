#include "tests/serial/SerialFixture.h"

#include "platform/PortLock.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

void SerialFixture::SetUp()
{
    const char* saved = std::getenv("CORVEL_COM_DIR");
    m_HadComDir = saved != nullptr;
    if (saved)
        m_SavedComDir = saved;
    setenv("CORVEL_COM_DIR", m_ComDir.Path().c_str(), 1);
    platform::SetLockDirectoryForTesting(m_LockDir.Path());
}

void SerialFixture::TearDown()
{
    if (m_HadComDir)
        setenv("CORVEL_COM_DIR", m_SavedComDir.c_str(), 1);
    else
        unsetenv("CORVEL_COM_DIR");
    platform::SetLockDirectoryForTesting({});
}

void SerialFixture::MapPort(int number, const std::string& target)
{
    fs::create_symlink(target, m_ComDir / ("COM" + std::to_string(number)));
}

testsupport::PtyPair& SerialFixture::AddPty(int number)
{
    m_Ptys.push_back(std::make_unique<testsupport::PtyPair>());
    MapPort(number, m_Ptys.back()->SlavePath());
    return *m_Ptys.back();
}

fs::path SerialFixture::LockFileOf(const std::string& devicePath) const
{
    return m_LockDir / platform::LockFileName(devicePath);
}

void SerialFixture::WriteLock(const std::string& devicePath, int pid) const
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    testsupport::WriteFileText(LockFileOf(devicePath), text);
}

IdleChild::IdleChild()
{
    m_Pid = fork();
    if (m_Pid == 0) {
        for (;;)
            pause();
    }
}

IdleChild::~IdleChild()
{
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
}

pid_t DeadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}
