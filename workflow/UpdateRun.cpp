#include "workflow/UpdateRun.h"

#include "link/CommSession.h"
#include "link/LinkTrace.h"
#include "link/ModelTraits.h"
#include "link/RadioQueries.h"
#include "platform/ExecutablePath.h"
#include "platform/OwnResources.h"
#include "workflow/FailureTrace.h"
#include "workflow/RunRecorder.h"
#include "workflow/UpdateSequences.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

// LeaveUpdateState gives a wait that Stop ended this long to unwind.
constexpr auto kLeaveSettle = std::chrono::milliseconds(50);

} // namespace

UpdateRun::UpdateRun(std::unique_ptr<platform::ResourceSource> resources, IRunHost& host,
    IPortList& list, ComPortSystem system)
    : m_Host(&host)
    , m_Resources(std::move(resources))
    , m_Attributes(std::make_unique<ResourceAttributes>())
    , m_Trace(std::make_unique<LinkTrace>())
    , m_Session(std::make_unique<CommSession>())
{
    m_Session->SetTrace(m_Trace.get());
    ::ReadResourceAttributes(m_Resources.get(), *m_Attributes, m_Labels);
    m_TargetModelCode = TargetModelCodeOf(
        m_Attributes->RadioFamily, m_Attributes->SeriesNumber, m_Attributes->PlatformFlag);
    m_AppAndBootUpgrade = IsAppAndBootUpgrade(*m_Attributes);
    m_Ports = std::make_unique<PortClaim>(*m_Session, nullptr, list, *this, std::move(system));
    m_Ports->SetTarget(m_Attributes->RadioFamily, m_TargetModelCode);
}

UpdateRun::~UpdateRun()
{
    m_Session->SetReceiveEnable(false);
    m_Session->Close();
    m_Session->SetWaitTimer(nullptr);
}

void UpdateRun::SetLinkBindings(
    IMessagePump* pump, IWaitTimer* waitTimer, ISerialPortComponent* component)
{
    m_Session->SetMessagePump(pump);
    m_Session->SetWaitTimer(waitTimer);
    m_Session->SetComponent(component);
    m_Ports->SetComponent(component);
}

void UpdateRun::SetConsoleMode(bool consoleMode, int commandLinePort)
{
    m_ConsoleMode = consoleMode;
    m_CommandLinePort = commandLinePort;
    m_Ports->SetConsoleMode(consoleMode, commandLinePort);
}

bool UpdateRun::CarriesFirmware() const
{
    return m_Resources != nullptr && m_Resources->IsAvailable(nullptr);
}

std::string UpdateRun::ExecutableDirectory() const
{
    return platform::ExecutableDirectory();
}

void UpdateRun::EnterUpdateState()
{
    m_UpdateInProgress = true;
    if (m_ConsoleMode)
        return;
    m_Host->ShowUpdateState(true, m_Ports->SelectedPort());
}

void UpdateRun::LeaveUpdateState(bool deleteWorkFiles)
{
    m_UpdateInProgress = false;
    m_Session->SetReceiveEnable(false);
    std::this_thread::sleep_for(kLeaveSettle);
    if (deleteWorkFiles) {
        // A work file that is already gone is no error.
        for (const std::string& name : { m_LoaderFileName, m_CodeFileName }) {
            std::error_code ignored;
            if (!name.empty())
                std::filesystem::remove(name, ignored);
        }
    }
    if (m_ConsoleMode)
        return;
    m_Host->ShowUpdateState(false, 0);
}

bool UpdateRun::ClaimAndOpenPort(bool versionMode)
{
    return m_Ports->ClaimAndOpenPort(versionMode);
}

bool UpdateRun::ReleaseIsWhole(std::string& damaged)
{
    return CheckReleaseWhole(m_Resources.get(), damaged);
}

bool UpdateRun::ExtractFirmwareSet(bool boot)
{
    return ::ExtractFirmwareSet(m_Resources.get(), *m_Attributes, boot, m_UseBootTwo, std::string(),
        m_LoaderFileName, m_CodeFileName, nullptr, this);
}

void UpdateRun::SetReturnCode(int value)
{
    m_ReturnCode = value;
    m_Host->SetReturnCode(value);
}

void UpdateRun::RunCombinedUpdate()
{
    m_RadioBootVersion.reset();
    m_Recorder = std::make_unique<RunRecorder>(*this, HistorySkeleton());
    m_LastRunSucceeded = ::RunCombinedUpdate(*m_Recorder);
}

void UpdateRun::RunSelectedUpdate(bool bootChosen)
{
    m_RadioBootVersion.reset();
    m_Recorder = std::make_unique<RunRecorder>(*this, HistorySkeleton());
    m_LastRunSucceeded = ::RunSelectedUpdate(*m_Recorder, bootChosen);
}

bool UpdateRun::LastRunStopped() const
{
    return m_Recorder && m_Recorder->Stopped();
}

history::Record UpdateRun::HistorySkeleton() const
{
    history::Record record;
    record.mode = m_ConsoleMode ? "console" : "window";
    record.release = ReleaseOf(*m_Attributes, platform::ExecutableFileName());
    DescribePort(record, m_ConsoleMode ? m_CommandLinePort : m_Ports->SelectedPort());
    return record;
}

void UpdateRun::RecordHistory(const std::string& trace)
{
    if (m_Recorder) {
        history::Append(m_Recorder->Finish(trace, m_BackupName));
        m_Recorder.reset();
    }
}

QueryResult UpdateRun::ReadVersionInfo(uint8_t* record)
{
    return QueryVersionInfo(*m_Session, m_TargetModelCode, record, true);
}

std::string UpdateRun::SaveTraceAfterFailure() const
{
    return SaveFailureTrace(*m_Trace);
}
