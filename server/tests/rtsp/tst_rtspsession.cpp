#include "core/env.h"
#include "core/timescale.h"
#include "rtsp/rtspcontrol.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QByteArray kSdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                        "a=fmtp:96 packetization-mode=1\r\na=control:stream=0\r\n\r\n";

// GStreamer's RTSP server in a child process; it reports its port and each request it handles.
class Camera : public QObject
{
public:
    explicit Camera(const QStringList &args)
    {
        connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                if (line.startsWith(QLatin1String("PORT ")))
                    port = line.mid(5).toInt();
                else if (line.startsWith(QLatin1String("REQ ")))
                    requests.append(line.mid(4));
            }
        });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/usr/bin/python3"),
                      QStringList { qEnvironmentVariable("TARNHALL_SOURCE_DIR")
                                    + QStringLiteral("/server/tests/rtsp/camera.py") }
                          + args);
    }
    ~Camera() override
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
        }
    }
    QString url() const { return QStringLiteral("rtsp://127.0.0.1:%1/door").arg(port); }
    int count(const QString &method) const { return requests.count(method); }

    QProcess process;
    int port = 0;
    QStringList requests;
};

// A scripted camera on loopback for what a real one cannot show.
class ScriptedPeer : public QObject
{
public:
    struct Request
    {
        QByteArray method;
        QHash<QByteArray, QByteArray> headers;
        QByteArray cseq() const { return headers.value("cseq"); }
    };
    // The answer to a request as segments written apart; none leaves it unanswered.
    std::function<QList<QByteArray>(const Request &)> script;
    QList<Request> requests;
    QList<qint64> accepted;
    bool closeAtOnce = false;
    QByteArray session = "77";

    ScriptedPeer()
    {
        script = [this](const Request &r) { return QList<QByteArray> { answer(r) }; };
        server.listen(QHostAddress::LocalHost);
        clock.start();
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            accepted.append(clock.elapsed());
            if (closeAtOnce)
                return socket->abort();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        });
    }
    QString url() const
    {
        return QStringLiteral("rtsp://127.0.0.1:%1/door").arg(server.serverPort());
    }

    QByteArray answer(const Request &r, const QByteArray &status = "200 OK") const
    {
        QByteArray head = "RTSP/1.0 " + status + "\r\nCSeq: " + r.cseq() + "\r\n";
        QByteArray body;
        if (r.method == "DESCRIBE") {
            head += "Content-Base: " + url().toUtf8() + "/\r\n";
            body = kSdp;
        } else if (r.method == "SETUP") {
            head += "Session: " + session
                + "\r\nTransport: RTP/AVP;unicast;server_port=6970-6971\r\n";
        }
        if (!body.isEmpty())
            head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        return head + "\r\n" + body;
    }
    int count(const QByteArray &method) const
    {
        return int(std::count_if(requests.begin(), requests.end(),
                                 [&method](const Request &r) { return r.method == method; }));
    }

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = buffers[socket];
        buffer += socket->readAll();
        int end;
        while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            buffer.remove(0, end + 4);
            Request request { lines.first().split(' ').first(), {} };
            for (const QByteArray &line : lines.mid(1)) {
                const int colon = line.indexOf(':');
                request.headers.insert(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
            }
            requests.append(request);
            int delay = 0;
            for (const QByteArray &segment : script(request)) {
                QTimer::singleShot(delay, socket, [socket, segment] { socket->write(segment); });
                delay += 30;
            }
        }
    }

    QTcpServer server;
    QElapsedTimer clock;
    QHash<QTcpSocket *, QByteArray> buffers;
};

} // namespace

class TestRtspSession : public QObject
{
    Q_OBJECT
    std::unique_ptr<RtspControl> control;
    std::unique_ptr<QSignalSpy> media;
    std::unique_ptr<QSignalSpy> video;
    QStringList log;

