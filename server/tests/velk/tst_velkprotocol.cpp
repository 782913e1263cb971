// Datagram layouts against bytes written from the protocol tables, the readers, the drop rules
// and the settings readers with their defaults.
#include "core/env.h"
#include "core/identifiers.h"
#include "velk/velk.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkprotocol.h"

#include <QtTest>

using namespace VelkProtocol;

namespace {

QByteArray hex(const char *text) // spaces between the fields are skipped
{
    return QByteArray::fromHex(text);
}

const Addressee kTo { 0x01020304, 0x0507, 0x00006261 }; // password "ab"
const QByteArray kHead = hex("04030201 0705 61620000 0000000000000000");
const QByteArray kReport
    = hex("010101 2a000000 0700 31323334 03020100") + QByteArray(20, '\0') + hex("01020100 a5 05");

} // namespace

class TestVelkProtocol : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    }
    void layouts_data()
    {
        QTest::addColumn<QByteArray>("built");
        QTest::addColumn<QByteArray>("expected");
        QObject device;
        device.setProperty("register-timeout", "300"); // beyond the byte: clamped to 255
        device.setProperty("call-timeout", "0"); // clamped to 1
        device.setProperty("relay1-contact-type", "1");
        device.setProperty("relay3-contact-type", "3");
        device.setProperty("relay1-emergency", "true");
        device.setProperty("echo-timeout", "250");
        const auto row = [](const char *name, const QByteArray &built, const QByteArray &expected) {
            QTest::newRow(name) << built << expected;
        };
        const QByteArray block(256, '\0');
        row("set-outputs", makeSetOutputs(kTo, { 1, 255, 255, 254, 0, 7, 3 }),
            hex("010306") + kHead + hex("01ffff fe0007 03 01"));
        row("bootloader", makeBootloader(kTo, true), hex("010307") + kHead + hex("01"));
        row("read-block", makeReadBlock(kTo, 5), hex("010308") + kHead + hex("05") + block);
        row("write-block", makeWriteBlock(kTo, 2, "xyz"),
            hex("010309") + kHead + hex("02") + "xyz" + block.left(253));
        row("write-block-cut", makeWriteBlock(kTo, 1, QByteArray(300, 'q')).mid(22),
            QByteArray(256, 'q'));
        row("set-settings", makeSetSettings(kTo, { 15, 0x0b, 4, 5, 3, 1, 0, 2, 30 }),
            hex("01030c") + kHead + hex("0f 0b 04 05 03 01 00 02 1e"));
        row("settings-from-device",
            makeSetSettings(kTo, VelkDeviceSettings::panelSettings(&device, 0, 9)),
            hex("01030c") + kHead + hex("ff 0d 01 09 03 02 00 01 01"));
        row("answer-accepted", makeVelkAnswer(kReport, kAccepted, 50002),
            hex("010201 2a000000 0700 31323334 00 52c3"));
        row("answer-rejected", makeVelkAnswer(kReport, kRejected, 50002),
            hex("010201 2a000000 0700 31323334 03 0000"));
        row("key", answerKey(hex("010406") + kHead).toLatin1(), "1287:25185@6:16909060");
    }
    void layouts()
    {
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, expected);
        QCOMPARE(built.toHex(), expected.toHex());
    }
    void reportIsRead()
    {
        const ReportReading r = readReport(kReport + "tail the server never reads");
        QVERIFY2(r.ok, qPrintable(r.error));
        const PanelReport &t = r.report;
        const QList<qint64> read {
            t.head.sequence,  t.head.device,    t.head.password == fourCc("1234"),
            t.hardwareType(), t.inBootloader(), t.power,
            t.sensor2,        t.stateBits,      t.codec(),
            t.hasEvents()
        };
        QCOMPARE(read, QList<qint64>({ 42, 7, true, 3, false, 1, 0, 0xa5, 2, true }));
        QCOMPARE(t.firmware(), QString("2.1"));
    }
    void oddDatagramsAreDropped_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("reason");
        const QByteArray answer = hex("010406") + kHead + hex("00");
        QTest::newRow("empty") << QByteArray() << QString("short datagram: 0 bytes");
        QTest::newRow("twelve") << kReport.left(12) << QString("short datagram: 12 bytes");
        QTest::newRow("bare-head") << kReport.left(13) << QString("short report: 13 bytes");
        QTest::newRow("report-42") << kReport.left(42) << QString("short report: 42 bytes");
        QTest::newRow("other-request")
            << hex("010102") + kReport.mid(3) << QString("unknown device request 2");
        QTest::newRow("audio") << hex("0100") + kReport.mid(2) << QString("kind 0");
        QTest::newRow("server-request") << hex("010306") + kHead << QString("kind 3");
        QTest::newRow("odd-kind") << hex("01ff06") + kHead << QString("kind 255");
        QTest::newRow("short-answer") << answer.left(21) << QString("short answer: 21 bytes");
        QTest::newRow("short-block") << hex("010408") + kHead + QByteArray(100, '\0')
                                     << QString("short block answer: 121 bytes");
    }
    void oddDatagramsAreDropped()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QString, reason);
        const AnswerReading answer = readAnswer(datagram);
        const ReportReading report = readReport(datagram);
        QVERIFY(!answer.ok && !report.ok);
        const QString error
            = reason.startsWith("short block") ? answer.error : classify(datagram).error;
        QVERIFY2(error.contains(reason), qPrintable(error));
        if (reason.startsWith("short block"))
            return; // a whole answer: its request takes it, ignoring the block

        Env::setDebugEnabled(true);
        Velk velk;
        QSignalSpy sent(&velk, &Velk::sendDatagram);
        QSignalSpy log(Env::instance(), &Env::viewLog);
        velk.checkDatagram(QHostAddress::LocalHost, 4000, datagram);
        QCOMPARE(sent.count(), 0);
        QCOMPARE(log.count(), 1);
        QVERIFY(log.first().first().toString().endsWith(
            "[VELK-DEBUG]: Dropped datagram from 127.0.0.1:4000: " + error));
    }
    void settingsReaders_data()
    {
        QTest::addColumn<QString>("read"); // lists joined by "|"
        QTest::addColumn<QString>("expected");
        using namespace VelkDeviceKey;
        using S = VelkDeviceSettings;
        QObject d;
        const auto set = [&d](int index, const QVariant &value) {
            d.setProperty(qPrintable(S::keyName(index)), value);
        };
        const auto row = [](const char *name, const QVariant &read, const char *expected) {
            QTest::newRow(name) << (read.type() == QVariant::StringList
                                        ? read.toStringList().join('|')
                                        : read.toString())
                                << QString(expected);
        };
        set(DpmTimeoutKey, "abc");
        row("letters", S::intValue(&d, DpmTimeoutKey), "0");
        set(SpeakerPower, QString());
        row("null-is-default", S::stringValue(&d, SpeakerPower), "0.5");
        set(Relay1Mode, "2, 5");
        row("list-text", S::stringListValue(&d, Relay1Mode), "2|5");
        row("key-any-case", S::keyName(S::keyIndex("Music-Volume")), "music-volume");
        row("device-key-80", S::keyName(80), "");
        row("global-key-19", Velk::keyName(19), "");
        row("global-key-any-case", Velk::keyName(Velk::keyIndex("LOG-PROTOCOL")), "log-protocol");
    }
    void settingsReaders()
    {
        QFETCH(QString, read);
        QTEST(read, "expected");
    }
};

QTEST_GUILESS_MAIN(TestVelkProtocol)
#include "tst_velkprotocol.moc"
