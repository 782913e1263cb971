// The module-thread frame and the shared helpers.
#include "core/attendedthread.h"
#include "core/attendedthreadobject.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "core/systeminfo.h"

#include "../sleepcount.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QtTest>

namespace {

// Loops in sleep() until asked to end, as the module workers do; only the stop request can
// wake it in time.
class LoopingWorker : public AttendedThreadObject
{
public:
    std::atomic<bool> running { false };
    void run() override
    {
        running = true;
        while (!terminate)
            sleep(3600000);
    }
};

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void nullWorkerStartsNothing();
    void workerRunsInItsThreadAndEndsOnStop();
    void plainWorkerGetsTheRunSignal();
    void sleepEndsEarlyOnTerminate();
    void waitsSleepUntilTheirDeadline();
    void destroyingARunningModuleWaitsForIt();
    void identifiers();
    void packingAndTables();
    void systemQueries();
};

void TestFrame::nullWorkerStartsNothing()
{
    AttendedThread module;
    module.setObject(nullptr);
    module.start();
    QVERIFY(!module.ownedThread()->isRunning());
    QVERIFY(module.waitSeconds(16)); // never started: true on the first poll
}

void TestFrame::workerRunsInItsThreadAndEndsOnStop()
{
    AttendedThread module;
    auto *worker = new LoopingWorker;
    QPointer<QObject> seen(worker);
    bool goneAtFinished = false;
    connect(
        &module, &AttendedThread::finished, &module,
        [&] { goneAtFinished = module.worker() == nullptr; }, Qt::DirectConnection);
    QSignalSpy started(&module, &AttendedThread::started);
    module.setObject(worker);
    QCOMPARE(worker->thread(), module.ownedThread());
    module.start();
    QTRY_COMPARE(started.count(), 1);
    QTRY_VERIFY(worker->running);

    QSignalSpy finished(&module, &AttendedThread::finished);
    module.stop();
    QVERIFY(module.waitSeconds(16));
    QTRY_COMPARE(finished.count(), 1);
    // finished comes after the worker is gone.
    QVERIFY(goneAtFinished);
    QTRY_VERIFY(seen.isNull());
}

void TestFrame::plainWorkerGetsTheRunSignal()
{
    AttendedThread module;
    auto *worker = new QObject;
    QThread *ranIn = nullptr;
    connect(
        &module, &AttendedThread::run, worker, [&] { ranIn = QThread::currentThread(); },
        Qt::DirectConnection);
    module.setObject(worker);
    module.start();
    QTRY_VERIFY(ranIn == module.ownedThread());
    module.stop();
    QVERIFY(module.waitSeconds(16));
}

void TestFrame::sleepEndsEarlyOnTerminate()
{
    AttendedThreadObject worker;
    worker.queryTerminate();
    QElapsedTimer timer;
    timer.start();
    worker.sleep(60000);
    QVERIFY(timer.elapsed() < 30000);

    // Delivered as a queued call while the worker sleeps.
    AttendedThreadObject sleeper;
    QMetaObject::invokeMethod(&sleeper, "queryTerminate", Qt::QueuedConnection);
    timer.restart();
    sleeper.sleep(60000);
    QVERIFY(sleeper.isTerminating());
    QVERIFY(timer.elapsed() < 30000);
}

void TestFrame::waitsSleepUntilTheirDeadline()
{
    // Polling every millisecond would go to sleep about a thousand times here.
    const QString self = QStringLiteral("/proc/self/task/%1").arg(currentThreadSysId());
    AttendedThread module;
    module.setObject(new AttendedThreadObject);
    module.start();
    QTRY_VERIFY(module.ownedThread()->isRunning());
    QVERIFY(!module.waitSeconds(0));
    const qint64 before = voluntarySwitches(self);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!module.waitSeconds(1)); // a running thread: the limit is reached
    QVERIFY(timer.elapsed() >= 1000);
    QVERIFY2(voluntarySwitches(self) - before < 30, "the wait polled");
    module.stop();
    QVERIFY(module.waitSeconds(16));
}

void TestFrame::destroyingARunningModuleWaitsForIt()
{
    auto *module = new AttendedThread;
    auto *worker = new LoopingWorker;
    QPointer<QObject> watch(worker);
    module->setObject(worker);
    module->start();
    QTRY_VERIFY(worker->running);
    // Ask the worker to end, but let the destructor do the waiting.
    QMetaObject::invokeMethod(worker, "queryTerminate", Qt::QueuedConnection);
    delete module;
    QVERIFY(watch.isNull());
}

void TestFrame::identifiers()
{
    const QRegularExpression hex(QStringLiteral("^[0-9a-f]{32}$"));
    QSet<QString> seen;
    for (int i = 0; i < 1000; ++i) {
        const QString id = randomHexId();
        QVERIFY(hex.match(id).hasMatch());
        seen.insert(id);
    }
    QCOMPARE(seen.size(), 1000);
    const QString branch = newBranch();
    QVERIFY(branch.startsWith(QStringLiteral("z9hG4bK")));
    QVERIFY(hex.match(branch.mid(7)).hasMatch());
    QCOMPARE(randomBinaryId().size(), 12);
    QCOMPARE(realmOr(QStringLiteral("x")), QStringLiteral("corvane"));
}

void TestFrame::packingAndTables()
{
    QCOMPARE(fourCc(QString()), 0u);
    QCOMPARE(fourCc(QStringLiteral("abc")), 0x00636261u);
    QCOMPARE(fourCc(QStringLiteral("abcdef")), fourCc(QStringLiteral("abcd")));
    QCOMPARE(dtmfKeyName(10), QStringLiteral("0"));
    QCOMPARE(dtmfKeyName(12), QStringLiteral("#"));
    QCOMPARE(dtmfKeyName(13), QStringLiteral("13"));
    QCOMPARE(frameSamplesForFrequency(2), 960);
    QCOMPARE(frameSamplesForFrequency(3), 0);
    QCOMPARE(sampleRateForFrequency(1), 24000);
    QCOMPARE(sampleRateForFrequency(-1), 0);
}

void TestFrame::systemQueries()
{
    const QByteArray path = qgetenv("PATH");
    qunsetenv("PATH");
    QVERIFY(!findInPath(QStringLiteral("sh")));
    qputenv("PATH", "/usr/bin:/bin");
    QVERIFY(findInPath(QStringLiteral("sh")));
    QVERIFY(!findInPath(QStringLiteral("..")));
    QCOMPARE(runProgram(QStringLiteral("printf"), { QStringLiteral("a\\0b") }),
             QStringLiteral("a"));
    QCOMPARE(runProgram(QStringLiteral("false"), {}), QString());
    qputenv("PATH", path);

    const QMap<QString, QString> memory = readMemInfo();
    QVERIFY(memory.value(QStringLiteral("MemTotal")).endsWith(QStringLiteral(" kB")));
    QVERIFY(!memory.value(QStringLiteral("MemTotal")).startsWith(QLatin1Char(' ')));
    QVERIFY(!systemArchitecture().isEmpty());
    QVERIFY(currentThreadSysId() > 0);
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
