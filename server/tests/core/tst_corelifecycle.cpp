// Core's start, restart and ordered stop with real modules, including a module whose thread
// does not end in time and stop requests that arrive while a stop or restart runs; sped up
// unless TARNHALL_TIME_SCALE says otherwise. And SMDR records queued to Core from several
// threads.
#include "core/core.h"
#include "core/env.h"
#include "core/timescale.h"
#include "coreharness.h"

#include "../toolkit.h"
#include "testmain.h"

#include <QSemaphore>
#include <QTcpServer>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {

// Keeps a module's worker thread stuck, as in a long operation, until the test releases it:
// a fixed sleep would race the module waits it must outlast once the schedule is sped up.
// Returns once the worker is stuck, so that a stop cannot overtake the block.
std::shared_ptr<QSemaphore> blockWorker(AttendedThread &module)
{
    auto release = std::make_shared<QSemaphore>();
    auto entered = std::make_shared<QSemaphore>();
    if (QObject *worker = module.worker()) {
        QMetaObject::invokeMethod(
            worker,
            [release, entered] {
                entered->release();
                release->acquire();
            },
            Qt::QueuedConnection);
        entered->tryAcquire(1, 30000);
    }
    return release;
}

// Stands for a door device or a conversation emitting records in its own thread.
class Emitter : public QObject
{
    Q_OBJECT
signals:
    void smdrLog(const QDateTime &datetime, const QString &src, const QString &dest,
                 const qlonglong &duration, const QSmdrAction::Type &action, const QString &attr);
    // The form without attribute, which conversations and devices may use as well.
    void smdrLogShort(const QDateTime &datetime, const QString &src, const QString &dest,
                      const qlonglong &duration, const QSmdrAction::Type &action);
};

} // namespace

class TestCoreLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startsRestartsAndStops();
    void restartReportsAModuleThatDidNotStop();
    void restartsAskedInsideARestartRunAfterIt();
    void stopRequestsInsideAStopOrRestartRunOneStop_data();
    void stopRequestsInsideAStopOrRestartRunOneStop();
    void stopBeforeTheModulesStartStartsNone();
    void stopWaitsForAModuleThatIsLate();
    void stopOfAStoppedSipLeavesItsNextStartAlone();
    void takenPortsAreTriedAgainUntilFree();
    void smdrRecordsFromSeveralThreadsAllArrive();
};

void TestCoreLifecycle::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    if (qEnvironmentVariableIsEmpty("TARNHALL_TIME_SCALE"))
        TimeScale::setFactor(20);
}

void TestCoreLifecycle::init()
{
    QFile::remove(Env::textLogPath());
}

void TestCoreLifecycle::startsRestartsAndStops()
{
    CoreHarness harness;
    Core *core = harness.core(); // not started: still in this thread
    // A default never overwrites a stored value.
    const QString group = QStringLiteral("test-%1").arg(QDateTime::currentMSecsSinceEpoch());
    core->setDefaultValue(group, QStringLiteral("key"), 0);
    core->setDefaultValue(group, QStringLiteral("key"), 8);
    QCOMPARE(core->value(group, QStringLiteral("key"), 9).toInt(), 0);
    core->setValue(group, QStringLiteral("key"), 3);
    QCOMPARE(core->value(group, QStringLiteral("key"), 9).toInt(), 3);

    QVERIFY(harness.startAndWaitForModules());
    QString log = CoreHarness::textLog();
    const int start = log.indexOf(QStringLiteral("[CORE]: Start"));
    const int http = log.indexOf(QStringLiteral("[HTTP]: Initialization"));
    const int sip = log.indexOf(QStringLiteral("[SIP]: Initialization"));
    const int velk = log.indexOf(QStringLiteral("[VELK]: Initialization"));
    QVERIFY(start >= 0 && start < http && http < sip && sip < velk);
    // Each module's own settings file went into the core thread with it, where it is used.
    for (AttendedThread *module : { static_cast<AttendedThread *>(&core->sip()),
                                    static_cast<AttendedThread *>(&core->velk()),
                                    static_cast<AttendedThread *>(&core->http()) }) {
        const auto *file = module->findChild<QSettings *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(file && file->thread() == core->thread());
    }

    bool result = false;
    harness.inCoreThread([&] { result = core->restartSipAndVelk(); });
    QVERIFY(result);
    // The restarted threads count themselves in by queued signals, which under load may come
    // after the sped-up settle time.
    QTRY_COMPARE(harness.runningThreads(), 3);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[SIP]: Initialization")), 2);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[VELK]: Initialization")), 2);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[HTTP]: Initialization")), 1);
    log = CoreHarness::textLog();
    QVERIFY(log.indexOf(QStringLiteral("[CORE]: Restarting SIP and VELK moduls ..."))
            < log.indexOf(QStringLiteral("[CORE]: SIP and VELK moduls restarted")));
    QVERIFY(harness.stopAndWait());
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[CORE]: Stopped")), 1);
}

