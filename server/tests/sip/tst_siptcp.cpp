#include "core/timescale.h"
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
    return "OPTIONS sip:door@127.0.0.1 SIP/2.0\r\nCall-ID: a\r\n" + length + "\r\n\r\n" + body;
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
        TimeScale::setFactor(100);
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

        const QByteArray message = request("Content-Length: 4", "abcd");
        good.write(message.left(10));
        QVERIFY(good.waitForBytesWritten(10000));
        good.write(message.mid(10));
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(2).value<ushort>(), good.localPort());
        QCOMPARE(received.at(0).at(5).toByteArray(), message);

        // Keep-alives every TCP_TIMEOUT (300 ms at this scale).
        QByteArray pings;
        QTRY_VERIFY((pings += good.readAll()).startsWith("\r\n"));

        third.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QTRY_COMPARE(third.state(), QAbstractSocket::UnconnectedState);

        bad.write(request("Content-Length: four", "four") + message);
        QTRY_COMPARE(bad.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server.connectionCount(), 1);
        QCOMPARE(received.size(), 1);
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
