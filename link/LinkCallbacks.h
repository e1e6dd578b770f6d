#pragma once

#include <functional>
#include <string>

// The ways the Qt-free layers (link, download, codeplug) reach the window.
// The application binds them to Qt; tests and tools bind them to fakes.

// Replaces the caption of the status label.
using StatusCallback = std::function<void(const std::string& text)>;

// Writes a "\r"-prefixed progress line to the console (console use only).
using TextProgressCallback = std::function<void(const std::string& text)>;

// The window's progress bar, moved by the engines themselves.
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual void SetMinimum(int value) = 0;
    virtual void SetMaximum(int value) = 0;
    virtual void SetPosition(int value) = 0;
    virtual int Minimum() const = 0;
    virtual int Maximum() const = 0;
    virtual int Position() const = 0;
};

// The window's message queue, pumped between polls of the line so that the
// window repaints, the timers fire and Stop works during a wait.
class IMessagePump {
public:
    virtual ~IMessagePump() = default;
    // Processes whatever window messages are waiting, once.
    virtual void PumpOnce() = 0;
    // Sleeps until `fd` is readable (when fd >= 0), a window message or timer
    // event is due, or `maxMs` milliseconds have passed, whichever is first.
    // This is what keeps an idle wait from spinning the processor.
    virtual void WaitIdle(int fd, int maxMs) = 0;
};

// The link session's wait timer (the window's m_CommTimer). The session arms
// it with its wait time at the start of a wait and stops it at the end; its
// expiry is handled by the owner (the window clears the session's
// receive-enable flag and disables the timer).
class IWaitTimer {
public:
    virtual ~IWaitTimer() = default;
    virtual void Start(int milliseconds) = 0;
    virtual void Stop() = 0;
};
