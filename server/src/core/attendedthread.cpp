#include "core/attendedthread.h"

#include "core/attendedthreadobject.h"
#include "core/eventwait.h"
#include "core/timescale.h"

#include <QDeadlineTimer>

#include <utility>

AttendedThread::AttendedThread(QObject *parent)
    : CoreObject(parent)
    , thread(this)
    , object(nullptr)
{
    setObjectName(QStringLiteral("AttendedThread"));
    connect(&thread, &QThread::started, this, &AttendedThread::started, Qt::QueuedConnection);
    // Runs in the owned thread as it finishes; the queued no-op wakes a waitSeconds asleep in
    // this object's thread.
    connect(
        &thread, &QThread::finished, this,
        [this] {
            m_Ending = true;
            QMetaObject::invokeMethod(
                this, [] {}, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

AttendedThread::~AttendedThread()
{
    if (object) {
        thread.quit();
        thread.wait();
    }
}

void AttendedThread::setObject(QObject *worker)
{
    if (!worker)
        return;
    object = worker;
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater, Qt::DirectConnection);
    connect(worker, &QObject::destroyed, this, &AttendedThread::objectDestroyed,
            Qt::DirectConnection);
    if (auto *attended = qobject_cast<AttendedThreadObject *>(worker)) {
        connect(&thread, &QThread::started, attended, &AttendedThreadObject::run,
                Qt::DirectConnection);
        connect(this, &AttendedThread::queryTerminate, attended,
                &AttendedThreadObject::queryTerminate, Qt::QueuedConnection);
    } else {
        connect(&thread, &QThread::started, this, &AttendedThread::run, Qt::DirectConnection);
    }
    worker->moveToThread(&thread);
}

void AttendedThread::init() { }

void AttendedThread::deinit() { }

bool AttendedThread::waitSeconds(ulong seconds)
{
    // Monotonic: a board without a real-time clock jumps years at its first time sync.
    const qint64 deadline = EventWait::deadlineIn(qint64(qMin<ulong>(seconds, 1UL << 40)) * 1000);
    EventWait sleeper;
    for (;;) {
        const qint64 left = deadline - TimeScale::now();
        if (left <= 0)
            return false;
        if (wait(0))
            return true;
        if (m_Ending) {
            // Past its last event the thread ends within moments; wait on its end itself, in
            // steps short enough to keep this thread's events flowing.
            if (thread.wait(QDeadlineTimer(qMin<qint64>(TimeScale::toReal(left), 1))))
                return true;
            sleeper.deliverPending();
        } else {
            sleeper.waitUntil(deadline);
        }
    }
}

void AttendedThread::start()
{
    init();
    if (object) {
        m_Ending = false;
        m_Addressed = object;
        thread.start(QThread::InheritPriority);
    }
}

void AttendedThread::stop()
{
    emit queryTerminate();
    // Qt 5 leaks the slot object of a signal queued at the moment its receiver is destroyed in
    // another thread: a worker told to end hears nothing more from its module, which may still
    // emit as it winds down.
    if (QObject *worker = std::exchange(m_Addressed, nullptr))
        disconnect(this, nullptr, worker, nullptr);
    thread.quit();
    deinit();
}

bool AttendedThread::wait(ulong time)
{
    return thread.wait(time);
}

void AttendedThread::objectDestroyed(QObject *obj)
{
    if (obj == object)
        object = nullptr;
    emit finished();
}
