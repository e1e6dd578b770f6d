#include "workflow/PortClaim.h"

#include "link/CommSession.h"
#include "link/ModelTraits.h"
#include "link/SerialPortComponent.h"
#include "platform/ComNamespace.h"
#include "platform/MessageBox.h"
#include "platform/ProcessorCount.h"
#include "platform/UsbAdapterNames.h"

#include <charconv>

namespace {

constexpr const char* kAdapterName4400 = "USB RPI QUV 4400";
constexpr const char* kAdapterName4600 = "USB RPI QUV 4600";
// Length of the adapter name followed by " (COM".
constexpr size_t kAdapterPrefixLength = 21;

constexpr int kProbeWaitMs = 500;

} // namespace

ComPortSystem ComPortSystem::Platform()
{
    ComPortSystem system;
    system.portOpens = platform::ComPortOpens;
    system.adapterNames = platform::UsbAdapterFriendlyNames;
    system.processorCount = platform::ProcessorCount;
    system.portProblem = platform::PortLockProblem;
    return system;
}

PortClaim::PortClaim(CommSession& session, ISerialPortComponent* component, IPortList& list,
    platform::IMessageBoxes& boxes, ComPortSystem system)
    : m_Session(session)
    , m_Component(component)
    , m_List(list)
    , m_Boxes(boxes)
    , m_System(std::move(system))
{
}

void PortClaim::SetTarget(uint8_t radioFamily, uint8_t targetModelCode)
{
    m_RadioFamily = radioFamily;
    m_TargetModelCode = targetModelCode;
}

void PortClaim::SetConsoleMode(bool consoleMode, int commandLinePort)
{
    m_ConsoleMode = consoleMode;
    m_CommandLinePort = commandLinePort;
}

int PortClaim::ParseAdapterName(const std::string& name, uint8_t& type)
{
    type = kAdapterNone;
    uint8_t found = kAdapterNone;
    if (name.find(kAdapterName4400) != std::string::npos) {
        found = kAdapter4400;
    } else if (name.find(kAdapterName4600) != std::string::npos) {
        found = kAdapter4600;
    } else {
        return 0;
    }
    std::string rest = name.substr(std::min(kAdapterPrefixLength, name.size()));
    const size_t close = rest.find(')');
    if (close != std::string::npos) {
        rest.erase(close, 1);
    }
    int port = 0;
    const char* first = rest.data();
    const char* last = rest.data() + rest.size();
    const auto [end, error] = std::from_chars(first, last, port);
    if (rest.empty() || error != std::errc() || end != last || !InRange(port)) {
        return 0;
    }
    type = found;
    return port;
}

void PortClaim::ScanComPorts()
{
    for (int port = 1; port <= kPortCount; ++port) {
        const bool opens = m_System.portOpens && m_System.portOpens(port);
        m_PortPresent[port] = opens ? kPortFree : kPortMissing;
        m_PortState[port] = opens ? kPortFree : kPortMissing;
        m_UsbAdapterType[port] = kAdapterNone;
    }

    std::optional<std::vector<std::string>> names;
    if (m_System.adapterNames) {
        names = m_System.adapterNames();
    }
    if (!names && m_ListBuilt) {
        // No device list: the tables keep the open test's results and the
        // list stays as it is. The first scan builds the list all the same,
        // since the list always holds the 255 ports.
        ComboBoxChange();
        return;
    }
    for (const std::string& name : names.value_or(std::vector<std::string> {})) {
        uint8_t type = kAdapterNone;
        const int port = ParseAdapterName(name, type);
        if (port != 0) {
            m_UsbAdapterType[port] = type;
        }
    }

    std::vector<std::string> items;
    items.reserve(kPortCount);
    for (int port = 1; port <= kPortCount; ++port) {
        items.push_back(ItemText(port));
    }
    m_List.SetItems(items);
    m_List.SetSelectedIndex(0);
    m_ListBuilt = true;
    // As when the user chooses a missing port: the first present one instead.
    ComboBoxChange();
}

std::string PortClaim::ItemText(int port) const
{
    std::string text = "COM" + std::to_string(port);
    const uint8_t type = UsbAdapterType(port);
    if (type == kAdapter4400) {
        text += " (4400 USB)";
    } else if (type == kAdapter4600) {
        text += " (4600 USB)";
    }
    return text;
}

uint8_t PortClaim::PortPresent(int port) const
{
    return InRange(port) ? m_PortPresent[port] : 0;
}

uint8_t PortClaim::PortState(int port) const
{
    return InRange(port) ? m_PortState[port] : 0;
}

uint8_t PortClaim::UsbAdapterType(int port) const
{
    return InRange(port) ? m_UsbAdapterType[port] : 0;
}

void PortClaim::SetPortState(int port, uint8_t state)
{
    if (InRange(port)) {
        m_PortState[port] = state;
    }
}

int PortClaim::SelectedPort() const
{
    const int index = m_List.SelectedIndex();
    return index >= 0 && index < kPortCount ? index + 1 : 0;
}

