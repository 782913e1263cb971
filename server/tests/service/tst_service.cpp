// The real service binary, run in a private mount namespace: command line, pid file, control
// socket, signals and the ordered stop, as a user or an init system sees them.
#include "../sip/local/localserverfixture.h"
#include "../sleepcount.h"
#include "../toolkit.h"
#include "servicesandbox.h"
#include "testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include <signal.h>

namespace {

bool waitForExit(QProcess *process, int ms = 90000)
{
    // One that ended while the test's own event loop ran is finished already: Qt waits no more.
    return (process->state() == QProcess::NotRunning || process->waitForFinished(ms))
        && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runsDetachedAndStopsThroughTheCommandLine();
    void staleSocketOfKilledServiceIsReplaced();
    void idleServiceSleepsAndSignalsStopIt();
    void commandLineWithoutAServiceRunning();
    void wedgedServiceDoesNotHangTheCommandLine();
    void stopEndsACallBetweenPhones();
};

void TestService::initTestCase()
{
    // The phones' service shares this test's network namespace, which ctest gives it.
    if (QFile::symLinkTarget("/proc/self/ns/net") == QFile::symLinkTarget("/proc/1/ns/net"))
        QSKIP("needs a network namespace of its own (ctest runs it in one)");
    QVERIFY(runTool("ip", { "link", "set", "lo", "up" }));
}

// Launched detached, as an init script does; the pid file's layout is checked below.
void TestService::runsDetachedAndStopsThroughTheCommandLine()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QCOMPARE(box.command({ "start" }), QByteArray("0 [The service started.\n] []"));
    QVERIFY(box.waitUntilAlive());
    const QByteArray pid = readFile(box.pidPath()).trimmed();
    QCOMPARE(QFile(QStringLiteral("/proc/%1/exe").arg(QString::fromLatin1(pid))).symLinkTarget(),
             box.binary());
    QCOMPARE(box.ask("alive\r\nalive\r\n"), QByteArray("truetrue"));
    QCOMPARE(QSettings(box.registryPath(), QSettings::IniFormat).allKeys(),
             QStringList { QStringLiteral("last-start") });
    QTRY_VERIFY(box.textLog().contains(QStringLiteral("[VELK]: Initialization")));
    QVERIFY(box.textLog().contains("] [LOG]: PID: " + pid + "\n"));
    QCOMPARE(box.command({ "-v" }),
             "0 [The service\n\ttarnhall-server\n\t" + box.binary().toLocal8Bit()
                 + "\n\nis not registered and running\n\n] []");
    QCOMPARE(box.command({ "-start" }),
             QByteArray("0 [] [The service tarnhall-server already running.\n"
                        "The service tarnhall-server could not be started.\n]"));

    // A second instance is refused and neither wipes the pid nor disturbs the socket.
    QCOMPARE(box.command({}),
             QByteArray("252 [] [The service tarnhall-server could not start.\n]"));
    QCOMPARE(readFile(box.pidPath()).trimmed(), pid);
    QCOMPARE(box.ask("alive\r\n"), QByteArray("true"));

    QCOMPARE(box.command({ "stop", "ignored" }), QByteArray("0 [The service stopped.\n] []"));
    QTRY_VERIFY_WITH_TIMEOUT(box.textLog().contains(QStringLiteral("[CORE]: Stopped")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(box.socketPath()), 60000);
    QVERIFY(QFile::exists(box.pidPath())); // left in place
    QCOMPARE(box.textLog().count(QStringLiteral("[CORE]: External signal TERMINATE")), 1);
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
    // Once seen it stays seen: the macro's last look may fall into the next settings write.
    bool started = false;
    QTRY_VERIFY_WITH_TIMEOUT(
        started
            || (started = box.textLog().contains(QStringLiteral("[VELK]: Initialization"))
                    && !QFile::exists(lock)),
        60000);
    ::kill(pid_t(first->processId()), SIGKILL);
    first->waitForFinished(10000);
    QVERIFY(QFile::exists(box.socketPath()));
    // A longer pid file than the next one needs: no stale digits may remain.
    QVERIFY(writeFile(box.pidPath(), "99999999999\n"));

    QProcess *second = box.startService(45000); // outlasts such a lock should it happen
    QVERIFY(second);
    QCOMPARE(readFile(box.pidPath()), QByteArray::number(second->processId()) + '\n');
    QCOMPARE(box.command({ "-stop" }), QByteArray("0 [The service stopped.\n] []"));
    QVERIFY2(waitForExit(second), second->readAllStandardError().constData());
    // Each start of the core appends its own SMDR header block.
    QCOMPARE(
        readFile(box.root() + QStringLiteral("/log/smdr.log")).count("Corvane Tarnhall System "),
        2);
}

void TestService::idleServiceSleepsAndSignalsStopIt()
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

    // Both signals arrive before the stop ends (Sip's thread ends 1.5 s after its stop, so its
    // deinitialization comes last), in either order: one ordered stop, clean exit.
    ::kill(pid_t(service->processId()), SIGTERM);
    ::kill(pid_t(service->processId()), SIGHUP);
    QVERIFY2(waitForExit(service), service->readAllStandardError().constData());
    const QString log = box.textLog();
    int at = 0;
    for (const char *line :
         { "[CORE]: System signal SIG", "[CORE]: Stopping ...", "[HTTP]: Deinitialization",
           "[VELK]: Deinitialization", "[SIP]: Deinitialization", "[CORE]: Stopped" }) {
        at = log.indexOf(QLatin1String(line), at);
        QVERIFY2(at >= 0, line);
    }
    QCOMPARE(log.count(QStringLiteral("[CORE]: Stopping ...")), 1);
    QCOMPARE(log.count(QStringLiteral("[SIP]: Deinitialization")), 1);
    QVERIFY(!QFile::exists(box.socketPath()));
}

