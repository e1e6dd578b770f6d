#include "platform/UsbAdapterNames.h"

#include "platform/ComNamespace.h"

#include <libudev.h>
#include <sys/stat.h>

namespace platform {

namespace {

std::string SysAttribute(udev_device* device, const char* name)
{
    const char* value = udev_device_get_sysattr_value(device, name);
    std::string text = value != nullptr ? value : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The USB device above a tty, or nullopt when the tty has no USB parent.
std::optional<UsbAdapter> UsbAdapterAbove(udev* context, const std::string& devicePath)
{
    struct stat info { };
    if (stat(devicePath.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return std::nullopt;
    udev_device* tty = udev_device_new_from_devnum(context, 'c', info.st_rdev);
    if (tty == nullptr)
        return std::nullopt;
    std::optional<UsbAdapter> adapter;
    // The parent is owned by the child and goes with it.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb != nullptr)
        adapter = UsbAdapter { SysAttribute(usb, "product"), SysAttribute(usb, "serial") };
    udev_device_unref(tty);
    return adapter;
}

// The product string of the USB device above a tty, or empty when the tty
// has no USB parent (or the parent names no product).
std::string UsbProductOf(udev* context, const std::string& devicePath)
{
    const std::optional<UsbAdapter> adapter = UsbAdapterAbove(context, devicePath);
    return adapter ? adapter->product : std::string();
}

} // namespace

std::optional<std::vector<std::string>> UsbAdapterFriendlyNames()
{
    udev* context = udev_new();
    if (context == nullptr)
        return std::nullopt;
    std::vector<std::string> names;
    for (int port = kFirstComPort; port <= kLastComPort; ++port) {
        std::optional<std::string> path = ComDevicePath(port);
        if (!path)
            continue;
        std::string product = UsbProductOf(context, *path);
        if (!product.empty())
            names.push_back(product + " (" + ComPortName(port) + ")");
    }
    udev_unref(context);
    return names;
}

std::optional<UsbAdapter> UsbAdapterOf(const std::string& devicePath)
{
    udev* context = udev_new();
    if (context == nullptr)
        return std::nullopt;
    std::optional<UsbAdapter> adapter = UsbAdapterAbove(context, devicePath);
    udev_unref(context);
    return adapter;
}

} // namespace platform
