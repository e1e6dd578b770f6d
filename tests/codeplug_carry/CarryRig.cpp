#include "tests/codeplug_carry/CarryRig.h"

#include "workflow/FirmwareCatalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

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
    // Lines: time, direction, then the frame in hex: start byte, two header
    // bytes, the message (its codes never need escaping) and checksum, end.
    std::ifstream log(m_Dir / "frames.log");
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        std::string time, direction, start, h1, h2, code, sub;
        if (fields >> time >> direction >> start >> h1 >> h2 >> code >> sub && direction == ">>"
            && std::stoul(code, nullptr, 16) == command && std::stoul(sub, nullptr, 16) == subCode)
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
}

CarryHost::~CarryHost()
{
    m_Session.Close();
    m_Session.SetWaitTimer(nullptr);
    m_Session.SetMessagePump(nullptr);
    m_Session.SetComponent(nullptr);
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

Bytes ConvertedTo(const Bytes& wire, int minor, CodeplugConvertOutcome expected)
{
    Bytes buffer = wire;
    buffer.resize(kCodeplugBytes, 0);
    int length = 0;
    std::string error;
    const CodeplugConvertOutcome outcome = ConvertCodeplugImage(buffer.data(),
        static_cast<int>(wire.size()), 5, static_cast<uint8_t>(minor), length, error);
    if (outcome != expected) {
        ADD_FAILURE() << "conversion to 5." << minor << ": " << error;
        return {};
    }
    buffer.resize(static_cast<size_t>(length));
    return buffer;
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

} // namespace carrytest
