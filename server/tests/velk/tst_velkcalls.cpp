// The door side of calls without a network: keypad numbers, the dial plan and the stored list
// of keypad codes.
#include "core/env.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velkfixture.h"

#include <QSettings>
#include <QtTest>

class TestVelkCalls : public QObject
{
    Q_OBJECT

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }
    void keypadCallee_data();
    void keypadCallee();
    void dialplan_data();
    void dialplan();
    void separatorsInKeypadCodesRefused_data();
    void separatorsInKeypadCodesRefused();

private:
    VelkFixture f;
};

void TestVelkCalls::keypadCallee_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("callee");
    QTest::newRow("listed") << "101>alice;102>bob"
                            << "102"
                            << "bob";
    QTest::newRow("not listed") << "101>alice;102>bob"
                                << "109"
                                << "";
    QTest::newRow("lengths differ") << "1>alice;22>bob"
                                    << "22"
                                    << "bob";
    QTest::newRow("malformed entries skipped") << "1>a>b;;7>carol"
                                               << "7"
                                               << "carol";
}

void TestVelkCalls::keypadCallee()
{
    QFETCH(QString, list);
    VelkDevice device(3, nullptr);
    device.setProperty("dpm-mode", "1");
    device.setProperty("dpm-mode-list-code", list);
    device.updateKeypadCodeLength();
    QCOMPARE(device.keypadCallee(QString()), QString());
    QFETCH(QString, digits);
    QTEST(device.keypadCallee(digits), "callee");
    // Outside the list mode the digits are the callee.
    device.setProperty("dpm-mode", "0");
    QCOMPARE(device.keypadCallee(digits), digits);
}

void TestVelkCalls::dialplan_data()
{
    QTest::addColumn<QString>("callId");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QList<int>>("results");
    const QList<int> waitThenPrevious { 0, 2 };
    QTest::newRow("3 waits, 31 is the playlist")
        << "control" << QList<int> { 3, 1 } << waitThenPrevious;
    QTest::newRow("55 opens relay 1") << "control" << QList<int> { 5, 5 } << waitThenPrevious;
    QTest::newRow("no code") << "control" << QList<int> { 4 } << QList<int> { -1 };
    QTest::newRow("music toggle from control") << "control" << QList<int> { 0 } << QList<int> { 1 };
    QTest::newRow("not the device's call") << "abc" << QList<int> { 5 } << QList<int> { -1 };
    QTest::newRow("'*' is no digit") << "control" << QList<int> { 10 } << QList<int> { -1 };
}

void TestVelkCalls::dialplan()
{
    QFETCH(QString, callId);
    QFETCH(QList<int>, keys);
    QFETCH(QList<int>, results);
    VelkDevice device(3, nullptr);
    QList<int> got;
    for (int key : keys)
        got << device.sipInfo(callId, "alice", uchar(key));
    QCOMPARE(got, results);
}

void TestVelkCalls::separatorsInKeypadCodesRefused_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("callee");
    QTest::addColumn<bool>("saved");
    QTest::newRow("plain") << "12"
                           << "alice" << true;
    QTest::newRow("';' in the code") << "1;2"
                                     << "alice" << false;
    QTest::newRow("'>' in the code") << "1>2"
                                     << "alice" << false;
    QTest::newRow("';' in the callee") << "12"
                                       << "al;ice" << false;
    QTest::newRow("'>' in the callee") << "12"
                                       << "a>b" << false;
}

void TestVelkCalls::separatorsInKeypadCodesRefused()
{
    QFETCH(QString, code);
    QFETCH(QString, callee);
    f.writeDevice(4, { { "dpm-mode-list-code", "9>bob" } });
    Velk velk(f.host);
    const QMap<QString, QString> form { { "dpm-mode-list-code", "r1" },
                                        { "r1_code", code },
                                        { "r1_value", callee } };
    QTEST(velk.saveDevice(4, form, true, false), "saved");
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    QFETCH(bool, saved);
    QCOMPARE(devices.value("4/dpm-mode-list-code").toString(),
             saved ? QString("%1>%2").arg(code, callee) : QString("9>bob"));
}

QTEST_GUILESS_MAIN(TestVelkCalls)
#include "tst_velkcalls.moc"
