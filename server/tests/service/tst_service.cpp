// The real service binary, run in a private mount namespace: command line, pid file, control
// socket, signals and the ordered stop, as a user or an init system sees them.
#include "../sleepcount.h"
#include "../toolkit.h"
#include "servicesandbox.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <signal.h>

namespace {

bool waitForExit(QProcess *process, int ms = 90000)
{
    return process->waitForFinished(ms) && process->exitStatus() == QProcess::NormalExit;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void runsAndStopsThroughTheCommandLine();
    void staleSocketOfKilledServiceIsReplaced();
    void unixSignalsStopInOrder_data();
    void unixSignalsStopInOrder();
    void repeatedStopRequestsRunTheStopOnce();
    void registrationWords();
    void registrationFailureExits255();
    void wordsWithoutAServiceRunning();
    void wedgedServiceDoesNotHangTheCommandLine();
    void startLaunchesADetachedService();
    void idleServiceSleeps();
};

void TestService::runsAndStopsThroughTheCommandLine()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);

    QCOMPARE(readFile(box.pidPath()), QByteArray::number(service->processId()) + '\n');
    QCOMPARE(box.ask("alive\r\nalive\r\n"), QByteArray("truetrue"));
    QCOMPARE(QSettings(box.registryPath(), QSettings::IniFormat).allKeys(),
             QStringList { QStringLiteral("last-start") });
    QTRY_VERIFY(box.textLog().contains(QStringLiteral("[VELK]: Initialization")));
    QVERIFY(box.textLog().contains(QStringLiteral("] [LOG]: PID: %1\n").arg(service->processId())));

    const auto version = box.command({ QStringLiteral("-v") });
    QCOMPARE(version.out,
             "The service\n\ttarnhall-server\n\t" + box.binary().toLocal8Bit()
                 + "\n\nis not registered and running\n\n");

    // A second instance is refused and neither wipes the pid nor disturbs the socket.
    const auto second = box.command({});
    QCOMPARE(second.exitCode, 252);
    QCOMPARE(second.err, QByteArray("The service tarnhall-server could not start.\n"));
    QCOMPARE(readFile(box.pidPath()), QByteArray::number(service->processId()) + '\n');
    QCOMPARE(box.ask("alive\r\n"), QByteArray("true"));

    const auto stop = box.command({ QStringLiteral("stop"), QStringLiteral("ignored") });
    QCOMPARE(stop.exitCode, 0);
    QCOMPARE(stop.out, QByteArray("The service stopped.\n"));
    QVERIFY(stop.err.isEmpty());

    QVERIFY(waitForExit(service));
    QVERIFY2(service->exitCode() == 0, service->readAllStandardError().constData());
    QVERIFY(!QFile::exists(box.socketPath()));
    QVERIFY(QFile::exists(box.pidPath())); // left in place
    const QString log = box.textLog();
    QCOMPARE(box.logCount(QStringLiteral("[CORE]: External signal TERMINATE")), 1);
    QVERIFY(log.indexOf(QStringLiteral("[CORE]: Stopping ..."))
            < log.indexOf(QStringLiteral("[CORE]: Stopped")));
    // Sip's thread ends 1.5 s after its stop, so its deinitialization comes last.
    QVERIFY(log.indexOf(QStringLiteral("[HTTP]: Deinitialization"))
            < log.indexOf(QStringLiteral("[SIP]: Deinitialization")));
}

