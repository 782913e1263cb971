// The real service as a gateway, in a network namespace of the test's own. Behind an address
// translation: the STUN server (coturn) sees the service's STUN socket come from another
// address than the one it has, and the outside server (kamailio, or a scripted one that writes
// "received") must learn that address from every account's registration. And a door's camera
// (GStreamer's RTSP server) in a call a phone (SIPp) places through kamailio.
#include "../sippeers.h"
#include "../toolkit.h"
#include "servicesandbox.h"
#include "testmain.h"
#include "velkpanel.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QtTest>

namespace {

// Packets to the STUN server leave from this address; the SIP socket keeps 127.0.0.1.
const QString kMapped = QStringLiteral("127.0.0.2");
const QString kStunAddress = QStringLiteral("127.0.0.3");
const int kTimeScale = 4;

// coturn answering STUN binding requests only, on UDP alone: the service asks nothing else.
class Coturn
{
public:
    QTemporaryDir dir;
    QProcess process;

    bool start(const QString &address)
    {
        process.start("turnserver",
                      { "-n", "--stun-only", "-L", address, "--listening-port", "3478", "--no-cli",
                        "--no-tcp", "--no-tls", "--no-dtls", "--db", dir.filePath("turndb"),
                        "--pidfile", dir.filePath("pid"), "--log-file", dir.filePath("turn.log"),
                        "--simple-log" });
        return process.waitForStarted();
    }
    ~Coturn()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
};

// The door camera: GStreamer's RTSP server, telling each request it gets.
class Camera
{
public:
    QProcess process;
    QString url;
    QStringList requests;

    bool start()
    {
        process.start(
            "/usr/bin/python3",
            { qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/rtsp/camera.py",
              "--pausable" });
        if (!QTest::qWaitFor([&] { return process.canReadLine(); }, 20000))
            return false;
        const QByteArray port = process.readLine().trimmed();
        url = "rtsp://127.0.0.1:" + port.mid(5) + "/door";
        return port.startsWith("PORT ");
    }
    // The requests so far, in order.
    QStringList read()
    {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (line.startsWith("REQ "))
                requests << QString::fromLatin1(line.mid(4));
        }
        return requests;
    }
    ~Camera()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
    }
};

// Whether a datagram is RTP of payload type 96 carrying H.264 (a NAL unit, an aggregate or a
// fragment of one).
bool isH264Rtp(const QByteArray &packet)
{
    if (packet.size() < 13 || (uchar(packet.at(0)) >> 6) != 2 || (uchar(packet.at(1)) & 0x7f) != 96)
        return false;
    const int header = 12 + 4 * (uchar(packet.at(0)) & 0x0f);
    const int type = packet.size() > header ? uchar(packet.at(header)) & 0x1f : 0;
    return (type >= 1 && type <= 23) || type == 24 || type == 28;
}

quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

QString field(const QByteArray &message, const char *pattern)
{
    const QRegularExpression expression(QLatin1String(pattern),
                                        QRegularExpression::MultilineOption);
    return expression.match(QString::fromUtf8(message)).captured(1).trimmed();
}

} // namespace

class TestServiceGateway : public QObject
{
    Q_OBJECT

    // A gateway service of accounts registering on the server at port, over UDP.
    static void configure(ServiceSandbox &box, quint16 port, const QString &typeExtAddress,
                          const QStringList &groups)
    {
        QSettings main(box.root() + "/conf/tarnhall-server.conf", QSettings::IniFormat);
        main.setValue("sip/standalone", false);
        main.setValue("sip/server-address", "127.0.0.1");
        main.setValue("sip/server-port", port);
        main.setValue("sip/server-transport", "UDP");
        main.setValue("sip/server-bind-random", true);
        main.setValue("sip/type-ext-address", typeExtAddress);
        main.setValue("sip/ext-address-stun", kStunAddress + ":3478");
        main.setValue("sip/log-sip", true);
        QSettings users(box.root() + "/conf/sip-users.conf", QSettings::IniFormat);
        users.setIniCodec("UTF-8");
        for (const QString &group : groups) {
            users.setValue(group + "/type-user", 2);
            users.setValue(group + "/sip-server-login", "group-login");
            users.setValue(group + "/sip-server-password", QString::fromUtf8("gr\xc3\xbcn"));
        }
    }