void TestCoreLifecycle::restartReportsAModuleThatDidNotStop()
{
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    const auto release = blockWorker(harness.core()->velk());
    bool result = true;
    harness.inCoreThread([&] { result = harness.core()->restartSipAndVelk(); });
    release->release();
    QVERIFY(!result);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[SIP]: Initialization")), 2);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[VELK]: Initialization")), 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[CORE]: SIP and VELK moduls restarted")), 1);
    // Once the stuck worker ends, only Http and Sip run.
    QTRY_COMPARE_WITH_TIMEOUT(harness.runningThreads(), 2, 60000);
}

// A double click on Save and a second administrator: two saves delivered inside the waits of
// the first one's restart.
void TestCoreLifecycle::restartsAskedInsideARestartRunAfterIt()
{
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    Core *core = harness.core();
    std::atomic<int> answered { 0 };
    const auto save = [&] { core->restartSipAndVelkThen([&](bool ok) { answered += ok; }); };
    std::atomic_flag posted = ATOMIC_FLAG_INIT;
    QObject context; // gone before the stop's lines
    QObject::connect(
        Env::instance(), &Env::viewLog, &context,
        [&](const QString &line) {
            if (line.contains("[CORE]: Restarting SIP and VELK") && !posted.test_and_set()) {
                QMetaObject::invokeMethod(core, save, Qt::QueuedConnection);
                QMetaObject::invokeMethod(core, save, Qt::QueuedConnection);
            }
        },
        Qt::DirectConnection);
    QMetaObject::invokeMethod(core, save, Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(answered.load(), 3, 60000);
    // One more restart for both, after the first: the door module stopped before each start.
    QCOMPARE(CoreHarness::logCount("[CORE]: Restarting SIP and VELK"), 2);
    QCOMPARE(CoreHarness::logCount("[VELK]: Deinitialization"), 2);
    QCOMPARE(CoreHarness::logCount("[VELK]: Initialization"), 3);
    QTRY_COMPARE(harness.runningThreads(), 3);
    int velkState = VelkNotRunning;
    harness.inCoreThread([&] { velkState = core->velk().connectionState(); });
    QCOMPARE(velkState, int(VelkListening));
}

void TestCoreLifecycle::stopRequestsInsideAStopOrRestartRunOneStop_data()
{
    QTest::addColumn<bool>("restartFirst");
    QTest::newRow("restart queued inside a stop") << false;
    QTest::newRow("stop arriving inside a restart") << true;
}

void TestCoreLifecycle::stopRequestsInsideAStopOrRestartRunOneStop()
{
    QFETCH(bool, restartFirst);
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    Core *core = harness.core();
    bool restarted = true;
    bool stoppingSeenByRestart = false;
    const auto restart = [&] {
        restarted = core->restartSipAndVelk();
        // Still alive here although a stop ran inside the restart's waits.
        stoppingSeenByRestart = core->isStopping();
    };
    // Queued, so that the later ones arrive inside the waits of the first.
    if (restartFirst)
        QMetaObject::invokeMethod(core, restart, Qt::QueuedConnection);
    QMetaObject::invokeMethod(core, &Core::stopCore, Qt::QueuedConnection);
    QMetaObject::invokeMethod(core, &Core::stopCore, Qt::QueuedConnection);
    if (!restartFirst)
        QMetaObject::invokeMethod(core, restart, Qt::QueuedConnection);
    QVERIFY(harness.stopAndWait());
    QVERIFY(!restarted);
    QVERIFY(stoppingSeenByRestart);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[CORE]: Stopping ...")), 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[CORE]: Stopped")), 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("Restarting SIP and VELK")), int(restartFirst));
    QCOMPARE(CoreHarness::logCount(QStringLiteral("SIP and VELK moduls restarted")), 0);
    // Nothing was started again once the stop had begun.
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[SIP]: Initialization")), 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[VELK]: Initialization")), 1);
}

// A service stopped as it starts: the stop comes before the queued module starts.
void TestCoreLifecycle::stopBeforeTheModulesStartStartsNone()
{
    CoreHarness harness;
    QMetaObject::invokeMethod(harness.core(), &Core::stopCore, Qt::QueuedConnection);
    harness.start();
    QTRY_VERIFY(CoreHarness::logCount(QStringLiteral("[CORE]: Stopped")) == 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("Initialization")), 0);
    QVERIFY(harness.stopAndWait());
}

void TestCoreLifecycle::stopWaitsForAModuleThatIsLate()
{
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    const auto release = blockWorker(harness.core()->velk());
    const qint64 start = TimeScale::now();
    QTimer::singleShot(int(TimeScale::toReal(24000)), [release] { release->release(); });
    QVERIFY(harness.stopAndWait());
    // Velk's 16 s wait gave up; the thread counter then waited for its thread to end.
    QVERIFY(TimeScale::now() - start >= 17000);
    const QString log = CoreHarness::textLog();
    QVERIFY(log.indexOf(QStringLiteral("[SIP]: Deinitialization"))
            < log.indexOf(QStringLiteral("[CORE]: Stopped")));
}

