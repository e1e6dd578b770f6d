#pragma once

#include "platform/NonCopyable.h"
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// The simulated radio as a child process: started with a COM folder and
// options, ready once it has printed "COM<n> <device>"; ended with SIGTERM.
class SimProcess : private platform::NonCopyable {
public:
    SimProcess() = default;
    ~SimProcess();

    // False (with the reason in Error()) when the program did not start or
    // announce its port within the time.
    bool Start(const std::filesystem::path& program, const std::filesystem::path& comDir,
        const std::vector<std::string>& options,
        std::chrono::milliseconds timeout = std::chrono::seconds(10),
        const std::filesystem::path& errorFile = {});
    // Ends it with `signal` (SIGKILL after 3 s); returns its exit status as
    // RunProcess reports it (-1 when it was not running).
    int Stop(int signal = SIGTERM);
    // Waits for it to end by itself; false on time-out. Its exit status goes
    // to `status` when given.
    bool WaitForExit(std::chrono::milliseconds timeout, int* status = nullptr);
    bool Running() const { return m_Pid > 0; }

    int Port() const { return m_Port; }
    const std::string& Device() const { return m_Device; }
    const std::string& Error() const { return m_Error; }

private:
    pid_t m_Pid = -1;
    int m_Port = 0;
    std::string m_Device;
    std::string m_Error;
};

// The simulator next to the running program (both live in the build's bin
// folder).
std::filesystem::path SimBinary();

} // namespace testsupport
