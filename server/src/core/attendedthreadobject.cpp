#include "core/attendedthreadobject.h"

#include "core/eventwait.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <limits>

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
    // Called straight from another thread, the worker may be asleep with no event coming.
    if (QThread::currentThread() != thread()) {
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread()))
            dispatcher->wakeUp();
    }
}

void AttendedThreadObject::sleep(quint64 ms)
{
    if (terminate)
        return;
    const quint64 most = quint64(std::numeric_limits<qint64>::max());
    EventWait::until(EventWait::deadlineIn(qint64(qMin(ms, most))),
                     [this] { return terminate.load(); });
}
