// The SMDR log: the fixed-width layout against golden lines, and records queued to Core from
// several threads.
#include "core/core.h"
#include "core/env.h"
#include "core/smdrformat.h"
#include "coreharness.h"

#include <QFile>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

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

const QDateTime kWhen(QDate(2026, 1, 2), QTime(3, 4, 5, 678));

} // namespace

class TestSmdr : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordLayout_data();
    void recordLayout();
    void headerBlock();
    void recordsFromSeveralThreadsAllArrive();
};

void TestSmdr::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
}

void TestSmdr::recordLayout_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("dest");
    QTest::addColumn<qlonglong>("duration");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("attr");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("call") << kWhen << "alice"
                          << "bob" << 3723900LL << 4 << "NA"
                          << QByteArray("02.01.2026 03:04:05 alice                            bob  "
                                        "                            01:02:03  INC NA\r\n");
    QTest::newRow("device event, no attribute")
        << kWhen << "12"
        << "1" << 0LL << 21 << QString()
        << QByteArray("02.01.2026 03:04:05 12                               1                      "
                      "          00:00:00  PWR \r\n");
    QTest::newRow("cut at 32") << kWhen << QString(40, QLatin1Char('s'))
                               << QString(33, QLatin1Char('d')) << 1000LL << 8 << "x"
                               << QByteArray(
                                      "02.01.2026 03:04:05 ssssssssssssssssssssssssssssssss "
                                      "dddddddddddddddddddddddddddddddd 00:00:01  OUT x\r\n");
    QTest::newRow("last second of a day")
        << kWhen << "a"
        << "b" << 86399999LL << 0 << QString()
        << QByteArray("02.01.2026 03:04:05 a                                b                      "
                      "          23:59:59  INT \r\n");
    QTest::newRow("24 h") << kWhen << "a"
                          << "b" << 86400000LL << 0 << QString()
                          << QByteArray("02.01.2026 03:04:05 a                                b    "
                                        "                                      INT \r\n");
    // Only the low 32 bits of this one fall inside a day; it must still show as too long.
    QTest::newRow("over 49 days") << kWhen << "a"
                                  << "b" << (4294967296LL + 3723900LL) << 0 << QString()
                                  << QByteArray(
                                         "02.01.2026 03:04:05 a                                b   "
                                         "                                       INT \r\n");
    QTest::newRow("negative") << kWhen << "a"
                              << "b" << -1LL << 1 << QString()
                              << QByteArray("02.01.2026 03:04:05 a                                "
                                            "b                                          ITC \r\n");
    QTest::newRow("action outside table")
        << kWhen << "a"
        << "b" << 0LL << 22 << QString()
        << QByteArray("02.01.2026 03:04:05 a                                b                      "
                      "          00:00:00      \r\n");
    QTest::newRow("invalid time")
        << QDateTime() << "a"
        << "b" << 0LL << 15 << "attr with spaces  "
        << QByteArray("                    a                                b                      "
                      "          00:00:00  BTO attr with spaces  \r\n");
}

void TestSmdr::recordLayout()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, src);
    QFETCH(QString, dest);
    QFETCH(qlonglong, duration);
    QFETCH(int, action);
    QFETCH(QString, attr);
    QFETCH(QByteArray, line);
    QCOMPARE(SmdrFormat::record(when, src, dest, duration, action, attr).toLatin1(), line);
}

void TestSmdr::headerBlock()
{
    const QStringList lines = SmdrFormat::headerBlock(kWhen).split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QString(109, QLatin1Char('-')));
    QCOMPARE(lines.at(1),
             QStringLiteral("Corvane Tarnhall System ") + kWhen.toString(Qt::TextDate));
    QCOMPARE(lines.at(2).size(), 105);
    for (const auto &[title, column] : std::vector<std::pair<QString, int>> { { "Date", 0 },
                                                                              { "Time", 11 },
                                                                              { "Source", 20 },
                                                                              { "Destination", 53 },
                                                                              { "Duration", 86 },
                                                                              { "Action", 96 } })
        QCOMPARE(lines.at(2).indexOf(title), column);
    QCOMPARE(lines.at(3), lines.at(0));
    QVERIFY(lines.at(4).isEmpty());
}

void TestSmdr::recordsFromSeveralThreadsAllArrive()
{
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
            workers.emplace_back(QThread::create([&harness, t, perThread] {
                Emitter emitter;
                QObject::connect(
                    &emitter, &Emitter::smdrLog, harness.core(),
                    qOverload<const QDateTime &, const QString &, const QString &,
                              const qlonglong &, const QSmdrAction::Type &, const QString &>(
                        &Core::smdrLog),
                    Qt::QueuedConnection);
                QObject::connect(
                    &emitter, &Emitter::smdrLogShort, harness.core(),
                    qOverload<const QDateTime &, const QString &, const QString &,
                              const qlonglong &, const QSmdrAction::Type &>(&Core::smdrLog),
                    Qt::QueuedConnection);
                for (int i = 0; i < perThread; ++i) {
                    const QString src = QStringLiteral("t%1").arg(t);
                    if (t % 2)
                        emit emitter.smdrLogShort(kWhen, src, QString::number(i), i * 1000,
                                                  QSmdrAction::BTO);
                    else
                        emit emitter.smdrLog(kWhen, src, QString::number(i), i * 1000,
                                             QSmdrAction::BTO, QString());
                }
            }));
            workers.back()->start();
        }
        for (auto &worker : workers)
            QVERIFY(worker->wait(60000));
        QVERIFY(harness.stopAndWait());
    }

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.last().isEmpty());
    lines.removeLast();
    QCOMPARE(lines.size(), 4 + threads * perThread);
    int next[threads] = {};
    for (int n = 4; n < lines.size(); ++n) {
        const QByteArray &line = lines.at(n);
        QCOMPARE(line.size(), 101); // 100 columns, the empty attribute, CR
        const int t = line.mid(21, 1).toInt();
        QCOMPARE(line.mid(53, 32).trimmed().toInt(), next[t]++);
    }
}

QTEST_GUILESS_MAIN(TestSmdr)
#include "tst_smdr.moc"
