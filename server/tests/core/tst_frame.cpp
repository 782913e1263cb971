// The module-thread frame and the shared helpers: the one logger (line layout, debug filter,
// many threads, framework warnings raised while a line is being written), identifiers, system
// queries and the SMDR layout against golden lines.
#include "core/attendedthread.h"
#include "core/attendedthreadobject.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "core/settingstext.h"
#include "core/smdrformat.h"
#include "core/systeminfo.h"

#include "../sleepcount.h"
#include "../threadhold.h"
#include "../toolkit.h"
#include "testmain.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

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

const QDateTime kWhen(QDate(2026, 1, 2), QTime(3, 4, 5, 678));

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void nullAndPlainWorkers();
    void workerRunsInItsThreadAndEndsOnStopOrDestruction();
    void endingWorkerHearsNothingMore();
    void sleepEndsEarlyOnTerminate();
    void waitsSleepUntilTheirDeadline();
    void identifiersAndTables();
    void systemQueries();

    void lineLayoutAndKindNames();
    void lineBreaksCannotStartAnEntry();
    void debugFilterDropsOnlyTheDebugKinds();
    void eightThreadsNeverInterleave();
    void warningRaisedWhileWritingDoesNotDeadlock();
    void settingsGainTheDebugKey();
    void handWrittenValuesKeepTheirText_data();
    void handWrittenValuesKeepTheirText();

    void smdrRecordLayout_data();
    void smdrRecordLayout();
    void smdrHeaderBlock();

private:
    QStringList lines() const;
    QString logPath;
};

void TestFrame::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    logPath = Env::textLogPath();
    QVERIFY(logPath.endsWith(QStringLiteral("/log/tarnhall-server.log")));
    QVERIFY(!logPath.contains(QStringLiteral("..")));
}

void TestFrame::init()
{
    QFile::remove(logPath);
    Env::setDebugEnabled(false);
}

QStringList TestFrame::lines() const
{
    return QString::fromLocal8Bit(readFile(logPath)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestFrame::workerRunsInItsThreadAndEndsOnStopOrDestruction()
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

    // Asked to end, but left to the destructor to wait for.
    auto *other = new AttendedThread;
    auto *looping = new LoopingWorker;
    QPointer<QObject> watch(looping);
    other->setObject(looping);
    other->start();
    QTRY_VERIFY(looping->running);
    QMetaObject::invokeMethod(looping, "queryTerminate", Qt::QueuedConnection);
    delete other;
    QVERIFY(watch.isNull());
}

void TestFrame::endingWorkerHearsNothingMore()
{
    AttendedThread module;
    auto *worker = new QObject;
    connect(
        &module, &AttendedThread::queryTerminate, worker, [] {}, Qt::QueuedConnection);
    module.setObject(worker);
    module.start();
    // The worker's thread held busy, so the worker outlives its stop for the check.
    ThreadHold hold(worker);
    QVERIFY(hold.held());
    module.stop();
    // A signal queued as the worker is destroyed in its thread would leak; none can be queued.
    QVERIFY(!QObject::disconnect(&module, nullptr, worker, nullptr));
    hold.release();
    QVERIFY(module.waitSeconds(16));
    QCOMPARE(module.worker(), nullptr);
}

void TestFrame::nullAndPlainWorkers()
{
    AttendedThread none;
    none.setObject(nullptr);
    none.start();
    QVERIFY(!none.ownedThread()->isRunning());
    QVERIFY(none.waitSeconds(16)); // never started: true on the first poll

    // A plain object gets the run signal in the module's thread.
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

void TestFrame::identifiersAndTables()
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
    QVERIFY(branch.startsWith(QStringLiteral("z9hG4bK")) && hex.match(branch.mid(7)).hasMatch());
    QCOMPARE(randomBinaryId().size(), 12);
    QCOMPARE(realmOr(QStringLiteral("x")), QStringLiteral("corvane"));
    // Short and long names, keys and indexes outside the tables.
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

void TestFrame::lineLayoutAndKindNames()
{
    // A deleted log folder is made again.
    QVERIFY(QDir(QFileInfo(logPath).absolutePath()).removeRecursively());
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7, 89));
    Env::log(LogParams::Core, QStringLiteral("Start"), when);
    Env::log(LogParams::Type(19), QStringLiteral("odd"), when);
    Env::log(LogParams::Type(-1), QStringLiteral("none"), when);
    Env::log(LogParams::Sip, QStringLiteral("-> one\ntwo"), when);
    QCOMPARE(lines(),
             (QStringList {
                 QStringLiteral("[04.03.26 05:06:07.089] [CORE]: Start"),
                 QStringLiteral("[04.03.26 05:06:07.089] []: odd"),
                 QStringLiteral("[04.03.26 05:06:07.089] []: none"),
                 QStringLiteral("[04.03.26 05:06:07.089] [SIP]: -> one"),
                 QStringLiteral("\ttwo"),
             }));
}

