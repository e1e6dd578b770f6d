#include "platform/TtyHotplug.h"

#include <libudev.h>

#include <cstring>

namespace platform {

namespace {

// The udev monitor of the tty subsystem: events arrive once udev's rules
// have run, so the COM names the rules make exist by then.
class UdevTtyHotplug final : public ITtyHotplug {
public:
    UdevTtyHotplug(udev* context, udev_monitor* monitor)
        : m_Context(context)
        , m_Monitor(monitor)
    {
    }
    ~UdevTtyHotplug() override
    {
        udev_monitor_unref(m_Monitor);
        udev_unref(m_Context);
    }
    UdevTtyHotplug(const UdevTtyHotplug&) = delete;
    UdevTtyHotplug& operator=(const UdevTtyHotplug&) = delete;

    int Descriptor() const override { return udev_monitor_get_fd(m_Monitor); }

    bool DrainEvents() override
    {
        // The monitor's socket does not block: it returns null once empty.
        bool changed = false;
        while (udev_device* device = udev_monitor_receive_device(m_Monitor)) {
            const char* action = udev_device_get_action(device);
            changed = changed
                || (action != nullptr
                    && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0));
            udev_device_unref(device);
        }
        return changed;
    }

private:
    udev* m_Context;
    udev_monitor* m_Monitor;
};

} // namespace

std::unique_ptr<ITtyHotplug> OpenTtyHotplug()
{
    udev* context = udev_new();
    if (context == nullptr) {
        return nullptr;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr
        || udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0
        || udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<UdevTtyHotplug>(context, monitor);
}

} // namespace platform
