#include "core/timescale.h"
#include "http/httpobject.h"
#include "http/qhttpserver/httplimits.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"
#include "http/qhttpserver/qhttpserver.h"
#include "httpfixture.h"
#include "rawclient.h"
#include "testmain.h"

#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

// The HTTP layer on loopback, driven by a plain TCP peer.
class TestHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void keepAliveAndPipelining();
    void connectionLimit();
    void idleConnections();
    void unansweredRequestGetsAnAnswer();
    void busyPortIsRetried();

private:
    void handle(QHttpRequest *request, QHttpResponse *response);

    QHttpServer m_server;
    quint16 m_port = 0;
};

void TestHttpServer::initTestCase()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
    m_port = m_server.serverPort();
    connect(&m_server, &QHttpServer::newRequest, this, &TestHttpServer::handle);
}

// "/wait" answers once the body is complete, "/len" answers with a length (the connection may
// stay), "/plain" without one, "/299" with a code outside the table, "/inject" with a header value
// carrying CR LF, "/drop" deletes its request at once although its body is still to come.
void TestHttpServer::handle(QHttpRequest *request, QHttpResponse *response)
{
    const QString path = request->path();
    const QByteArray names
        = QStringList(request->headers().keys()).join(QLatin1Char(',')).toLatin1();
    if (path == QLatin1String("/drop")) {
        delete request;
        response->writeHead(200);
        response->end();
        return;
    }
    // Owned here: goes with its answer, also one cut short with its connection.
    connect(response, &QObject::destroyed, request, &QObject::deleteLater);
    if (path == QLatin1String("/wait")) {
        connect(request, &QHttpRequest::end, response, [response] {
            response->writeHead(200);
            response->end();
        });
        return;
    }
    if (path == QLatin1String("/len"))
        response->setHeader(QStringLiteral("Content-Length"), QString::number(names.size()));
    if (path == QLatin1String("/inject"))
        response->setHeader(QStringLiteral("X-Test"), QStringLiteral("a\r\nSet-Cookie: b"));
    response->writeHead(path == QLatin1String("/299") ? 299 : 200);
    response->end(names);
}

void TestHttpServer::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("contains");
    QTest::addColumn<QByteArray>("absent"); // empty: nothing
    const char *const rows[][5] = {
        { "plain answer closes", "GET /plain HTTP/1.1\r\nHost: x\r\n\r\n", "200 OK\r\n",
          "Connection: close", "keep-alive" },
        { "HTTP/1.0 closes", "GET /len HTTP/1.0\r\n\r\n", "200 OK\r\n", "Connection: close",
          "keep-alive" },
        { "names lower-cased", "GET /plain HTTP/1.1\r\nX-MiXed: 1\r\n\r\n", "200 OK\r\n", "x-mixed",
          "X-MiXed" },
        { "code outside the table", "GET /299 HTTP/1.1\r\n\r\n", "299 \r\n", "Date: ", "" },
        { "no header injection", "GET /inject HTTP/1.1\r\n\r\n", "200 OK\r\n",
          "X-Test: aSet-Cookie: b\r\n", "\nSet-Cookie" },
        { "rejected by the parser", "G\x01T / HTTP/1.1\r\n\r\n", "400 Bad Request\r\n",
          "Connection: close", "" },
        { "declared body too large", "POST /plain HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n",
          "413 Request Entity Too Large\r\n", "Connection: close", "" },
        { "request deleted before its body",
          "POST /drop HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", "200 OK\r\n", "close", "" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QByteArray(row[1]) << QByteArray(row[2]) << QByteArray(row[3])
                              << QByteArray(row[4]);
    QByteArray chunked("POST /wait HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n");
    chunked += QByteArray::number(HttpLimits::maxBodyBytes, 16) + "\r\nxyz";
    QTest::newRow("chunked body too large")
        << chunked << QByteArray("413 Request Entity Too Large\r\n") << QByteArray("close")
        << QByteArray();
    QTest::newRow("target too long")
        << QByteArray("GET /" + QByteArray(HttpLimits::maxUrlBytes, 'a') + " HTTP/1.1\r\n\r\n")
        << QByteArray("414 ") << QByteArray("close") << QByteArray();
    QByteArray many("GET /plain HTTP/1.1\r\n");
    for (int i = 0; i <= HttpLimits::maxHeaderCount; ++i)
        many += "H" + QByteArray::number(i) + ": v\r\n";
    QTest::newRow("too many headers") << many + "\r\n"
                                      << QByteArray("400 ") << QByteArray("close") << QByteArray();
}

// Every one of these answers ends with the connection closed by the server.
void TestHttpServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, contains);
    QFETCH(QByteArray, absent);
    const QByteArray reply = RawClient::exchange(m_port, request);
    QVERIFY2(reply.startsWith("HTTP/1.1 " + statusLine), reply.left(200).constData());
    QVERIFY2(reply.contains(contains), reply.left(400).constData());
    QVERIFY(absent.isEmpty() || !reply.contains(absent));
}

