#include "core/env.h"
#include "core/timescale.h"
#include "rtsp/rtspcontrol.h"
#include "rtsp/rtspdigest.h"
#include "rtsp/rtspmessage.h"
#include "rtsp/rtspobject.h"
#include "rtspcamera.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(QHostAddress)

namespace {

using Segments = QList<QByteArray>;

QString md5(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

const QByteArray kSdp = "v=0\r\na=control:*\r\nm=audio 0 RTP/AVP 8\r\na=control:audio\r\n"
                        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                        "a=fmtp:96 packetization-mode=1\r\na=control:stream=0\r\n";
const QByteArray kOk = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";

// A scripted camera on loopback for what a real one cannot show. Each answer is a list of
// segments written 30 ms apart; no segment leaves the request unanswered.
class ScriptedPeer : public QObject
{
public:
    struct Request
    {
        QByteArray method;
        QHash<QByteArray, QByteArray> headers;
    };
    std::function<Segments(const Request &)> script
        = [this](const Request &r) { return Segments { answer(r) }; };
    QList<Request> requests;
    QList<qint64> accepted;
    bool closeAtOnce = false;

    ScriptedPeer()
    {
        server.listen(QHostAddress::LocalHost);
        clock.start();
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            accepted += clock.elapsed();
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
        QByteArray head = "RTSP/1.0 " + status + "\r\nCSeq: " + r.headers["cseq"] + "\r\n";
        if (r.method == "SETUP")
            head += "Session: 77\r\nTransport: RTP/AVP;server_port=6970-6971\r\n";
        if (r.method != "DESCRIBE")
            return head + "\r\n";
        return head + "Content-Length: " + QByteArray::number(kSdp.size()) + "\r\n\r\n" + kSdp;
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
        for (int end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            buffer.remove(0, end + 4);
            Request request { lines.first().split(' ').first(), {} };
            for (const QByteArray &line : lines.mid(1))
                request.headers[line.left(line.indexOf(':')).toLower()]
                    = line.mid(line.indexOf(':') + 1).trimmed();
            requests += request;
            int delay = 0;
            for (const QByteArray &segment : script(request))
                QTimer::singleShot(delay += 30, socket, [=] { socket->write(segment); });
        }
    }
    QTcpServer server;
    QElapsedTimer clock;
    QHash<QTcpSocket *, QByteArray> buffers;
};

} // namespace

// Answers, SDP, digest and controls as cameras write them, then whole sessions against
// GStreamer's RTSP server and a scripted camera.
class TestRtspSession : public QObject
{
    Q_OBJECT
    std::unique_ptr<RtspControl> control;
    std::unique_ptr<QSignalSpy> media;
    QStringList log;

