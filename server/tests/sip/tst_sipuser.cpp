#include "conversation/conversationthread.h"
#include "conversationfixture.h"
#include "core/attendedthread.h"
#include "core/timescale.h"
#include "sip/sipuser.h"
#include "siptestkit.h"
#include "testmain.h"
#include "velk/velk.h"

#include <QProcess>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <climits>

class TestSipUser : public QObject
{
    Q_OBJECT

    QStringList m_Log;

private slots:
    void initTestCase() { siptest::captureLog(this, &m_Log); }

    void init()
    {
        TimeScale::setFactor(1);
        SipUser::m_IsStandalone = true;
        m_Log.clear();
    }

    void deviceAccount_data()
    {
        QTest::addColumn<QVariant>("type");
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("typeUser");
        QTest::addColumn<int>("deviceId");
        QTest::addColumn<QString>("kind"); // a device account, a group
        const auto row = [](const char *name, const QVariant &type, const char *id, int typeUser,
                            int deviceId, const char *kind) {
            QTest::newRow(name) << type << QString(id) << typeUser << deviceId << QString(kind);
        };
        row("no type", QVariant(), " 12 ", -1, 12, "10");
        row("letters", "abc", "12a", 0, -1, "10");
        row("plain", "1", "12", 1, -1, "00");
        row("group", "2", "0", 2, -1, "01");
        row("last id", "0", "65534", 0, 65534, "10");
        row("no device", "0", "65535", 0, -1, "10");
        row("wraps", "0", "65548", 0, -1, "10");
    }
    void deviceAccount()
    {
        QFETCH(QVariant, type);
        QFETCH(QString, id);
        // The door-device module beside the users' module; 65548 would wrap onto device 12.
        QObject core, sip(&core);
        Velk velk(&core);
        QObject device12(&velk);
        device12.setObjectName("12");
        SipUser user("door", 0, &sip);
        user.setProperty("type-user", type);
        user.setProperty("velk-device-id", id);
        QTEST(user.typeUser(), "typeUser");
        QTEST(user.velkDeviceId(), "deviceId");
        QCOMPARE(user.velkDevice(), user.velkDeviceId() == 12 ? &device12 : nullptr);
        QTEST(QString("%1%2").arg(user.isVelkUser()).arg(user.isGroup()), "kind");
    }

    // How long the register timer runs for an expiry setting or a granted expiry.
    void schedules_data()
    {
        QTest::addColumn<bool>("standalone");
        QTest::addColumn<qint64>("granted");
        QTest::addColumn<int>("ms");
        QTest::newRow("asked") << false << qint64(0) << 44000;
        QTest::newRow("granted") << false << qint64(3600) << 3584000;
        QTest::newRow("short") << false << qint64(20) << 16000;
        // Too long for a timer: renewed after the longest wait a timer has.
        QTest::newRow("huge") << false << LLONG_MAX << INT_MAX / 1000 * 1000;
        QTest::newRow("expiry") << true << qint64(0) << 66000;
    }
    void schedules()
    {
        QFETCH(bool, standalone);
        QFETCH(qint64, granted);
        SipUser::m_IsStandalone = standalone;
        SipUser user("u");
        if (standalone)
            user.registerContact(SipTransport::UDP, "u", "", "id", "192.0.2.1", 0, "192.0.2.9", 0);
        else
            user.setRegisterTimer(true, granted);
        QVERIFY(user.registerTimer().isActive());
        QTEST(user.registerTimer().interval(), "ms");
    }

    void registration()
    {
        TimeScale::setFactor(1000);
        SipUser::m_IsStandalone = false;
        SipUser group("g");
        QSignalSpy renew(&group, &SipUser::registerOnServer);
        group.setProperty("type-user", "2");
        group.initServerConnection(SipTransport::UDP, "192.0.2.1", 5060, "192.0.2.9", 5061);
        group.setRegisterTimer(true, 60);
        QTRY_COMPARE(renew.count(), 2);

        SipUser::m_IsStandalone = true;
        SipUser user("p");
        QSignalSpy tcp(&user, &SipUser::initTcpSocket);
        QSignalSpy gone(&user, &SipUser::userUnRegistered);
        QSignalSpy exclude(&user, &SipUser::excludeCallerFromConversation);
        user.setRegistered(false);
        user.registerContact(SipTransport::UDP, "p", "a", "id", "192.0.2.1", 5060, "192.0.2.7", 0);
        user.registerContact(SipTransport::UDP, "p", "b", "id", "192.0.2.1", 0, "192.0.2.7", 5060);
        user.setConversation("", "c0");
        user.setConversation("leg1", "");
        user.setConversation("leg1", "c1");
        user.setConversation("leg2", "c2");
        // From another port over TCP: the calls of the old binding are dropped first.
        user.registerContact(SipTransport::TCP, "p", "", "id", "192.0.2.1", 0, "192.0.2.7", 5070);
        QCOMPARE(exclude.count(), 2);
        QCOMPARE(exclude.first(), (QVariantList { "c1", "leg1", false }));
        QCOMPARE(tcp.last(), (QVariantList { "192.0.2.7", ushort(5070), true, "p" }));
        // Silent for the expiry and a tenth.
        QTRY_COMPARE(gone.count(), 2);
        QCOMPARE(tcp.last(), (QVariantList { "192.0.2.7", ushort(5070), false, "p" }));
        QCOMPARE(m_Log,
                 (QStringList { "User 'p' register", "User 'p' comfirmed register",
                                "User 'p' unregister", "User 'p' re-register", "User 'p' register",
                                "User 'p' timeout register", "User 'p' unregister" }));
    }

