#pragma once

// What the suites use to run a link session without a window: a session on
// a scripted device, pumped by a Qt-free loop, and a wait timer that cuts the
// long waits short.

#include <algorithm>
#include <memory>

#include "link/CommSession.h"
#include "link/LinkCallbacks.h"
#include "link/SimpleEventLoop.h"

namespace testsupport {

// Arms the inner timer with at most `capMs`, so that the waits of seconds a
// radio is given take a moment in tests.
class CappedWaitTimer : public IWaitTimer {
public:
    CappedWaitTimer(IWaitTimer& inner, int capMs)
        : m_Inner(inner)
        , m_CapMs(capMs)
    {
    }
    void Start(int milliseconds) override { m_Inner.Start(std::min(milliseconds, m_CapMs)); }
    void Stop() override { m_Inner.Stop(); }

private:
    IWaitTimer& m_Inner;
    int m_CapMs;
};

// A framed session on a scripted direct device of type Device, wired to a
// Qt-free pump and timer.
template <typename Device> struct ScriptedLink {
    CommSession session;
    SimpleLinkHost host { session };
    Device* device = nullptr;

    explicit ScriptedLink(int waitMs)
    {
        auto owned = std::make_unique<Device>();
        device = owned.get();
        session.AttachDevice(std::move(owned));
        session.SetFraming(CommSession::kFramingFramed);
        session.SetWaitTime(waitMs);
    }
};

} // namespace testsupport
