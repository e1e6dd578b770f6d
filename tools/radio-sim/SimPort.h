#pragma once

#include <string>

namespace radiosim {

// The pseudo-terminal the radio sits on and its COM entry.
class PublishedPty {
public:
    PublishedPty() = default;
    ~PublishedPty();
    PublishedPty(const PublishedPty&) = delete;
    PublishedPty& operator=(const PublishedPty&) = delete;

    // Creates the pseudo-terminal (raw, 19200 bit/s) and the entry
    // comDir/COM<port>; port 0 takes the lowest free number.
    bool Open(const std::string& comDir, int port, std::string& error);
    // Closes both sides of the line and removes the entry.
    void Close();
    // Removes the entry if it still points at this line.
    void Unpublish();

    int Master() const { return m_Master; }
    // Bytes sent to the PC that it has not read yet.
    int PendingForPc() const;
    // The line speed the PC has set, in bit/s; 0 if unknown.
    long PcSpeed() const;
    int Port() const { return m_Port; }
    const std::string& DevicePath() const { return m_DevicePath; }

private:
    int m_Master = -1;
    int m_KeepSlave = -1;
    int m_Port = 0;
    std::string m_DevicePath;
    std::string m_EntryPath;
};

} // namespace radiosim
