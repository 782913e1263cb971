#include "localserverfixture.h"

#include "../../rtsp/rtspcamera.h"
#include "common/sound/sound_wav/soundwav.h"
#include "conversation/conversationthread.h"
#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QNetworkDatagram>
#include <QtTest>

namespace {

// Callee behaviours of callOutcome and blindTransfer other than a final status.
enum CalleeAnswer {
    Cancel = -1,
    CancelThenAnswer = -2,
    NoAnswer = -3,
    Retransmit = -4,
    AnswerWithoutAudio = -5
};

// A request of alice to $to; $totag makes it one inside a call.
const QString kRequest = "$method sip:$to@$server SIP/2.0\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                         "From: <sip:$user@$server>;tag=a1\nTo: <sip:$to@$server>$totag\n"
                         "Call-ID: $callid\nCSeq: $cseq $method\n$auth$extra"
                         "Content-Length: $len\n\n$body";
// The media of a scripted phone: PCMA out every 20 ms once it knows where to, H.264 RTP in.
struct PhoneMedia
{
    QUdpSocket audio, video;
    QTimer clock;
    int h264 = 0;
    PhoneMedia()
    {
        audio.bind(QHostAddress(QHostAddress::LocalHost));
        video.bind(QHostAddress(QHostAddress::LocalHost));
        QObject::connect(&video, &QUdpSocket::readyRead, &video, [this] {
            while (video.hasPendingDatagrams()) {
                const QByteArray rtp = video.receiveDatagram().data();
                // Relayed with the payload type the phone offered for H.264.
                h264 += rtp.size() > 12 && (uchar(rtp.at(1)) & 0x7f) == 97 ? 1 : 0;
            }
        });
    }
    QString sdp(const QString &direction = "sendrecv") const
    {
        return QString("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                       "m=audio %1 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=%3\r\n"
                       "m=video %2 RTP/AVP 97\r\na=rtpmap:97 H264/90000\r\n"
                       "a=fmtp:97 packetization-mode=1\r\na=%3\r\n")
            .arg(audio.localPort())
            .arg(video.localPort())
            .arg(direction);
    }
    // Speaks to the audio port of the SDP body it was offered or answered, every sample at level.
    void speakTo(const QByteArray &body, char level = char(0xd5))
    {
        const quint16 port
            = QRegularExpression("m=audio (\\d+)").match(body).captured(1).toUShort();
        QObject::connect(&clock, &QTimer::timeout, &audio, [this, port, level, seq = 0]() mutable {
            QByteArray rtp(172, level);
            rtp[0] = char(0x80);
            rtp[1] = char(8);
            rtp[2] = char(++seq >> 8);
            rtp[3] = char(seq);
            audio.writeDatagram(rtp, QHostAddress::LocalHost, port);
        });
        clock.start(20);
    }
    // A key pressed and let go, as telephone events to the audio port of body.
    void pressKey(const QByteArray &body, char code, quint32 timestamp)
    {
        const quint16 port
            = QRegularExpression("m=audio (\\d+)").match(body).captured(1).toUShort();
        for (const char end : { char(0), char(0x80) }) {
            QByteArray rtp(16, '\0');
            rtp[0] = char(0x80);
            rtp[1] = char(101);
            qToBigEndian(timestamp, rtp.data() + 4);
            rtp[12] = code;
            rtp[13] = char(end | 10);
            rtp[14] = char(0x03); // 800 samples
            rtp[15] = char(0x20);
            audio.writeDatagram(rtp, QHostAddress::LocalHost, port);
        }
    }
    // How many frames of level came in since the last call.
    int heard(char level)
    {
        int count = 0;
        while (audio.hasPendingDatagrams())
            count += audio.receiveDatagram().data().mid(12) == QByteArray(160, level) ? 1 : 0;
        return count;
    }
};

// The video section of an SDP body, from its m= line on.
QString videoSection(const SipMessage &message)
{
    const QString body = QString::fromUtf8(message.body);
    return body.mid(body.indexOf("m=video"));
}

} // namespace

class TestSipLocalServer : public QObject
{
    Q_OBJECT

    LocalHost *m_Host = nullptr;
    Sip *m_Sip = nullptr;
    Velk *m_Velk = nullptr;
    QList<VelkPanel *> m_Panels;
    QStringList m_Log;
    quint16 m_Port = 0;
    // The fields of the last request authorized sent with credentials, to send it again.
    QHash<QString, QString> m_Sent;

    // alice sends the request and answers the digest challenge (an INVITE's with an ACK); the
    // final answer but to an INVITE.
    SipMessage authorized(RawPhone &alice, QHash<QString, QString> f,
                          const QString &password = "pw-alice")
    {
        const int cseq = f.value("cseq", "1").toInt();
        f["cseq"] = QString::number(cseq);
        alice.send(kRequest, f);
        const SipMessage challenge = alice.next();
        if (statusCode(challenge) != 401)
            return challenge;
        QHash<QString, QString> ack { { "method", "ACK" },
                                      { "cseq", f["cseq"] },
                                      { "to", f["to"] } };
        ack["callid"] = f["callid"];
        ack["totag"] = ";tag=" + toTagOf(challenge);
        if (f["method"] == "INVITE")
            alice.send(kRequest, ack);
        const QString uri = QString("sip:%1@127.0.0.1:%2").arg(f["to"]).arg(m_Port);
        f["auth"] = alice.answer(challenge, f["method"], uri, password);
        f["cseq"] = QString::number(cseq + 1);
        f["branch"] = "z9hG4bK-" + f["callid"] + f["cseq"];
        m_Sent = f;
        alice.send(kRequest, f);
        return f["method"] == "INVITE" ? SipMessage() : alice.next();
    }

    // alice calls the door with her offer; the answer after its 180, or what came in its place.
    SipMessage callDoor(RawPhone &alice, const QString &callId, const QString &sdp)
    {
        authorized(
            alice,
            { { "method", "INVITE" }, { "to", "door" }, { "callid", callId }, { "body", sdp } });
        const SipMessage ringing = alice.next();
        return statusCode(ringing) == 180 ? alice.next() : ringing;
    }

    // alice calls bob with digest; returns the INVITE bob's phone receives.
    SipMessage placeCall(RawPhone &alice, RawPhone &bob, const QString &sdp = kSdp)
    {
        authorized(
            alice,
            { { "method", "INVITE" }, { "to", "bob" }, { "callid", "c1" }, { "body", sdp } });
        return bob.next();
    }

    // Both registered, alice's call rings bob and she hears it.
    bool ringingCall(RawPhone &alice, RawPhone &bob, SipMessage *invite)
    {
        if (alice.registerWith() != 200 || bob.registerWith() != 200)
            return false;
        *invite = placeCall(alice, bob);
        bob.send(reply(*invite, 180));
        return statusCode(alice.next()) == 180;
    }

