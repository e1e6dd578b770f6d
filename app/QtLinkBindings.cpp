#include "app/QtLinkBindings.h"

#include <poll.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <memory>
#include <thread>

void QtMessagePump::PumpOnce()
{
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

void QtMessagePump::WaitIdle(int fd, int maxMs)
{
    if (maxMs <= 0) {
        return;
    }
    if (QCoreApplication::instance() == nullptr) {
        if (fd >= 0) {
            pollfd entry { fd, POLLIN, 0 };
            ::poll(&entry, 1, maxMs);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(maxMs));
        }
        return;
    }
    // The dispatcher wakes for the descriptor, for the time limit, and for
    // every other event (a Stop press, the wait timer, a repaint).
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(maxMs);
    std::unique_ptr<QSocketNotifier> notifier;
    if (fd >= 0) {
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
            [n = notifier.get()] { n->setEnabled(false); });
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QtWaitTimer::QtWaitTimer(QTimer& timer)
    : m_Timer(&timer)
{
}

QtWaitTimer::QtWaitTimer(std::function<void()> onExpiry)
    : m_Timer(new QTimer)
    , m_Owned(m_Timer)
{
    // A coarse timer may fire up to 5% early; a wait time is a minimum.
    m_Timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_Timer, &QTimer::timeout, m_Timer, [this, handler = std::move(onExpiry)] {
        m_Timer->stop();
        if (handler) {
            handler();
        }
    });
}

QtWaitTimer::~QtWaitTimer()
{
    delete m_Owned;
}

void QtWaitTimer::Start(int milliseconds)
{
    m_Timer->start(milliseconds);
}

void QtWaitTimer::Stop()
{
    m_Timer->stop();
}
