#include "coreharness.h"

#include "core/core.h"
#include "core/corethread.h"
#include "core/env.h"

#include "../toolkit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSettings>
#include <QThread>

CoreHarness::CoreHarness()
{
    // Every module's socket on loopback and a free port, never the machine's default ports,
    // which parallel tests (and other programs) would fight over, whatever an earlier test or
    // a module's defaults left in the file. A test may name its own SIP and web ports.
    QSettings settings(Env::configFilePath(QCoreApplication::applicationName()),
                       QSettings::IniFormat);
    for (const char *group : { "velk/", "sip/standalone-", "admin/" }) {
        settings.setValue(QLatin1String(group) + QStringLiteral("bind-address"),
                          QStringLiteral("127.0.0.1"));
        const QString port = QLatin1String(group) + QStringLiteral("bind-port");
        if (!settings.contains(port) || qstrcmp(group, "velk/") == 0)
            settings.setValue(port, 0);
    }
    settings.sync();
    m_thread = CoreThread::create(nullptr);
    m_core = m_thread->core();
    QObject::connect(
        m_core, &Core::endService, QCoreApplication::instance(), [this] { m_ended = true; },
        Qt::QueuedConnection);
}

CoreHarness::~CoreHarness()
{
    if (!m_ended) {
        if (!m_thread->ownedThread()->isRunning())
            m_thread->start();
        stopAndWait();
    }
    m_thread->wait(ULONG_MAX);
    delete m_thread;
}

void CoreHarness::start()
{
    m_thread->start();
}

bool CoreHarness::startAndWaitForModules()
{
    start();
    QDeadlineTimer deadline(30000);
    while (runningThreads() != 3) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

void CoreHarness::inCoreThread(const std::function<void()> &fn)
{
    QMetaObject::invokeMethod(m_core, fn, Qt::BlockingQueuedConnection);
}

qint64 CoreHarness::runningThreads()
{
    qint64 count = -1;
    inCoreThread([&] { count = m_core->runningThreads(); });
    return count;
}

bool CoreHarness::stopAndWait(int ms)
{
    emit m_thread->stopCore();
    QDeadlineTimer deadline(ms);
    while (!m_ended && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return m_ended;
}

QString CoreHarness::textLog()
{
    return QString::fromLocal8Bit(readFile(Env::textLogPath()));
}

int CoreHarness::logCount(const QString &text)
{
    return textLog().count(text);
}
