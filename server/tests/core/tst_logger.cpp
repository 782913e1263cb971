// The one logger: line layout, debug filter, many threads, and framework warnings raised while
// a line is being written.
#include "core/env.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void lineLayoutAndKindNames();
    void debugFilterDropsOnlyTheDebugKinds();
    void eightThreadsNeverInterleave();
    void warningRaisedWhileWritingDoesNotDeadlock();
    void deletedLogFolderIsRecreated();
    void settingsGainTheDebugKey();

private:
    QStringList lines() const;
    QString logPath;
};

void TestLogger::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    logPath = Env::textLogPath();
    QVERIFY(logPath.endsWith(QStringLiteral("/log/tarnhall-server.log")));
    QVERIFY(!logPath.contains(QStringLiteral("..")));
}

void TestLogger::init()
{
    QFile::remove(logPath);
    Env::setDebugEnabled(false);
}

QStringList TestLogger::lines() const
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList result = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

void TestLogger::lineLayoutAndKindNames()
{
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
                 QStringLiteral("two"),
             }));
}

void TestLogger::debugFilterDropsOnlyTheDebugKinds()
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

void TestLogger::eightThreadsNeverInterleave()
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

void TestLogger::warningRaisedWhileWritingDoesNotDeadlock()
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

void TestLogger::deletedLogFolderIsRecreated()
{
    QVERIFY(QDir(QFileInfo(logPath).absolutePath()).removeRecursively());
    logLine(LogParams::Core, QStringLiteral("back"));
    QCOMPARE(lines().size(), 1);
}

void TestLogger::settingsGainTheDebugKey()
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

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
