// Datagram layouts against bytes written from the protocol tables, the readers, the drop rules
// and the settings readers with their defaults.
#include "core/env.h"
#include "core/identifiers.h"
#include "velk/velk.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkprotocol.h"

#include <QtTest>

using namespace VelkProtocol;

class TestVelkProtocol : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    }
    void layouts_data();
    void layouts();
    void reportIsRead();
    void oddDatagramsAreDropped_data();
    void oddDatagramsAreDropped();
    void settingsReaders_data();
    void settingsReaders();
};

namespace {

const Addressee kTo { 0x01020304, 0x0507, 0x00006261 }; // password "ab"
const QByteArray kHead = QByteArray::fromHex("04030201"
                                             "0705"
                                             "61620000"
                                             "0000000000000000");
const QByteArray kReport = QByteArray::fromHex("010101"
                                               "2a000000"
                                               "0700"
                                               "31323334"
                                               "03020100"
                                               + QByteArray(40, '0')
                                               + "01020100"
                                                 "a5"
                                                 "05");

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

void TestVelkProtocol::layouts_data()
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

    QTest::newRow("set-outputs") << makeSetOutputs(kTo, { 1, 255, 255, 254, 0, 7, 3 })
                                 << hex("010306") + kHead
            + hex("01ffff"
                  "fe0007"
                  "03"
                  "01");
    QTest::newRow("bootloader") << makeBootloader(kTo, true) << hex("010307") + kHead + hex("01");
    QTest::newRow("read-block") << makeReadBlock(kTo, 5)
                                << hex("010308") + kHead + hex("05") + QByteArray(256, '\0');
    QTest::newRow("write-block") << makeWriteBlock(
        kTo, 2, "xyz") << hex("010309") + kHead + hex("02") + "xyz" + QByteArray(253, '\0');
    QTest::newRow("write-block-cut")
        << makeWriteBlock(kTo, 1, QByteArray(300, 'q')).mid(22) << QByteArray(256, 'q');
    QTest::newRow("set-settings") << makeSetSettings(kTo, { 15, 0x0b, 4, 5, 3, 1, 0, 2, 30 })
                                  << hex("01030c") + kHead
            + hex("0f"
                  "0b"
                  "04"
                  "05"
                  "03"
                  "01"
                  "00"
                  "02"
                  "1e");
    QTest::newRow("settings-from-device")
        << makeSetSettings(kTo, VelkDeviceSettings::panelSettings(&device, 0, 9))
        << hex("01030c") + kHead
            + hex("ff"
                  "0d"
                  "01"
                  "09"
                  "03"
                  "02"
                  "00"
                  "01"
                  "01");
    QTest::newRow("answer-accepted") << makeVelkAnswer(kReport, kAccepted, 50002)
                                     << hex("010201"
                                            "2a000000"
                                            "0700"
                                            "31323334"
                                            "00"
                                            "52c3");
    QTest::newRow("answer-rejected") << makeVelkAnswer(kReport, kRejected, 50002)
                                     << hex("010201"
                                            "2a000000"
                                            "0700"
                                            "31323334"
                                            "03"
                                            "0000");
    QTest::newRow("key") << answerKey(hex("010406") + kHead).toLatin1()
                         << QByteArray("1287:25185@6:16909060");
}

void TestVelkProtocol::layouts()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.toHex(), expected.toHex());
}

void TestVelkProtocol::reportIsRead()
{
    const ReportReading r = readReport(kReport + "tail the server never reads");
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.report.head.sequence, 42u);
    QCOMPARE(r.report.head.device, quint16(7));
    QCOMPARE(r.report.head.password, fourCc("1234"));
    QCOMPARE(r.report.hardwareType(), quint8(3));
    QCOMPARE(r.report.firmware(), QString("2.1"));
    QVERIFY(!r.report.inBootloader());
    QCOMPARE(r.report.power, quint8(1));
    QCOMPARE(r.report.sensor2, quint8(0));
    QCOMPARE(r.report.stateBits, quint8(0xa5));
    QCOMPARE(r.report.codec(), 2);
    QVERIFY(r.report.hasEvents());
}

void TestVelkProtocol::oddDatagramsAreDropped_data()
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

void TestVelkProtocol::oddDatagramsAreDropped()
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
        return; // a whole answer to the control port: the request takes it and ignores the block

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

void TestVelkProtocol::settingsReaders_data()
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
        QTest::newRow(name) << (read.type() == QVariant::StringList ? read.toStringList().join('|')
                                                                    : read.toString())
                            << QString(expected);
    };
    row("absent-default", S::intValue(&d, DpmTimeoutKey), "3");
    set(DpmTimeoutKey, "abc");
    row("letters", S::intValue(&d, DpmTimeoutKey), "0");
    row("bool-default", S::boolValue(&d, EchoEnable), "true");
    set(SpeakerPower, QString());
    row("null-is-default", S::stringValue(&d, SpeakerPower), "0.5");
    set(Relay1Mode, "2, 5");
    row("list-text", S::stringListValue(&d, Relay1Mode), "2|5");
    set(MicrophoneVolume, "258");
    row("uchar-low-bits", int(S::ucharValue(&d, MicrophoneVolume)), "2");
    set(RegisterTimeout, "100000");
    row("timeout-clamped", S::timeoutSeconds(&d, RegisterTimeout), "255");
    d.setProperty("Button-Contact-Type", "1"); // property names are the lower-case keys
    row("upper-case-property", S::intValue(&d, ButtonContactType), "0");
    row("music-volume-name", S::keyIndex("Music-Volume"), "24");
    row("device-key-80", S::keyName(80), "");
    row("last-device-key", S::keyName(79), "music-path");
    row("global-key-19", Velk::keyName(19), "");
    row("global-index", Velk::keyIndex("LOG-PROTOCOL"), "18");
    Velk velk;
    row("global-port", velk.ushortValue(VelkKey::BindPort), "5757");
    row("global-range", velk.stringValue(VelkKey::PortRangeStop), "51000");
}

void TestVelkProtocol::settingsReaders()
{
    QFETCH(QString, read);
    QFETCH(QString, expected);
    QCOMPARE(read, expected);
}

QTEST_GUILESS_MAIN(TestVelkProtocol)
#include "tst_velkprotocol.moc"
