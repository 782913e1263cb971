#include "core/eventwait.h"

#include "core/timescale.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QTimerEvent>

#include <limits>

EventWait::EventWait(QObject *parent)
    : QObject(parent)
{
}

EventWait::~EventWait()
{
    // Inside a running event loop our rounds may have taken the wake-up that told that loop to
    // exit; wake it once more, or its next round could sleep for good with the exit pending.
    if (m_Delivered && QThread::currentThread() == thread() && thread()->loopLevel() > 0) {
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
            dispatcher->wakeUp();
    }
}

qint64 EventWait::deadlineIn(qint64 limitMs)
{
    const qint64 now = TimeScale::now();
    const qint64 most = std::numeric_limits<qint64>::max();
    return limitMs > most - now ? most : now + limitMs;
}

void EventWait::waitUntil(qint64 deadline)
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const qint64 left = deadline - TimeScale::now();
    if (left <= 0) {
        disarm();
        deliverPending();
        return;
    }
    if (!dispatcher) {
        // A thread without an event loop has nothing to deliver: it only sleeps.
        QThread::msleep(ulong(TimeScale::toReal(left)));
        return;
    }
    // A wake-up for the same deadline (an event came first) keeps the timer already armed.
    if (m_Timer == 0 || m_ArmedFor != deadline) {
        disarm();
        m_Timer = startTimer(TimeScale::toRealInt(left), Qt::PreciseTimer);
        m_ArmedFor = deadline;
    }
    m_Delivered = true;
    dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void EventWait::deliverPending()
{
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance()) {
        m_Delivered = true;
        dispatcher->processEvents(QEventLoop::AllEvents);
    }
}

bool EventWait::until(qint64 deadline, const std::function<bool()> &done)
{
    EventWait wait;
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        if (TimeScale::now() >= deadline)
            break;
        wait.waitUntil(deadline);
    }
    return result;
}

void EventWait::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_Timer)
        disarm();
}

void EventWait::disarm()
{
    if (m_Timer != 0) {
        killTimer(m_Timer);
        m_Timer = 0;
    }
}
