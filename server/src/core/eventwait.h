#pragma once

#include <QObject>

#include <functional>

// Sleeps the calling thread in its event dispatcher until an event arrives (a queued signal, a
// socket, a timer) or a deadline of the schedule (TimeScale::now()) passes, delivering whatever
// arrives meanwhile. One instance serves one waiting loop and lives in that loop's thread.
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

    // The schedule time limitMs after now, saturating instead of overflowing.
    static qint64 deadlineIn(qint64 limitMs);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void disarm();

    int m_Timer = 0;
    qint64 m_ArmedFor = 0;
    bool m_Delivered = false;
};