void TestService::staleSocketOfKilledServiceIsReplaced()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *first = box.startService();
    QVERIFY(first);
    // The control socket answers before the core thread has written its SMDR header. Kill it
    // outside a settings write too: QSettings' lock file, left empty by a kill, holds the next
    // start for half a minute before it counts as stale.
    const QString lock = box.root() + QStringLiteral("/conf/tarnhall-server.conf.lock");
    QTRY_VERIFY_WITH_TIMEOUT(box.textLog().contains(QStringLiteral("[VELK]: Initialization"))
                                 && !QFile::exists(lock),
                             20000);
    // A longer pid file than the next one needs: no stale digits may remain.
    QFile::resize(box.pidPath(), 0);
    QFile pidFile(box.pidPath());
    ::kill(pid_t(first->processId()), SIGKILL);
    first->waitForFinished(10000);
    QVERIFY(QFile::exists(box.socketPath()));
    QVERIFY(pidFile.open(QIODevice::WriteOnly));
    pidFile.write("99999999999\n");
    pidFile.close();

    QProcess *second = box.startService(45000); // outlasts such a lock should it happen
    QVERIFY(second);
    QCOMPARE(readFile(box.pidPath()), QByteArray::number(second->processId()) + '\n');
    const auto stop = box.command({ QStringLiteral("-stop") });
    QCOMPARE(stop.out, QByteArray("The service stopped.\n"));
    QVERIFY(waitForExit(second));
    QVERIFY2(second->exitCode() == 0, second->readAllStandardError().constData());
    // Each start of the core appends its own SMDR header block.
    QCOMPARE(
        readFile(box.root() + QStringLiteral("/log/smdr.log")).count("Corvane Tarnhall System "),
        2);
}

void TestService::unixSignalsStopInOrder_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("text");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("[CORE]: System signal SIGTERM");
    QTest::newRow("SIGHUP") << int(SIGHUP) << QStringLiteral("[CORE]: System signal SIGHUP");
}

void TestService::unixSignalsStopInOrder()
{
    QFETCH(int, signal);
    QFETCH(QString, text);
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);
    QTRY_VERIFY(box.textLog().contains(QStringLiteral("[VELK]: Initialization")));

    ::kill(pid_t(service->processId()), signal);
    QVERIFY(waitForExit(service));
    QVERIFY2(service->exitCode() == 0, service->readAllStandardError().constData());
    const QString log = box.textLog();
    const QStringList order { text,
                              QStringLiteral("[CORE]: Stopping ..."),
                              QStringLiteral("[HTTP]: Deinitialization"),
                              QStringLiteral("[VELK]: Deinitialization"),
                              QStringLiteral("[SIP]: Deinitialization"),
                              QStringLiteral("[CORE]: Stopped") };
    int at = 0;
    for (const QString &line : order) {
        const int found = log.indexOf(line, at);
        QVERIFY2(found >= 0, qPrintable(line));
        at = found;
    }
    QVERIFY(!QFile::exists(box.socketPath()));
}

void TestService::repeatedStopRequestsRunTheStopOnce()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);
    QTRY_VERIFY(box.textLog().contains(QStringLiteral("[VELK]: Initialization")));

    // Both "terminate"s are obeyed; the signals arrive while Sip's delayed stop runs.
    QCOMPARE(box.ask("terminate\r\nterminate\r\n"), QByteArray("truetrue"));
    ::kill(pid_t(service->processId()), SIGTERM);
    ::kill(pid_t(service->processId()), SIGHUP);
    QVERIFY(waitForExit(service));
    QVERIFY2(service->exitCode() == 0, service->readAllStandardError().constData());
    QCOMPARE(box.logCount(QStringLiteral("[CORE]: External signal TERMINATE")), 2);
    QCOMPARE(box.logCount(QStringLiteral("[CORE]: Stopping ...")), 1);
    QCOMPARE(box.logCount(QStringLiteral("[CORE]: Stopped")), 1);
    QCOMPARE(box.logCount(QStringLiteral("[SIP]: Deinitialization")), 1);
}

void TestService::registrationWords()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    const auto first = box.command({ QStringLiteral("-r") });
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(first.out,
             "The service tarnhall-server has been registered under: " + box.binary().toLocal8Bit()
                 + '\n');
    QSettings registry(box.registryPath(), QSettings::IniFormat);
    QCOMPARE(registry.value(QStringLiteral("path")).toString(), box.binary());
    QCOMPARE(registry.value(QStringLiteral("description")).toString(),
             QStringLiteral("Tarnhall Server"));

    const auto again = box.command({ QStringLiteral("-register") });
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.err, QByteArray("The service tarnhall-server is already registered\n"));

    const auto version = box.command({ QStringLiteral("-version") });
    QVERIFY(version.out.endsWith("is registered and not running\n\n"));

    const auto unregister = box.command({ QStringLiteral("-u") });
    QCOMPARE(unregister.exitCode, 0);
    QCOMPARE(unregister.out, QByteArray("The service tarnhall-server has been unregistered.\n"));
    QVERIFY(!QFile::exists(box.registryPath()));

    const auto none = box.command({ QStringLiteral("-unregister") });
    QCOMPARE(none.exitCode, 0);
    QCOMPARE(none.err, QByteArray("The service tarnhall-server is not registered\n"));
}

