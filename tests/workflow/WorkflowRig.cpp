#include "tests/workflow/WorkflowRig.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace workflowtest {

namespace {

std::string Upper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
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
    unsigned sum = 0;
    for (const uint8_t byte : body) {
        sum += byte;
    }
    body.push_back(static_cast<uint8_t>(~sum));
    std::string hex = testsupport::Hex(body);
    std::erase(hex, ' ');
    return std::string("S") + kind + hex + "\r\n";
}

} // namespace

std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

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
    const size_t header = code.find("\r\n") + 2;
    size_t split = header;
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

long SimulatedRadio::DamagedBytes() const
{
    static const std::regex count("([0-9]+) bytes damaged on the line");
    const std::string err = testsupport::ReadFileText(m_OutDir / "radio.err");
    std::smatch match;
    return std::regex_search(err, match, count) ? std::stol(match[1]) : 0;
}

std::string WithoutPercentLines(const std::string& console)
{
    static const std::regex running("\\rDownloading (Loader|Application|Bootloader) "
                                    "code\\.\\.\\.[0-9]+% complete(?!\\.\\.\\.Done)");
    return std::regex_replace(console, running, "");
}

void ExpectStoredData(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& image)
{
    ASSERT_GE(stored.size(), image.size());
    EXPECT_EQ(stored.size() % 128, 0u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + static_cast<long>(image.size()), stored.end(),
        [](uint8_t b) { return b == 0xFF; }));
}

bool Contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

testsupport::ProcessResult PackRelease(
    const std::filesystem::path& out, const std::vector<std::string>& images)
{
    std::vector<std::string> args { testsupport::BinPath("corvel-pack").string(), "--base",
        testsupport::BinPath("corvel-updater").string(), "--out", out.string(), "--family", "4400",
        "--series", "6", "--platform-flag", "1", "--processor", "816", "--boot-version", "6.7",
        "--programming-app-version", "2.12.4", "--tuning-app-version", "3.0.17" };
    args.insert(args.end(), images.begin(), images.end());
    return testsupport::RunProcess(args, {}, {}, std::chrono::minutes(2));
}

testsupport::ProcessResult RunConsoleJob(const std::filesystem::path& updater, int port,
    const std::filesystem::path& comDir, const std::filesystem::path& workDir,
    std::chrono::milliseconds timeout)
{
    return testsupport::RunProcess({ updater.string(), "/d", "/sp", std::to_string(port), "/c" },
        { { "CORVEL_COM_DIR", comDir.string() }, { "DISPLAY", "" }, { "WAYLAND_DISPLAY", "" } }, {},
        timeout, workDir);
}

void SimTest::SetUp()
{
    const char* old = std::getenv("CORVEL_COM_DIR");
    m_OldComDir = old != nullptr ? old : "";
    m_HadComDir = old != nullptr;
    ::setenv("CORVEL_COM_DIR", m_ComDir.Path().c_str(), 1);
}

void SimTest::TearDown()
{
    if (m_HadComDir) {
        ::setenv("CORVEL_COM_DIR", m_OldComDir.c_str(), 1);
    } else {
        ::unsetenv("CORVEL_COM_DIR");
    }
}

std::unique_ptr<SimulatedRadio> SimTest::StartRadio(
    const std::vector<std::string>& options, int port)
{
    auto radio = std::make_unique<SimulatedRadio>(m_ComDir.Path(), port, options, m_Out.Path());
    EXPECT_TRUE(radio->Ready());
    return radio;
}

void RecordingProgressBar::SetPosition(int value)
{
    m_Position = value;
    if (m_Trigger && m_TriggerAt >= 0 && value >= m_TriggerAt) {
        auto trigger = std::move(m_Trigger);
        m_Trigger = nullptr;
        trigger();
    }
}

void RecordingProgressBar::OnPosition(int position, std::function<void()> action)
{
    m_TriggerAt = position;
    m_Trigger = std::move(action);
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
    , m_Ports(m_Session, nullptr, m_List, ComPortSystem::Platform())
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
    m_PreviousBoxHandler
        = platform::SetMessageBoxHandler([this](const std::string& caption, const std::string& text,
                                             platform::MessageIcon icon, platform::MessageButtons) {
              m_Boxes.push_back({ caption, text, icon });
              m_Events.push_back("box");
              return platform::MessageAnswer::Ok;
          });
}

RecordingHost::~RecordingHost()
{
    m_Ports.ReleasePort();
    m_Session.SetWaitTimer(nullptr);
    m_Session.SetMessagePump(nullptr);
    platform::SetMessageBoxHandler(m_PreviousBoxHandler);
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
        m_WorkDir.string(), m_LoaderFileName, m_CodeFileName);
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