void TestHttpServer::keepAliveAndPipelining()
{
    RawClient client(m_port);
    client.send("GET /len HTTP/1.1\r\nA: 1\r\n\r\n");
    QVERIFY(client.waitFor("Connection: keep-alive\r\n"));
    QVERIFY(client.waitFor("\r\n\r\na"));
    QVERIFY(!client.closed());
    // Two requests in one segment: answered in order, each with only its own headers.
    client.send("GET /len HTTP/1.1\r\nB: 1\r\n\r\nGET /plain HTTP/1.1\r\nC: 1\r\n\r\n");
    QVERIFY(client.waitClosed());
    const QByteArray all = client.buffer();
    QCOMPARE(all.count("HTTP/1.1 200 OK"), 3);
    QVERIFY(all.endsWith("\r\n\r\nc"));
    QVERIFY(all.indexOf("\r\n\r\nb") < all.indexOf("\r\n\r\nc"));
}

void TestHttpServer::connectionLimit()
{
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < HttpLimits::maxConnections; ++i) {
        clients.emplace_back(new RawClient(m_port));
        QVERIFY(clients.back()->waitConnected());
    }
    // Accepted connections are counted once the listener has seen them all.
    RawClient probe(m_port);
    probe.send("GET /len HTTP/1.1\r\n\r\n");
    QVERIFY(probe.waitClosed());
    QVERIFY2(probe.buffer().startsWith("HTTP/1.1 503 Service Unavailable"),
             probe.buffer().constData());
    clients.clear();
    // Once they are gone, new connections are served again.
    QTRY_VERIFY(
        RawClient::exchange(m_port, "GET /plain HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200"));
}

void TestHttpServer::idleConnections()
{
    TimeScale::setFactor(100);
    QHttpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    RawClient silent(server.serverPort());
    RawClient halfHead(server.serverPort());
    halfHead.send("GET /plain HTTP/1.1\r\nHost:");
    QVERIFY(silent.waitClosed());
    QVERIFY(halfHead.waitClosed());
    TimeScale::setFactor(1);
    QVERIFY(silent.buffer().isEmpty());
    QVERIFY2(halfHead.buffer().startsWith("HTTP/1.1 408 "), halfHead.buffer().constData());
}

void TestHttpServer::unansweredRequestGetsAnAnswer()
{
    TimeScale::setFactor(100);
    const quint16 port = HttpFixture::freePort();
    HttpObject worker(QStringLiteral("127.0.0.1"), port, false);
    worker.run();
    // Nobody takes the relayed request: the responder still answers before it goes.
    const QByteArray reply = RawClient::exchange(port, "GET /index.htm HTTP/1.1\r\n\r\n");
    TimeScale::setFactor(1);
    QVERIFY2(reply.startsWith("HTTP/1.1 503 Service Unavailable"), reply.constData());
}

void TestHttpServer::busyPortIsRetried()
{
    qRegisterMetaType<HttpConnectionState>("HttpConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    TimeScale::setFactor(100);
    auto *blocker = new QTcpServer;
    QVERIFY(blocker->listen(QHostAddress::LocalHost, 0));
    HttpObject worker(QStringLiteral("127.0.0.1"), blocker->serverPort(), false);
    QSignalSpy states(&worker, &HttpObject::setConnectionState);
    worker.run();
    QTRY_VERIFY(states.size() >= 4);
    QCOMPARE(states.last().at(0).value<HttpConnectionState>(), HttpBinding);
    QCOMPARE(states.last().at(1).value<QAbstractSocket::SocketError>(),
             QAbstractSocket::AddressInUseError);
    delete blocker;
    QTRY_COMPARE(states.last().at(0).value<HttpConnectionState>(), HttpListening);
    TimeScale::setFactor(1);
}

TARNHALL_TEST_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