// A logged value's own line breaks cannot start an entry: they go on in indented lines.
void TestFrame::lineBreaksCannotStartAnEntry()
{
    QSignalSpy spy(Env::instance(), &Env::viewLog);
    const QString head = QStringLiteral("[02.01.26 03:04:05.678] [HTTP]: ");
    const QString text = "user a\r\n" + head + "forged\rb\nc";
    Env::log(LogParams::Http, text, kWhen);
    QCOMPARE(lines(), (QStringList { head + "user a", "\t" + head + "forged", "\tb", "\tc" }));
    QCOMPARE(spy.first().first().toString(), head + text);
}

void TestFrame::debugFilterDropsOnlyTheDebugKinds()
{
    QSignalSpy spy(Env::instance(), &Env::viewLog);
    for (int kind = -1; kind <= 19; ++kind)
        logLine(LogParams::Type(kind), QString::number(kind));
    QStringList written;
    for (const QString &line : lines())
        written << line.section(QStringLiteral(": "), 1);
    QCOMPARE(written,
             (QStringList { "-1", "0", "1", "3", "5", "7", "8", "9", "11", "13", "16", "17", "18",
                            "19" }));
    QCOMPARE(spy.count(), written.size());

    QFile::remove(logPath);
    Env::setDebugEnabled(true);
    for (int kind = 0; kind <= 18; ++kind)
        logLine(LogParams::Type(kind), QString::number(kind));
    QCOMPARE(lines().size(), 19);
    QVERIFY(lines().at(4).contains(QStringLiteral("] [CORE-DEBUG]: 4")));
}

void TestFrame::eightThreadsNeverInterleave()
{
    const int perThread = 400;
    const QString filler(200, QLatin1Char('x'));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back(QThread::create([t, perThread, filler] {
            for (int i = 0; i < perThread; ++i)
                logLine(LogParams::Core,
                        QStringLiteral("t%1 n%2 %3 end").arg(t).arg(i).arg(filler));
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));

    const QStringList all = lines();
    QCOMPARE(all.size(), 8 * perThread);
    const QRegularExpression shape(
        QStringLiteral("^\\[\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[CORE\\]: "
                       "t(\\d) n(\\d+) x{200} end$"));
    int next[8] = {};
    for (const QString &line : all) {
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(120)));
        const int t = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), next[t]++); // each thread's lines keep their order
    }
}

void TestFrame::warningRaisedWhileWritingDoesNotDeadlock()
{
    // A slot that makes the framework complain while the log lock is held.
    std::atomic<int> calls { 0 };
    const auto connection = connect(
        Env::instance(), &Env::viewLog, this,
        [&calls](const QString &line) {
            if (line.contains(QStringLiteral("trigger")) && calls++ < 3)
                qWarning("nested %d", calls.load());
        },
        Qt::DirectConnection);
    QThread *thread = QThread::create([] { logLine(LogParams::Core, QStringLiteral("trigger")); });
    thread->start();
    const bool finished = thread->wait(10000);
    disconnect(connection);
    QVERIFY2(finished, "the logger deadlocked");
    delete thread;
    const QStringList all = lines();
    QCOMPARE(all.size(), 2);
    QVERIFY(all.at(0).endsWith(QStringLiteral("[CORE]: trigger")));
    // The nested line is kept, after the one being written.
    QVERIFY(all.at(1).contains(QStringLiteral("] [WARNING]: [")));
    QVERIFY(all.at(1).contains(QStringLiteral("nested 1 (")));
}

void TestFrame::settingsGainTheDebugKey()
{
    const QString path = Env::configFilePath(QCoreApplication::applicationName());
    QFile::remove(path);
    Env::setDebugEnabled(true);
    std::unique_ptr<QSettings> settings(Env::settings(nullptr));
    QVERIFY(!Env::debugEnabled());
    QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("debug")).toString(),
             QStringLiteral("false"));

    settings->setValue(QStringLiteral("debug"), QStringLiteral("true"));
    settings->sync();
    std::unique_ptr<QSettings> again(Env::settings(nullptr));
    QVERIFY(Env::debugEnabled());
}

