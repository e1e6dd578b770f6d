#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Friendly names of the USB serial adapters behind the present COM ports:
// for each port of the COM namespace whose tty device has a USB parent, the
// adapter's product string followed by " (COM<n>)", e.g.
// "USB RPI QUV 4400 (COM12)". nullopt when the device database cannot be
// asked at all.
std::optional<std::vector<std::string>> UsbAdapterFriendlyNames();

// The USB adapter behind a tty device: its product string and serial number
// (each empty when the adapter names none). nullopt when the device has no
// USB parent or the device database cannot be asked.
struct UsbAdapter {
    std::string product;
    std::string serial;
};
std::optional<UsbAdapter> UsbAdapterOf(const std::string& devicePath);

} // namespace platform
