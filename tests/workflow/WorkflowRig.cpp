#include "tests/workflow/WorkflowRig.h"

#include "link/ModelTraits.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <numeric>
#include <thread>

namespace workflowtest {

namespace {

std::string Upper(std::string_view text)
{
    std::string upper(text);
    std::ranges::transform(upper, upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

// One record: length, address, data, then the ones' complement of the sum.
std::string Record(char kind, int addressBytes, uint32_t address, const uint8_t* data, int count)
{
    std::vector<uint8_t> body { static_cast<uint8_t>(addressBytes + count + 1) };
    for (int i = addressBytes - 1; i >= 0; --i) {
        body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    body.insert(body.end(), data, data + count);
    body.push_back(static_cast<uint8_t>(~std::accumulate(body.begin(), body.end(), 0u)));
    std::string hex = testsupport::Hex(body);
    std::erase(hex, ' ');
    return std::string("S") + kind + hex + "\r\n";
}

} // namespace

std::string MakeImage(bool s3, uint32_t address, const std::vector<uint8_t>& data)
{
    const int addressBytes = s3 ? 4 : 3;
    std::string text = Record('0', 2, 0, reinterpret_cast<const uint8_t*>("HDR"), 3);
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        const int count = static_cast<int>(std::min<size_t>(16, data.size() - offset));
        text += Record(s3 ? '3' : '2', addressBytes, address + static_cast<uint32_t>(offset),
            data.data() + offset, count);
    }
    text += Record(s3 ? '7' : '8', addressBytes, address, nullptr, 0);
    return text;
}

testsupport::ProcessResult PackImages(const std::filesystem::path& out,
    const std::vector<uint8_t>& loader, const std::vector<uint8_t>& code,
    const std::vector<uint8_t>& bootLoader, const std::vector<uint8_t>& bootCode,
    std::vector<std::string> options)
{
    const auto image
        = [&out](const char* part, bool s3, uint32_t address, const std::vector<uint8_t>& data) {
              const std::string file = out.string() + "." + part + ".srec";
              std::string text = MakeImage(s3, address, data);
              text.erase(text.rfind("\r\n", text.size() - 3) + 2); // the S7/S8 record
              testsupport::WriteFileText(file, text + "S9030000FC\r\n");
              return file;
          };
    options.insert(options.end(),
        { "--upgrade-type", bootCode.empty() ? "application" : "application-boot", "--app-loader",
            image("loader", false, 0x010100, loader), "--app-code",
            image("code", true, 0xFE040100, code) });
    if (!bootCode.empty()) {
        options.insert(options.end(),
            { "--boot-loader", image("boot-loader", false, 0x010100, bootLoader), "--boot-code",
                image("boot-code", true, 0xFE000100, bootCode) });
    }
    return PackRelease(out, options);
}

void MemoryResources::Add(const std::string& name, const std::string& text)
{
    m_Resources[Upper(name)] = text;
}

bool MemoryResources::ReadResource(std::string_view name, std::string_view type,
    std::vector<std::uint8_t>& out, std::string* error)
{
    out.clear();
    const auto it = m_Resources.find(Upper(name));
    if (it == m_Resources.end() || Upper(type) != "TEXT") {
        if (error != nullptr) {
            *error = "no resource " + std::string(name);
        }
        return false;
    }
    out.assign(it->second.begin(), it->second.end());
    return true;
}

bool MemoryResources::StreamResource(std::string_view name, std::string_view type,
    const std::function<bool(const std::uint8_t*, std::size_t)>& sink, std::string* error)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadResource(name, type, bytes, error)) {
        return false;
    }
    // In blocks, as the archive hands them out.
    for (size_t offset = 0; offset < bytes.size(); offset += 4096) {
        if (!sink(bytes.data() + offset, std::min<size_t>(4096, bytes.size() - offset))) {
            return false;
        }
    }
    return true;
}

TestRelease MakeRelease(
    uint8_t family, uint8_t series, uint8_t upgradeType, uint8_t bootMajor, uint8_t bootMinor)
{
    TestRelease release;
    ResourceAttributes& a = release.attributes;
    a.AppLoaderCount = 1;
    a.AppCodeCount = 2;
    a.BootLoaderCount = 1;
    a.BootCodeCount = 1;
    a.BootMajor = bootMajor;
    a.BootMinor = bootMinor;
    a.RadioFamily = family;
    a.PlatformFlag = 1;
    a.SeriesNumber = series;
    a.UpgradeType = upgradeType;

    const std::vector<uint8_t> appLoader = PatternBytes(640, 1);
    const std::vector<uint8_t> bootLoader = PatternBytes(384, 2);
    release.appCode = PatternBytes(6000, 3);
    release.bootCode = PatternBytes(2048, 4);

    release.resources.Add("Loader_1", MakeImage(false, 0x010100, appLoader));
    release.resources.Add("Loader_Boot_1", MakeImage(false, 0x010100, bootLoader));
    release.resources.Add("Code_Boot_1", MakeImage(true, 0xFE000100, release.bootCode));
    // The application code in two chunks split at a record boundary; only
    // the last ends with the termination record.
    const std::string code = MakeImage(true, 0xFE040100, release.appCode);
    size_t split = code.find("\r\n") + 2;
    for (int line = 0; line < 200; ++line) {
        split = code.find("\r\n", split) + 2;
    }
    release.resources.Add("Code_1", code.substr(0, split));
    release.resources.Add("Code_2", code.substr(split));
    return release;
}

SimulatedRadio::SimulatedRadio(const std::filesystem::path& comDir, int port,
    const std::vector<std::string>& options, const std::filesystem::path& outDir)
    : m_OutDir(outDir)
{
    std::vector<std::string> args { "--port", std::to_string(port), "--log",
        (outDir / "radio.log").string() };
    args.insert(args.end(), options.begin(), options.end());
    m_Ready = m_Process.Start(testsupport::SimBinary(), comDir, args, std::chrono::seconds(10),
                  outDir / "radio.err")
        && m_Process.Port() == port;
}

std::vector<std::string> SimulatedRadio::LoggedFrames(const std::string& direction) const
{
    // Lines of "<time> <direction> <bytes>".
    std::vector<std::string> frames;
    std::ifstream in(m_OutDir / "radio.log");
    const std::string marker = " " + direction + " ";
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(' ');
        if (at != std::string::npos && line.compare(at, marker.size(), marker) == 0) {
            frames.push_back(line.substr(at + marker.size()));
        }
    }
    return frames;
}

