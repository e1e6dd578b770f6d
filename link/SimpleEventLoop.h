#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "link/LinkCallbacks.h"

class CommSession;
class SimpleWaitTimer;

// A small Qt-free message pump for tools, tests and benchmarks: timed tasks
// and wait timers, run from PumpOnce; WaitIdle sleeps in poll() until the
// descriptor is readable, the next task or timer is due, or the time is up.
class SimpleEventLoop : public IMessagePump {
public:
    using Clock = std::chrono::steady_clock;

    SimpleEventLoop() = default;
    ~SimpleEventLoop() override;
    SimpleEventLoop(const SimpleEventLoop&) = delete;
    SimpleEventLoop& operator=(const SimpleEventLoop&) = delete;

    // Runs the due tasks and the expiry handlers of expired timers.
    void PumpOnce() override;
    void WaitIdle(int fd, int maxMs) override;

    // Runs `task` from the first PumpOnce at least `delayMs` from now (a
    // Stop press, a late event).
    void PostDelayed(int delayMs, std::function<void()> task);
    // Called on every PumpOnce before the tasks (to count or act per pass).
    void SetPumpHook(std::function<void()> hook) { m_Hook = std::move(hook); }
    long PumpCount() const { return m_PumpCount; }
    long WaitCount() const { return m_WaitCount; }

private:
    friend class SimpleWaitTimer;
    struct Task {
        Clock::time_point due;
        std::function<void()> run;
    };
    void Register(SimpleWaitTimer* timer);
    void Unregister(SimpleWaitTimer* timer);
    // Time until the next task or timer, capped at maxMs.
    int NextDueMs(int maxMs) const;

    std::vector<Task> m_Tasks;
    std::vector<SimpleWaitTimer*> m_Timers;
    std::function<void()> m_Hook;
    long m_PumpCount = 0;
    long m_WaitCount = 0;
};

// A single-shot wait timer driven by a SimpleEventLoop, which must outlive
// it. On expiry it stops itself and runs its expiry handler; bound to a
// session, the handler clears the session's receive-enable flag (what the
// window's timer handler does).
class SimpleWaitTimer : public IWaitTimer {
public:
    explicit SimpleWaitTimer(SimpleEventLoop& loop);
    SimpleWaitTimer(SimpleEventLoop& loop, CommSession& session);
    ~SimpleWaitTimer() override;
    SimpleWaitTimer(const SimpleWaitTimer&) = delete;
    SimpleWaitTimer& operator=(const SimpleWaitTimer&) = delete;

    void Start(int milliseconds) override;
    void Stop() override;
    bool Active() const { return m_Active; }
    int Interval() const { return m_Interval; }
    long StartCount() const { return m_Starts; }
    void SetExpiryHandler(std::function<void()> handler) { m_Handler = std::move(handler); }

private:
    friend class SimpleEventLoop;
    SimpleEventLoop& m_Loop;
    bool m_Active = false;
    int m_Interval = 0;
    long m_Starts = 0;
    SimpleEventLoop::Clock::time_point m_Due {};
    std::function<void()> m_Handler;
};

// A session's pump and timer in one: constructs both and hands them to the
// session (and takes them back on destruction).
class SimpleLinkHost {
public:
    explicit SimpleLinkHost(CommSession& session);
    ~SimpleLinkHost();
    SimpleLinkHost(const SimpleLinkHost&) = delete;
    SimpleLinkHost& operator=(const SimpleLinkHost&) = delete;

    SimpleEventLoop& Loop() { return m_Loop; }
    SimpleWaitTimer& Timer() { return m_Timer; }

private:
    CommSession& m_Session;
    SimpleEventLoop m_Loop;
    SimpleWaitTimer m_Timer;
};
