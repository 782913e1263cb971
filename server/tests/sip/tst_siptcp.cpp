#include "core/timescale.h"
#include "sip/sipobject.h"
#include "sip/siptcpserver.h"
#include "sip/siptcpsocket.h"
#include "siptestkit.h"
#include "testmain.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QByteArray request(const QByteArray &length, const QByteArray &body = QByteArray())
{
    const QByteArray head
        = "OPTIONS sip:door@127.0.0.1 SIP/2.0\r\nCall-ID: a\r\nCSeq: 1 OPTIONS\r\n";
    return head + "From: <sip:a@b>\r\n" + length + "\r\n\r\n" + body;
}

} // namespace

class TestSipTcp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        siptest::initApplication();
        qRegisterMetaType<SipTransport::Type>("SipTransport::Type");
    }

    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("segments");
        QTest::addColumn<QByteArrayList>("messages");
        QTest::addColumn<bool>("failed");
        const auto row
            = [](const char *name, const QByteArrayList &segments, const QByteArrayList &messages) {
                  QTest::newRow(name) << segments << messages << messages.isEmpty();
              };
        const QByteArray one = request("Content-Length: 4", "abcd");
        const QByteArray bare = "ACK sip:a@b SIP/2.0\nl: 0\n\n";
        const QByteArray empty = request("Content-Length: 0");
        row("two in one segment", { one + empty }, { one, empty });
        row("body in two segments", { one.left(one.size() - 2), "cd" }, { one });
        row("bare line feeds, compact form", { bare }, { bare });
        row("keep-alive pings", { "\r\n\r\n", "\r\n", "\r\n" + one }, { one });
        row("no length", { request("Max-Forwards: 70", "abcd") }, {});
        row("two lengths", { request("Content-Length: 4\r\nl: 4", "abcd") }, {});
        row("not a number", { request("Content-Length: 4x", "abcd") }, {});
        row("head without end", { "OPTIONS sip:a SIP/2.0\r\nX: " + QByteArray(40000, 'x') }, {});
        row("huge body", { request("Content-Length: 9999999") }, {});
    }
    void framing()
    {
        QFETCH(QByteArrayList, segments);
        QFETCH(QByteArrayList, messages);
        QFETCH(bool, failed);
        SipStreamFramer framer;
        QByteArrayList taken;
        bool sawFailure = false;
        for (const QByteArray &segment : segments) {
            framer.append(segment);
            QByteArray message;
            QString error;
            SipStreamFramer::Result result;
            while ((result = framer.next(&message, &error)) == SipStreamFramer::Complete)
                taken << message;
            sawFailure = sawFailure || result == SipStreamFramer::Failed;
        }
        QCOMPARE(taken, messages);
        QCOMPARE(sawFailure, failed);
        QCOMPARE(framer.size(), 0);
    }

    // Accepted connections: named after the peer, messages relayed, a stream that cannot be
    // followed closed, connections beyond the limit refused, keep-alives sent.
    void acceptedConnections()
    {
        TimeScale::setFactor(20);
        SipTcpServer server;
        server.setMaxConnections(2);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QSignalSpy received(&server, &SipTcpServer::checkDatagram);

        QTcpSocket good, bad, third;
        for (QTcpSocket *client : { &good, &bad }) {
            client->connectToHost(QHostAddress::LocalHost, server.serverPort());
            QVERIFY(client->waitForConnected(10000));
        }
        QTRY_COMPARE(server.connectionCount(), 2);
        const QString name = SipTcpSocket::socketName("127.0.0.1", good.localPort());
        QVERIFY(server.findChild<SipTcpSocket *>(name));
        third.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QTRY_COMPARE(third.state(), QAbstractSocket::UnconnectedState);

        const QByteArray message = request("Content-Length: 4", "abcd");
        good.write(message.left(10));
        QVERIFY(good.waitForBytesWritten(10000));
        good.write(message.mid(10));
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(2).value<ushort>(), good.localPort());
        QCOMPARE(received.at(0).at(5).toByteArray(), message);

        // Keep-alives every TCP_TIMEOUT (1.5 s at this scale).
        QByteArray pings;
        QTRY_VERIFY((pings += good.readAll()).startsWith("\r\n"));

        bad.write(request("Content-Length: four", "four") + message);
        QTRY_COMPARE(bad.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server.connectionCount(), 1);
        QCOMPARE(received.size(), 1);
    }

    // Without a registration a connection does not hold the listener: a silent one (pings and
    // no SIP) and one gone quiet are closed, one address gets a quarter of the slots.
    void unregisteredConnectionsClosed()
    {
        TimeScale::setFactor(20);
        QObject context;
        QStringList log;
        siptest::captureLog(&context, &log);
        SipObject worker(false, 2, "127.0.0.1", 0);
        QSignalSpy received(&worker, &SipObject::checkDatagram);
        worker.run();
        auto *server = worker.findChild<SipTcpServer *>();
        QVERIFY(server && server->isListening());
        QTcpSocket clients[SipTcpServer::MaxConnectionsPerAddress + 1];
        const QByteArrayList first { request("Content-Length: 0"), request("Content-Length: 0"),
                                     "\r\n\r\nHELLO\r\nl: 0\r\n\r\n" };
        for (int i = 0; i <= SipTcpServer::MaxConnectionsPerAddress; ++i) {
            clients[i].connectToHost(QHostAddress::LocalHost, server->serverPort());
            QVERIFY(clients[i].waitForConnected(10000));
            clients[i].write(first.value(i));
        }
        QTRY_COMPARE(log.filter("connections open from that address").size(), 1);
        const quint16 talker = clients[1].localPort(), silent = clients[2].localPort();
        QTRY_COMPARE(received.size(), 3);
        worker.initTcpSocket("127.0.0.1", clients[0].localPort(), true, "alice");
        // The registered phone's connection outlasts the idle limit.
        QByteArray pings;
        QTRY_VERIFY_WITH_TIMEOUT((pings += clients[0].readAll()).count("\r\n") >= 3, 20000);
        QTRY_COMPARE(server->connectionCount(), 1);
        const QString closed("Close TCP connection tcp:127.0.0.1:%1: %2");
        QVERIFY(
            log.contains(closed.arg(talker).arg("Idle for 60 s without a registered account.")));
        QVERIFY(log.contains(closed.arg(silent).arg("No SIP message within 30 s.")));
    }

    // A connection opened for a user reports its loss once, with the user's name.
    void openedConnectionReportsItsUser()
    {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost));
        QObject owner;
        auto *socket = new SipTcpSocket(&owner);
        QCOMPARE(socket->objectName(), QStringLiteral("SipTcpSocket"));
        socket->setSocketName("127.0.0.1", peer.serverPort());
        socket->setProperty("user", "alice");
        QSignalSpy lost(socket, &SipTcpSocket::deInitTcpSocket);
        QPointer<SipTcpSocket> alive(socket);
        socket->connectToHost(QHostAddress::LocalHost, peer.serverPort());
        QTRY_VERIFY(peer.hasPendingConnections());
        delete peer.nextPendingConnection();
        QTRY_VERIFY(alive.isNull());
        QCOMPARE(lost.size(), 1);
        QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("alice"));
    }
};

TARNHALL_TEST_MAIN(TestSipTcp)
#include "tst_siptcp.moc"