int SimulatedRadio::Stop()
{
    if (m_Process.Running()) {
        m_Status = m_Process.Stop();
    }
    return m_Status;
}

RecordingHost::RecordingHost(
    TestRelease& release, bool consoleMode, int port, const std::filesystem::path& workDir)
    : m_Release(release)
    , m_TargetModelCode(TargetModelCodeOf(release.attributes.RadioFamily,
          release.attributes.SeriesNumber, release.attributes.PlatformFlag))
    , m_ConsoleMode(consoleMode)
    , m_WorkDir(workDir)
    , m_CommTimer(m_Loop, m_Session)
    , m_CappedTimer(m_CommTimer, 3000)
    , m_Ports(m_Session, nullptr, m_List, *this, ComPortSystem::Platform())
{
    m_Session.SetMessagePump(&m_Loop);
    m_Session.SetWaitTimer(&m_CappedTimer);
    m_Ports.SetTarget(release.attributes.RadioFamily, m_TargetModelCode);
    if (consoleMode) {
        m_Ports.SetConsoleMode(true, port);
    } else {
        m_Ports.ScanComPorts();
        m_List.SetSelectedIndex(port - 1);
    }
}

platform::MessageAnswer RecordingHost::ShowMessage(const std::string& caption,
    const std::string& text, platform::MessageIcon icon, platform::MessageButtons)
{
    m_Boxes.push_back({ caption, text, icon });
    m_Events.push_back("box");
    return platform::MessageAnswer::Ok;
}

RecordingHost::~RecordingHost()
{
    m_Ports.ReleasePort();
    m_Session.SetWaitTimer(nullptr);
    m_Session.SetMessagePump(nullptr);
}

void RecordingHost::EnterUpdateState()
{
    m_UpdateInProgress = true;
    m_Events.push_back("enter");
}

void RecordingHost::LeaveUpdateState(bool deleteWorkFiles)
{
    m_UpdateInProgress = false;
    m_Session.SetReceiveEnable(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (deleteWorkFiles) {
        std::error_code ignored;
        std::filesystem::remove(LoaderFileName(), ignored);
        std::filesystem::remove(CodeFileName(), ignored);
    }
    m_Events.push_back(deleteWorkFiles ? "leave(delete)" : "leave");
}

bool RecordingHost::ClaimAndOpenPort(bool versionMode)
{
    m_Events.push_back("claim");
    return m_Ports.ClaimAndOpenPort(versionMode);
}

bool RecordingHost::ExtractFirmwareSet(bool boot)
{
    m_Events.push_back(
        std::string("extract(") + (boot ? "boot" : "app") + (m_UseBootTwo ? ",two" : "") + ")");
    return ::ExtractFirmwareSet(&m_Release.resources, m_Release.attributes, boot, m_UseBootTwo,
        m_WorkDir.string(), m_LoaderFileName, m_CodeFileName, nullptr, this);
}

void RecordingHost::PressStop()
{
    LeaveUpdateState(true);
    m_ProgressBar.SetPosition(0);
}

std::vector<std::string> RecordingHost::LeftoverWorkFiles() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_WorkDir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Loader", 0) == 0 || name.rfind("Code", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace workflowtest