    // Doors 1 ("door", whose button calls as "door") and 2 ("door2"), both answering at once;
    // nobody's silence ends a call here, and the camera sessions' requests are logged.
    void writeDoors()
    {
        QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
        for (const QString name : { "door", "door2", "alice", "bob" })
            users.setValue(name + "/sip-rtp-timeout", 300);
        for (int id : { 1, 2 }) {
            const QString name = id == 1 ? "door" : "door2";
            users.setValue(name + "/type-user", 0);
            users.setValue(name + "/velk-device-id", id);
        }
        // Door 1 again, ringing until its button answers.
        users.setValue("door-ring/type-user", 0);
        users.setValue("door-ring/velk-device-id", 1);
        users.setValue("door-ring/velk-autoanswer", false);
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        devices.clear();
        for (int id : { 1, 2 })
            devices.setValue(QString("%1/device-password").arg(id), "pw12");
        devices.setValue("1/button-account", "door");
        m_Host->file.setValue("velk/bind-address", "127.0.0.1");
        m_Host->file.setValue("velk/bind-port", 0);
        m_Host->file.setValue("sip/log-rtsp", true);
    }
    void startDoors()
    {
        connect(Env::instance(), &Env::viewLog, this,
                [this](const QString &line) { m_Log << line.mid(line.indexOf("]: ") + 3); });
        m_Velk = new Velk(m_Host);
        m_Velk->setSipServices(m_Sip);
        m_Velk->start();
        const quint16 velkPort = velkListeningPort(m_Velk);
        QVERIFY(velkPort != 0);
        for (quint16 id : { 1, 2 }) {
            m_Panels << new VelkPanel({ id, "pw12", 2, 1, 0, 0 });
            QVERIFY(m_Panels.last()->start(QHostAddress::LocalHost, velkPort, 1000));
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_Sip->findUser("door")->isRegistered()
                                     && m_Sip->findUser("door2")->isRegistered(),
                                 20000);
    }
    // Door 1's camera, Digest on with this password; the session describes it once up.
    void useCamera(RtspCamera &camera, const QString &password)
    {
        QTRY_VERIFY_WITH_TIMEOUT(camera.ready(), 20000);
        SipUser *door = m_Sip->findUser("door");
        door->setProperty("velk-video-enable", "true");
        door->setProperty("velk-video-path", camera.url);
        door->setProperty("velk-video-login", "door");
        door->setProperty("velk-video-password", password);
        door->applyVideo();
        if (password == "secret")
            QTRY_COMPARE_WITH_TIMEOUT(door->videoCodec(), uchar(96), 20000);
    }
    VelkDevice *door() const { return m_Velk->findDevice(1); }
    // Door 1's button pressed and let go: its rule calls.
    void pressButton()
    {
        m_Panels.first()->queueEvents(0, 1, 0, 0);
        m_Panels.first()->sendReport();
        m_Panels.first()->queueEvents(0, 2, 0, 0);
        QTimer::singleShot(200, m_Panels.first(), &VelkPanel::sendReport);
    }
    // The module listens (with both transports TCP is the last to).
    bool listening(bool tcp) const
    {
        return QTest::qWaitFor(
            [&] {
                return m_Sip->connectionState() == SipConnected
                    && (!tcp || m_Sip->socketType() == QAbstractSocket::TcpSocket);
            },
            10000);
    }
    // What the phone hears next but repeats of the INVITE it was sent.
    static SipMessage nextBut(RawPhone &phone, const SipMessage &invite)
    {
        SipMessage heard = phone.next();
        while (heard.startLine.kind == 0 && heard.startLine.method == SipMethod::Invite
               && heard.callId() == invite.callId())
            heard = phone.next();
        return heard;
    }

private slots:
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
        QSettings main(Env::configFilePath("main"), QSettings::IniFormat);
        SoundWAV::loadPrompts(&main); // the built-in prompts, as the core loads them
    }

    void init()
    {
        TimeScale::setFactor(1);
        m_Host = new LocalHost;
        const QByteArray function = QTest::currentTestFunction();
        const bool wildcard = function.startsWith("wildcard");
        m_Port = writeLocalServerSettings(*m_Host, wildcard ? "0.0.0.0" : "127.0.0.1");
        if (wildcard || function.startsWith("moduleStop"))
            m_Host->file.setValue("sip/server-transport", "udp,tcp");
        const bool doors = function.startsWith("door");
        if (doors)
            writeDoors();
        if (QByteArray(QTest::currentDataTag()) == "password written by hand") {
            // Unquoted, with a blank after its comma, as a hand-written file holds it.
            QFile users(Env::configFilePath("sip-users"));
            QVERIFY(users.open(QIODevice::Append));
            users.write("[alice]\nsip-standalone-password=pw, alice\n");
        }
        m_Sip = new Sip(m_Host);
        m_Sip->start();
        QVERIFY(listening(wildcard || function.startsWith("moduleStop")));
        if (doors)
            startDoors();
    }

    void cleanup()
    {
        TimeScale::setFactor(50);
        if (m_Velk)
            m_Velk->stop();
        m_Sip->stop();
        if (m_Velk)
            QVERIFY(m_Velk->waitSeconds(20));
        QVERIFY(m_Sip->waitSeconds(20));
        delete std::exchange(m_Velk, nullptr);
        qDeleteAll(std::exchange(m_Panels, {}));
        disconnect(Env::instance(), nullptr, this, nullptr);
        m_Log.clear();
        delete m_Sip;
        delete m_Host;
    }

    // The configured expiry is granted for any asked; only an explicit 0 removes.
    void registration_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expires");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("registered");
        // clang-format off
        QTest::newRow("longer than configured") << "pw-alice" << "Expires: 3600\n" << 200 << true;
        QTest::newRow("no expiry") << "pw-alice" << "" << 200 << true;
        QTest::newRow("unreadable expiry") << "pw-alice" << "Expires: soon\n" << 200 << true;
        QTest::newRow("explicit zero") << "pw-alice" << "Expires: 0\n" << 200 << false;
        QTest::newRow("wrong password") << "pw-bob" << "Expires: 60\n" << 403 << false;
        QTest::newRow("password written by hand") << "pw, alice" << "Expires: 60\n" << 200 << true;
        // clang-format on
    }
    void registration()
    {
        QFETCH(QString, password);
        QFETCH(QString, expires);
        RawPhone alice("alice", m_Port);
        if (expires.startsWith("Expires: 0"))
            QCOMPARE(alice.registerWith(), 200);
        QTEST(alice.registerWith(password, expires), "status");
        QTEST(m_Sip->findUser("alice")->isRegistered(), "registered");
    }

    // Credentials count only for this system, for the request they came with, on a nonce it
    // gave out lately and never spent on another request.
    void digestMends_data()
    {
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("stale");
        // clang-format off
        QTest::newRow("issued nonce") << "" << "corvane" << "" << 200 << false;
        QTest::newRow("unknown nonce") << "0123" << "corvane" << "" << 401 << true;
        QTest::newRow("expired nonce") << "expired" << "corvane" << "" << 401 << true;
        QTest::newRow("other realm") << "" << "elsewhere" << "" << 403 << false;
        QTest::newRow("other uri") << "" << "corvane" << "sip:bob@127.0.0.1" << 403 << false;
        QTest::newRow("replayed") << "replay" << "corvane" << "" << 401 << true;
        // clang-format on
    }
    void digestMends()
    {
        QFETCH(QString, nonce);
        QFETCH(QString, realm);
        QFETCH(QString, uri);
        RawPhone alice("alice", m_Port);
        alice.send(RawPhone::kRegister);
        SipMessage challenge = alice.next();
        if (nonce == "expired") {
            TimeScale::setFactor(1000);
            QTest::qWait(100);
        } else if (nonce == "0123") {
            challenge.setHeader(SipHeader::WWWAuthenticate, "Digest nonce=\"0123\"");
        }
        const QString auth = alice.answer(
            challenge, "REGISTER", uri.isEmpty() ? QString("sip:127.0.0.1:%1").arg(m_Port) : uri,
            "pw-alice", realm);
        alice.send(RawPhone::kRegister, { { "auth", auth } });
        SipMessage answer = alice.next();
        if (nonce == "replay") {
            QCOMPARE(statusCode(answer), 200);
            alice.send(RawPhone::kRegister, { { "auth", auth } });
            answer = alice.next();
        }
        QTEST(statusCode(answer), "status");
        QTEST(answer.headerValue(SipHeader::WWWAuthenticate).contains("stale=true"), "stale");
    }

    // The table of nonces given out stays bounded: the oldest is forgotten first.
    void nonceTableBounded()
    {
        RawPhone alice("alice", m_Port);
        alice.send(RawPhone::kRegister);
        const SipMessage oldest = alice.next();
        for (int i = 0; i < SipNonceTable::Capacity; ++i) {
            alice.send(RawPhone::kRegister);
            QCOMPARE(statusCode(alice.next()), 401);
        }
        QCOMPARE(m_Sip->nonces().size(), SipNonceTable::Capacity);
        alice.send(RawPhone::kRegister,
                   { { "auth",
                       alice.answer(oldest, "REGISTER", QString("sip:127.0.0.1:%1").arg(m_Port),
                                    "pw-alice") } });
        QVERIFY(alice.next().headerValue(SipHeader::WWWAuthenticate).contains("stale=true"));
    }

    void outsideCalls_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("status");
        // clang-format off
        QTest::newRow("stray ACK creates nothing") << "ACK" << "alice" << 0;
        QTest::newRow("OPTIONS") << "OPTIONS" << "alice" << 405;
        QTest::newRow("INFO of no account") << "INFO" << "nobody" << 404;
        QTest::newRow("REGISTER of a group") << "REGISTER" << "group" << 404;
        QTest::newRow("BYE of no call") << "BYE" << "alice" << 403;
        // clang-format on
    }
    void outsideCalls()
    {
        QFETCH(QString, method);
        QFETCH(QString, from);
        QFETCH(int, status);
        RawPhone sender(from, m_Port);
        const int before = m_Sip->liveDialogs();
        sender.send(kRequest, { { "method", method }, { "to", "bob" }, { "callid", "o1" } });
        QCOMPARE(statusCode(sender.next(status == 0 ? 300 : 10000)), status);
        if (status == 0)
            QCOMPARE(m_Sip->liveDialogs(), before);
    }

    // In a running call, a request with the call's Call-ID and tags from another address is
    // challenged and ends nothing; the same from the caller's own leg is taken.
    void forgedInCall_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("calleeHears");
        // clang-format off
        QTest::newRow("BYE") << "BYE" << "" << "" << int(SipMethod::Bye);
        QTest::newRow("INFO") << "INFO" << "Content-Type: application/dtmf-relay\n"
                              << "Signal=1\r\nDuration=160\r\n" << int(SipMethod::Info);
        // clang-format on
    }
    void forgedInCall()
    {
        QFETCH(QString, method);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), mallory("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage invite = placeCall(alice, bob);
        bob.send(reply(invite, 200));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        QCOMPARE(bob.next().startLine.method, SipMethod::Ack);
        QFETCH(QString, extra);
        QFETCH(QString, body);
        QHash<QString, QString> f { { "method", method }, { "callid", "c1" }, { "extra", extra } };
        f["to"] = "bob";
        f["totag"] = ";tag=" + toTagOf(ok);
        f["body"] = body;
        mallory.send(kRequest, f);
        QCOMPARE(statusCode(mallory.next()), 401);
        QVERIFY(!bob.next(300).isValid());
        alice.send(kRequest, f);
        QCOMPARE(statusCode(alice.next()), 200);
        const SipMessage heard = bob.next();
        QTEST(int(heard.startLine.method), "calleeHears");
        QCOMPARE(toTagOf(heard), QString("b1"));
    }

    // Bound to every address, the server names the one its phones reach it at: the answer's
    // Contact leads the caller's ACK and BYE back to it, and the call ends at the hang-up.
    void wildcardBoundCall_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("UDP") << false;
        QTest::newRow("TCP") << true;
    }
    void wildcardBoundCall()
    {
        QFETCH(bool, tcp);
        QSignalSpy sent(m_Sip, &Sip::sendDatagram);
        RawPhone alice("alice", m_Port, tcp), bob("bob", m_Port, tcp);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage invite = placeCall(alice, bob);
        QStringList records;
        QList<qlonglong> durations;
        QObject collector;
        collectRecords(m_Sip->findConversation("c1"), &collector, records, &durations);
        const qint64 answered = TimeScale::now();
        bob.send(reply(invite, 200));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        QCOMPARE(ok.contact().address.host, QString("127.0.0.1"));
        QCOMPARE(ok.contact().address.port, m_Port);
        QHash<QString, QString> f { { "method", "ACK" }, { "to", "bob" }, { "callid", "c1" } };
        f["cseq"] = m_Sent["cseq"];
        f["totag"] = ";tag=" + toTagOf(ok);
        alice.send(kRequest, f);
        QCOMPARE(nextBut(bob, invite).startLine.method, SipMethod::Ack);
        f["method"] = "BYE";
        f["cseq"] = "9";
        alice.send(kRequest, f);
        SipMessage byeOk = alice.next();
        // A repeat of the answer may have crossed the ACK.
        while (byeOk.cseqMethod() == SipMethod::Invite)
            byeOk = alice.next();
        QCOMPARE(statusCode(byeOk), 200);
        const SipMessage bye = nextBut(bob, invite);
        QCOMPARE(bye.startLine.method, SipMethod::Bye);
        bob.send(reply(bye, 200));
        QTRY_COMPARE_WITH_TIMEOUT(records, QStringList { "alice bob INT " }, 10000);
        QVERIFY(durations.first() <= TimeScale::now() - answered);
        for (const QList<QVariant> &datagram : qAsConst(sent))
            QVERIFY2(!datagram.at(3).toByteArray().contains("0.0.0.0"),
                     datagram.at(3).toByteArray().constData());
    }

    // The module stops (the service's stop, or a save that restarts it) with a call up: the call
    // ends as a hang-up would, inside the stop, and leaves its record; the module is stopped in
    // time, and once restarted the phones call each other again.
    void moduleStopEndsCalls_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<bool>("restart");
        for (const bool tcp : { false, true }) {
            for (const bool answered : { true, false }) {
                for (const bool restart : { false, true })
                    QTest::addRow("%s, %s, %s", tcp ? "TCP" : "UDP",
                                  answered ? "talking" : "ringing", restart ? "restart" : "stop")
                        << tcp << answered << restart;
            }
        }
    }
    void moduleStopEndsCalls()
    {
        QFETCH(bool, tcp);
        QFETCH(bool, answered);
        QFETCH(bool, restart);
        auto alice = std::make_unique<RawPhone>("alice", m_Port, tcp);
        auto bob = std::make_unique<RawPhone>("bob", m_Port, tcp);
        QCOMPARE(alice->registerWith(), 200);
        QCOMPARE(bob->registerWith(), 200);
        const SipMessage invite = placeCall(*alice, *bob);
        QStringList records;
        QObject collector;
        collectRecords(m_Sip->findConversation("c1"), &collector, records);
        bob->send(reply(invite, answered ? 200 : 180));
        const SipMessage answer = alice->next();
        QCOMPARE(statusCode(answer), answered ? 200 : 180);
        if (answered) {
            QHash<QString, QString> ack { { "method", "ACK" },
                                          { "to", "bob" },
                                          { "callid", "c1" } };
            ack["cseq"] = m_Sent["cseq"];
            ack["totag"] = ";tag=" + toTagOf(answer);
            alice->send(kRequest, ack);
            QCOMPARE(nextBut(*bob, invite).startLine.method, SipMethod::Ack);
        }

        m_Sip->stop();
        // The callee hears BYE or CANCEL, the caller BYE or its INVITE's final answer.
        const SipMessage ended = nextBut(*bob, invite);
        QCOMPARE(int(ended.startLine.method), int(answered ? SipMethod::Bye : SipMethod::Cancel));
        bob->send(reply(ended, 200));
        if (!answered)
            bob->send(reply(invite, 487));
        SipMessage heard = alice->next();
        while (heard.startLine.kind == 1 && statusCode(heard) == 200) // repeats of the answer
            heard = alice->next();
        if (answered) {
            QCOMPARE(heard.startLine.method, SipMethod::Bye);
            alice->send(reply(heard, 200));
        } else {
            QCOMPARE(statusCode(heard), 487);
        }
        QVERIFY(m_Sip->waitSeconds(5));
        QVERIFY(m_Sip->findChildren<ConversationThread *>().isEmpty());
        QTRY_COMPARE(records, QStringList { answered ? "alice bob INT " : "alice bob INT NA" });
        if (!restart)
            return;

        QObject listener;
        bool listens = false;
        connect(Env::instance(), &Env::viewLog, &listener,
                [&](const QString &line) { listens = listens || line.contains("Listen on TCP"); });
        m_Sip->start();
        QTRY_VERIFY(listens);
        alice = std::make_unique<RawPhone>("alice", m_Port, tcp);
        bob = std::make_unique<RawPhone>("bob", m_Port, tcp);
        QCOMPARE(alice->registerWith(), 200);
        QCOMPARE(bob->registerWith(), 200);
        // A new call, as a phone places it: the old call's transactions may still be about.
        authorized(
            *alice,
            { { "method", "INVITE" }, { "to", "bob" }, { "callid", "c2" }, { "body", kSdp } });
        QCOMPARE(nextBut(*bob, invite).startLine.method, SipMethod::Invite);
        QCOMPARE(m_Sip->findChildren<ConversationThread *>().size(), 1);
    }

    void moduleStopRefusesNewCalls_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("request");
        for (const bool tcp : { false, true }) {
            for (const char *request : { "INVITE", "INVITE with credentials", "REFER" })
                QTest::addRow("%s, %s", tcp ? "TCP" : "UDP", request) << tcp << QString(request);
        }
    }
    // Once the module's stop has begun a call or transfer that comes is refused at once, also
    // one answering the challenge it had before: no phone is left in a call the stop would end
    // unheard, and the stop still ends in time.
    void moduleStopRefusesNewCalls()
    {
        QFETCH(bool, tcp);
        QFETCH(QString, request);
        RawPhone alice("alice", m_Port, tcp), bob("bob", m_Port, tcp);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        QHash<QString, QString> f { { "method", request.left(6).trimmed() },
                                    { "to", "bob" },
                                    { "callid", "c1" },
                                    { "body", kSdp } };
        if (request == "REFER") {
            f["totag"] = ";tag=b1";
            f["extra"] = "Refer-To: <sip:carol@127.0.0.1>\n";
        }
        if (request.endsWith("credentials")) {
            alice.send(kRequest, f);
            const SipMessage challenge = alice.next();
            QCOMPARE(statusCode(challenge), 401);
            const QString uri = QString("sip:bob@127.0.0.1:%1").arg(m_Port);
            f["auth"] = alice.answer(challenge, "INVITE", uri, "pw-alice");
            f["cseq"] = "2";
            f["branch"] = "z9hG4bK-c12";
        }
        m_Sip->stop();
        alice.send(kRequest, f);
        QCOMPARE(statusCode(alice.next()), 503);
        QVERIFY(!bob.next(500).isValid());
        QVERIFY(m_Sip->waitSeconds(5));
        QVERIFY(m_Sip->findChildren<ConversationThread *>().isEmpty());
    }

    // How the callee's answer, its silence or the caller's CANCEL reach both phones.
    void callOutcome_data()
    {
        QTest::addColumn<int>("calleeAnswer");
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QList<int>>("callerHears");
        QTest::addColumn<QList<int>>("calleeHears");
        const QList<int> ack { SipMethod::Ack }, none;
        const QList<int> cancelled { 200, 487 };
        // clang-format off
        QTest::newRow("busy") << 486 << "" << QList<int> { 486 } << ack;
        QTest::newRow("redirect to the same callee") << 302 << "<sip:bob@127.0.0.1>" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to no account") << 302 << "<sip:nobody@127.0.0.1>" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to carol") << 302 << "<sip:carol@127.0.0.1>" << QList<int> { 180 } << ack;
        // Several targets, on lines of their own or on one: the first is followed.
        QTest::newRow("redirect to carol, then bob")
            << 302 << "<sip:carol@127.0.0.1>;q=0.9\nContact: <sip:bob@127.0.0.1>;q=0.5"
            << QList<int> { 180 } << ack;
        QTest::newRow("redirect to carol, then bob, on one line")
            << 302 << "\"Carol, porter\" <sip:carol@127.0.0.1;transport=udp>;q=0.9, <sip:bob@127.0.0.1>"
            << QList<int> { 180 } << ack;
        QTest::newRow("redirect to bob, then carol, on one line")
            << 302 << "<sip:bob@127.0.0.1>, <sip:carol@127.0.0.1>" << QList<int> { 603 } << ack;
        QTest::newRow("cancelled") << int(Cancel) << "" << cancelled << QList<int> { SipMethod::Cancel };
        // The callee answered as the CANCEL crossed: its call is ended with a BYE.
        QTest::newRow("answered after the cancel") << int(CancelThenAnswer) << "" << cancelled
            << QList<int> { SipMethod::Cancel, SipMethod::Ack, SipMethod::Bye };
        QTest::newRow("no answer") << int(NoAnswer) << "" << QList<int> { 408 } << none;
        // A repeated INVITE is answered from its transaction and forwarded no second time.
        QTest::newRow("retransmitted") << int(Retransmit) << "" << QList<int> { 180, 180 } << none;
        // clang-format on
    }
    void callOutcome()
    {
        QFETCH(int, calleeAnswer);
        QFETCH(QString, contact);
        QFETCH(QList<int>, callerHears);
        QFETCH(QList<int>, calleeHears);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), carol("carol", m_Port);
        for (RawPhone *phone : { &alice, &bob, &carol })
            QCOMPARE(phone->registerWith(), 200);
        if (calleeAnswer == NoAnswer)
            TimeScale::setFactor(10);
        const SipMessage invite = placeCall(alice, bob);
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        if (calleeAnswer == Cancel || calleeAnswer == CancelThenAnswer) {
            QHash<QString, QString> cancel = m_Sent;
            cancel["method"] = "CANCEL";
            cancel["auth"] = cancel["body"] = "";
            alice.send(kRequest, cancel);
        } else if (calleeAnswer == Retransmit) {
            bob.send(reply(invite, 180));
            alice.send(kRequest, m_Sent);
        } else if (calleeAnswer > 0) {
            bob.send(
                reply(invite, calleeAnswer, contact.isEmpty() ? "" : "Contact: " + contact + "\n"));
        }
        for (int code : callerHears)
            QCOMPARE(statusCode(alice.next(30000)), code);
        int previous = SipMethod::Invite;
        for (int method : calleeHears) {
            SipMessage heard = bob.next();
            // The callee's INVITE is repeated until it answers, and so is a CANCEL it leaves
            // unanswered: on a loaded machine a repeat comes before the next request.
            while (heard.startLine.method == SipMethod::Invite
                   || int(heard.startLine.method) == previous)
                heard = bob.next();
            previous = int(heard.startLine.method);
            QCOMPARE(int(heard.startLine.method), method);
            if (calleeAnswer == CancelThenAnswer && method == SipMethod::Cancel)
                bob.send(reply(invite, 200));
        }
        if (calleeAnswer == 302 && callerHears == QList<int> { 180 })
            QCOMPARE(carol.next().startLine.method, SipMethod::Invite);
        if (calleeAnswer == Retransmit)
            QVERIFY(!bob.next(300).isValid());
    }

    // A phone that registers with a new Call-ID has restarted, and the server ends its call:
    // ringing, its INVITE is cancelled (a BYE reaches no dialog); answered, it hears BYE. The
    // call leaves one record, also when the other side hangs up as it ends. A second device of
    // the caller's account, with another Contact user, ends it too: the first device hears BYE.
    void restartedPhoneCallEnds_data()
    {
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("calleeHears");
        QTest::addColumn<QString>("record");
        QTest::addColumn<bool>("callersSecondDevice");
        const int bye = SipMethod::Bye;
        QTest::newRow("ringing") << false << int(SipMethod::Cancel) << "alice bob INT NA" << false;
        QTest::newRow("answered") << true << bye << "alice bob INT " << false;
        QTest::newRow("answered, caller's second device")
            << true << bye << "alice bob INT " << true;
    }
    void restartedPhoneCallEnds()
    {
        QFETCH(bool, answered);
        QFETCH(bool, callersSecondDevice);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), second("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage invite = placeCall(alice, bob);
        QStringList records;
        QObject collector;
        collectRecords(m_Sip->findConversation("c1"), &collector, records);
        bob.send(reply(invite, answered ? 200 : 180));
        QCOMPARE(statusCode(alice.next()), answered ? 200 : 180);
        if (answered)
            QCOMPARE(nextBut(bob, invite).startLine.method, SipMethod::Ack);
        if (callersSecondDevice)
            QCOMPARE(second.registerWith(QString(), "Expires: 60\n", QString(), "alice-2"), 200);
        else
            QCOMPARE(bob.registerWith(QString(), "Expires: 60\n", "restarted-bob"), 200);
        if (answered && !callersSecondDevice)
            alice.send(kRequest,
                       { { "method", "BYE" },
                         { "to", "bob" },
                         { "callid", "c1" },
                         { "cseq", "5" },
                         { "totag", ";tag=b1" } });
        const SipMessage heard = nextBut(bob, invite);
        QTEST(int(heard.startLine.method), "calleeHears");
        QCOMPARE(heard.callId(), invite.callId());
        if (callersSecondDevice) {
            SipMessage bye = alice.next();
            while (bye.startLine.kind == 1) // the 200 repeated: never acknowledged here
                bye = alice.next();
            QCOMPARE(bye.cseqMethod(), SipMethod::Bye);
        }
        if (!answered) {
            // The cancelled INVITE's 487 is acknowledged, though its transaction is gone.
            bob.send(reply(heard, 200));
            bob.send(reply(invite, 487));
            const SipMessage ack = nextBut(bob, invite);
            QCOMPARE(ack.startLine.method, SipMethod::Ack);
            QCOMPARE(ack.branch(), invite.branch());
            QCOMPARE(ack.cseqNumber(), invite.cseqNumber());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_Sip->findConversation("c1"), 10000);
        QFETCH(QString, record);
        QCOMPARE(records, QStringList { record });
    }

    // A caller deleted while its callee rings hears 487 at once; the callee is cancelled, and
    // nothing goes to the server's own port, whose time-out would fall on the callee.
    void callerDeletedWhileRinging()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        SipMessage invite;
        QVERIFY(ringingCall(alice, bob, &invite));
        QSignalSpy sent(m_Sip, &Sip::sendDatagram);
        m_Sip->deleteUser("alice");
        QCOMPARE(statusCode(alice.next()), 487);
        const SipMessage cancel = nextBut(bob, invite);
        QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
        bob.send(reply(cancel, 200));
        bob.send(reply(invite, 487));
        QCOMPARE(nextBut(bob, invite).startLine.method, SipMethod::Ack);
        QTRY_VERIFY(!m_Sip->findConversation("c1"));
        for (const QList<QVariant> &datagram : qAsConst(sent))
            QVERIFY(datagram.at(2).toUInt() != m_Port);
        QVERIFY(m_Sip->findUser("bob")->isRegistered());
    }

    // A cancelled phone whose INVITE's transaction is gone refuses with a To of its own: the
    // ACK still targets what the INVITE did, or such a phone repeats its refusal.
    void strayRefusalAckTargetsTheInvite()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        SipMessage invite;
        QVERIFY(ringingCall(alice, bob, &invite));
        QCOMPARE(bob.registerWith(QString(), "Expires: 60\n", "restarted-bob"), 200);
        const SipMessage cancel = nextBut(bob, invite);
        QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
        bob.send(reply(cancel, 200));
        QString refusal = reply(invite, 487);
        refusal.replace("To: " + invite.headerValue(SipHeader::To),
                        QString("To: <sip:bob@127.0.0.1:%1>").arg(m_Port));
        bob.send(refusal);
        const SipMessage ack = nextBut(bob, invite);
        QCOMPARE(ack.startLine.method, SipMethod::Ack);
        QCOMPARE(ack.startLine.requestUri.toString(), invite.startLine.requestUri.toString());
    }

    // A phone left ringing is cancelled with the INVITE as it was sent: without the To tag of its
    // ringing answer, or a strict phone answers 481 and rings on.
    void ringTimeoutCancelsInvite()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        // The registrations run at the real pace; the call's 90 s of ringing 20 times as fast.
        TimeScale::setFactor(20);
        const SipMessage invite = placeCall(alice, bob);
        bob.send(reply(invite, 180));
        QCOMPARE(statusCode(alice.next()), 180);
        const SipMessage cancel = nextBut(bob, invite);
        QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
        QCOMPARE(cancel.startLine.requestUri.toString(), invite.startLine.requestUri.toString());
        for (const SipHeader::Type type :
             { SipHeader::Via, SipHeader::From, SipHeader::To, SipHeader::CallID })
            QCOMPARE(cancel.headerValues(type), invite.headerValues(type));
        QCOMPARE(cancel.cseqNumber(), invite.cseqNumber());
    }

    // MESSAGE is relayed to a registered phone only.
    void message_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("status");
        QTest::newRow("registered phone") << "bob" << 200;
        QTest::newRow("no such account") << "nobody" << 404;
        QTest::newRow("not registered") << "carol" << 503;
    }
    void message()
    {
        QFETCH(QString, to);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage answer = authorized(alice,
                                             { { "method", "MESSAGE" },
                                               { "to", to },
                                               { "callid", "msg-1" },
                                               { "extra", "Content-Type: text/plain\n" },
                                               { "body", "hello" } });
        QTEST(statusCode(answer), "status");
        if (to != "bob")
            return;
        const SipMessage relayed = bob.next();
        QCOMPARE(relayed.cseqMethod(), SipMethod::Message);
        QCOMPARE(relayed.from().address.user, QString("alice"));
        QCOMPARE(relayed.body, QByteArray("hello"));
        QCOMPARE(relayed.contentType(), QString("text/plain"));
    }

    void referRefused_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("referTo");
        QTest::addColumn<QString>("toTag");
        QTest::addColumn<int>("status");
        // clang-format off
        QTest::newRow("transferee missing") << "nobody" << "bob" << ";tag=x" << 604;
        QTest::newRow("target missing") << "bob" << "nobody" << ";tag=x" << 404;
        QTest::newRow("outside a call") << "bob" << "bob" << "" << 481;
        QTest::newRow("no such call") << "bob" << "bob" << ";tag=x" << 481;
        // clang-format on
    }
    void referRefused()
    {
        QFETCH(QString, to);
        QFETCH(QString, referTo);
        QFETCH(QString, toTag);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const QString extra = QString("Refer-To: <sip:%1@127.0.0.1:%2>\n").arg(referTo).arg(m_Port);
        QTEST(statusCode(authorized(alice,
                                    { { "method", "REFER" },
                                      { "to", to },
                                      { "totag", toTag },
                                      { "extra", extra },
                                      { "callid", "refer-1" } })),
              "status");
    }

    // An attended transfer names another call of the referrer's, with both tags; phones put it
    // among the Refer-To URI's headers.
    void attendedReferRefused_data()
    {
        QTest::addColumn<QString>("replaces");
        QTest::addColumn<int>("status");
        QTest::newRow("no from-tag") << "c1%3Bto-tag%3Dx" << 400;
        QTest::newRow("the call itself") << "c1%3Bto-tag%3Dx%3Bfrom-tag%3Dy" << 503;
        QTest::newRow("no such call") << "c9%3Bto-tag%3Dx%3Bfrom-tag%3Dy" << 503;
    }
    void attendedReferRefused()
    {
        QFETCH(QString, replaces);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        QVERIFY(placeCall(alice, bob).isValid());
        const QString extra
            = QString("Refer-To: <sip:bob@127.0.0.1:%1?Replaces=%2>\n").arg(m_Port).arg(replaces);
        QTEST(statusCode(authorized(alice,
                                    { { "method", "REFER" },
                                      { "to", "bob" },
                                      { "totag", ";tag=b1" },
                                      { "extra", extra },
                                      { "callid", "c1" } })),
              "status");
    }

    // A phone calls the door: the camera's video is answered, set up to the conversation and
    // relayed; it outlives the camera's session timeout, pauses on hold and plays on resume;
    // the door-open key plays door-open at the door and info-accept to the phone; BYE ends the
    // camera's session.
    void doorCallWithVideo()
    {
        RtspCamera camera({ "--user", "door", "--password", "secret", "--timeout", "2" });
        useCamera(camera, "secret");
        if (QTest::currentTestFailed())
            return;
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        PhoneMedia media;
        QHash<QString, QString> f { { "method", "INVITE" }, { "to", "door" }, { "callid", "v1" } };
        f["body"] = media.sdp();
        authorized(alice, f);
        QCOMPARE(statusCode(alice.next()), 180);
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        const QRegularExpressionMatch video
            = QRegularExpression("^m=video (\\d+) RTP/AVP 96\r\n").match(videoSection(ok));
        QVERIFY2(video.hasMatch(), ok.body.constData());
        media.speakTo(ok.body);
        f = { { "to", "door" }, { "callid", "v1" }, { "totag", ";tag=" + toTagOf(ok) } };
        const auto inCall = [&](const QString &method, int cseq, const QString &body = "") {
            QHash<QString, QString> r = f;
            r["method"] = method;
            r["cseq"] = QString::number(cseq);
            r["body"] = body;
            if (method == "INFO")
                r["extra"] = "Content-Type: application/dtmf-relay\n";
            alice.send(kRequest, r);
            const SipMessage answer = method == "ACK" ? SipMessage() : alice.next();
            if (method == "INVITE") {
                r["method"] = "ACK";
                r["body"] = "";
                alice.send(kRequest, r);
            }
            return answer;
        };
        inCall("ACK", 2);
        const int port = video.captured(1).toInt();
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_Log.filter(QString("client_port=%1-%2").arg(port).arg(port + 1)).isEmpty(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("PLAY"), 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(media.h264 > 10, 20000);
        // Past the camera's expiry (2 s and GStreamer's 5 s of grace) video still flows.
        QTRY_VERIFY_WITH_TIMEOUT(camera.count("GET_PARAMETER") >= 8, 30000);
        media.h264 = 0;
        QTRY_VERIFY_WITH_TIMEOUT(media.h264 > 10, 20000);

        const SipMessage held = inCall("INVITE", 3, media.sdp("sendonly"));
        QCOMPARE(statusCode(held), 200);
        QVERIFY2(videoSection(held).contains("a=recvonly"), held.body.constData());
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("PAUSE"), 1, 20000);
        QCOMPARE(statusCode(inCall("INVITE", 4, media.sdp())), 200);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("PLAY"), 2, 20000);
        media.h264 = 0;
        QTRY_VERIFY_WITH_TIMEOUT(media.h264 > 10, 20000);

        QSignalSpy prompts(m_Sip->findConversation("v1"), &ConversationThread::resultSipInfo);
        for (int cseq : { 5, 6 })
            QCOMPARE(statusCode(inCall("INFO", cseq, "Signal=5\r\nDuration=160\r\n")), 200);
        QTRY_COMPARE_WITH_TIMEOUT(prompts.count(), 1, 10000);
        QCOMPARE(prompts.first().at(1).toString(), QString("door"));
        QCOMPARE(prompts.first().at(2).value<SoundWavParam::Type>(), SoundWavParam::DoorOpen);
        QCOMPARE(prompts.first().at(3).toString(), QString("alice"));
        QCOMPARE(prompts.first().at(4).value<SoundWavParam::Type>(), SoundWavParam::InfoAccept);
        QTRY_VERIFY_WITH_TIMEOUT(m_Panels.first()->stateBits() & 0x08, 10000);

        QCOMPARE(statusCode(inCall("BYE", 7)), 200);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("TEARDOWN"), 1, 20000);
    }

    // The door's button calls one phone, a list (the first answer wins, the other phones are
    // cancelled), a list whose door member answers first, and a phone that redirects: the offer
    // carries the camera's video and the phone that takes the call gets it.
    void doorCallsPhones_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QString>("redirectTo");
        QTest::addColumn<QString>("answerer");
        QTest::addColumn<QStringList>("cancelled");
        // clang-format off
        QTest::newRow("one phone") << "alice" << "" << "alice" << QStringList();
        QTest::newRow("list") << "alice,bob" << "" << "alice" << QStringList { "bob" };
        QTest::newRow("door member first")
            << "door2,alice,bob" << "" << "" << QStringList { "alice", "bob" };
        QTest::newRow("redirected") << "alice" << "bob" << "bob" << QStringList();
        // clang-format on
    }
    void doorCallsPhones()
    {
        QFETCH(QString, rule);
        QFETCH(QString, redirectTo);
        QFETCH(QString, answerer);
        QFETCH(QStringList, cancelled);
        RtspCamera camera({ "--user", "door", "--password", "secret" });
        useCamera(camera, "secret");
        if (QTest::currentTestFailed())
            return;
        QHash<QString, RawPhone *> phones;
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        phones["alice"] = &alice;
        phones["bob"] = &bob;
        QHash<QString, SipMessage> invites;
        for (RawPhone *phone : { &alice, &bob })
            QCOMPARE(phone->registerWith(), 200);
        door()->setProperty("button-call-rule", rule);
        pressButton();
        for (const QString &name : rule.split(',')) {
            if (!phones.contains(name))
                continue;
            invites[name] = phones[name]->next();
            QCOMPARE(invites[name].startLine.method, SipMethod::Invite);
            QVERIFY2(videoSection(invites[name]).startsWith("m=video"),
                     invites[name].body.constData());
        }
        if (!redirectTo.isEmpty()) {
            alice.send(
                reply(invites["alice"], 302, "Contact: <sip:" + redirectTo + "@127.0.0.1>\n"));
            QCOMPARE(nextBut(alice, invites["alice"]).startLine.method, SipMethod::Ack);
            invites[redirectTo] = phones[redirectTo]->next();
            QCOMPARE(invites[redirectTo].startLine.method, SipMethod::Invite);
            QVERIFY(videoSection(invites[redirectTo]).startsWith("m=video"));
        }
        PhoneMedia media;
        if (!answerer.isEmpty()) {
            RawPhone &phone = *phones[answerer];
            phone.send(reply(invites[answerer], 200, "", media.sdp()));
            QCOMPARE(nextBut(phone, invites[answerer]).startLine.method, SipMethod::Ack);
            media.speakTo(invites[answerer].body);
        }
        for (const QString &name : cancelled) {
            const SipMessage cancel = nextBut(*phones[name], invites[name]);
            QCOMPARE(cancel.startLine.method, SipMethod::Cancel);
            phones[name]->send(reply(cancel, 200));
            phones[name]->send(reply(invites[name], 487));
            QCOMPARE(nextBut(*phones[name], invites[name]).startLine.method, SipMethod::Ack);
        }
        QTRY_COMPARE_WITH_TIMEOUT(door()->state(), int(VelkDevice::OutgoingCall), 10000);
        if (answerer.isEmpty())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(media.h264 > 10, 20000);
        const SipMessage &invite = invites[answerer];
        phones[answerer]->send(kRequest,
                               { { "method", "BYE" },
                                 { "to", "door" },
                                 { "callid", invite.callId() },
                                 { "totag", ";tag=" + invite.fromTag() } });
        QCOMPARE(statusCode(phones[answerer]->next()), 200);
        QTRY_COMPARE_WITH_TIMEOUT(camera.count("TEARDOWN"), 1, 20000);
    }

    // A branch of the door's list call that had its final answer is done with: when another
    // branch is taken, the phone that refused hears no CANCEL for its finished INVITE.
    void doorListBranchDone()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        for (RawPhone *phone : { &alice, &bob })
            QCOMPARE(phone->registerWith(), 200);
        door()->setProperty("button-call-rule", "alice,bob");
        pressButton();
        const SipMessage taken = alice.next(), refused = bob.next();
        bob.send(reply(refused, 486));
        QCOMPARE(nextBut(bob, refused).startLine.method, SipMethod::Ack);
        QTRY_COMPARE_WITH_TIMEOUT(m_Sip->findChildren<ConversationThread *>().size(), 1, 10000);
        alice.send(reply(taken, 200));
        QTRY_COMPARE_WITH_TIMEOUT(door()->state(), int(VelkDevice::OutgoingCall), 10000);
        // The door has told the branches by now: bob's next answer comes after their effect.
        bob.send(kRequest, { { "method", "OPTIONS" }, { "to", "alice" }, { "callid", "o1" } });
        QCOMPARE(statusCode(nextBut(bob, refused)), 405);
    }

    // bob hands alice on to carol (or alice hands bob), and carol answers after the transferor
    // left: each hears the other, not the hold prompt. carol refuses (or answers with no audio to
    // take): the party handed on, left alone, hears BYE at once; with bob still there, they talk
    // on as before. Then the party handed on holds, resumes and hands carol on to dave in its own
    // call, whatever became of the transferor's account; dave is rung by carol. Each call is
    // recorded whole, a refusal as "NA" from when the target was rung, not from the first call.
    void blindTransfer_data()
    {
        QTest::addColumn<bool>("aliceTransfers");
        QTest::addColumn<bool>("bobStays");
        QTest::addColumn<int>("carolAnswers");
        QTest::addColumn<bool>("withdraws"); // the transferor's phone quits once it left
        QTest::addColumn<bool>("handsOn");
        QTest::addColumn<QStringList>("records");
        // clang-format off
        QTest::newRow("carol answers after bob left") << false << false << 200 << false << false
            << QStringList { "alice bob INT ", "alice carol INT " };
        QTest::newRow("carol refuses after bob left") << false << false << 486 << false << false
            << QStringList { "alice bob INT ", "alice carol INT NA" };
        QTest::newRow("carol refuses, bob stays") << false << true << 486 << false << false
            << QStringList { "alice carol INT NA", "alice bob INT " };
        QTest::newRow("carol answers without audio after bob left")
            << false << false << int(AnswerWithoutAudio) << false << false
            << QStringList { "alice bob INT ", "alice carol INT NA" };
        QTest::newRow("alice hands carol on after bob left") << false << false << 200 << false
            << true << QStringList { "alice bob INT ", "carol dave INT NA", "alice carol INT " };
        QTest::newRow("bob hands carol on after alice left") << true << false << 200 << false
            << true << QStringList { "alice bob INT ", "carol dave INT NA", "bob carol INT " };
        QTest::newRow("alice hands carol on after bob quit") << false << false << 200 << true
            << true << QStringList { "alice bob INT ", "carol dave INT NA", "alice carol INT " };
        QTest::newRow("bob hands carol on after alice quit") << true << false << 200 << true
            << true << QStringList { "alice bob INT ", "carol dave INT NA", "bob carol INT " };
        // clang-format on
    }
    void blindTransfer()
    {
        QFETCH(bool, aliceTransfers);
        QFETCH(bool, bobStays);
        QFETCH(int, carolAnswers);
        QFETCH(bool, withdraws);
        QFETCH(bool, handsOn);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), carol("carol", m_Port),
            dave("dave", m_Port);
        for (RawPhone *phone : { &alice, &bob, &carol, &dave })
            QCOMPARE(phone->registerWith(), 200);
        PhoneMedia aliceMedia, bobMedia, carolMedia;
        const SipMessage invite = placeCall(alice, bob, aliceMedia.sdp());
        QStringList records;
        QList<qlonglong> durations;
        QList<QDateTime> starts;
        QObject collector;
        collectRecords(m_Sip->findConversation("c1"), &collector, records, &durations, &starts);
        const qint64 answered = TimeScale::now();
        bob.send(reply(invite, 200, "", bobMedia.sdp()));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        alice.send(kRequest,
                   { { "method", "ACK" },
                     { "to", "bob" },
                     { "callid", "c1" },
                     { "cseq", m_Sent["cseq"] },
                     { "totag", ";tag=" + toTagOf(ok) } });
        QCOMPARE(nextBut(bob, invite).startLine.method, SipMethod::Ack);
        aliceMedia.speakTo(ok.body, char(0x2a));
        bobMedia.speakTo(invite.body, char(0x3c));

        // bob's or alice's requests in their call.
        const auto inCall = [&](bool ofBob, const QString &method, int cseq,
                                const QString &extra = "", const QString &body = "") {
            return QHash<QString, QString> { { "method", method },
                                             { "to", ofBob ? "alice" : "bob" },
                                             { "totag",
                                               ";tag=" + (ofBob ? invite.fromTag() : toTagOf(ok)) },
                                             { "callid", ofBob ? invite.callId() : ok.callId() },
                                             { "cseq", QString::number(cseq) },
                                             { "extra", extra },
                                             { "body", body } };
        };
        RawPhone &transferor = aliceTransfers ? alice : bob, &handed = aliceTransfers ? bob : alice;
        PhoneMedia &handedMedia = aliceTransfers ? bobMedia : aliceMedia;
        // carol speaks as the transferor did.
        const char handedLevel = aliceTransfers ? char(0x3c) : char(0x2a);
        const char otherLevel = aliceTransfers ? char(0x2a) : char(0x3c);
        // They talk a while before the transfer.
        int heard = 0;
        QTRY_VERIFY_WITH_TIMEOUT((heard += aliceMedia.heard(char(0x3c))) > 10, 10000);
        const QDateTime referred = QDateTime::currentDateTime();
        const qint64 referredAt = TimeScale::now();
        const QString referTo = QString("Refer-To: <sip:carol@127.0.0.1:%1>\n").arg(m_Port);
        QCOMPARE(statusCode(authorized(transferor, inCall(!aliceTransfers, "REFER", 3, referTo),
                                       aliceTransfers ? "pw-alice" : "pw-bob")),
                 202);
        const auto notified = [&](RawPhone &referrer) {
            for (int i = 0; i < 2; ++i) {
                const SipMessage notify = nextBut(referrer, invite);
                QCOMPARE(notify.startLine.method, SipMethod::Notify);
                referrer.send(reply(notify, 200));
            }
        };
        notified(transferor);
        const SipMessage ring = carol.next();
        QCOMPARE(ring.startLine.method, SipMethod::Invite);
        if (!bobStays) {
            transferor.send(kRequest, inCall(!aliceTransfers, "BYE", 5));
            QCOMPARE(statusCode(nextBut(transferor, invite)), 200);
            if (withdraws)
                QCOMPARE(transferor.registerWith(QString(), "Expires: 0\n"), 200);
        }
        const bool noAudio = carolAnswers == AnswerWithoutAudio;
        carol.send(reply(ring, noAudio ? 200 : carolAnswers, "", noAudio ? "" : carolMedia.sdp()));
        QCOMPARE(nextBut(carol, ring).startLine.method, SipMethod::Ack);
        if (noAudio) {
            const SipMessage released = nextBut(carol, ring);
            QCOMPARE(released.startLine.method, SipMethod::Bye);
            carol.send(reply(released, 200));
        }
        const qint64 refused = TimeScale::now();

        // Whoever the party handed on talks with now hangs up once each hears the other.
        const bool carolTalks = carolAnswers == 200;
        if (carolTalks || bobStays) {
            RawPhone &other = carolTalks ? carol : bob;
            PhoneMedia &otherMedia = carolTalks ? carolMedia : bobMedia;
            const SipMessage &otherInvite = carolTalks ? ring : invite;
            if (carolTalks)
                otherMedia.speakTo(ring.body, otherLevel);
            int handedHeard = 0, otherHeard = 0;
            const auto talking = [&] {
                handedHeard += handedMedia.heard(otherLevel);
                otherHeard += otherMedia.heard(handedLevel);
                return handedHeard > 10 && otherHeard > 10;
            };
            handedMedia.heard(0);
            otherMedia.heard(0);
            QTRY_VERIFY_WITH_TIMEOUT(talking(), 10000);
            if (handsOn) {
                const auto reinvite = [&](int cseq, const QString &direction) {
                    QHash<QString, QString> r
                        = inCall(aliceTransfers, "INVITE", cseq, "", handedMedia.sdp(direction));
                    handed.send(kRequest, r);
                    const SipMessage answer = handed.next();
                    r["method"] = "ACK";
                    r["body"] = "";
                    handed.send(kRequest, r);
                    return statusCode(answer);
                };
                // Held, it hears nothing of carol's while she goes on hearing it.
                QCOMPARE(reinvite(6, "sendonly"), 200);
                for (int i = 0; i < 2; ++i) {
                    handedMedia.heard(0);
                    otherMedia.heard(0);
                    otherHeard = 0;
                    QTRY_VERIFY_WITH_TIMEOUT((otherHeard += otherMedia.heard(handedLevel)) > 10,
                                             10000);
                }
                QCOMPARE(handedMedia.heard(otherLevel), 0);
                QCOMPARE(reinvite(7, "sendrecv"), 200);
                handedHeard = otherHeard = 0;
                QTRY_VERIFY_WITH_TIMEOUT(talking(), 10000);
                const QString toDave = QString("Refer-To: <sip:dave@127.0.0.1:%1>\n").arg(m_Port);
                QCOMPARE(statusCode(authorized(handed, inCall(aliceTransfers, "REFER", 8, toDave),
                                               aliceTransfers ? "pw-bob" : "pw-alice")),
                         202);
                notified(handed);
                const SipMessage daveRing = dave.next();
                QCOMPARE(daveRing.startLine.method, SipMethod::Invite);
                QCOMPARE(daveRing.from().address.user, QString("carol"));
                dave.send(reply(daveRing, 486));
                QCOMPARE(nextBut(dave, daveRing).startLine.method, SipMethod::Ack);
            }
            other.send(kRequest,
                       { { "method", "BYE" },
                         { "to", otherInvite.from().address.user },
                         { "totag", ";tag=" + otherInvite.fromTag() },
                         { "callid", otherInvite.callId() },
                         { "cseq", "5" } });
            QCOMPARE(statusCode(nextBut(other, otherInvite)), 200);
        }
        const SipMessage bye = handed.next();
        QCOMPARE(bye.startLine.method, SipMethod::Bye);
        QCOMPARE(bye.callId(), aliceTransfers ? invite.callId() : QString("c1"));
        handed.send(reply(bye, 200));
        QTRY_VERIFY_WITH_TIMEOUT(!m_Sip->findConversation("c1"), 10000);
        QTEST(records, "records");
        if (bobStays)
            QVERIFY(durations.last() >= refused - answered);
        const int unanswered = records.indexOf("alice carol INT NA");
        if (unanswered >= 0) {
            QVERIFY(starts.at(unanswered) >= referred);
            QVERIFY(durations.at(unanswered) <= TimeScale::now() - referredAt);
        }
    }

    // A camera that refuses the door's password: each attempt answers its challenge once, the
    // attempts back off, and the phone's call to the door is answered with audio alone.
    void doorCameraRefused()
    {
        RtspCamera camera({ "--user", "door", "--password", "secret" });
        useCamera(camera, "wrong");
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(camera.count("CONNECT") >= 3, 20000);
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        PhoneMedia media;
        const SipMessage ok = callDoor(alice, "r1", media.sdp());
        QCOMPARE(statusCode(ok), 200);
        QVERIFY(ok.body.contains("m=audio"));
        QVERIFY(!ok.body.contains("m=video"));
        // The camera answers OPTIONS to anyone and challenges DESCRIBE.
        const QStringList describes = m_Log.filter(QRegularExpression("^DESCRIBE rtsp:"));
        QVERIFY(describes.size() >= 4);
        for (int i = 0; i + 1 < describes.size(); i += 2) {
            QVERIFY(!describes.at(i).contains("Authorization:"));
            QVERIFY(describes.at(i + 1).contains("Authorization: Digest"));
        }
        QCOMPARE(m_Log.filter("refused the credentials of user 'door'").size(), 1);
        QVERIFY(camera.count("CONNECT") < 20);
        QCOMPARE(camera.count("DESCRIBE"), 0);
        QCOMPARE(camera.count("SETUP"), 0);
    }

    // A blind transfer to the door: it rings, and its answer joins it to the call, where it
    // hears the transferee.
    void doorTransferTarget()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage invite = placeCall(alice, bob);
        PhoneMedia media;
        bob.send(reply(invite, 200, "", media.sdp()));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        QCOMPARE(bob.next().startLine.method, SipMethod::Ack);
        media.speakTo(invite.body);
        const QString referTo = QString("Refer-To: <sip:door@127.0.0.1:%1>\n").arg(m_Port);
        QCOMPARE(statusCode(authorized(alice,
                                       { { "method", "REFER" },
                                         { "to", "bob" },
                                         { "totag", ";tag=" + toTagOf(ok) },
                                         { "extra", referTo },
                                         { "callid", "c1" },
                                         { "cseq", "3" } })),
                 202);
        for (const QByteArray frag : { "SIP/2.0 100", "SIP/2.0 200" })
            QVERIFY(alice.next().body.startsWith(frag));
        QTRY_COMPARE_WITH_TIMEOUT(door()->state(), int(VelkDevice::IncomingCall), 10000);
        // Three in a call hear nothing: the door hears bob once alice has left.
        alice.send(kRequest,
                   { { "method", "BYE" },
                     { "to", "bob" },
                     { "callid", "c1" },
                     { "cseq", "5" },
                     { "totag", ";tag=" + toTagOf(ok) } });
        QCOMPARE(statusCode(alice.next()), 200);
        // The door's audio tells the server where the door listens.
        QVERIFY(m_Panels.first()->startAudio(QByteArray(1600, char(0x90))));
        m_Panels.first()->takeAudioReceived();
        QTRY_VERIFY_WITH_TIMEOUT(m_Panels.first()->audioReceived().size() > 10, 10000);
        QCOMPARE(door()->state(), int(VelkDevice::IncomingCall));
    }

    // The door calls alice; she keys a digit to it or none, hands it on to bob and leaves while
    // he rings: the door hears bob once he answers, not the hold prompt, and bob's keys open it
    // whichever kind alice keyed by.
    void doorTransferredHearsAndOpens_data()
    {
        QTest::addColumn<QString>("aliceKeys");
        QTest::addColumn<QString>("bobKeys");
        // clang-format off
        QTest::newRow("nobody keyed before bob") << "" << "event";
        QTest::newRow("INFO, then telephone events") << "INFO" << "event";
        QTest::newRow("telephone events, then INFO") << "event" << "INFO";
        // clang-format on
    }
    void doorTransferredHearsAndOpens()
    {
        QFETCH(QString, aliceKeys);
        QFETCH(QString, bobKeys);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        PhoneMedia aliceMedia, bobMedia;
        door()->setProperty("button-call-rule", "alice");
        pressButton();
        const SipMessage fromDoor = alice.next();
        QCOMPARE(fromDoor.startLine.method, SipMethod::Invite);
        alice.send(reply(fromDoor, 200, "", aliceMedia.sdp()));
        QCOMPARE(nextBut(alice, fromDoor).startLine.method, SipMethod::Ack);
        QSignalSpy keys(m_Sip->findConversation(
                            m_Sip->findUser("alice")->conversationCaller(fromDoor.callId())),
                        &ConversationThread::sendSipInfo);
        // A phone's call with the door: its requests, and its keys by INFO or by RTP events.
        struct Call
        {
            RawPhone &phone;
            PhoneMedia &media;
            QString callId, tag;
            QByteArray offer; // the server's SDP body
        };
        const Call aliceCall { alice, aliceMedia, fromDoor.callId(), fromDoor.fromTag(),
                               fromDoor.body };
        const auto inCall = [](const Call &call, const QString &method, int cseq,
                               const QString &extra = "", const QString &body = "") {
            call.phone.send(kRequest,
                            { { "method", method },
                              { "to", "door" },
                              { "callid", call.callId },
                              { "totag", ";tag=" + call.tag },
                              { "cseq", QString::number(cseq) },
                              { "extra", extra },
                              { "body", body } });
            return statusCode(call.phone.next());
        };
        const auto press = [&](const Call &call, const QString &kind, char key, int cseq) {
            if (kind == "INFO")
                return inCall(call, "INFO", cseq, "Content-Type: application/dtmf-relay\n",
                              QString("Signal=%1\r\nDuration=160\r\n").arg(int(key)));
            call.media.pressKey(call.offer, key, quint32(cseq) * 1000);
            return 200;
        };
        aliceMedia.speakTo(fromDoor.body);
        if (!aliceKeys.isEmpty()) {
            QCOMPARE(press(aliceCall, aliceKeys, 8, 3), 200);
            QTRY_COMPARE(keys.count(), 1);
        }
        VelkPanel *panel = m_Panels.first();
        QVERIFY(panel->startAudio(QByteArray(1600, char(0x90))));
        const QString referTo = QString("Refer-To: <sip:bob@127.0.0.1:%1>\n").arg(m_Port);
        QCOMPARE(inCall(aliceCall, "REFER", 4, referTo), 202);
        for (int i = 0; i < 2; ++i) {
            const SipMessage notify = alice.next();
            QCOMPARE(notify.startLine.method, SipMethod::Notify);
            alice.send(reply(notify, 200));
        }
        const SipMessage invite = bob.next();
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        QCOMPARE(inCall(aliceCall, "BYE", 5), 200);

        bob.send(reply(invite, 200, "", bobMedia.sdp()));
        QCOMPARE(nextBut(bob, invite).startLine.method, SipMethod::Ack);
        bobMedia.speakTo(invite.body, char(0x2a));
        // bob's voice is flat and loud; the hold prompt varies.
        panel->takeAudioReceived();
        QTRY_VERIFY_WITH_TIMEOUT(
            std::count_if(panel->audioReceived().cbegin(), panel->audioReceived().cend(),
                          [](const VelkPanel::AudioIn &in) {
                              return in.payload.count(in.payload.at(0)) == in.payload.size()
                                  && qAbs(uchar(in.payload.at(0)) - 0x80) > 0x40;
                          })
                > 10,
            10000);
        const Call bobCall { bob, bobMedia, invite.callId(), invite.fromTag(), invite.body };
        for (int cseq : { 3, 4 })
            QCOMPARE(press(bobCall, bobKeys, 5, cseq), 200);
        QTRY_VERIFY_WITH_TIMEOUT(panel->stateBits() & 0x08, 10000);
    }

    // The door's panel refuses the ring command: the phone hears 503 and the door is free at
    // once, so the next call rings it.
    void doorRefusesRing()
    {
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        m_Panels.first()->setPolicy(VelkProtocol::SetOutputs, { VelkPanel::Reply::Refuse, 1 });
        QHash<QString, QString> f { { "method", "INVITE" }, { "to", "door" }, { "callid", "n1" } };
        f["body"] = kSdp;
        authorized(alice, f);
        const SipMessage refused = alice.next();
        QCOMPARE(statusCode(refused), 503);
        QHash<QString, QString> ack = m_Sent;
        ack["method"] = "ACK";
        ack["auth"] = ack["body"] = "";
        ack["totag"] = ";tag=" + toTagOf(refused);
        alice.send(kRequest, ack);
        QTRY_COMPARE(door()->state(), int(VelkDevice::Ready));
        m_Panels.first()->setPolicy(VelkProtocol::SetOutputs, { VelkPanel::Reply::Answer, 0 });
        f["callid"] = "n2";
        f["cseq"] = "3";
        authorized(alice, f);
        QCOMPARE(statusCode(alice.next()), 180);
    }

    // A door's page to a group it belongs to reaches the other members only.
    void doorPagesOwnGroup()
    {
        for (const char *name : { "door", "door2" })
            m_Sip->findUser(name)->setProperty("velk-wiretapping", "paging");
        m_Sip->findUser("group")->setProperty("group-list", "door,door2");
        door()->setProperty("button-call-rule", "group");
        QList<int> states;
        QObject watcher;
        connect(door(), &VelkDevice::isBusyChanged, &watcher, [&] { states << door()->state(); });
        pressButton();
        QTRY_COMPARE(m_Velk->findDevice(2)->state(), int(VelkDevice::IncomingCall));
        QVERIFY(!states.contains(VelkDevice::IncomingCallRequire));
        QVERIFY(door()->isBusy());
    }

    // A group's members are the names its list holds, the blanks around each trimmed as a
    // person writes them: a phone's call to the group and a door's page to it reach them all.
    void doorGroupReachesEveryMember_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<bool>("byPhone"); // else door 1's button pages the group
        QTest::newRow("phone, a blank after the comma") << "door, door2" << true;
        QTest::newRow("phone, blanks around each") << " door2 ,\tdoor " << true;
        QTest::newRow("door's page, blanks around each") << " door2 , door " << false;
    }
    void doorGroupReachesEveryMember()
    {
        QFETCH(QString, list);
        QFETCH(bool, byPhone);
        for (const char *name : { "door", "door2" })
            m_Sip->findUser(name)->setProperty("velk-wiretapping", "paging");
        // Stored as the form stores it: quoted, so the file keeps the blanks.
        QVERIFY(m_Sip->saveUser("group", { { "type-user", "2" }, { "group-list", list } }));
        RawPhone alice("alice", m_Port);
        if (byPhone) {
            QCOMPARE(alice.registerWith(), 200);
            authorized(alice,
                       { { "method", "INVITE" },
                         { "to", "group" },
                         { "callid", "g1" },
                         { "body", kSdp } });
            QCOMPARE(statusCode(alice.next()), 180);
        } else {
            door()->setProperty("button-call-rule", "group");
            pressButton();
        }
        for (quint16 id : { 1, 2 }) {
            if (byPhone || id == 2)
                QTRY_COMPARE(m_Velk->findDevice(id)->state(), int(VelkDevice::IncomingCall));
        }
    }

    // The door answers a call whose conversation is gone: the phone hears 500 at once and
    // nothing of its call stays behind.
    void doorAnswersLostCall()
    {
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        authorized(alice,
                   { { "method", "INVITE" },
                     { "to", "door-ring" },
                     { "callid", "g1" },
                     { "body", kSdp } });
        QCOMPARE(statusCode(alice.next()), 180);
        m_Sip->findUser("door-ring")->clearConversations();
        pressButton();
        QCOMPARE(statusCode(alice.next()), 500);
        QVERIFY(m_Sip->findUser("alice")->conversations().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(door()->state(), int(VelkDevice::Ready), 10000);
    }

    // A door that answers at once greets the call with the info-accept prompt: both the phone
    // and the panel hear it. Each speaks a flat signal, so only the prompt varies.
    void doorAutoAnswerPrompt()
    {
        RawPhone alice("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        PhoneMedia media;
        const SipMessage ok = callDoor(alice, "p1", media.sdp());
        QCOMPARE(statusCode(ok), 200);
        alice.send(kRequest,
                   { { "method", "ACK" },
                     { "to", "door" },
                     { "callid", "p1" },
                     { "cseq", "2" },
                     { "totag", ";tag=" + toTagOf(ok) } });
        media.speakTo(ok.body);
        VelkPanel *panel = m_Panels.first();
        QVERIFY(panel->startAudio(QByteArray(1600, char(0x90))));

        const auto varies = [](const QByteArray &frame) {
            return !frame.isEmpty() && frame.count(frame.at(0)) != frame.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(panel->audioReceived().cbegin(),
                                             panel->audioReceived().cend(),
                                             [&](const auto &in) { return varies(in.payload); }),
                                 10000);
        bool phoneHeard = false;
        const auto phoneHears = [&] {
            while (media.audio.hasPendingDatagrams())
                phoneHeard |= varies(media.audio.receiveDatagram().data().mid(12));
            return phoneHeard;
        };
        QTRY_VERIFY_WITH_TIMEOUT(phoneHears(), 10000);
    }
};

TARNHALL_TEST_MAIN(TestSipLocalServer)
#include "tst_siplocalserver.moc"
