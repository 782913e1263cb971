#include "core/corethread.h"

#include "core/core.h"
#include "core/env.h"

#include <QSocketNotifier>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Element 0 is written by the signal handler, element 1 is watched in the event loop.
int sighupFd[2] = { -1, -1 };
int sigtermFd[2] = { -1, -1 };

void writeByte(int fd)
{
    const char one = 1;
    const ssize_t written = ::write(fd, &one, sizeof one);
    (void)written;
}

void hupSignalHandler(int)
{
    writeByte(sighupFd[0]);
}

void termSignalHandler(int)
{
    writeByte(sigtermFd[0]);
}

void installHandler(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

} // namespace

CoreThread *CoreThread::create(QObject *parent)
{
    logLine(LogParams::Log, QStringLiteral("PID: %1").arg(::getpid()));
    auto *coreThread = new CoreThread(parent);
    coreThread->setObjectName(QStringLiteral("CoreThread"));
    auto *core = new Core();
    connect(coreThread, &CoreThread::stopCore, core, &Core::stopCore, Qt::QueuedConnection);
    coreThread->setObject(core);
    return coreThread;
}

CoreThread::CoreThread(QObject *parent)
    : AttendedThread(parent)
{
    // The pairs serve the whole process; a second core thread reuses them.
    if (sighupFd[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, sighupFd) != 0)
        qFatal("Couldn't create HUP socketpair");
    if (sigtermFd[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, sigtermFd) != 0)
        qFatal("Couldn't create TERM socketpair");

    installHandler(SIGHUP, hupSignalHandler);
    installHandler(SIGTERM, termSignalHandler);

    snHup = new QSocketNotifier(sighupFd[1], QSocketNotifier::Read, this);
    connect(snHup, &QSocketNotifier::activated, this, &CoreThread::handleSigHup);
    snTerm = new QSocketNotifier(sigtermFd[1], QSocketNotifier::Read, this);
    connect(snTerm, &QSocketNotifier::activated, this, &CoreThread::handleSigTerm);

    // Once Core is gone nothing runs in the core thread any more: let it end, so the
    // process can wait for it and exit cleanly.
    connect(
        this, &AttendedThread::finished, this, [this] { thread.quit(); }, Qt::DirectConnection);
}

Core *CoreThread::core() const
{
    return qobject_cast<Core *>(object);
}

void CoreThread::handleSignal(QSocketNotifier *notifier, int fd, const char *name)
{
    logLine(LogParams::Core, QStringLiteral("System signal %1").arg(QLatin1String(name)));
    notifier->setEnabled(false);
    char byte;
    const ssize_t got = ::read(fd, &byte, sizeof byte);
    (void)got;
    emit stopCore();
    notifier->setEnabled(true);
}

void CoreThread::handleSigHup()
{
    handleSignal(snHup, sighupFd[1], "SIGHUP");
}

void CoreThread::handleSigTerm()
{
    handleSignal(snTerm, sigtermFd[1], "SIGTERM");
}