    // The schedules once on the real clock: a one-second expiry and the shortest renewal.
    void realTimeSchedules()
    {
        SipUser phone("p");
        phone.setProperty("sip-standalone-expires", "1");
        QSignalSpy gone(&phone, &SipUser::userUnRegistered);
        phone.registerContact(SipTransport::UDP, "p", "", "id", "192.0.2.1", 0, "192.0.2.7", 0);
        QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
        SipUser::m_IsStandalone = false;
        SipUser renewing("r");
        QSignalSpy renew(&renewing, &SipUser::registerOnServer);
        renewing.setRegisterTimer(true, 1);
        QTRY_COMPARE_WITH_TIMEOUT(renew.count(), 1, 40000);
    }

    // Video off, or not a door account: the camera session is stopped, never started.
    void applyVideoWithoutCamera()
    {
        for (const auto &[type, enable] : { std::pair("0", false), std::pair("1", true) }) {
            SipUser user("door");
            user.setProperty("type-user", type);
            user.setProperty("velk-video-enable", enable);
            QSignalSpy stop(&user, &SipUser::stopVideoRtspControl);
            QSignalSpy start(&user, &SipUser::startVideoRtspControl);
            user.applyVideo();
            QCOMPARE(stop.count(), 1);
            QCOMPARE(start.count(), 0);
        }
    }

    void play_data()
    {
        QTest::addColumn<bool>("video");
        QTest::addColumn<bool>("sockets");
        QTest::newRow("video") << true << true;
        QTest::newRow("audio only") << false << true;
        QTest::newRow("no video ports") << true << false;
    }
    void play()
    {
        QFETCH(bool, video);
        QFETCH(bool, sockets);
        QUdpSocket *s[4] = {};
        for (int i = 0; i < (sockets ? 4 : 2); ++i) {
            s[i] = new QUdpSocket;
            s[i]->bind(QHostAddress(QHostAddress::LocalHost), 0);
        }
        auto *conv = new ConversationThread(1, "conv", s[0], s[1], video, s[2], s[3]);
        SipUser user("door");
        QSignalSpy play(&user, &SipUser::play);
        QSignalSpy hold(user.videoControl(), SIGNAL(play_suspend()));
        QSignalSpy resume(user.videoControl(), SIGNAL(play_resume()));
        QSignalSpy end(user.videoControl(), SIGNAL(teardown()));
        user.onPlay(nullptr);
        user.onPlay(conv);
        user.onPlay(conv);
        const QVariantList ports { conv->videoRtpPort(), conv->videoRtcpPort() };
        emit conv->play_suspend();
        emit conv->play_resume();
        delete conv;
        QCoreApplication::sendPostedEvents();
        const int plays = video && sockets ? 1 : 0;
        QCOMPARE(play.count(), 2 * plays);
        QCOMPARE(hold.count() + resume.count() + end.count(), 3 * plays);
        if (plays)
            QCOMPARE(play.first(), ports);
    }

    // A door account's camera video reaching a call: GStreamer's RTSP server as the camera, the
    // user's camera session, and a conversation that relays the camera's RTP to a phone.
    void videoReachesTheCall()
    {
        SipUser user("door");
        QProcess camera;
        camera.start(
            "/usr/bin/python3",
            { qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/rtsp/camera.py" });
        QTRY_VERIFY_WITH_TIMEOUT(camera.canReadLine() || camera.state() == QProcess::NotRunning,
                                 20000);
        const QByteArray port = camera.readLine().trimmed();
        if (!port.startsWith("PORT "))
            QFAIL("no RTSP camera (GStreamer's RTSP server)");
        user.setProperty("velk-video-enable", "true");
        user.setProperty("velk-video-path", "rtsp://127.0.0.1:" + port.mid(5) + "/door");
        user.applyVideo();
        QTRY_COMPARE_WITH_TIMEOUT(user.videoCodec(), uchar(96), 20000);

        Conversation call;
        ConversationCaller *door = call.addVelk("door-leg", "door");
        connect(&user, &SipUser::setVelkVideo, door, &ConversationCaller::setVelkVideo,
                Qt::QueuedConnection);
        RtpPeer phoneAudio, phoneVideo;
        const QHostAddress lo(QHostAddress::LocalHost);
        emit call.conv->appendCaller(600, "phone", SipMessage("phone-leg"), 8, lo,
                                     phoneAudio.port(), lo, 0, SipSdpAction::SendRecv, 97, lo,
                                     phoneVideo.port(), lo, 0, SipSdpAction::SendRecv);
        user.onPlay(call.conv);
        QTRY_VERIFY_WITH_TIMEOUT(phoneVideo.packets.size() >= 10, 20000);
        QCOMPARE(uchar(phoneVideo.packets.first().data.at(1)) & 0x7f, 97);
        delete call.conv;
        // The end of the call ends the camera's stream.
        QTRY_COMPARE_WITH_TIMEOUT(user.videoCodec(), uchar(255), 20000);
        camera.closeWriteChannel();
        QVERIFY(camera.waitForFinished(10000));
        QVERIFY(camera.readAll().contains("REQ TEARDOWN"));
    }
};

TARNHALL_TEST_MAIN(TestSipUser)
#include "tst_sipuser.moc"
