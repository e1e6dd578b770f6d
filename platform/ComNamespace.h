#pragma once

#include <optional>
#include <string>

namespace platform {

// The COM namespace: which device path a port number names.
//
// When the environment variable CORVEL_COM_DIR is set, only the entries of
// that directory are ports: the entry "COM<n>" (a symlink to, or a path of, a
// tty device) is port n and every other number is absent. Without it, COM1 to
// COM32 are /dev/ttyS0..31, COM33 to COM64 are /dev/ttyUSB0..31, COM65 to
// COM96 are /dev/ttyACM0..31 and the rest are absent.

// Lowest and highest port number the program ever asks about.
constexpr int kFirstComPort = 1;
constexpr int kLastComPort = 255;

// CORVEL_COM_DIR set to an empty value counts as not set.

// The device path of port `portNumber`, symlinks resolved, or nullopt when
// the port is absent (number out of range, no such entry or device file, a
// dangling link, a missing directory). The device is not opened; whether it
// answers is the open test's business.
std::optional<std::string> ComDevicePath(int portNumber);

// Result of the open test of one port.
enum class PortStatus {
    Free, // the device opens and nobody else holds it
    Absent, // no such port, or the device does not exist
    Held, // another program holds it (exclusive open, live lock file, or
          // simply has the device open)
    PermissionDenied, // the device exists but this user may not open it
    OtherError, // any other failure to open
};

struct PortProbe {
    PortStatus status = PortStatus::Absent;
    std::string path; // device path tried, empty when the port is absent
    int error = 0; // errno of the failed open (0 when it opened)
    std::string detail; // readable reason, empty when free
    int holderPid = 0; // pid of the holding program, when known
};

// The open test: opens the device without becoming its controlling terminal
// and without waiting for carrier, checks the exclusive-open flag and the
// UUCP lock file, and closes it again at once. A port that opens is still
// held when another process has the device open (FindProcessHolding). An
// entry that is not a character device is "not a serial device" without
// being opened.
PortProbe TestComPort(int portNumber);

// True when the open test reports the port free.
bool ComPortOpens(int portNumber);

// Why the port's lock cannot be taken ("cannot lock the port: REASON"), or
// empty when it can or the port is absent. Such a port is unavailable.
std::string PortLockProblem(int portNumber);

// Display name of a port: "COM<n>".
std::string ComPortName(int portNumber);

} // namespace platform
