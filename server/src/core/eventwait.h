#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Sleeps the calling thread in its event dispatcher until an event arrives (a queued signal, a
// socket, a timer) or a deadline of the schedule (TimeScale::now()) passes, delivering whatever
// arrives meanwhile. One instance serves one waiting loop and lives in that loop's thread.
// The deadline is kept to the nanosecond by a timer descriptor: a timer of whole milliseconds
// counted from each wake-up would let a loop that re-arms it drift through the millisecond.
class EventWait : public QObject
{
public:
    explicit EventWait(QObject *parent = nullptr);
    ~EventWait() override;

    // One round: delivers the events pending now, or sleeps until the first one or the deadline.
    void waitUntil(qint64 deadline);
    // Delivers the events pending now, without sleeping.
    void deliverPending();

    // Keeps the calling thread's events flowing until done() holds or the deadline passes;
    // done() is asked first and after every event. Returns done().
    static bool until(qint64 deadline, const std::function<bool()> &done);

    // The first moment of the schedule by which at least limitMs have passed from now (whose
    // milliseconds are whole: one is added for the fraction already gone), saturating.
    static qint64 deadlineIn(qint64 limitMs);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void arm(qint64 deadline);
    void disarm();

    int m_TimerFd = -1;
    QSocketNotifier *m_Notifier = nullptr;
    int m_Timer = 0; // a Qt timer in its stead where no timer descriptor can be had
    bool m_Armed = false;
    qint64 m_ArmedFor = 0;
    bool m_Delivered = false;
};