void TestCoreLifecycle::stopOfAStoppedSipLeavesItsNextStartAlone()
{
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    Sip &sip = harness.core()->sip();
    bool stopped = false;
    harness.inCoreThread([&] {
        sip.stop();
        stopped = sip.waitSeconds(16);
        sip.stop(); // nothing runs: this one must leave no delayed stop behind
        sip.start();
    });
    QVERIFY(stopped);
    // Up again first: a loaded machine may start it late, which is no stray stop.
    QTRY_COMPARE_WITH_TIMEOUT(harness.runningThreads(), 3, 30000);
    // Past the delay after which a stop of the running module would have ended it.
    QTest::qWait(int(TimeScale::toReal(3000)));
    QCOMPARE(harness.runningThreads(), 3);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[SIP]: Initialization")), 2);
}

// Another program holds the SIP and web ports: both modules say so once and bind as soon as the
// ports are free again.
void TestCoreLifecycle::takenPortsAreTriedAgainUntilFree()
{
    auto udp = std::make_unique<QUdpSocket>();
    auto tcp = std::make_unique<QTcpServer>();
    QVERIFY(udp->bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(tcp->listen(QHostAddress::LocalHost, 0));
    QSettings settings(Env::configFilePath(QCoreApplication::applicationName()),
                       QSettings::IniFormat);
    settings.setValue(QStringLiteral("sip/standalone-bind-port"), udp->localPort());
    settings.setValue(QStringLiteral("admin/bind-port"), tcp->serverPort());
    settings.sync();
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    QTRY_VERIFY2_WITH_TIMEOUT(
        CoreHarness::logCount(QStringLiteral("Unable to bind UDP socket")) == 1
            && CoreHarness::logCount(QStringLiteral("Unable to bind TCP socket")) == 1,
        qPrintable(CoreHarness::textLog().split('\n').filter(QStringLiteral("ind")).join('\n')),
        30000);
    udp.reset();
    tcp.reset();
    QTRY_VERIFY_WITH_TIMEOUT(CoreHarness::logCount(QStringLiteral("[SIP]: Bind on UDP")) == 1,
                             30000);
    QVERIFY(harness.stopAndWait());
    QCOMPARE(CoreHarness::logCount(QStringLiteral("Unable to bind")), 2);
    settings.setValue(QStringLiteral("sip/standalone-bind-port"), 0);
    settings.setValue(QStringLiteral("admin/bind-port"), 0);
}

void TestCoreLifecycle::smdrRecordsFromSeveralThreadsAllArrive()
{
    const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5, 678));
    const QString path = Env::logFilePath(QStringLiteral("smdr"), nullptr);
    QFile::remove(path);
    const int threads = 6;
    const int perThread = 150;
    {
        CoreHarness harness;
        QVERIFY(harness.startAndWaitForModules());
        QCOMPARE(harness.core()->smdrFilePath(), path);

        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back(QThread::create([&harness, &when, t, perThread] {
                Emitter emitter;
                using Short = void (Core::*)(const QDateTime &, const QString &, const QString &,
                                             const qlonglong &, const QSmdrAction::Type &);
                using Long
                    = void (Core::*)(const QDateTime &, const QString &, const QString &,
                                     const qlonglong &, const QSmdrAction::Type &, const QString &);
                QObject::connect(&emitter, &Emitter::smdrLog, harness.core(), Long(&Core::smdrLog),
                                 Qt::QueuedConnection);
                QObject::connect(&emitter, &Emitter::smdrLogShort, harness.core(),
                                 Short(&Core::smdrLog), Qt::QueuedConnection);
                const QString src = QStringLiteral("t%1").arg(t);
                for (int i = 0; i < perThread; ++i) {
                    if (t % 2)
                        emit emitter.smdrLogShort(when, src, QString::number(i), i * 1000,
                                                  QSmdrAction::BTO);
                    else
                        emit emitter.smdrLog(when, src, QString::number(i), i * 1000,
                                             QSmdrAction::BTO, QString());
                }
            }));
            workers.back()->start();
        }
        for (auto &worker : workers)
            QVERIFY(worker->wait(60000));
        QVERIFY(harness.stopAndWait());
    }

    QList<QByteArray> lines = readFile(path).split('\n');
    QVERIFY(lines.takeLast().isEmpty());
    QCOMPARE(lines.size(), 4 + threads * perThread);
    int next[threads] = {};
    for (int n = 4; n < lines.size(); ++n) {
        const QByteArray &line = lines.at(n);
        QCOMPARE(line.size(), 101); // 100 columns, the empty attribute, CR
        const int t = line.mid(21, 1).toInt();
        QCOMPARE(line.mid(53, 32).trimmed().toInt(), next[t]++);
    }
}

TARNHALL_TEST_MAIN(TestCoreLifecycle)
#include "tst_corelifecycle.moc"