    int lastCodec() const { return media->isEmpty() ? -1 : media->last().at(0).toInt(); }
    void start(const QString &url, const QString &password = QStringLiteral("secret"))
    {
        control.reset(new RtspControl(qEnvironmentVariableIsSet("RTSP_TRACE")));
        media.reset(new QSignalSpy(control.get(), &RtspControl::setMediaParam));
        video.reset(new QSignalSpy(control.get(), &RtspControl::setVelkVideo));
        control->startControl(url, QStringLiteral("door"), password);
    }

private slots:
    void initTestCase()
    {
        Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
        connect(
            Env::instance(), &Env::viewLog, this, [this](const QString &line) { log += line; },
            Qt::QueuedConnection);
    }
    void cleanup()
    {
        if (control)
            control->stopControl();
        QVERIFY(!control || control->ownedThread()->isFinished());
        control.reset();
        TimeScale::setFactor(1);
        log.clear();
    }

    void camera_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("fullUse");
        QTest::newRow("open, short session timeout") << QStringList { "--timeout", "1" } << true;
        QTest::newRow("digest") << QStringList { "--user", "door", "--password", "secret" }
                                << false;
    }
    void camera()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, fullUse);
        Camera camera(args);
        QTRY_VERIFY_WITH_TIMEOUT(camera.port > 0, 20000);
        start(camera.url());
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QCOMPARE(media->last().at(1).toString(), QStringLiteral("H264/90000"));

        QUdpSocket rtp, rtcp;
        const QHostAddress loopback(QHostAddress::LocalHost);
        QVERIFY(rtp.bind(loopback) && rtcp.bind(loopback));
        int packets = 0;
        connect(&rtp, &QUdpSocket::readyRead, &rtp, [&] {
            while (rtp.hasPendingDatagrams())
                packets += rtp.receiveDatagram().data().size() > 12 ? 1 : 0;
        });
        emit control->play(rtp.localPort(), rtcp.localPort());
        QTRY_COMPARE_WITH_TIMEOUT(video->count(), 1, 20000);
        QCOMPARE(video->first().at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
        QTRY_VERIFY_WITH_TIMEOUT(packets > 5, 20000);
        if (!fullUse)
            return; // stopped while playing: TEARDOWN goes out, its answer is not awaited

        // Past the camera's expiry (its timeout plus GStreamer's 5 s of grace) video still flows.
        QTRY_VERIFY_WITH_TIMEOUT(camera.count("GET_PARAMETER") >= 16, 60000);
        packets = 0;
        QTRY_VERIFY_WITH_TIMEOUT(packets > 5, 20000);

        emit control->play_suspend();
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("PAUSE"), 1, 20000);
        emit control->play_resume();
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("PLAY"), 2, 20000);
        packets = 0;
        QTRY_VERIFY_WITH_TIMEOUT(packets > 5, 20000);

        emit control->teardown();
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("TEARDOWN"), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("DESCRIBE"), 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QVERIFY(media->count() >= 3 && media->at(media->count() - 2).at(0).toInt() == 255);
    }

    void wrongPassword()
    {
        Camera camera({ "--user", "door", "--password", "secret" });
        QTRY_VERIFY_WITH_TIMEOUT(camera.port > 0, 20000);
        start(camera.url(), QStringLiteral("wrong"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !log.filter(QStringLiteral("[RTSP]: Camera %1 refused the credentials of user 'door'.")
                            .arg(camera.url()))
                 .isEmpty(),
            20000);
        QVERIFY(media->isEmpty());
    }

    void challenge_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("challenge");
        QTest::addColumn<QByteArray>("credentials");
        QTest::newRow("401 auth") << QByteArray("401 Unauthorized")
                                  << QByteArray(
                                         "WWW-Authenticate: Digest realm=\"Door Cam, Inc\", "
                                         "nonce=\"abc=\", qop=\"auth,auth-int\", opaque=\"o1\"")
                                  << QByteArray("authorization");
        QTest::newRow("407") << QByteArray("407 Proxy Authentication Required")
                             << QByteArray("Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", "
                                           "opaque=\"o1\"")
                             << QByteArray("proxy-authorization");
    }
    void challenge()
    {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, credentials);
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            if (r.method != "DESCRIBE" || r.headers.contains(credentials))
                return QList<QByteArray> { peer.answer(r) };
            return QList<QByteArray> { "RTSP/1.0 " + status + "\r\nCSeq: " + r.cseq() + "\r\n"
                                       + challenge + "\r\n\r\n" };
        };
        start(peer.url());
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QCOMPARE(peer.count("DESCRIBE"), 2);
        const ScriptedPeer::Request first = peer.requests.at(1), second = peer.requests.at(2);
        QCOMPARE(second.cseq(), first.cseq());
        QVERIFY(second.headers.value(credentials).startsWith("Digest username=\"door\""));
        QVERIFY(second.headers.value(credentials).endsWith(", opaque=\"o1\""));
    }

    void framing()
    {
        // The OPTIONS answer comes with the head of the DESCRIBE answer; the rest follows in
        // pieces, and the description ends with an empty line of its own.
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            if (r.method != "OPTIONS")
                return QList<QByteArray>();
            ScriptedPeer::Request next = r;
            next.method = "DESCRIBE";
            next.headers["cseq"] = QByteArray::number(r.cseq().toInt() + 1);
            const QByteArray describe = peer.answer(next);
            return QList<QByteArray> { peer.answer(r) + describe.left(40), describe.mid(40, 70),
                                       describe.mid(110) };
        };
        start(peer.url());
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QCOMPARE(peer.accepted.size(), 1);
    }

    void brokenAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        QTest::newRow("wrong cseq") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 999\r\n\r\n") << "";
        QTest::newRow("huge length")
            << QByteArray("RTSP/1.0 200 OK\r\nCSeq: %1\r\nContent-Length: 4000000000\r\n\r\nv=0")
            << "Answer body of 4000000000 bytes exceeds 1048576 bytes.";
        QTest::newRow("endless head")
            << QByteArray("RTSP/1.0 200 OK\r\nCSeq: %1\r\n").append(QByteArray(70000, 'x'))
            << "Answer head exceeds 65536 bytes.";
    }
    void brokenAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            if (r.method != "DESCRIBE")
                return QList<QByteArray> { peer.answer(r) };
            return QList<QByteArray> { QByteArray(answer).replace("%1", r.cseq()) };
        };
        start(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(peer.accepted.size() >= 2, 20000);
        QVERIFY(media->isEmpty());
        if (!logged.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(!log.filter("[RTSP]: " + logged).isEmpty(), 20000);
    }

    void keepAlive_data()
    {
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<double>("factor");
        QTest::newRow("half the camera's timeout") << QByteArray("77;timeout=1") << 1.0;
        QTest::newRow("none given") << QByteArray("77") << 20.0;
    }
    void keepAlive()
    {
        // A camera that refuses GET_PARAMETER is kept alive with OPTIONS.
        QFETCH(QByteArray, session);
        QFETCH(double, factor);
        TimeScale::setFactor(factor);
        ScriptedPeer peer;
        peer.session = session;
        peer.script = [&](const ScriptedPeer::Request &r) {
            return QList<QByteArray> { peer.answer(
                r, r.method == "GET_PARAMETER" ? "501 Not Implemented" : "200 OK") };
        };
        start(peer.url());
        emit control->play(50000, 50001);
        QTRY_VERIFY_WITH_TIMEOUT(peer.count("OPTIONS") >= 3, 20000);
        QCOMPARE(peer.count("GET_PARAMETER"), 1);
        QCOMPARE(peer.requests.last().headers.value("session"), QByteArray("77"));
        QCOMPARE(peer.accepted.size(), 1);
    }

    void backOff()
    {
        ScriptedPeer peer;
        peer.closeAtOnce = true;
        start(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(peer.accepted.size() >= 7, 30000);
        // 50, 100, ... 1600 ms: the pause before the seventh attempt has doubled five times.
        QVERIFY(peer.accepted.at(6) - peer.accepted.at(5) >= 1500);
    }
};

QTEST_GUILESS_MAIN(TestRtspSession)
#include "tst_rtspsession.moc"
