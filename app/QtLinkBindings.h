#pragma once

#include <QTimer>

#include <functional>

#include "link/LinkCallbacks.h"

// The link session's window bindings on Qt.

// Pumps the Qt event queue; an idle wait sleeps in the event dispatcher
// until the line's descriptor is readable, any event arrives or the time is
// up.
class QtMessagePump : public IMessagePump {
public:
    void PumpOnce() override;
    void WaitIdle(int fd, int maxMs) override;
};

// The session's wait timer on a QTimer: either the window's own timer (its
// owner handles the timeout signal) or one of its own whose expiry stops it
// and runs the given handler.
class QtWaitTimer : public IWaitTimer {
public:
    explicit QtWaitTimer(QTimer& timer);
    explicit QtWaitTimer(std::function<void()> onExpiry);
    ~QtWaitTimer() override;
    QtWaitTimer(const QtWaitTimer&) = delete;
    QtWaitTimer& operator=(const QtWaitTimer&) = delete;

    void Start(int milliseconds) override;
    void Stop() override;
    QTimer& Timer() { return *m_Timer; }

private:
    QTimer* m_Timer;
    QTimer* m_Owned = nullptr;
};
