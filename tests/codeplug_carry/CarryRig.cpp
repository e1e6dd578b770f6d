#include "tests/codeplug_carry/CarryRig.h"

#include "workflow/FirmwareCatalogue.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace carrytest {

SimulatedRadio::SimulatedRadio(const std::vector<std::string>& options)
{
    std::vector<std::string> args { "--log", (m_Dir / "frames.log").string(), "--idle-exit", "60" };
    args.insert(args.end(), options.begin(), options.end());
    m_Process.Start(testsupport::SimBinary(), m_Dir.Path(), args);
}

bool SimulatedRadio::Received(uint8_t command, uint8_t subCode) const
{
    std::ifstream log(m_Dir / "frames.log");
    std::string line;
    while (std::getline(log, line)) {
        // Time, direction, then the frame: start byte, two header bytes,
        // escaped message and checksum, end byte.
        std::istringstream fields(line);
        std::string time;
        std::string direction;
        fields >> time >> direction;
        Bytes frame;
        for (std::string hex; fields >> hex;)
            frame.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
        Bytes message;
        for (size_t i = 3; i + 1 < frame.size(); ++i) {
            const bool escaped = frame[i] == 0x10 && i + 2 < frame.size();
            const uint8_t code = escaped ? frame[++i] : 0;
            message.push_back(!escaped ? frame[i]
                    : code == 0x00     ? 0xBA
                    : code == 0x01     ? 0x7E
                                       : 0x10);
        }
        // The message ends with the checksum.
        if (direction == ">>" && message.size() >= 3 && message[0] == command
            && message[1] == subCode)
            return true;
    }
    return false;
}

CarryHost::CarryHost(bool consoleMode, int waitCapMs)
    : m_ConsoleMode(consoleMode)
    , m_CommTimer(m_Loop, m_Session)
    , m_CappedTimer(m_CommTimer, waitCapMs)
{
    m_Session.SetMessagePump(&m_Loop);
    m_Session.SetWaitTimer(&m_CappedTimer);
    m_Session.SetComponent(&m_Component);
    m_PreviousBoxHandler
        = platform::SetMessageBoxHandler([this](const std::string&, const std::string& text,
                                             platform::MessageIcon icon, platform::MessageButtons) {
              m_Boxes.push_back({ text, icon });
              return platform::MessageAnswer::Ok;
          });
}

CarryHost::~CarryHost()
{
    m_Session.Close();
    m_Session.SetWaitTimer(nullptr);
    m_Session.SetMessagePump(nullptr);
    m_Session.SetComponent(nullptr);
    platform::SetMessageBoxHandler(m_PreviousBoxHandler);
}

bool CarryHost::Open(const SimulatedRadio& radio, std::string& error)
{
    if (radio.Port() <= 0) {
        error = "the simulated radio did not start";
        return false;
    }
    ::setenv("CORVEL_COM_DIR", radio.ComDir().c_str(), 1);
    if (!m_Session.OpenDevice(radio.Port(), 19200, false, error))
        return false;
    m_Session.SetFraming(CommSession::kFramingFramed);
    return true;
}

void CarryHost::PressStop()
{
    m_UpdateInProgress = false;
    m_Session.SetReceiveEnable(false);
}

const ResourceAttributes& CarryHost::Attributes() const
{
    static const ResourceAttributes attributes {};
    return attributes;
}

bool RestartRadio(CommSession& session)
{
    const LinkCode acknowledge(0x02, 0x07);
    session.SetWaitTime(3000);
    for (int stream = 0; stream < 2; ++stream) {
        session.SetReceiveEnable(true);
        if (session.SendCode2(0x02, 0x01, nullptr, 0) <= 0)
            return false;
        const LinkMessage reply = session.Exchange(acknowledge, 2, acknowledge, 2);
        if (reply.count == 0 || session.SendCode2(0x02, 0x04, nullptr, 0) <= 0)
            return false;
    }
    return true;
}

Bytes ConvertWithTool(const fs::path& input, const std::string& target, const fs::path& output)
{
    const testsupport::ProcessResult run
        = testsupport::RunProcess({ testsupport::BinPath("corvel-codeplug").string(), "convert",
            input.string(), output.string(), "--to", target });
    if (run.exitCode != 0 || !fs::exists(output))
        return {};
    return testsupport::ReadFileBytes(output);
}

std::vector<fs::path> FilesStartingWith(const fs::path& directory, const std::string& prefix)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            files.push_back(entry.path());
    return files;
}

} // namespace carrytest
