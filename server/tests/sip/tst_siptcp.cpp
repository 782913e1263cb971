#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipobject.h"
#include "sip/siptcpserver.h"
#include "sip/siptcpsocket.h"
#include "sip/sipuser.h"
#include "siptestkit.h"
#include "testmain.h"

#include <QCryptographicHash>
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

QString md5(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

const QString kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                     "m=audio 30000 RTP/AVP 8\r\n";

// A phone scripted on one TCP connection; "$port" in a text is its own port.
struct TcpPhone
{
    QTcpSocket socket;
    SipStreamFramer framer;
    int cseq = 1;

    explicit TcpPhone(quint16 server)
    {
        socket.connectToHost(QHostAddress::LocalHost, server);
        socket.waitForConnected(10000);
    }
    void send(QString text)
    {
        text.replace("$port", QString::number(socket.localPort()));
        socket.write(text.replace(QRegularExpression("\r?\n"), "\r\n").toUtf8());
    }
    // The next message but 100 Trying; invalid when none came in time.
    SipMessage next(int timeoutMs = 10000)
    {
        QByteArray bytes;
        QString error;
        const auto take = [&] {
            framer.append(socket.readAll());
            while (framer.next(&bytes, &error) == SipStreamFramer::Complete) {
                if (!bytes.startsWith("SIP/2.0 100 "))
                    return true;
            }
            return false;
        };
        if (!QTest::qWaitFor(take, timeoutMs))
            return SipMessage();
        return SipMessage(SipTransport::TCP, socket.peerAddress(), socket.peerPort(),
                          socket.localAddress(), socket.localPort(), bytes);
    }
    // A request of the user's (password "pw-" and the name), sent again with digest.
    void request(const QString &method, const QString &user, const QString &uri,
                 const QString &head, const QString &body = QString())
    {
        const auto text = [&](const QString &auth) {
            return QString("%1 %2 SIP/2.0\nVia: SIP/2.0/TCP 127.0.0.1:$port;branch=z%3\n"
                           "From: <sip:%4@127.0.0.1>;tag=f%4\nCSeq: %3 %1\n")
                       .arg(method, uri, QString::number(cseq++), user)
                + head + auth + QString("Content-Length: %1\n\n").arg(body.size()) + body;
        };
        send(text(QString()));
        const QString nonce = next().headerValue(SipHeader::WWWAuthenticate).section('"', 3, 3);
        const QString ha1 = md5(user + ":corvane:pw-" + user), ha2 = md5(method + ":" + uri);
        send(text(QString("Authorization: Digest realm=\"corvane\", nonce=\"%1\", uri=\"%2\", "
                          "response=\"%3\"\n")
                      .arg(nonce, uri, md5(ha1 + ":" + nonce + ":" + ha2))));
    }
    // The phone's answer (status line, header lines, body) to a request it was sent, with its
    // Contact on TCP, its To tag and the request's Via, From, Call-ID and CSeq.
    void reply(const SipMessage &request, QString answer)
    {
        QString head
            = QString("Contact: <sip:%1@127.0.0.1:$port;transport=tcp>\nTo: %2;tag=%1\n")
                  .arg(request.startLine.requestUri.user, request.headerValue(SipHeader::To));
        const QRegularExpression copied("^(Via|From|Call-ID|CSeq):");
        for (const QString &line : QString(request.toByteArray()).split("\r\n"))
            head += line.contains(copied) ? line + "\n" : QString();
        send("SIP/2.0 " + answer.insert(answer.indexOf('\n') + 1, head));
    }
    // Calls callee's account as user over this connection (Call-ID "call"): the INVITE the
    // callee's phone then gets.
    SipMessage call(const QString &user, TcpPhone &callee, const QString &calleeUser)
    {
        const QString uri = QString("sip:%1@127.0.0.1").arg(calleeUser);
        request("INVITE", user, uri,
                QString("To: <%1>\nCall-ID: call\nContent-Type: application/sdp\n"
                        "Contact: <sip:%2@127.0.0.1:$port;transport=tcp>\n")
                    .arg(uri, user),
                kSdp);
        return callee.next();
    }
    SipStatus::Type registerAs(const QString &user, const QString &callId, int expires = 60)
    {
        request("REGISTER", user, "sip:127.0.0.1",
                QString("To: <sip:%1@127.0.0.1>\nCall-ID: %2\nExpires: %3\n"
                        "Contact: <sip:%1@127.0.0.1:$port;transport=tcp>\n")
                    .arg(user, callId)
                    .arg(expires));
        return next().startLine.status;
    }
};

// A local server on TCP alone, on a port of its choice, with the plain accounts t1, t2 and c.
struct TcpServer
{
    siptest::Host host;
    QObject context;
    QStringList log;
    Sip sip { &host };
    quint16 port = 0;

    TcpServer()
    {
        TimeScale::setFactor(1);
        siptest::captureLog(&context, &log);
        host.file.setValue("sip/standalone-bind-address", "127.0.0.1");
        host.file.setValue("sip/standalone-bind-port", 0);
        host.file.setValue("sip/server-transport", "tcp");
        QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
        for (const QString name : { "t1", "t2", "c" }) {
            users.setValue(name + "/type-user", 1);
            users.setValue(name + "/sip-standalone-login", name);
            users.setValue(name + "/sip-standalone-password", "pw-" + name);
        }
        users.sync();
        sip.start();
        const auto listening = [this] { return !log.filter("Listen on TCP").isEmpty(); };
        QVERIFY(QTest::qWaitFor(listening, 10000));
        port = log.filter("Listen on TCP").value(0).section(':', -1).toUShort();
    }
    ~TcpServer()
    {
        TimeScale::setFactor(50);
        sip.stop();
        sip.waitSeconds(20);
    }
    bool registered(const QString &name) const { return sip.findUser(name)->isRegistered(); }
};

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
        // Connections of accounts: none makes way for the third.
        for (SipTcpSocket *open : server.findChildren<SipTcpSocket *>())
            open->markRegistered();
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

    // A connection opened for a user reports its loss once, with the peer it is named after.
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
        QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(lost.at(0).at(1).value<ushort>(), peer.serverPort());
    }

    // A phone that draws a new Call-ID for a REGISTER on its connection is registered anew on
    // it: the REGISTER is answered there, and its call ends there.
    void newCallIdOnSameConnection_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("ends");
        QTest::newRow("ringing") << "180 Ringing\nContent-Length: 0\n\n" << int(SipMethod::Cancel);
        const QString ok = "200 OK\nContent-Type: application/sdp\nContent-Length: %1\n\n%2";
        QTest::newRow("answered") << ok.arg(kSdp.size()).arg(kSdp) << int(SipMethod::Bye);
    }
    void newCallIdOnSameConnection()
    {
        QFETCH(QString, answer);
        TcpServer server;
        TcpPhone t1(server.port), c(server.port);
        QCOMPARE(t1.registerAs("t1", "first"), SipStatus::OK);
        QCOMPARE(c.registerAs("c", "c"), SipStatus::OK);
        const SipMessage invite = c.call("c", t1, "t1");
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        t1.reply(invite, answer);
        const bool answered = answer.startsWith("200");
        QCOMPARE(c.next().startLine.status, answered ? SipStatus::OK : SipStatus::Ringing);
        if (answered)
            QCOMPARE(t1.next().startLine.method, SipMethod::Ack);
        QCOMPARE(t1.registerAs("t1", "second"), SipStatus::OK);
        QFETCH(int, ends);
        SipMessage heard;
        do
            heard = t1.next();
        while (heard.isValid() && int(heard.startLine.method) != ends);
        QVERIFY(heard.isValid());
        QVERIFY(server.registered("t1"));
    }

    // A call over TCP stays there: every Contact the server writes on it names TCP, or the phones
    // send their BYE, re-INVITE and REFER over UDP, which a server on TCP alone never hears.
    void dialogContactsNameTcp()
    {
        TcpServer server;
        TcpPhone t1(server.port), c(server.port);
        QCOMPARE(t1.registerAs("t1", "t1"), SipStatus::OK);
        QCOMPARE(c.registerAs("c", "c"), SipStatus::OK);
        const SipMessage invite = c.call("c", t1, "t1");
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        const QString ok = "200 OK\nContent-Type: application/sdp\nContent-Length: %1\n\n%2";
        t1.reply(invite, ok.arg(kSdp.size()).arg(kSdp));
        const SipMessage answer = c.next(), ack = t1.next();
        QCOMPARE(answer.startLine.status, SipStatus::OK);
        QCOMPARE(ack.startLine.method, SipMethod::Ack);
        for (const SipMessage &sent : { invite, answer, ack }) {
            const QString transport = sent.contact().address.parameters.param("transport");
            QVERIFY2(transport.compare("tcp", Qt::CaseInsensitive) == 0,
                     sent.toByteArray().constData());
        }
    }

    // Two accounts on one connection: one leaving is answered and leaves the other's alone.
    void twoAccountsOnOneConnection()
    {
        TcpServer server;
        TcpPhone phone(server.port);
        QCOMPARE(phone.registerAs("t1", "one"), SipStatus::OK);
        QCOMPARE(phone.registerAs("t2", "two"), SipStatus::OK);
        QCOMPARE(phone.registerAs("t1", "one", 0), SipStatus::OK);
        QCOMPARE(phone.registerAs("t2", "two"), SipStatus::OK);
        QVERIFY(!server.registered("t1") && server.registered("t2"));
    }

    // A connection the phone closes takes its accounts with it.
    void peerClosesConnection()
    {
        TcpServer server;
        TcpPhone phone(server.port);
        QCOMPARE(phone.registerAs("t1", "one"), SipStatus::OK);
        QCOMPARE(phone.registerAs("t2", "two"), SipStatus::OK);
        phone.socket.abort();
        QTRY_VERIFY(!server.registered("t1") && !server.registered("t2"));
    }

    // At the limit the oldest connection without an account makes way; one with an account
    // never does. A run of refusals logs its first, and how many once it is over.
    void fullCapEvictsUnregistered()
    {
        TimeScale::setFactor(1);
        QObject context;
        QStringList log;
        siptest::captureLog(&context, &log);
        SipTcpServer server;
        server.setMaxConnections(2);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket clients[6];
        const auto open = [&](int i, bool registered) {
            clients[i].connectToHost(QHostAddress::LocalHost, server.serverPort());
            QVERIFY(clients[i].waitForConnected(10000));
            const QString name = SipTcpSocket::socketName("127.0.0.1", clients[i].localPort());
            if (registered && QTest::qWaitFor([&] { return server.findChild<QObject *>(name); }))
                server.findChild<SipTcpSocket *>(name)->markRegistered();
        };
        open(0, true);
        open(1, false);
        open(2, true);
        open(3, false);
        open(4, false);
        QTRY_VERIFY(clients[1].state() == QAbstractSocket::UnconnectedState
                    && clients[3].state() == QAbstractSocket::UnconnectedState
                    && clients[4].state() == QAbstractSocket::UnconnectedState);
        QCOMPARE(clients[2].state(), QAbstractSocket::ConnectedState);
        QCOMPARE(log.filter("Refuse TCP connection").size(), 1);
        clients[0].abort();
        QTRY_COMPARE(server.connectionCount(), 1);
        open(5, false);
        QTRY_VERIFY(log.contains("TCP connections accepted again after 2 refused"));
    }

    // A REGISTER applied after the connection it came on has gone (the worker handled the
    // close first) leaves nobody registered over it: no connection is opened in its place, so
    // its 200 goes nowhere, and the account is unregistered.
    void registerOnGoneConnection()
    {
        TcpServer server;
        QTcpServer formerPeer; // listens where the gone connection's phone was
        QVERIFY(formerPeer.listen(QHostAddress::LocalHost));
        const quint16 gone = formerPeer.serverPort();
        const QString text
            = "REGISTER sip:127.0.0.1 SIP/2.0\nVia: SIP/2.0/TCP 127.0.0.1:%1;"
              "branch=z%2\nFrom: <sip:t1@127.0.0.1>;tag=f\nTo: <sip:t1@127.0.0.1>\n"
              "Call-ID: gone\nCSeq: %2 REGISTER\nExpires: 60\n"
              "Contact: <sip:t1@127.0.0.1:%1;transport=tcp>\n%3Content-Length: 0\n\n";
        TcpPhone phone(server.port);
        phone.send(text.arg("$port").arg(1).arg(QString()));
        const QString nonce
            = phone.next().headerValue(SipHeader::WWWAuthenticate).section('"', 3, 3);
        const QString digest
            = md5(md5("t1:corvane:pw-t1") + ":" + nonce + ":" + md5("REGISTER:sip:127.0.0.1"));
        const QString auth = QString("Authorization: Digest realm=\"corvane\", nonce=\"%1\", "
                                     "uri=\"sip:127.0.0.1\", response=\"%2\"\n")
                                 .arg(nonce, digest);
        // As the worker passed it on before it let the connection go.
        server.sip.checkDatagramStandalone(
            SipTransport::TCP, "127.0.0.1", gone, "127.0.0.1", server.port,
            text.arg(gone).arg(2).arg(auth).replace("\n", "\r\n").toUtf8());
        QVERIFY(server.registered("t1"));
        QTRY_VERIFY(!server.registered("t1"));
        QVERIFY(!formerPeer.waitForNewConnection(0));
    }

    // The connection closes as its REGISTER is applied: the worker has let it go, not yet
    // deleted it, when the account is marked on it. It reports that end then, and the 200
    // is not written.
    void connectionClosedAsRegisterApplied()
    {
        QObject context;
        QStringList log;
        siptest::captureLog(&context, &log);
        SipObject worker(true, 2, "127.0.0.1", 0);
        QSignalSpy received(&worker, &SipObject::checkDatagram);
        QSignalSpy lost(&worker, &SipObject::deInitTcpSocket);
        worker.run();
        auto *server = worker.findChild<SipTcpServer *>();
        QVERIFY(server && server->isListening());
        QTcpSocket phone;
        phone.connectToHost(QHostAddress::LocalHost, server->serverPort());
        QVERIFY(phone.waitForConnected(10000));
        const quint16 port = phone.localPort();
        phone.write(request("Content-Length: 0"));
        QTRY_COMPARE(received.size(), 1);
        const QString name = SipTcpSocket::socketName("127.0.0.1", port);
        auto *accepted = server->findChild<SipTcpSocket *>(name);
        QVERIFY(accepted);
        // Queued behind the connection's own handling of its close.
        connect(
            accepted, &QAbstractSocket::disconnected, &context,
            [&] {
                worker.initTcpSocket("127.0.0.1", port, true, QString());
                worker.sendDatagram(SipTransport::TCP, "127.0.0.1", port,
                                    "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n");
            },
            Qt::QueuedConnection);
        phone.disconnectFromHost();
        QTRY_COMPARE(lost.size(), 1);
        QCOMPARE(lost.at(0).at(1).value<ushort>(), port);
        QTRY_VERIFY(!server->findChild<SipTcpSocket *>(name));
        QCOMPARE(log.filter(QString("Datagram to 127.0.0.1:%1 on TCP not sent").arg(port)).size(),
                 1);
    }
};

TARNHALL_TEST_MAIN(TestSipTcp)
#include "tst_siptcp.moc"
