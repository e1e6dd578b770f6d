#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CommSession;
class ISerialPortComponent;
namespace platform {
class IMessageBoxes;
}

// The port list as the window shows it: always 255 items, item i standing
// for port i + 1. The window binds its owner-drawn combo box to this; tests
// use a plain fake.
class IPortList {
public:
    virtual ~IPortList() = default;
    // Replaces all items.
    virtual void SetItems(const std::vector<std::string>& items) = 0;
    // Selected item index, -1 when none.
    virtual int SelectedIndex() const = 0;
    virtual void SetSelectedIndex(int index) = 0;
};

// What the port handling asks of the system. Defaults to the platform layer;
// tests put fakes in.
struct ComPortSystem {
    // The open test of one port (true: the port exists and nobody holds it).
    std::function<bool(int portNumber)> portOpens;
    // Friendly names of the USB serial adapters, nullopt when the device
    // database cannot be asked.
    std::function<std::optional<std::vector<std::string>>()> adapterNames;
    // Number of processors of the PC.
    std::function<int()> processorCount;
    // Why a port that does not open is unavailable, when the operator can
    // act on it (its lock cannot be taken); empty otherwise. May be unset.
    std::function<std::string(int portNumber)> portProblem;

    // The platform layer's functions.
    static ComPortSystem Platform();
};

// COM port discovery and the claim of a port for an operation: the three
// port tables, the port list's texts, and the opening of the link session in
// the way the target radio family needs (directly, or for a 4600 radio that
// does not answer the presence probe, through the serial-port component in
// RS-485 mode), with the line rate the target model allows. The window only
// binds its list to IPortList; port problems are shown through `boxes`.
class PortClaim {
public:
    // Values of m_PortPresent / m_PortState.
    static constexpr uint8_t kPortMissing = 0;
    static constexpr uint8_t kPortClaimed = 1;
    static constexpr uint8_t kPortFree = 2;
    // Values of m_UsbAdapterType.
    static constexpr uint8_t kAdapterNone = 0;
    static constexpr uint8_t kAdapter4400 = 1;
    static constexpr uint8_t kAdapter4600 = 2;

    static constexpr int kPortCount = 255;

    // Caption of every port message box.
    static constexpr const char* kCaptionComPort = "COM Port";
    static constexpr const char* kTextPortUnavailable
        = "Selected COM port is in use or not available.";
    static constexpr const char* kTextMultiProcessor
        = "Corvel Code Updater will not work with the current configuration.\n\n"
          "Either connect to the radio using RPI Box 023-4600-001 (which can\n"
          "be purchased from Varnholt), or use a computer that does not\n"
          "have a multi-core processor or hyperthreading enabled.";

    // `component` may be null when no serial-port component exists (the
    // fall-back then opens the direct device in RS-485 mode). `boxes`
    // shows the port messages (caption "COM Port").
    PortClaim(CommSession& session, ISerialPortComponent* component, IPortList& list,
        platform::IMessageBoxes& boxes, ComPortSystem system = ComPortSystem::Platform());

    // The release's target: RadioFamily (0 = 4400, 1 = 4600) and
    // m_TargetModelCode.
    void SetTarget(uint8_t radioFamily, uint8_t targetModelCode);
    // The serial-port component of the RS-485 fall-back (may be null).
    void SetComponent(ISerialPortComponent* component) { m_Component = component; }
    // Console use: the port named on the command line is used as it is.
    void SetConsoleMode(bool consoleMode, int commandLinePort);

    // Rebuilds the three tables and the port list, and selects COM1, or the
    // first present port when COM1 is missing (the rule of ComboBoxChange).
    void ScanComPorts();
    // Claims the selected port (or the command-line port) and opens the link
    // on it; versionMode leaves the link at 19200 baud. On true the session
    // is open, receive-enable is set and the framing is 1. On false the
    // message has been shown.
    bool ClaimAndOpenPort(bool versionMode);
    // Closes the session and frees the selected item's port.
    void ReleasePort();

    // m_ComportComboBoxChange: a missing port's item moves the selection to
    // the first present port.
    void ComboBoxChange();
    // m_UpdateCOMPortsMenuItemClick without the cursor, and the rescan when
    // a port device comes or goes: rescans and keeps the selected index while
    // its port is present, else selects the first present port.
    void UpdateComPorts();

    // How an item is drawn: grey text when its port is missing or the list
    // is disabled; highlighted when selected and drawn normally.
    struct ItemLook {
        bool grey = false;
        bool highlighted = false; // system highlight colours
        bool whiteBackground = false; // grey item that is the selected one
    };
    ItemLook LookOfItem(int index, bool listEnabled) const;

    // Port number of the list's selected item, 0 when none.
    int SelectedPort() const;

    // Table entries of port n (1..255); 0 for a number outside.
    uint8_t PortPresent(int port) const;
    uint8_t PortState(int port) const;
    uint8_t UsbAdapterType(int port) const;

    // The list text of port n: "COM<n>" and the adapter suffix.
    std::string ItemText(int port) const;

    // Reads the port number from an adapter's friendly name, or 0 when the
    // name names no adapter or its number does not convert or lies outside
    // 1..255. `type` receives the adapter type.
    static int ParseAdapterName(const std::string& name, uint8_t& type);

private:
    static bool InRange(int port) { return port >= 1 && port <= kPortCount; }
    void SetPortState(int port, uint8_t state);
    // The port did not open: frees it, closes the session and shows the
    // session's text unless told not to.
    bool FailOpen(int port, const std::string& message, bool showMessage);

    void ShowPortError(const std::string& text, const std::string& detail = std::string());

    CommSession& m_Session;
    ISerialPortComponent* m_Component;
    IPortList& m_List;
    platform::IMessageBoxes& m_Boxes;
    ComPortSystem m_System;

    uint8_t m_RadioFamily = 0;
    uint8_t m_TargetModelCode = 0;
    bool m_ConsoleMode = false;
    int m_CommandLinePort = 0;
    bool m_ListBuilt = false;

    // Index 0 unused: entry n belongs to port n.
    std::array<uint8_t, kPortCount + 1> m_PortPresent {};
    std::array<uint8_t, kPortCount + 1> m_PortState {};
    std::array<uint8_t, kPortCount + 1> m_UsbAdapterType {};
};
