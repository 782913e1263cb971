#pragma once

#include "core/coreobject.h"

#include <QThread>

#include <atomic>

// A module: owns one thread and one worker living in it; the two talk only through signals.
class AttendedThread : public CoreObject
{
    Q_OBJECT
public:
    explicit AttendedThread(QObject *parent = nullptr);
    ~AttendedThread() override;

    virtual void setObject(QObject *object);
    virtual void init();
    virtual void deinit();
    // Waits up to seconds of the schedule for the thread to end, delivering this thread's
    // events meanwhile; true once it has ended (or never ran).
    virtual bool waitSeconds(ulong seconds);

    QObject *worker() const { return object; }
    QThread *ownedThread() { return &thread; }

signals:
    void run();
    void started();
    void finished();
    void queryTerminate();

public slots:
    void objectDestroyed(QObject *obj = nullptr);
    virtual void start();
    virtual void stop();
    virtual bool wait(ulong time);

protected:
    QThread thread;
    QObject *object;

private:
    // Set from the owned thread as it finishes: its end is then a matter of moments.
    std::atomic<bool> m_Ending { false };
    // The worker started and not yet told to end; written in this object's thread only.
    QObject *m_Addressed = nullptr;
};