void TestService::commandLineWithoutAServiceRunning()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QCOMPARE(box.command({ "stop" }), QByteArray("0 [] [The service could not be stopped.\n]"));
    QVERIFY(box.command({ "-v" }).endsWith("\n\nis not registered and not running\n\n] []"));
    for (const char *word : { "STOP", "--stop", "x" })
        QCOMPARE(box.command({ word }), QByteArray("0 [] []"));

    QCOMPARE(box.command({ "-r" }),
             "0 [The service tarnhall-server has been registered under: "
                 + box.binary().toLocal8Bit() + "\n] []");
    QSettings registry(box.registryPath(), QSettings::IniFormat);
    QCOMPARE(registry.value(QStringLiteral("path")).toString(), box.binary());
    QCOMPARE(registry.value(QStringLiteral("description")).toString(),
             QStringLiteral("Tarnhall Server"));
    QCOMPARE(box.command({ "-register" }),
             QByteArray("0 [] [The service tarnhall-server is already registered\n]"));
    QVERIFY(box.command({ "-version" }).endsWith("is registered and not running\n\n] []"));
    QCOMPARE(box.command({ "-u" }),
             QByteArray("0 [The service tarnhall-server has been unregistered.\n] []"));
    QVERIFY(!QFile::exists(box.registryPath()));
    QCOMPARE(box.command({ "-unregister" }),
             QByteArray("0 [] [The service tarnhall-server is not registered\n]"));
    QVERIFY(!QFile::exists(box.pidPath())); // the service was never run

    // Even root cannot write a settings file where a folder stands.
    QVERIFY(QDir().mkpath(box.registryPath()));
    QCOMPARE(box.command({ "-r" }),
             QByteArray("255 [] [Cannot register \"tarnhall-server\". Cannot write to: "
                        "/etc/tarnhall-server/service.conf. Check permissions.\n"
                        "The service tarnhall-server could not be registered\n]"));
    // Nor can the service stamp its start there.
    QCOMPARE(box.command({}),
             QByteArray("252 [] [The service tarnhall-server could not start.\n]"));
}

void TestService::wedgedServiceDoesNotHangTheCommandLine()
{
    ServiceSandbox box;
    QVERIFY(box.isValid());
    QProcess *service = box.startService();
    QVERIFY(service);
    const pid_t pid = pid_t(service->processId());
    ::kill(pid, SIGSTOP); // the kernel still accepts connections; nobody answers
    const QByteArray stop = box.command({ "stop" }, 60000);
    ::kill(pid, SIGCONT);
    QCOMPARE(stop, QByteArray("0 [] [The service could not be stopped.\n]"));
    ::kill(pid, SIGTERM);
    QVERIFY2(waitForExit(service), service->readAllStandardError().constData());
}

// A new user's service (a standalone server on 0.0.0.0:5060) stopped while two phones talk: both
// hear BYE, a call placed meanwhile is refused, the call leaves its one record, and the process
// is gone within seconds.
void TestService::stopEndsACallBetweenPhones()
{
    ServiceSandbox box(false);
    QVERIFY(box.isValid());
    {
        QSettings users(box.root() + "/conf/sip-users.conf", QSettings::IniFormat);
        for (const QString name : { "alice", "bob" }) {
            users.setValue(name + "/type-user", 1);
            users.setValue(name + "/sip-standalone-login", name);
            users.setValue(name + "/sip-standalone-password", "pw-" + name);
        }
    }
    QProcess *service = box.startService();
    QVERIFY(service);
    QTRY_VERIFY_WITH_TIMEOUT(box.textLog().contains("Bind on UDP 0.0.0.0:5060"), 20000);
    RawPhone alice("alice", 5060), bob("bob", 5060);
    QCOMPARE(alice.registerWith(), 200);
    QCOMPARE(bob.registerWith(), 200);
    QVERIFY(alice.invite("bob", "talk-1", kSdp));
    const SipMessage invite = bob.next();
    QCOMPARE(invite.startLine.method, SipMethod::Invite);
    bob.send(reply(invite, 200));
    SipMessage ok = alice.next();
    while (statusCode(ok) == 180)
        ok = alice.next();
    QCOMPARE(statusCode(ok), 200);
    QTest::qWait(1000); // they talk

    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(service->processId()), SIGTERM);
    for (RawPhone *phone : { &alice, &bob }) {
        SipMessage bye = phone->next();
        while (bye.startLine.kind == 1 || bye.startLine.method != SipMethod::Bye) {
            QVERIFY(bye.isValid());
            bye = phone->next();
        }
        phone->send(reply(bye, 200));
    }
    // A call placed while the service stops is refused before its challenge and rings nobody.
    QVERIFY(!bob.invite("alice", "late-1", kSdp));
    for (SipMessage heard = alice.next(1000); heard.isValid(); heard = alice.next(1000))
        QVERIFY2(heard.startLine.method != SipMethod::Invite, heard.toByteArray().constData());
    QVERIFY2(waitForExit(service, 15000), service->readAllStandardError().constData());
    QVERIFY(
        box.textLog().contains("Call from 'bob' to 'alice' refused: the SIP module is stopping"));
    QVERIFY(stopping.elapsed() < 10000);
    const QByteArray smdr = readFile(box.root() + "/log/smdr.log");
    QCOMPARE(smdr.count(" INT "), 1);
    QVERIFY(smdr.contains(" alice "));
}

TARNHALL_TEST_MAIN(TestService)
#include "tst_service.moc"
