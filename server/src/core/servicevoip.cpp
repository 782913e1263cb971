#include "core/servicevoip.h"

#include "core/core.h"
#include "core/corethread.h"
#include "core/env.h"

ServiceVoIP::ServiceVoIP(int argc, char **argv)
    : QtService<QCoreApplication>(argc, argv, QStringLiteral("tarnhall-server"))
    , thread(nullptr)
    , ownedThread(nullptr)
{
    setServiceDescription(QStringLiteral("Tarnhall Server"));
    setServiceFlags(4);
    setStartupType(0);
}

ServiceVoIP::~ServiceVoIP()
{
    if (ownedThread) {
        ownedThread->wait(ULONG_MAX);
        delete ownedThread;
    }
}

void ServiceVoIP::start()
{
    thread = CoreThread::create(nullptr);
    ownedThread = thread;
    if (Core *core = thread->core())
        QObject::connect(core, &Core::endService, QCoreApplication::instance(),
                         &QCoreApplication::quit, Qt::QueuedConnection);
    thread->start();
}

void ServiceVoIP::stop()
{
    logLine(LogParams::Core, QStringLiteral("External signal TERMINATE"));
    if (thread) {
        emit thread->stopCore();
        thread = nullptr;
    }
}
