#include "core/attendedthreadobject.h"

#include "core/env.h"

#include <QElapsedTimer>
#include <QThread>

AttendedThreadObject::AttendedThreadObject(QObject *parent)
    : CoreObject(parent)
    , terminate(false)
{
    setObjectName(QStringLiteral("AttendedThreadObject"));
}

void AttendedThreadObject::run() { }

void AttendedThreadObject::queryTerminate()
{
    terminate = true;
}

void AttendedThreadObject::sleep(quint64 ms)
{
    if (terminate)
        return;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (quint64(timer.elapsed()) >= ms)
            return;
        QThread::msleep(1);
        processEvents();
        if (terminate)
            return;
    }
}
