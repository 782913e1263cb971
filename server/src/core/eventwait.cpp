#include "core/eventwait.h"

#include "core/timescale.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>
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
    delete m_Notifier;
    if (m_TimerFd >= 0)
        ::close(m_TimerFd);
}

qint64 EventWait::deadlineIn(qint64 limitMs)
{
    const qint64 now = TimeScale::now();
    const qint64 most = std::numeric_limits<qint64>::max();
    if (limitMs <= 0)
        return now;
    return limitMs >= most - now ? most : now + limitMs + 1;
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
    if (!m_Armed || m_ArmedFor != deadline)
        arm(deadline);
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

void EventWait::arm(qint64 deadline)
{
    disarm();
    m_ArmedFor = deadline;
    m_Armed = true;
    if (m_TimerFd < 0 && !m_Notifier) {
        m_TimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_TimerFd >= 0) {
            m_Notifier = new QSocketNotifier(m_TimerFd, QSocketNotifier::Read, this);
            connect(m_Notifier, &QSocketNotifier::activated, this, [this] {
                quint64 expirations = 0;
                const ssize_t got = ::read(m_TimerFd, &expirations, sizeof expirations);
                Q_UNUSED(got);
                m_Armed = false;
            });
        }
    }
    if (m_TimerFd < 0) {
        m_Timer = startTimer(TimeScale::toRealInt(deadline - TimeScale::now()), Qt::PreciseTimer);
        return;
    }
    // The same monotonic clock TimeScale reads, in real nanoseconds (capped far in the future).
    const double ns = std::ceil(double(deadline) / TimeScale::factor() * 1e6);
    const qint64 at = ns > 4e18 ? qint64(4e18) : qint64(ns);
    itimerspec spec {};
    spec.it_value.tv_sec = time_t(at / 1000000000);
    spec.it_value.tv_nsec = long(at % 1000000000);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
        spec.it_value.tv_nsec = 1; // zero would disarm
    ::timerfd_settime(m_TimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
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
    if (m_Armed && m_TimerFd >= 0) {
        // Setting the timer also clears an expiry not read yet.
        const itimerspec off {};
        ::timerfd_settime(m_TimerFd, 0, &off, nullptr);
    }
    m_Armed = false;
}
