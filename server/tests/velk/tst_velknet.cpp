// Requests with resends against simulated panels over loopback, and the control socket's bind
// retries and protocol traces.
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkobject.h"
#include "velk/velkpacket.h"
#include "velk/velkprotocol.h"
#include "velkpanel.h"

#include <QUdpSocket>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(VelkPanel::Reply)

class TestVelkNet : public QObject
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
    void init() { TimeScale::setFactor(20); }
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
        // Times taken where things happen, not when this test runs again: a loaded machine may
        // run it late.
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
        const qint64 nominal[] = { 0, 500, 1500, 3500, 7500, 15500 }; // coarse timers: 5 % early
        for (int i = 0; i < 6; ++i)
            QVERIFY2((i < 5 ? sends[i] : reports[1]) - start >= nominal[i] * 95 / 100,
                     qPrintable(QString::number(i)));
        QVERIFY(end - reports[1] >= VelkPacket::kLateAnswerGraceMs * 95 / 100);
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
        QTest::newRow("malformed") << R::Malformed << 0 << 5 << QList<int> { -1 };
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
        answer[1] = VelkProtocol::DeviceAnswer;
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
            VelkProtocol::makeSetOutputs({ sequence, panel.number(), fourCc("pw") },
                                         { 1, 1, 1, 254, 255, 0, 0 }),
            device);
        connect(packet, &VelkPacket::sendDatagram, m_Velk.get(), &Velk::sendDatagram);
        return packet;
    }
    VelkPanel *panel(quint16 number, VelkPanel::Reply reply, int value = 0)
    {
        auto *p = new VelkPanel({ number, "pw", 1, 1, 0, 0 }, m_Velk.get());
        p->setPolicy(VelkProtocol::SetOutputs, { reply, value });
        p->start(QHostAddress::LocalHost, m_Socket->localPort(), 0);
        return p;
    }

    std::unique_ptr<Velk> m_Velk;
    std::unique_ptr<VelkObject> m_Socket;
};

QTEST_GUILESS_MAIN(TestVelkNet)
#include "tst_velknet.moc"
