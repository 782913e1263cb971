#pragma once

#include "velk/velk.h"
#include "velk/velkobject.h"

#include <QtTest>

// The port the door-device module listens on, once it does; 0 when it did not within the time.
// Tests give the module port 0 and read what it bound: a port probed free and bound later may
// be taken meanwhile by any socket of the machine (another suite's, or the panel's own), and
// the panels then report to that socket while the module never binds.
inline quint16 velkListeningPort(Velk *velk, int timeoutMs = 20000)
{
    if (!QTest::qWaitFor([velk] { return velk->connectionState() == VelkListening; }, timeoutMs))
        return 0;
    auto *worker = qobject_cast<VelkObject *>(velk->worker());
    if (!worker)
        return 0;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        worker, [worker, &port] { port = worker->localPort(); }, Qt::BlockingQueuedConnection);
    return port;
}
