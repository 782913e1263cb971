#include "core/env.h"
#include "core/timescale.h"
#include "sip/stunclient.h"
#include "sip/stunmessage.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QByteArray kHead = "0101000c2112a442000000000000000000000000";

StunAnswer parseHex(const QByteArray &hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return stunParseResponse(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size());
}

// A success response of these attributes to the request with that transaction id.
QByteArray answerTo(const QByteArray &request, const QByteArray &attributes, bool success = true)
{
    QByteArray answer = QByteArray::fromHex(success ? "0101" : "0111");
    answer += char(attributes.size() >> 8);
    answer += char(attributes.size());
    return answer + request.mid(4, 16) + attributes;
}

} // namespace

class TestStunClient : public QObject
{
    Q_OBJECT

    QStringList m_Log;

private slots:
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
        connect(Env::instance(), &Env::viewLog, this,
                [this](const QString &line) { m_Log << line.mid(line.indexOf("]: ") + 3); });
    }
    void init()
    {
        TimeScale::setFactor(1);
        m_Log.clear();
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("address");
        const QByteArray xor192 = "0020000800010000e112a643";
        QTest::newRow("xor-mapped")
            << "0101000c2112a442" + kHead.mid(16) + xor192 << true << "192.0.2.1";
        QTest::newRow("software of 5, then mapped") << "0101001c2112a442" + kHead.mid(16)
                + "802200056162636465000000"
                  "000100080001000ac0000207" << true << "192.0.2.7";
        QTest::newRow("xor preferred over mapped")
            << "010100182112a442" + kHead.mid(16) + "000100080001000ac0000207" + xor192 << true
            << "192.0.2.1";
        QTest::newRow("no address") << "010100002112a442" + kHead.mid(16) << true << "0.0.0.0";
        QTest::newRow("length beyond datagram")
            << "0101ff002112a442" + kHead.mid(16) + "0020" << true << "0.0.0.0";
        QTest::newRow("error response")
            << "0111000c2112a442" + kHead.mid(16) + xor192 << false << "0.0.0.0";
        QTest::newRow("short") << QByteArray("0101000c2112a442") << false << "0.0.0.0";
    }
    void parse()
    {
        QFETCH(QByteArray, hex);
        const StunAnswer answer = parseHex(hex);
        QTEST(answer.valid, "valid");
        QTEST(QHostAddress(answer.address).toString(), "address");
    }

    // Only an answer to the request just sent that carries an address is believed.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("sameId");
        QTest::addColumn<QString>("address"); // empty: nothing reported
        const QByteArray xor192 = QByteArray::fromHex("0020000800010000e112a643");
        QTest::newRow("address") << xor192 << true << true << "192.0.2.1";
        QTest::newRow("no address") << QByteArray() << true << true << "";
        QTest::newRow("another request") << xor192 << true << false << "";
        QTest::newRow("error response") << xor192 << false << true << "";
    }
    void answers()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(bool, success);
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
        server.writeDatagram(answerTo(request, attributes, success), peer, peerPort);
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

    // The real thing: coturn as a STUN-only server on loopback.
    void coturn()
    {
        const QString turnserver = QStandardPaths::findExecutable("turnserver");
        if (turnserver.isEmpty())
            QSKIP("turnserver (coturn) is not installed");
        QTemporaryDir dir;
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const quint16 port = probe.localPort();
        probe.close();
        QProcess server;
        server.setWorkingDirectory(dir.path());
        server.start(turnserver,
                     { "-n", "--stun-only", "-L", "127.0.0.1", "--listening-port",
                       QString::number(port), "--no-cli", "--no-tls", "--no-dtls", "--db",
                       dir.filePath("turndb"), "--pidfile", dir.filePath("pid"), "--log-file",
                       dir.filePath("turn.log"), "--simple-log" });
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

QTEST_GUILESS_MAIN(TestStunClient)
#include "tst_stunclient.moc"
