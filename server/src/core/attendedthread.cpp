#include "core/attendedthread.h"

#include "core/attendedthreadobject.h"
#include "core/env.h"

#include <QElapsedTimer>

AttendedThread::AttendedThread(QObject *parent)
    : CoreObject(parent)
    , thread(this)
    , object(nullptr)
{
    setObjectName(QStringLiteral("AttendedThread"));
    connect(&thread, &QThread::started, this, &AttendedThread::started, Qt::QueuedConnection);
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
    QElapsedTimer timer;
    timer.start();
    const qint64 limit = qint64(seconds) * 1000;
    for (;;) {
        if (timer.elapsed() >= limit)
            return false;
        if (wait(1))
            return true;
        processEvents();
    }
}

void AttendedThread::start()
{
    init();
    if (object)
        thread.start(QThread::InheritPriority);
}

void AttendedThread::stop()
{
    emit queryTerminate();
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