    int lastCodec() const { return media->isEmpty() ? -1 : media->last().at(0).toInt(); }
    void start(const QString &url, const QString &password = QString())
    {
        control.reset(new RtspControl(qEnvironmentVariableIsSet("RTSP_TRACE")));
        media.reset(new QSignalSpy(control.get(), &RtspControl::setMediaParam));
        control->startControl(url, QStringLiteral("door"), password);
    }
    bool logged(const QString &text) const { return !log.filter("[RTSP]: " + text).isEmpty(); }

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
        TimeScale::setFactor(1);
        if (control)
            control->stopControl();
        QVERIFY(!control || control->ownedThread()->isFinished());
        control.reset();
        log.clear();
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("status"); // -2: invalid
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("body");
        // Everything after the first empty line is the body, byte for byte.
        const QByteArray raw("v=0\r\n\r\nm=video\0x\r\n\r\n", 19);
        QTest::newRow("raw body") << kOk + "Content-Length: 19\r\n\r\n" + raw << 5 << "" << raw;
        QTest::newRow("short body")
            << kOk + "Content-Length: 10\r\n\r\n123456789" << -2 << "" << QByteArray("123456789");
        QTest::newRow("rtsp code") << QByteArray("rtsp/1.0 454 Session Not Found\ncseq: 7\n\n")
                                   << 40 << "" << QByteArray();
        QTest::newRow("version") << QByteArray("RTSP/1.1 200 OK\r\nCSeq: 1\r\n\r\n") << -2
                                 << "Bad RTSP Version (RTSP/1.1 200 OK)." << QByteArray();
        QTest::newRow("two cseq") << kOk + "cseq: 1\r\n\r\n"
                                  << -2 << "Multiple header field CSeq" << QByteArray();
    }
    void parse()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, status);
        const RtspMessage message(data);
        QCOMPARE(message.valid() ? int(message.status()) : -2, status);
        QTEST(message.error(), "error");
        QTEST(message.body(), "body");
    }

    void sdp_data()
    {
        QTest::addColumn<QByteArray>("sdp");
        QTest::addColumn<int>("codec"); // negative: not usable
        QTest::addColumn<QString>("control");
        QTest::newRow("second video") << kSdp + "m=video 0 RTP/AVP 97\na=control:x\n"
                                      << 96 << "stream=0";
        QTest::newRow("avpf") << QByteArray(kSdp).replace("AVP 96", "AVPF 96") << -255 << "";
        QTest::newRow("no number") << QByteArray(kSdp).replace("AVP 96", "AVP x") << 0 << "";
        // 300 must not become 44.
        QTest::newRow("above 127") << QByteArray(kSdp).replace("96", "300") << -255 << "";
    }
    void sdp()
    {
        QFETCH(QByteArray, sdp);
        uchar codec = 0;
        QString info = QStringLiteral("old"), fmtp, control;
        const bool usable = RtspMessage::parseVideoSdp(sdp, codec, info, fmtp, control);
        QTEST(usable ? int(codec) : -int(codec), "codec");
        QCOMPARE(info, usable ? QStringLiteral("H264/90000") : QString());
        QTEST(control, "control");
    }

    void digest_data()
    {
        QTest::addColumn<QString>("challenge");
        QTest::addColumn<QString>("qop");
        QTest::newRow("auth offered second")
            << "digest Realm=\"cam\", NONCE=\"n1==\", qop=\"auth-int,auth\"" << QString("auth");
        QTest::newRow("auth-int") << "Digest realm=\"cam\", nonce=\"n1==\", qop=\"auth-int\""
                                  << "auth-int";
    }
    void digest()
    {
        QFETCH(QString, challenge);
        QFETCH(QString, qop);
        quint64 count = 1;
        const QString uri = QStringLiteral("rtsp://cam/door");
        const QString text = RtspDigest::answer(challenge, "DESCRIBE", uri, "door", "pw", count);
        const QHash<QString, QString> f = RtspDigest::parseChallenge(text);
        QCOMPARE(f.value("realm"), QStringLiteral("cam"));
        QCOMPARE(f.value("qop"), qop);
        const QString ha2 = md5("DESCRIBE:" + uri + (qop == "auth-int" ? ":" + md5("") : ""));
        const QStringList parts { md5("door:cam:pw"), "n1==", "00000001",
                                  f.value("cnonce"),  qop,    ha2 };
        QCOMPARE(f.value("response"), md5(parts.join(':')));
        QCOMPARE(count, 2u);
        QVERIFY(RtspDigest::answer("Basic realm=\"cam\"", "PLAY", uri, "a", "b", count).isEmpty());
    }

    void controlUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("url");
        const auto row = [](const char *name, QString base, QString control, QString url) {
            QTest::newRow(name) << base << control << url;
        };
        row("no slash", "rtsp://cam/door", "s=0", "rtsp://cam/door/s=0");
        row("both", "rtsp://cam/door/", "/s=0", "rtsp://cam/door/s=0");
        row("absolute", "rtsp://cam/door/", "rtsp://other/x", "rtsp://other/x");
        row("aggregate", "rtsp://cam/door/", "*", "rtsp://cam/door/");
    }
    void controlUrl()
    {
        QFETCH(QString, base);
        QFETCH(QString, control);
        QTEST(RtspObject::controlUrl(base, control), "url");
    }

    void camera_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("password");
        const QStringList digest { "--user", "door", "--password", "secret" };
        QTest::newRow("open, session timeout 1 s") << QStringList { "--timeout", "1" } << "";
        QTest::newRow("digest") << digest << "secret";
        QTest::newRow("wrong password") << digest << "wrong";
    }
    void camera()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, password);
        RtspCamera camera(args);
        QTRY_VERIFY_WITH_TIMEOUT(camera.ready(), 20000);
        start(camera.url, password);
        if (password == "wrong") {
            const QString line("Camera %1 refused the credentials of user 'door'.");
            QTRY_VERIFY_WITH_TIMEOUT(logged(line.arg(camera.url)), 20000);
            QVERIFY(media->isEmpty());
            return;
        }
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
        QSignalSpy video(control.get(), &RtspControl::setVelkVideo);
        emit control->play(rtp.localPort(), rtcp.localPort());
        QTRY_COMPARE_WITH_TIMEOUT(video.count(), 1, 20000);
        QCOMPARE(video.first().at(0).value<QHostAddress>(), loopback);
        QTRY_VERIFY_WITH_TIMEOUT(packets > 5, 20000);
        if (!password.isEmpty()) {
            // Stopped while playing: TEARDOWN goes out, its answer is not awaited.
            control->stopControl();
            QTRY_COMPARE_WITH_TIMEOUT(camera.count("TEARDOWN"), 1, 20000);
            return;
        }
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

        // After the call the camera is described again for the next one.
        emit control->teardown();
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("TEARDOWN"), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("DESCRIBE"), 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QCOMPARE(media->at(media->count() - 2).at(0).toInt(), 255);
    }

    void proxyChallengeInPieces()
    {
        // The OPTIONS answer shares its segment with the head of a 407 to the DESCRIBE that
        // follows; the rest of the 407 comes in pieces.
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            if (r.method == "DESCRIBE" && !r.headers.contains("proxy-authorization"))
                return Segments();
            if (r.method != "OPTIONS")
                return Segments { peer.answer(r) };
            const QByteArray challenge = "RTSP/1.0 407 Proxy Authentication Required\r\nCSeq: "
                + QByteArray::number(r.headers["cseq"].toInt() + 1)
                + "\r\nProxy-Authenticate: Digest realm=\"a, b\", nonce=\"n\", qop=\"auth\", "
                  "opaque=\"o1\"\r\n\r\n";
            return Segments { peer.answer(r) + challenge.left(20), challenge.mid(20, 40),
                              challenge.mid(60) };
        };
        start(peer.url());
        QTRY_COMPARE_WITH_TIMEOUT(lastCodec(), 96, 20000);
        QCOMPARE(peer.accepted.size(), 1);
        QCOMPARE(peer.count("DESCRIBE"), 2);
        const auto &headers = peer.requests.last().headers;
        QCOMPARE(headers["cseq"], peer.requests.at(peer.requests.size() - 2).headers["cseq"]);
        const QByteArray credentials = headers["proxy-authorization"];
        QVERIFY(credentials.startsWith("Digest username=\"door\", realm=\"a, b\""));
        QVERIFY(credentials.contains("qop=auth, nc=00000001"));
        QVERIFY(credentials.endsWith(", opaque=\"o1\""));
    }

    void brokenAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        QTest::newRow("wrong cseq") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 999\r\n\r\n") << "";
        QTest::newRow("huge length")
            << QByteArray("RTSP/1.0 200 OK\r\nCSeq: %1\r\nContent-Length: 4000000000\r\n\r\nv=0")
            << "Answer body of 4000000000 bytes exceeds 1048576 bytes.";
        QTest::newRow("endless head") << "RTSP/1.0 200 OK\r\nCSeq: %1\r\n" + QByteArray(70000, 'x')
                                      << "Answer head exceeds 65536 bytes.";
    }
    void brokenAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            return Segments { r.method != "DESCRIBE"
                                  ? peer.answer(r)
                                  : QByteArray(answer).replace("%1", r.headers["cseq"]) };
        };
        start(peer.url());
        QTRY_VERIFY_WITH_TIMEOUT(peer.accepted.size() >= 2, 20000);
        QVERIFY(media->isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(logged.isEmpty() || this->logged(logged), 20000);
    }

    void keepAlive()
    {
        // A camera that gives no session timeout and refuses GET_PARAMETER is kept alive with
        // OPTIONS every 30 s (sped up; the camera test keeps its 1 s timeout in real time).
        TimeScale::setFactor(20);
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            return Segments { peer.answer(
                r, r.method == "GET_PARAMETER" ? "501 Not Implemented" : "200 OK") };
        };
        start(peer.url());
        emit control->play(50000, 50001);
        QTRY_VERIFY_WITH_TIMEOUT(peer.count("OPTIONS") >= 3, 20000);
        QCOMPARE(peer.count("GET_PARAMETER"), 1);
        QCOMPARE(peer.requests.last().headers["session"], QByteArray("77"));
        QCOMPARE(peer.accepted.size(), 1);
    }

    void unansweredKeepAlive()
    {
        // The camera leaves GET_PARAMETER unanswered, once until the PAUSE comes (then it
        // answers both in order), once for good: hold, hang-up and stop reach it all the same.
        ScriptedPeer peer;
        peer.script = [&](const ScriptedPeer::Request &r) {
            if (r.method == "GET_PARAMETER")
                return Segments();
            Segments answers { peer.answer(r).replace("Session: 77", "Session: 77;timeout=1") };
            const int n = peer.requests.size();
            if (r.method == "PAUSE" && peer.requests.at(n - 2).method == "GET_PARAMETER")
                answers.prepend(peer.answer(peer.requests.at(n - 2)));
            return answers;
        };
        const auto methods = [&peer] {
            QByteArrayList list;
            for (const ScriptedPeer::Request &r : peer.requests)
                list += r.method;
            return list.join(' ');
        };
        start(peer.url());
        emit control->play(50000, 50001);
        QTRY_COMPARE_WITH_TIMEOUT(peer.count("GET_PARAMETER"), 1, 10000);
        emit control->play_suspend();
        QTRY_COMPARE_WITH_TIMEOUT(peer.count("GET_PARAMETER"), 2, 10000);
        emit control->teardown();
        QTRY_COMPARE_WITH_TIMEOUT(peer.count("TEARDOWN"), 1, 10000);
        QCOMPARE(methods(),
                 QByteArray("OPTIONS DESCRIBE SETUP PLAY GET_PARAMETER PAUSE GET_PARAMETER "
                            "TEARDOWN"));
        QCOMPARE(peer.accepted.size(), 1);

        emit control->play_resume();
        emit control->play(50000, 50001);
        QTRY_COMPARE_WITH_TIMEOUT(peer.count("GET_PARAMETER"), 3, 10000);
        control->stopControl();
        QTRY_COMPARE_WITH_TIMEOUT(peer.count("TEARDOWN"), 2, 10000);
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

TARNHALL_TEST_MAIN(TestRtspSession)
#include "tst_rtspsession.moc"
