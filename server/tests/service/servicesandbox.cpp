#include "servicesandbox.h"

#include "../toolkit.h"
#include "testmain.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QThread>

#include <signal.h>

ServiceSandbox::ServiceSandbox(bool ownNetwork)
    : ownNetwork(ownNetwork)
{
    const QString built = qEnvironmentVariable("TARNHALL_BINARY_DIR") + "/bin/tarnhall-server";
    valid = dir.isValid() && QDir(root()).mkpath(QStringLiteral("bin"))
        && QFile::copy(built, binary()) && QDir(root()).mkpath(QStringLiteral("conf"));
    // The door-panel socket on loopback and a free port, never the machine's 0.0.0.0:5757.
    QSettings settings(root() + QStringLiteral("/conf/tarnhall-server.conf"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("velk/bind-address"), QStringLiteral("127.0.0.1"));
    settings.setValue(QStringLiteral("velk/bind-port"), 0);
    settings.sync();
    valid = valid && settings.status() == QSettings::NoError;
}

ServiceSandbox::~ServiceSandbox()
{
    for (auto &process : processes) {
        if (process->state() != QProcess::NotRunning) {
            ::kill(pid_t(process->processId()), SIGKILL);
            process->waitForFinished(5000);
        }
    }
    // A service launched detached ("start") is not one of ours: end it by its pid file.
    const qint64 id = readFile(pidPath()).trimmed().toLongLong();
    if (id > 0 && ::kill(pid_t(id), 0) == 0
        && QFile(QStringLiteral("/proc/%1/exe").arg(id)).symLinkTarget() == binary())
        ::kill(pid_t(id), SIGKILL);
    const QStringList warnings = threadingWarnings();
    if (!warnings.isEmpty())
        QTest::qFail(qPrintable("the service's log holds threading warnings:\n"
                                + warnings.join(QLatin1Char('\n'))),
                     __FILE__, __LINE__);
}

QProcess *ServiceSandbox::sandboxed(const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    if (!ownNetwork) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARNHALL_SANDBOX_NETWORK"), QStringLiteral("shared"));
        process->setProcessEnvironment(environment);
    }
    process->start(qEnvironmentVariable("TARNHALL_SOURCE_DIR")
                       + QStringLiteral("/server/tests/service/sandbox.sh"),
                   QStringList { root(), binary() } + arguments);
    process->waitForStarted();
    processes.push_back(std::move(process));
    return processes.back().get();
}

QProcess *ServiceSandbox::startService(int ms)
{
    QProcess *process = sandboxed({});
    if (waitUntilAlive(ms))
        return process;
    // Say why, or the failure shows only as a service that never answered.
    qWarning("service not alive: state %d, exit %d, stderr: %s", int(process->state()),
             process->exitCode(), process->readAllStandardError().constData());
    return nullptr;
}

bool ServiceSandbox::waitUntilAlive(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (QFile::exists(socketPath()) && ask("alive\r\n") == "true")
            return true;
        QThread::msleep(50);
    }
    return false;
}

QByteArray ServiceSandbox::command(const QStringList &arguments, int ms)
{
    QProcess *process = sandboxed(arguments);
    if (!process->waitForFinished(ms) || process->exitStatus() != QProcess::NormalExit)
        return "no exit";
    return QByteArray::number(process->exitCode()) + " [" + process->readAllStandardOutput() + "] ["
        + process->readAllStandardError() + "]";
}

QByteArray ServiceSandbox::ask(const QByteArray &lines)
{
    QProcess socat;
    socat.start(QStringLiteral("socat"),
                { QStringLiteral("-t2"), QStringLiteral("-"),
                  QStringLiteral("UNIX-CONNECT:%1").arg(socketPath()) });
    socat.waitForStarted();
    socat.write(lines);
    socat.closeWriteChannel();
    socat.waitForFinished(10000);
    return socat.readAllStandardOutput();
}

QString ServiceSandbox::textLog() const
{
    return QString::fromLocal8Bit(readFile(root() + QStringLiteral("/log/tarnhall-server.log")));
}

QStringList ServiceSandbox::threadingWarnings() const
{
    QStringList found;
    const QStringList lines = textLog().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (testkit::isThreadingWarning(line))
            found << line;
    }
    return found;
}