void TestService::registrationFailureExits255()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    // Even root cannot write a settings file where a folder stands.
    QVERIFY(QDir().mkpath(box.registryPath()));
    const auto result = box.command({ QStringLiteral("-r") });
    QCOMPARE(result.exitCode, 255);
    QCOMPARE(result.err,
             QByteArray("Cannot register \"tarnhall-server\". Cannot write to: "
                        "/etc/tarnhall-server/service.conf. Check permissions.\n"
                        "The service tarnhall-server could not be registered\n"));
    // Nor can the service stamp its start there.
    const auto run = box.command({});
    QCOMPARE(run.exitCode, 252);
    QCOMPARE(run.err, QByteArray("The service tarnhall-server could not start.\n"));
}

void TestService::wordsWithoutAServiceRunning()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    const auto stop = box.command({ QStringLiteral("stop") });
    QCOMPARE(stop.exitCode, 0);
    QCOMPARE(stop.err, QByteArray("The service could not be stopped.\n"));
    QVERIFY(stop.out.isEmpty());

    const auto version = box.command({ QStringLiteral("-v") });
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.endsWith("\n\nis not registered and not running\n\n"));

    for (const QString &word :
         { QStringLiteral("STOP"), QStringLiteral("--stop"), QStringLiteral("x") }) {
        const auto other = box.command({ word });
        QCOMPARE(other.exitCode, 0);
        QVERIFY(other.out.isEmpty() && other.err.isEmpty());
    }
    QVERIFY(!QFile::exists(box.pidPath())); // the service was never run
}

void TestService::wedgedServiceDoesNotHangTheCommandLine()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);
    const pid_t pid = pid_t(service->processId());
    ::kill(pid, SIGSTOP); // the kernel still accepts connections; nobody answers
    const auto stop = box.command({ QStringLiteral("stop") }, 60000);
    ::kill(pid, SIGCONT);
    QCOMPARE(stop.exitCode, 0);
    QCOMPARE(stop.err, QByteArray("The service could not be stopped.\n"));
    ::kill(pid, SIGTERM);
    QVERIFY(waitForExit(service));
}

void TestService::startLaunchesADetachedService()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    const auto start = box.command({ QStringLiteral("start") });
    QCOMPARE(start.exitCode, 0);
    QCOMPARE(start.out, QByteArray("The service started.\n"));
    QVERIFY(box.waitUntilAlive());

    const auto again = box.command({ QStringLiteral("-start") });
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.err,
             QByteArray("The service tarnhall-server already running.\n"
                        "The service tarnhall-server could not be started.\n"));

    const auto stop = box.command({ QStringLiteral("stop") });
    QCOMPARE(stop.out, QByteArray("The service stopped.\n"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(box.socketPath()), 60000);
}

void TestService::idleServiceSleeps()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);
    QTRY_VERIFY(box.textLog().contains(QStringLiteral("[VELK]: Initialization")));
    // Every module runs and nobody talks to the service: its threads have nothing to do. The
    // start-up may still be finishing on a loaded machine, so the quietest 3 s of 12 count.
    const QString tasks = QStringLiteral("/proc/%1/task").arg(service->processId());
    QList<qint64> samples { voluntarySwitches(tasks) };
    qint64 wakes = -1;
    while (samples.size() < 13 && (wakes < 0 || wakes >= 3 * 50)) {
        QTest::qWait(1000);
        samples << voluntarySwitches(tasks);
        if (samples.size() >= 4)
            wakes = samples.last() - samples.at(samples.size() - 4);
    }
    QVERIFY2(wakes < 3 * 50, qPrintable(QStringLiteral("%1 wake-ups in 3 s").arg(wakes)));
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
