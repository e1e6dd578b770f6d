#include "link/SimpleEventLoop.h"

#include <poll.h>

#include <algorithm>
#include <thread>

#include "link/CommSession.h"

SimpleEventLoop::~SimpleEventLoop() = default;

void SimpleEventLoop::Register(SimpleWaitTimer* timer)
{
    m_Timers.push_back(timer);
}

void SimpleEventLoop::Unregister(SimpleWaitTimer* timer)
{
    m_Timers.erase(std::remove(m_Timers.begin(), m_Timers.end(), timer), m_Timers.end());
}

void SimpleEventLoop::PostDelayed(int delayMs, std::function<void()> task)
{
    m_Tasks.push_back(
        { Clock::now() + std::chrono::milliseconds(std::max(delayMs, 0)), std::move(task) });
}

void SimpleEventLoop::PumpOnce()
{
    ++m_PumpCount;
    if (m_Hook) {
        m_Hook();
    }
    const auto now = Clock::now();
    // Tasks may post further tasks; run only those due now, in order.
    if (m_Tasks.empty() && m_Timers.empty()) {
        return;
    }
    std::vector<std::function<void()>> due;
    for (auto it = m_Tasks.begin(); it != m_Tasks.end();) {
        if (it->due <= now) {
            due.push_back(std::move(it->run));
            it = m_Tasks.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& run : due) {
        run();
    }
    // A handler may stop, start or even destroy timers: index the live list.
    for (size_t i = 0; i < m_Timers.size(); ++i) {
        SimpleWaitTimer* timer = m_Timers[i];
        if (timer->m_Active && timer->m_Due <= now) {
            timer->m_Active = false;
            if (timer->m_Handler) {
                timer->m_Handler();
            }
        }
    }
}

int SimpleEventLoop::NextDueMs(int maxMs) const
{
    const auto now = Clock::now();
    auto next = now + std::chrono::milliseconds(std::max(maxMs, 0));
    for (const Task& task : m_Tasks) {
        next = std::min(next, task.due);
    }
    for (const SimpleWaitTimer* timer : m_Timers) {
        if (timer->m_Active) {
            next = std::min(next, timer->m_Due);
        }
    }
    if (next <= now) {
        return 0;
    }
    // Round up so that the wait does not end a fraction too early and spin.
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    return static_cast<int>((us + 999) / 1000);
}

void SimpleEventLoop::WaitIdle(int fd, int maxMs)
{
    ++m_WaitCount;
    int timeout = NextDueMs(maxMs);
    if (timeout <= 0) {
        return;
    }
    if (fd >= 0) {
        pollfd entry { fd, POLLIN, 0 };
        ::poll(&entry, 1, timeout);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    }
}

SimpleWaitTimer::SimpleWaitTimer(SimpleEventLoop& loop)
    : m_Loop(loop)
{
    m_Loop.Register(this);
}

SimpleWaitTimer::SimpleWaitTimer(SimpleEventLoop& loop, CommSession& session)
    : SimpleWaitTimer(loop)
{
    m_Handler = [&session] { session.SetReceiveEnable(false); };
}

SimpleWaitTimer::~SimpleWaitTimer()
{
    m_Loop.Unregister(this);
}

void SimpleWaitTimer::Start(int milliseconds)
{
    m_Interval = milliseconds;
    m_Due = SimpleEventLoop::Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    m_Active = true;
    ++m_Starts;
}

void SimpleWaitTimer::Stop()
{
    m_Active = false;
}

SimpleLinkHost::SimpleLinkHost(CommSession& session)
    : m_Session(session)
    , m_Timer(m_Loop, session)
{
    m_Session.SetMessagePump(&m_Loop);
    m_Session.SetWaitTimer(&m_Timer);
}

SimpleLinkHost::~SimpleLinkHost()
{
    m_Session.SetMessagePump(nullptr);
    m_Session.SetWaitTimer(nullptr);
}
