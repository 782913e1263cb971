#include "core/timescale.h"
#include "sip/stunclient.h"
#include "sip/stunmessage.h"
#include "siptestkit.h"
#include "testmain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestStunClient : public QObject
{
    Q_OBJECT

    QStringList m_Log;

private slots:
    void initTestCase() { siptest::captureLog(this, &m_Log); }
    void init()
    {
        TimeScale::setFactor(1);
        m_Log.clear();
    }

    // Only an answer to the request just sent that carries an address is believed.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("head"); // type and length; empty: a success of the length
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<int>("cut"); // bytes sent, 0: all
        QTest::addColumn<bool>("sameId");
        QTest::addColumn<QString>("address"); // empty: nothing reported
        const QByteArray xor192 = "0020000800010000e112a643";
        const QByteArray mapped = "000100080001000ac0000207";
        const auto row = [](const char *name, const QByteArray &head, const QByteArray &attributes,
                            int cut, bool sameId, const char *address) {
            QTest::newRow(name) << head << attributes << cut << sameId << QString(address);
        };
        row("software of 5, then mapped", "", "802200056162636465000000" + mapped, 0, true,
            "192.0.2.7");
        row("xor preferred over mapped", "", mapped + xor192, 0, true, "192.0.2.1");
        row("no address", "", "", 0, true, "");
        row("length beyond datagram", "0101ff00", "0020", 0, true, "");
        row("error response", "0111000c", xor192, 0, true, "");
        row("short", "", xor192, 8, true, "");
        row("another request", "", xor192, 0, false, "");
    }
    void answers()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, attributes);
        QFETCH(int, cut);
        QFETCH(bool, sameId);
        QFETCH(QString, address);
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
        StunClient client(QStringLiteral("127.0.0.1:%1").arg(server.localPort()));
        QSignalSpy found(&client, &StunClient::stunServer);
        client.initStunServer();
        QTRY_VERIFY(server.hasPendingDatagrams());
        QByteArray request(StunRequestSize + 4, '\0');
        QHostAddress peer;
        quint16 peerPort = 0;
        QCOMPARE(server.readDatagram(request.data(), request.size(), &peer, &peerPort),
                 qint64(StunRequestSize));
        QCOMPARE(request.left(8).toHex(), QByteArray("000100082112a442"));
        QCOMPARE(request.mid(20, 8).toHex(), QByteArray("0003000400000000"));
        if (!sameId)
            request[10] = char(request[10] ^ 1);
        const QByteArray body = QByteArray::fromHex(attributes);
        QByteArray answer = head.isEmpty()
            ? QByteArray::fromHex("0101") + char(body.size() >> 8) + char(body.size())
            : QByteArray::fromHex(head);
        answer += request.mid(4, 16) + body;
        server.writeDatagram(cut ? answer.left(cut) : answer, peer, peerPort);
        if (address.isEmpty()) {
            QTRY_VERIFY(m_Log.contains("Error external IP detect for '127.0.0.1'"));
            QCOMPARE(found.size(), 0);
        } else {
            QTRY_COMPARE(found.size(), 1);
            QCOMPARE(found.at(0).at(0).toString(), address);
            QVERIFY(m_Log.contains("External IP detected: " + address));
        }
        QVERIFY(client.isRunning());
    }

    // A name that cannot be looked up is asked again after a pause, logged once.
    void failedLookupWaits()
    {
        StunClient client(QStringLiteral(":0"));
        QCOMPARE(client.port(), StunClient::DefaultPort);
        client.initStunServer();
        QTRY_VERIFY(client.isWaitingToRetry());
        QCOMPARE(client.lookups(), 1);
        TimeScale::setFactor(1000);
        client.initStunServer();
        QTRY_VERIFY(client.lookups() >= 4);
        QCOMPARE(m_Log.count("Unable lookup STUN server host "), 1);
        QCOMPARE(m_Log.count("Start STUN server '' lookup ..."), 1);
        client.stop();
        QVERIFY(!client.isWaitingToRetry());
    }

    // The real thing: coturn as a STUN-only server on loopback, listening on the UDP port
    // reserved for it alone: a TCP listener on that number, which may be taken, would keep it
    // from answering at all.
    void coturn()
    {
        const QString turnserver = QStandardPaths::findExecutable("turnserver");
        if (turnserver.isEmpty())
            QSKIP("turnserver (coturn) is not installed");
        QTemporaryDir dir;
        const quint16 port = siptest::freeUdpPort();
        QProcess server;
        server.setWorkingDirectory(dir.path());
        server.start(turnserver,
                     { "-n", "--stun-only", "-L", "127.0.0.1", "--listening-port",
                       QString::number(port), "--no-cli", "--no-tcp", "--no-tls", "--no-dtls",
                       "--db", dir.filePath("turndb"), "--pidfile", dir.filePath("pid"),
                       "--log-file", dir.filePath("turn.log"), "--simple-log" });
        QVERIFY(server.waitForStarted());
        // Requests go out every IntervalMs: sped up, until coturn has started listening.
        TimeScale::setFactor(200);
        StunClient client(QStringLiteral("localhost:%1").arg(port));
        QSignalSpy found(&client, &StunClient::stunServer);
        client.initStunServer();
        QTRY_VERIFY(client.isRunning());
        QTRY_VERIFY2_WITH_TIMEOUT(found.size() > 0, qPrintable(m_Log.join("|")), 30000);
        QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("127.0.0.1"));
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
    }
};

TARNHALL_TEST_MAIN(TestStunClient)
#include "tst_stunclient.moc"
