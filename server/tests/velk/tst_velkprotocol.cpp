// The door-device protocol: datagram layouts against bytes written from the protocol tables,
// the readers, the drop rules and the settings readers; requests with resends against simulated
// panels over loopback; the control socket's bind retries and protocol traces.
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkobject.h"
#include "velk/velkpacket.h"
#include "velk/velkprotocol.h"
#include "velkpanel.h"

#include <QUdpSocket>
#include <QtTest>

#include <memory>

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
        // The module's dispatcher and its socket, both in this thread.
        m_Velk = std::make_unique<Velk>();
        m_Socket = std::make_unique<VelkObject>("127.0.0.1", 0, false);
        connect(m_Velk.get(), &Velk::sendDatagram, m_Socket.get(), &VelkObject::sendDatagram);
        connect(m_Socket.get(), &VelkObject::checkDatagram, m_Velk.get(), &Velk::checkDatagram);
        m_Socket->run();
        QVERIFY(m_Socket->localPort() != 0);
    }
    void init()
    {
        TimeScale::setFactor(20);
        Env::setDebugEnabled(false);
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
        const QList<qint64> read { t.head.sequence, t.head.device, t.hardwareType(), t.power,
                                   t.sensor2,       t.stateBits,   t.codec() };
        QCOMPARE(read, QList<qint64>({ 42, 7, 3, 1, 0, 0xa5, 2 }));
        QVERIFY(t.head.password == fourCc("1234") && !t.inBootloader() && t.hasEvents());
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
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("expected");
        using namespace VelkDeviceKey;
        using S = VelkDeviceSettings;
        QObject d;
        const auto set = [&d](int index, const QVariant &value) {
            d.setProperty(qPrintable(S::keyName(index)), value);
        };
        const auto row = [](const char *name, const QString &read, const char *expected) {
            QTest::newRow(name) << read << QString(expected);
        };
        set(SpeakerPower, QString());
        row("null-is-default", S::stringValue(&d, SpeakerPower), "0.5");
        set(Relay1Mode, "2, 5");
        row("list-text", S::stringListValue(&d, Relay1Mode).join('|'), "2|5");
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
    void retrySchedule_data()
    {
        QTest::addColumn<double>("factor");
        QTest::newRow("scaled") << 20.0;
        QTest::newRow("real-time") << 1.0;
    }
    void retrySchedule()
    {
        QFETCH(double, factor);
        TimeScale::setFactor(factor);
        QObject device;
        QList<qint64> sends, reports;
        auto *packet = new VelkPacket(QHostAddress::LocalHost, 9, QByteArray(29, '\1'), &device);
        connect(packet, &VelkPacket::sendDatagram, [&] { sends << TimeScale::now(); });
        // Times taken where things happen: a loaded machine may run this test late.
        connect(packet, &VelkPacket::recvAnswer, [&](int r) { reports << r << TimeScale::now(); });
        QSignalSpy gone(packet, &QObject::destroyed);
        const qint64 start = TimeScale::now();
        packet->send();
        // Given up, kept a while for a late answer, then gone without a second report.
        QVERIFY(gone.wait(60000));
        const qint64 end = TimeScale::now();
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports[0], -1);
        QCOMPARE(sends.size(), 5);
        // Coarse timers fire up to 5 % early, on whole real milliseconds: 10 % of slack.
        sends << reports[1]; // the give-up
        const qint64 nominal[] = { 0, 500, 1500, 3500, 7500, 15500 };
        for (int i = 0; i < 6; ++i)
            QVERIFY2(sends[i] - start >= nominal[i] * 9 / 10, qPrintable(QString::number(i)));
        QVERIFY(end - reports[1] >= VelkPacket::kLateAnswerGraceMs * 9 / 10);
    }
    void repliesByPolicy_data()
    {
        QTest::addColumn<VelkPanel::Reply>("reply");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("sends"); // at least
        QTest::addColumn<QList<int>>("results");
        using R = VelkPanel::Reply;
        QTest::newRow("answer") << R::Answer << 0 << 1 << QList<int> { 0 };
        QTest::newRow("refuse") << R::Refuse << 5 << 1 << QList<int> { 5 };
        QTest::newRow("after-2nd-send") << R::AfterResends << 1 << 2 << QList<int> { 0 };
        QTest::newRow("after-4th-resend") << R::AfterResends << 4 << 5 << QList<int> { 0 };
        QTest::newRow("never") << R::Never << 0 << 5 << QList<int> { -1 };
        QTest::newRow("late-after-giving-up") << R::AfterResends << 5 << 5 << QList<int> { -1, 0 };
        QTest::newRow("short") << R::Cut << 21 << 5 << QList<int> { -1 };
    }
    void repliesByPolicy()
    {
        QFETCH(VelkPanel::Reply, reply);
        QFETCH(int, value);
        QFETCH(int, sends);
        QFETCH(QList<int>, results);
        VelkPanel *p = panel(1, reply, value);
        QObject device(m_Velk.get());
        VelkPacket *packet = request(&device, *p, 77);
        QSignalSpy received(p, &VelkPanel::requestReceived);
        QSignalSpy gone(packet, &QObject::destroyed);
        const bool late = results.size() > 1;
        int sent = 0, sentAtEnd = -1;
        QList<int> got;
        connect(packet, &VelkPacket::sendDatagram, [&sent] { ++sent; });
        connect(packet, &VelkPacket::recvAnswer, [&, p, packet](int result) {
            got << result;
            sentAtEnd = sent;
            if (result == -1 && late) // the request once more, now answered: after the give-up
                QUdpSocket().writeDatagram(packet->datagram(), QHostAddress::LocalHost,
                                           p->localPort());
        });
        packet->send();
        QVERIFY(gone.wait(60000));
        QCOMPARE(got, results);
        // Resent until answered or given up, never after. A loaded machine may read an answer
        // after the next resend went, so the count is exact only where no answer counts.
        QCOMPARE(sent, sentAtEnd);
        QVERIFY2(sent >= sends && sent <= VelkPacket::kSends, qPrintable(QString::number(sent)));
        QTRY_COMPARE(received.size(), sent + (late ? 1 : 0));
        if (reply != VelkPanel::Reply::Never && reply != VelkPanel::Reply::Refuse)
            QCOMPARE(p->stateBits() & 0x1f, 0x0f); // call, microphone, speaker, relay1 on
        delete p;
    }
    void answersReachOnlyTheirRequest()
    {
        VelkPanel *one = panel(1, VelkPanel::Reply::Answer);
        VelkPanel *two = panel(2, VelkPanel::Reply::Refuse, 7);
        QObject deviceOne(m_Velk.get()), deviceTwo(m_Velk.get());
        // Same command and sequence for both devices, and two sequences for one device.
        const QList<VelkPacket *> packets
            = { request(&deviceOne, *one, 0), request(&deviceOne, *one, 1),
                request(&deviceTwo, *two, 0) };
        QList<QByteArray> answers;
        for (VelkPacket *packet : packets) {
            connect(packet, &VelkPacket::recvAnswer,
                    [&answers, sent = packet->datagram()](int r, const QByteArray &, QByteArray a) {
                        // Its own request's number and sequence.
                        answers << (a.mid(3, 6) == sent.mid(3, 6) ? QByteArray::number(r) : a);
                    });
            packet->send();
        }
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 3, 30000);
        std::sort(answers.begin(), answers.end());
        QCOMPARE(answers, QList<QByteArray>({ "0", "0", "7" }));

        // An answered request is out of reach at once; a device that unregisters drops the rest.
        auto *answered = request(&deviceOne, *one, 9);
        QByteArray answer = answered->datagram().left(22);
        answer[1] = DeviceAnswer;
        QCOMPARE(VelkPacket::find(m_Velk.get(), answer), answered);
        answered->onAnswer(answer);
        QVERIFY(!VelkPacket::find(m_Velk.get(), answer));
        auto *pending = request(&deviceTwo, *two, 5);
        QSignalSpy silent(pending, &VelkPacket::recvAnswer);
        QSignalSpy gone(pending, &QObject::destroyed);
        pending->send();
        QVERIFY(VelkPacket::discardAll(&deviceTwo) >= 1);
        QVERIFY(gone.wait());
        QCOMPARE(silent.size(), 0);
        QCOMPARE(answers.size(), 3);
        delete one;
        delete two;
    }
    void bindRetriesOnTakenPort()
    {
        QUdpSocket blocker;
        QVERIFY(blocker.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
        const quint16 port = blocker.localPort();
        VelkObject object("127.0.0.1", port, true);
        QSignalSpy states(&object, &VelkObject::setConnectionState);
        QSignalSpy log(Env::instance(), &Env::viewLog);
        object.run();
        QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 5, 30000); // -1, 0, 2, then failed binds
        QCOMPARE(states[3].value(0).toInt(), int(VelkBinding));
        QCOMPARE(states[3].value(1).value<QAbstractSocket::SocketError>(),
                 QAbstractSocket::AddressInUseError);
        blocker.close();
        QTRY_COMPARE_WITH_TIMEOUT(states.last().first().toInt(), int(VelkListening), 30000);
        const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
        QStringList lines;
        for (const QList<QVariant> &line : log)
            lines << line.first().toString().section("]: ", 1);
        QCOMPARE(lines.filter("Unable to bind UDP socket " + address + " (SocketError 8: ").size(),
                 1);
        QCOMPARE(lines.filter("Listen on UDP socket " + address).size(), 1);

        // Every datagram is passed on and traced, a one-byte one too.
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QSignalSpy datagrams(&object, &VelkObject::checkDatagram);
        log.clear();
        client.writeDatagram(QByteArray("\x01", 1), QHostAddress::LocalHost, port);
        QVERIFY(datagrams.wait());
        QCOMPARE(datagrams.first().value(2).toByteArray(), QByteArray("\x01", 1));
        object.sendDatagram(QHostAddress::LocalHost, client.localPort(), "\xab\xcd");
        const QString peer = QStringLiteral("127.0.0.1:%1").arg(client.localPort());
        QCOMPARE(log.size(), 2);
        QVERIFY(log[0].first().toString().endsWith("[VELK]: -> UDP " + address
                                                   + " recive datagram from " + peer + "\n01"));
        QVERIFY(log[1].first().toString().endsWith("[VELK]: <- UDP " + address
                                                   + " send datagram to " + peer + "\nabcd"));

        // Told to stop while a bind keeps failing: it ends at once, not running.
        VelkObject second("127.0.0.1", port, false);
        QSignalSpy secondStates(&second, &VelkObject::setConnectionState);
        second.run();
        second.queryTerminate();
        QCOMPARE(secondStates.last().first().toInt(), int(VelkNotRunning));
    }

private:
    VelkPacket *request(QObject *device, const VelkPanel &panel, quint32 sequence)
    {
        auto *packet = new VelkPacket(
            QHostAddress::LocalHost, panel.localPort(),
            makeSetOutputs({ sequence, panel.number(), fourCc("pw") }, { 1, 1, 1, 254, 255, 0, 0 }),
            device);
        connect(packet, &VelkPacket::sendDatagram, m_Velk.get(), &Velk::sendDatagram);
        return packet;
    }
    VelkPanel *panel(quint16 number, VelkPanel::Reply reply, int value = 0)
    {
        auto *p = new VelkPanel({ number, "pw", 1, 1, 0, 0 }, m_Velk.get());
        p->setPolicy(SetOutputs, { reply, value });
        p->start(QHostAddress::LocalHost, m_Socket->localPort(), 0);
        return p;
    }

    std::unique_ptr<Velk> m_Velk;
    std::unique_ptr<VelkObject> m_Socket;
};

TARNHALL_TEST_MAIN(TestVelkProtocol)
#include "tst_velkprotocol.moc"