    static void stop(ServiceSandbox &box, QProcess *service)
    {
        QCOMPARE(box.command({ "stop" }), QByteArray("0 [The service stopped.\n] []"));
        QVERIFY(service->waitForFinished(60000));
    }

private slots:
    void initTestCase()
    {
        // Addresses and routes are changed below: only ever in a namespace of this test's own.
        if (QFile::symLinkTarget("/proc/self/ns/net") == QFile::symLinkTarget("/proc/1/ns/net"))
            QSKIP("needs a network namespace of its own (ctest runs it in one)");
        for (const char *tool : { "kamailio", "kamcmd", "turnserver" }) {
            if (QStandardPaths::findExecutable(tool, { "/usr/sbin", "/usr/bin" }).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        }
        QVERIFY(runTool("ip", { "link", "set", "lo", "up" }));
        QVERIFY(runTool("ip",
                        { "route", "add", "local", kStunAddress + "/32", "dev", "lo", "src",
                          kMapped, "table", "local" }));
        qputenv("TARNHALL_TIME_SCALE", QByteArray::number(kTimeScale));
    }

    void stunMappedAddress_data()
    {
        QTest::addColumn<bool>("stunFirst");
        QTest::newRow("connection first") << false;
        // The local port is held until the STUN answer is in: the connection follows it.
        QTest::newRow("STUN answer first") << true;
    }
    // The account's binding on kamailio carries the address STUN found, in place of the local
    // one, a moment after the answer.
    void stunMappedAddress()
    {
        QFETCH(bool, stunFirst);
        Kamailio kamailio;
        QVERIFY(kamailio.start());
        Coturn coturn;
        QVERIFY(coturn.start(kStunAddress));
        ServiceSandbox box(false);
        QVERIFY(box.isValid());
        configure(box, kamailio.port, "stun", { "group" });
        QUdpSocket holder;
        if (stunFirst) {
            QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
            QSettings main(box.root() + "/conf/tarnhall-server.conf", QSettings::IniFormat);
            main.setValue("sip/server-bind-random", false);
            main.setValue("sip/server-bind-port", holder.localPort());
        }
        QProcess *service = box.startService();
        QVERIFY(service);
        if (stunFirst) {
            QTRY_VERIFY_WITH_TIMEOUT(box.textLog().contains("External IP detected: " + kMapped),
                                     20000);
            QVERIFY(!box.textLog().contains("Connected to host"));
            holder.close();
        }
        QTRY_VERIFY2_WITH_TIMEOUT(
            kamailio.contacts("group").size() == 1
                && kamailio.contacts("group").at(0).contains("@" + kMapped + ":"),
            qPrintable(kamailio.contacts("group").join(' ')), 20000);
        QVERIFY(box.textLog().contains("Connected to host"));
        stop(box, service);
    }

    // A phone calls the door's account through kamailio and gets the camera's H.264 video;
    // holding the call pauses the camera, taking it back plays it again, hanging up ends it.
    void cameraVideoInACall()
    {
        if (QStandardPaths::findExecutable("sipp").isEmpty())
            QSKIP("sipp is not installed");
        Kamailio kamailio;
        QVERIFY(kamailio.start());
        Camera camera;
        QVERIFY2(camera.start(), "no RTSP camera (GStreamer's RTSP server)");
        ServiceSandbox box(false);
        QVERIFY(box.isValid());
        configure(box, kamailio.port, "direct", {});
        QSettings main(box.root() + "/conf/tarnhall-server.conf", QSettings::IniFormat);
        main.setValue("velk/bind-port", 0);
        main.sync();
        QSettings users(box.root() + "/conf/sip-users.conf", QSettings::IniFormat);
        for (const auto &pair : QList<QPair<QString, QString>> {
                 { "type-user", "0" },
                 { "velk-device-id", "1" },
                 { "sip-server-login", "door-login" },
                 { "sip-server-password", "door-secret" },
                 { "velk-video-enable", "true" },
                 { "velk-video-path", camera.url },
                 // The phone sends no audio: the call must outlast the silence.
                 { "sip-rtp-timeout", "600" } })
            users.setValue("door/" + pair.first, pair.second);
        users.sync();
        QSettings devices(box.root() + "/conf/velk-devices.conf", QSettings::IniFormat);
        devices.setValue("1/device-password", "pw12");
        devices.sync();
        QProcess *service = box.startService();
        QVERIFY(service);
        // Given port 0, the module binds one no other socket holds: the log says which.
        const QRegularExpression listening("\\[VELK\\]: Listen on UDP socket [^\\s]+:(\\d+)\n");
        QRegularExpressionMatch bound;
        QTRY_VERIFY_WITH_TIMEOUT((bound = listening.match(box.textLog())).hasMatch(), 20000);
        const quint16 velkPort = quint16(bound.captured(1).toUInt());

        VelkPanel panel({ 1, "pw12", 2, 1, 0, 0 });
        // Registered, it streams its microphone (silence) as a door panel does.
        connect(&panel, &VelkPanel::answered, &panel,
                [&panel] { panel.startAudio(QByteArray(8000, char(0x80))); });
        QVERIFY(panel.start(QHostAddress(QHostAddress::LocalHost), velkPort, 1000));
        QTRY_VERIFY_WITH_TIMEOUT(!kamailio.contacts("door").isEmpty(), 20000);

        QUdpSocket phoneVideo;
        QVERIFY(phoneVideo.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QList<QPair<int, QByteArray>> video; // (camera requests seen before, packet)
        connect(&phoneVideo, &QUdpSocket::readyRead, this, [&] {
            while (phoneVideo.hasPendingDatagrams())
                video << qMakePair(camera.read().size(), phoneVideo.receiveDatagram().data());
        });
        QTemporaryDir work;
        QProcess sipp;
        sipp.setWorkingDirectory(work.path());
        sipp.start(
            "sipp",
            { "-sf",
              qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/sip/data/door_video.xml",
              "-i",
              "127.0.0.1",
              "-mi",
              "127.0.0.1",
              "-p",
              QString::number(freePort()),
              "-m",
              "1",
              "-timeout",
              "60",
              "-nostdin",
              "-trace_err",
              "-error_file",
              work.filePath("errors"),
              "-key",
              "video_port",
              QString::number(phoneVideo.localPort()),
              "-auth_uri",
              QString("door@127.0.0.1:%1").arg(kamailio.port),
              QString("127.0.0.1:%1").arg(kamailio.port) });
        QVERIFY(QTest::qWaitFor([&] { return sipp.state() == QProcess::NotRunning; }, 90000));
        QVERIFY2(sipp.exitCode() == 0, readFile(work.filePath("errors")).right(3000).constData());
        QTRY_VERIFY_WITH_TIMEOUT(camera.read().contains("TEARDOWN"), 20000);

        // PLAY for the call, PAUSE on hold, PLAY on resume, TEARDOWN at the end.
        const QStringList requests = camera.read();
        QStringList calls;
        for (const QString &request : requests) {
            if (request == "PLAY" || request == "PAUSE" || request == "TEARDOWN")
                calls << request;
        }
        QCOMPARE(calls, QStringList({ "PLAY", "PAUSE", "PLAY", "TEARDOWN" }));
        const int resumed = requests.lastIndexOf("PLAY") + 1;
        int beforeHold = 0, afterResume = 0;
        for (const auto &got : qAsConst(video)) {
            QVERIFY(isH264Rtp(got.second));
            if (got.first <= requests.indexOf("PAUSE"))
                ++beforeHold;
            else if (got.first >= resumed)
                ++afterResume;
        }
        QVERIFY2(
            beforeHold > 10 && afterResume > 10,
            qPrintable(QString("%1 before the hold, %2 after").arg(beforeHold).arg(afterResume)));
        stop(box, service);
    }

    // Mode "auto" with a server that writes where each REGISTER came from: the bindings move
    // there. An account whose first registration is refused asks again after its pause.
    void autoReceivedAddress()
    {
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
        ServiceSandbox box(false);
        QVERIFY(box.isValid());
        configure(box, server.localPort(), "auto", { "group", "late" });
        QProcess *service = box.startService();
        QVERIFY(service);

        QHash<QString, QSet<QString>> bindings;
        QElapsedTimer refused;
        qint64 retriedAfter = -1;
        const auto settled = [&] {
            for (const char *user : { "group", "late" }) {
                const QSet<QString> contacts = bindings.value(user);
                if (contacts.size() != 1 || !contacts.begin()->contains("@" + kMapped + ":"))
                    return false;
            }
            return true;
        };
        QElapsedTimer limit;
        limit.start();
        while (!settled() && limit.elapsed() < 30000) {
            if (!server.hasPendingDatagrams()) {
                (void)QTest::qWaitFor([&] { return server.hasPendingDatagrams(); }, 1000);
                continue;
            }
            const QNetworkDatagram got = server.receiveDatagram();
            const QByteArray request = got.data();
            if (!request.startsWith("REGISTER "))
                continue;
            const QString user = field(request, "^To: <sip:([^@>]+)@");
            const QString contact = field(request, "^Contact: <([^>]+)>");
            const bool withdraw = field(request, "^Expires: *(\\d+)") == "0";
            const QByteArray via = ";received=" + kMapped.toUtf8()
                + ";rport=" + QByteArray::number(got.senderPort());
            QByteArray answer;
            if (user == "late" && !refused.isValid()) {
                refused.start();
                answer = scriptedReply(request, "403 Forbidden", via, "");
            } else {
                if (user == "late" && retriedAfter < 0)
                    retriedAfter = refused.elapsed();
                if (withdraw)
                    bindings[user].remove(contact);
                else
                    bindings[user].insert(contact);
                answer = scriptedReply(request, "200 OK", via, "Expires: 60\r\n");
            }
            server.writeDatagram(answer, got.senderAddress(), quint16(got.senderPort()));
        }
        QVERIFY2(settled(), qPrintable(box.textLog().right(6000)));
        QVERIFY(box.textLog().contains(
            "User 'late' register failed (403 Forbidden), next attempt in 4 s"));
        // Not before its pause (4 s of the schedule), whatever else went on meanwhile.
        QVERIFY2(retriedAfter >= 4000 / kTimeScale * 9 / 10,
                 qPrintable(QString::number(retriedAfter)));
        stop(box, service);
    }
};

TARNHALL_TEST_MAIN(TestServiceGateway)
#include "tst_servicegateway.moc"