void PortClaim::ShowPortError(const std::string& text, const std::string& detail)
{
    if (detail.empty()) {
        m_Boxes.ShowMessage(kCaptionComPort, text, platform::MessageIcon::Error);
    } else {
        m_Boxes.ShowMessageWithDetail(kCaptionComPort, text, detail, platform::MessageIcon::Error);
    }
}

bool PortClaim::FailOpen(int port, const std::string& message, bool showMessage)
{
    SetPortState(port, kPortFree);
    m_Session.Close();
    if (showMessage) {
        ShowPortError(message);
    }
    return false;
}

bool PortClaim::ClaimAndOpenPort(bool versionMode)
{
    int port = 0;
    if (m_ConsoleMode) {
        port = m_CommandLinePort;
    } else {
        const int index = m_List.SelectedIndex();
        ScanComPorts();
        m_List.SetSelectedIndex(index);
        port = SelectedPort();
        if (PortState(port) != kPortFree) {
            ShowPortError(kTextPortUnavailable,
                m_System.portProblem ? m_System.portProblem(port) : std::string());
            return false;
        }
        SetPortState(port, kPortClaimed);
    }

    std::string message;
    if (m_RadioFamily == 0) {
        if (!m_Session.OpenDevice(port, kLineBaudRate, false, message)) {
            return FailOpen(port, message, !m_ConsoleMode);
        }
        m_Session.SetFraming(CommSession::kFramingFramed);
        m_Session.SetReceiveEnable(true);
        if (!versionMode) {
            m_Session.SetRadioBaudRate(kFastBaudRate);
        }
        return true;
    }

    // A 4600 radio: try the direct path with the presence probe first. A
    // failed direct open is reported in console use too.
    if (!m_Session.OpenDevice(port, kLineBaudRate, false, message)) {
        return FailOpen(port, message, true);
    }
    m_Session.SetFraming(CommSession::kFramingFramed);
    m_Session.SetReceiveEnable(true);
    m_Session.SetWaitTime(kProbeWaitMs);
    if (m_Session.ProbeRadio()) {
        m_Session.SetFraming(CommSession::kFramingFramed);
        m_Session.SetReceiveEnable(true);
        const int updateRate = ModelTraitsOf(m_TargetModelCode).updateBaudRate;
        if (!versionMode && updateRate != kLineBaudRate) {
            m_Session.SetRadioBaudRate(updateRate);
        }
        return true;
    }

    const int processors = m_System.processorCount ? m_System.processorCount() : 1;
    if (processors > 1) {
        // The session stays open and the port claimed until ReleasePort.
        ShowPortError(kTextMultiProcessor);
        return false;
    }

    // Silent on the direct path: the radio sits behind an RS-485 box. A
    // program without a serial-port component (the codeplug tool) opens the
    // direct device again in RS-485 mode instead.
    m_Session.Close();
    bool opened = false;
    if (m_Component == nullptr) {
        opened = m_Session.OpenDevice(port, kLineBaudRate, true, message);
    } else {
        m_Component->SetPortNumber(port);
        m_Component->SetRs485Mode(true);
        opened = m_Session.OpenComponentPort(m_Component, message);
    }
    if (!opened) {
        return FailOpen(port, message, !m_ConsoleMode);
    }
    // Through the component the radio behind the box may refuse a request
    // while it settles: the request is repeated.
    m_Session.SetRepeatAfterNegative(m_Component != nullptr);
    m_Session.SetReceiveEnable(true);
    m_Session.SetFraming(CommSession::kFramingFramed);
    m_Session.SetLocalBaudRate(kLineBaudRate);
    // A model that stays at the line rate is told so even for the version
    // retrieval.
    const int updateRate = ModelTraitsOf(m_TargetModelCode).updateBaudRate;
    if (updateRate == kLineBaudRate) {
        m_Session.SetRadioBaudRate(kLineBaudRate);
    } else if (!versionMode) {
        m_Session.SetRadioBaudRate(updateRate);
    }
    return true;
}

void PortClaim::ReleasePort()
{
    m_Session.Close();
    SetPortState(SelectedPort(), kPortFree);
}

void PortClaim::ComboBoxChange()
{
    if (PortPresent(SelectedPort()) == kPortFree) {
        return;
    }
    for (int port = 1; port <= kPortCount; ++port) {
        if (m_PortPresent[port] == kPortFree) {
            m_List.SetSelectedIndex(port - 1);
            return;
        }
    }
}

void PortClaim::UpdateComPorts()
{
    const int index = m_List.SelectedIndex();
    ScanComPorts();
    m_List.SetSelectedIndex(index);
    ComboBoxChange();
}

PortClaim::ItemLook PortClaim::LookOfItem(int index, bool listEnabled) const
{
    ItemLook look;
    const bool selected = index == m_List.SelectedIndex();
    if (PortPresent(index + 1) == kPortFree && listEnabled) {
        look.highlighted = selected;
    } else {
        look.grey = true;
        look.whiteBackground = selected;
    }
    return look;
}