// A value written by hand, unquoted with commas, reads as the text of its line, and so does it
// once the file is written again; one written quoted, or under a key read as a list, reads as
// the items QSettings makes of it.
void TestFrame::handWrittenValuesKeepTheirText_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    const char *const rows[][4] = {
        { "blanks after the commas", "[g]\nk=T\xc3\xbcr Nord,  Eingang\n", "g/k",
          "Tür Nord,  Eingang" },
        { "escapes and a comment", "[g]\nk=a\\tb ,  c\\x20 ; note\n", "g/k", "a\tb ,  c " },
        { "an item starting with @", "[g]\nk=x, @home\n", "g/k", "x, @home" },
        { "a text starting with @", "[g]\nk=@@x, y\n", "g/k", "@x, y" },
        { "escaped section and key", "[J%FCrgen]\na\\b=u, v\n", "Jürgen/a/b", "u, v" },
        { "general section, last line", "k=1, 2\n[General]\nk=3,  4\n", "k", "3,  4" },
        { "written quoted", "[g]\nk=\"a\",  b\n", "g/k", "a,b" },
        { "a key read as a list", "[g]\nlist=alice,  bob\n", "g/list", "alice,bob" },
        // QSettings skips only blanks and line ends before a key: such a line has a key of its
        // own, and the line before keeps its text.
        { "a line starting with a form feed", "[g]\npassword=se,cret\n\fpassword=se, cret\n",
          "g/password", "se,cret" },
        { "a line starting with a vertical tab", "[g]\npassword=se,cret\n\vpassword=se, cret\n",
          "g/password", "se,cret" },
        { "the key a form feed starts", "[g]\npassword=se,cret\n\fpassword=se, cret\n",
          "g/\fpassword", "se, cret" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[1]) << row[2] << QString(row[3]);
}

void TestFrame::handWrittenValuesKeepTheirText()
{
    QFETCH(QByteArray, written);
    QFETCH(QString, key);
    QFETCH(QString, text);
    const QString path = Env::configFilePath(QStringLiteral("hand-written"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(written);
    file.close();
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        keepWrittenText(settings, [](const QString &name) { return name == "list"; });
        QCOMPARE(settingsText(settings.value(key)), text);
    }
    QSettings again(path, QSettings::IniFormat);
    again.setIniCodec("UTF-8");
    QCOMPARE(settingsText(again.value(key)), text);
}

// Golden lines after the date and time columns, without the CR LF.
void TestFrame::smdrRecordLayout_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("dest");
    QTest::addColumn<qlonglong>("duration");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("attr");
    QTest::addColumn<QByteArray>("line");
    const QByteArray pad(31, ' ');
    const auto row = [](const char *name, const QString &src, const QString &dest,
                        qlonglong duration, int action, const QString &attr, const QByteArray &line,
                        const QDateTime &when = kWhen) {
        QTest::newRow(name) << when << src << dest << duration << action << attr << line;
    };
    row("call", "alice", "bob", 3723900, 4, "NA",
        "alice" + pad.left(28) + "bob" + pad.left(30) + "01:02:03  INC NA");
    row("device event, no attribute", "12", "1", 0, 21, QString(),
        "12" + pad + "1" + pad + " 00:00:00  PWR ");
    row("cut at 32", QString(40, 's'), QString(33, 'd'), 1000, 8, "x",
        QByteArray(32, 's') + ' ' + QByteArray(32, 'd') + " 00:00:01  OUT x");
    row("last second of a day", "a", "b", 86399999, 0, QString(),
        "a" + pad + " b" + pad + " 23:59:59  INT ");
    row("24 h", "a", "b", 86400000, 0, QString(), "a" + pad + " b" + pad + "           INT ");
    // Only the low 32 bits of this one fall inside a day; it must still show as too long.
    row("over 49 days", "a", "b", 4294967296LL + 3723900, 0, QString(),
        "a" + pad + " b" + pad + "           INT ");
    row("negative", "a", "b", -1, 1, QString(), "a" + pad + " b" + pad + "           ITC ");
    row("action outside table", "a", "b", 0, 22, QString(),
        "a" + pad + " b" + pad + " 00:00:00      ");
    row("invalid time", "a", "b", 0, 15, "attr with spaces  ",
        "a" + pad + " b" + pad + " 00:00:00  BTO attr with spaces  ", QDateTime());
}

void TestFrame::smdrRecordLayout()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, src);
    QFETCH(QString, dest);
    QFETCH(qlonglong, duration);
    QFETCH(int, action);
    QFETCH(QString, attr);
    QFETCH(QByteArray, line);
    const QByteArray date = when.isValid() ? "02.01.2026 03:04:05 " : QByteArray(20, ' ');
    QCOMPARE(SmdrFormat::record(when, src, dest, duration, action, attr).toLatin1(),
             date + line + "\r\n");
}

// Each title above its column of the records.
void TestFrame::smdrHeaderBlock()
{
    const QString rule(109, QLatin1Char('-'));
    QCOMPARE(SmdrFormat::headerBlock(kWhen),
             rule + "\r\nCorvane Tarnhall System " + kWhen.toString(Qt::TextDate)
                 + "\r\nDate       Time     Source" + QString(27, ' ') + "Destination"
                 + QString(22, ' ') + "Duration  Action   \r\n" + rule + "\r\n");
}

TARNHALL_TEST_MAIN(TestFrame)
#include "tst_frame.moc"
