#pragma once

#include "core/coreobject.h"

#include <atomic>

// The worker of a module; its loop pauses through sleep() and ends once terminate is set.
class AttendedThreadObject : public CoreObject
{
    Q_OBJECT
public:
    explicit AttendedThreadObject(QObject *parent = nullptr);

    // Sleeps for ms of the schedule, delivering this thread's events; ends early on terminate.
    void sleep(quint64 ms);
    bool isTerminating() const { return terminate; }

public slots:
    virtual void run();
    virtual void queryTerminate();

protected:
    std::atomic<bool> terminate;
};
