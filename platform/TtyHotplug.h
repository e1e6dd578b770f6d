#pragma once

#include <memory>

namespace platform {

// Tells when a tty device comes or goes (a USB adapter plugged in or pulled),
// so that a port list can be scanned again. The owner watches Descriptor()
// for readability and then calls DrainEvents().
class ITtyHotplug {
public:
    virtual ~ITtyHotplug() = default;
    // Becomes readable when events wait.
    virtual int Descriptor() const = 0;
    // Takes every waiting event; true when a tty was added or removed.
    virtual bool DrainEvents() = 0;
};

// The device manager's tty events; null when it cannot be listened to.
std::unique_ptr<ITtyHotplug> OpenTtyHotplug();

} // namespace platform
