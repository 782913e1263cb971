#include "conversation/conversationthread.h"
#include "core/attendedthread.h"
#include "core/env.h"
#include "core/timescale.h"
#include "sip/sipuser.h"
#include "velk/velk.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <climits>

namespace {

// A conversation on ephemeral ports; without videoSockets its video ports are 0.
ConversationThread *conversation(bool video, bool videoSockets)
{
    QUdpSocket *s[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (i < 2 || videoSockets) {
            s[i] = new QUdpSocket;
            s[i]->bind(QHostAddress(QHostAddress::LocalHost), 0);
        }
    }
    return new ConversationThread(1, QStringLiteral("conv"), s[0], s[1], video, s[2], s[3]);
}

} // namespace

class TestSipUser : public QObject
{
    Q_OBJECT

    QStringList m_Log;

    QStringList takeLog() { return std::exchange(m_Log, {}); }

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
        SipUser::m_IsStandalone = true;
        m_Log.clear();
    }

    void deviceAccount_data()
    {
        QTest::addColumn<QVariant>("type");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("typeUser");
        QTest::addColumn<int>("deviceId");
        QTest::addColumn<QString>("flags"); // velk, group, wiretap, paging, control
        QTest::newRow("no type") << QVariant() << " 12 "
                                 << "Paging" << -1 << 12 << "10010";
        QTest::newRow("letters") << QVariant("abc") << "12a"
                                 << "TRUE" << 0 << -1 << "10100";
        QTest::newRow("plain") << QVariant("1") << "12"
                               << "control" << 1 << -1 << "00001";
        QTest::newRow("group") << QVariant("2") << "0"
                               << "false" << 2 << -1 << "01000";
        QTest::newRow("last id") << QVariant("0") << "65534"
                                 << "x" << 0 << 65534 << "10000";
        QTest::newRow("no device") << QVariant("0") << "65535"
                                   << "" << 0 << -1 << "10000";
        QTest::newRow("wraps") << QVariant("0") << "65548"
                               << "" << 0 << -1 << "10000";
        QTest::newRow("negative") << QVariant("0") << "-1"
                                  << "" << 0 << -1 << "10000";
    }
    void deviceAccount()
    {
        QFETCH(QVariant, type);
        QFETCH(QString, id);
        QFETCH(QString, mode);
        QFETCH(QString, flags);
        // The door-device module beside the users' module; 65548 would wrap onto device 12.
        QObject core;
        QObject sip(&core);
        Velk velk(&core);
        QObject device12(&velk), device65534(&velk);
        device12.setObjectName("12");
        device65534.setObjectName("65534");
        SipUser user("door", 0, &sip);
        user.setProperty("type-user", type);
        user.setProperty("velk-device-id", id);
        user.setProperty("velk-wiretapping", mode);
        QTEST(user.typeUser(), "typeUser");
        QTEST(user.velkDeviceId(), "deviceId");
        const QObject *expected = user.velkDeviceId() == 12 ? &device12
            : user.velkDeviceId() == 65534                  ? &device65534
                                                            : nullptr;
        QCOMPARE(user.velkDevice(), expected);
        const QString seen = QString::number(user.isVelkUser()) + QString::number(user.isGroup())
            + QString::number(user.isWiretapping()) + QString::number(user.isPaging())
            + QString::number(user.isControl());
        QCOMPARE(seen, flags);
    }

    void conversations()
    {
        SipUser user("u");
        user.setConversation("", "c1");
        user.setConversation("a", "");
        QVERIFY(user.conversations().isEmpty());
        user.setConversation("b", "c1");
        user.setConversation("a", "c2");
        user.setConversation("a", "c1");
        user.setConversation("c", "c3");
        QCOMPARE(user.removeCaller("c1"), QString("a"));
        QCOMPARE(user.conversationCaller("b"), QString("c1"));
        QCOMPARE(user.takeConversation("b"), QString("c1"));
        QCOMPARE(user.takeConversation("b"), QString());
        QCOMPARE(user.removeCaller("c9"), QString());
        QCOMPARE(user.conversations().keys(), QStringList { "c" });
    }

    // How long the register timer runs for an expiry setting or a granted expiry.
    void schedules_data()
    {
        QTest::addColumn<bool>("standalone");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<qint64>("granted");
        QTest::addColumn<int>("ms");
        QTest::newRow("asked") << false << "60" << qint64(0) << 44000;
        QTest::newRow("granted") << false << "60" << qint64(3600) << 3584000;
        QTest::newRow("short") << false << "60" << qint64(20) << 16000;
        // Too long for a timer: renewed after the longest wait a timer has.
        QTest::newRow("huge grant") << false << "60" << qint64(4294967295) << INT_MAX / 1000 * 1000;
        QTest::newRow("endless grant") << false << "60" << LLONG_MAX << INT_MAX / 1000 * 1000;
        QTest::newRow("expiry") << true << "60" << qint64(0) << 66000;
        QTest::newRow("huge expiry") << true << "99999999999" << qint64(0) << INT_MAX / 1100 * 1100;
    }
    void schedules()
    {
        QFETCH(bool, standalone);
        QFETCH(QString, setting);
        QFETCH(qint64, granted);
        SipUser::m_IsStandalone = standalone;
        SipUser user("u");
        user.setProperty(standalone ? "sip-standalone-expires" : "sip-server-expires", setting);
        if (standalone)
            user.registerContact(SipTransport::UDP, "u", "", "id", "192.0.2.1", 0, "192.0.2.9", 0);
        else
            user.setRegisterTimer(true, granted);
        QVERIFY(user.registerTimer().isActive());
        QTEST(user.registerTimer().interval(), "ms");
        user.setRegisterTimer(false, 0);
        QCOMPARE(user.registerTimer().isActive(), standalone);
    }

    void gatewayRegisters()
    {
        SipUser::m_IsStandalone = false;
        TimeScale::setFactor(1000);
        SipUser user("g");
        QSignalSpy reg(&user, &SipUser::registerOnServer);
        user.setProperty("type-user", "2");
        user.initServerConnection(SipTransport::UDP, "192.0.2.1", 5060, "192.0.2.9", 5061);
        QCOMPARE(reg.count(), 1);
        user.setRegistered(true);
        user.setRegisterTimer(true, 60);
        QTRY_COMPARE(reg.count(), 2);
        QCOMPARE(reg.last(), (QVariantList { "g", true }));
        QVERIFY(user.isRegistered());
        QCOMPARE(takeLog(), QStringList { "User 'g' register" });
    }

    void standaloneRegistration()
    {
        TimeScale::setFactor(1000);
        SipUser user("p");
        QSignalSpy tcp(&user, &SipUser::initTcpSocket);
        QSignalSpy gone(&user, &SipUser::userUnRegistered);
        QSignalSpy exclude(&user, &SipUser::excludeCallerFromConversation);
        user.setRegistered(false);
        QCOMPARE(user.registerContact(SipTransport::UDP, "p", "a", "id", "192.0.2.1", 5060,
                                      "192.0.2.7", 5062),
                 quint64(60));
        user.registerContact(SipTransport::UDP, "p", "b", "id", "192.0.2.1", 0, "192.0.2.7", 5062);
        user.setConversation("leg1", "c1");
        user.setConversation("leg2", "c2");
        // From another port over TCP: the calls of the old binding are dropped first.
        user.registerContact(SipTransport::TCP, "p", "", "id", "192.0.2.1", 0, "192.0.2.7", 5070);
        QCOMPARE(gone.count(), 1);
        QCOMPARE(exclude.count(), 2);
        QCOMPARE(exclude.first(), (QVariantList { "c1", "leg1", false }));
        QVERIFY(user.conversations().isEmpty());
        QCOMPARE(tcp.count(), 1);
        QCOMPARE(tcp.last(), (QVariantList { "192.0.2.7", ushort(5070), true, "p" }));
        // Silent for the expiry and a tenth.
        QTRY_COMPARE(gone.count(), 2);
        QCOMPARE(tcp.last(), (QVariantList { "192.0.2.7", ushort(5070), false, "p" }));
        QCOMPARE(takeLog(),
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
        QSignalSpy reg(&renewing, &SipUser::registerOnServer);
        renewing.setRegisterTimer(true, 1);
        QTRY_COMPARE_WITH_TIMEOUT(reg.count(), 1, 40000);
    }

    void video_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("enable");
        QTest::addColumn<bool>("starts");
        QTest::newRow("device") << "0"
                                << "true" << true;
        QTest::newRow("disabled") << "0"
                                  << "false" << false;
        QTest::newRow("plain") << "1"
                               << "true" << false;
    }
    void video()
    {
        QFETCH(QString, type);
        QFETCH(QString, enable);
        auto *user = new SipUser("door");
        user->setProperty("type-user", type);
        user->setProperty("velk-video-enable", enable);
        user->setProperty("velk-video-path", "rtsp://127.0.0.1:1/cam");
        QSignalSpy stop(user, &SipUser::stopVideoRtspControl);
        QSignalSpy start(user, &SipUser::startVideoRtspControl);
        user->applyVideo();
        QCOMPARE(stop.count(), 1);
        QTEST(start.count() == 1, "starts");
        if (!start.isEmpty())
            QCOMPARE(start.first(), (QVariantList { "rtsp://127.0.0.1:1/cam", "", "" }));
        delete user;
        QCOMPARE(stop.count(), 2);
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
        SipUser user("door");
        QObject *control = user.videoControl();
        QSignalSpy play(&user, &SipUser::play);
        QSignalSpy hold(control, SIGNAL(play_suspend()));
        QSignalSpy resume(control, SIGNAL(play_resume()));
        QSignalSpy end(control, SIGNAL(teardown()));
        user.onPlay(nullptr);
        ConversationThread *conv = conversation(video, sockets);
        user.onPlay(conv);
        user.onPlay(conv);
        const bool plays = video && sockets;
        QCOMPARE(play.count(), plays ? 2 : 0);
        if (plays)
            QCOMPARE(play.first(), (QVariantList { conv->videoRtpPort(), conv->videoRtcpPort() }));
        emit conv->play_suspend();
        emit conv->play_resume();
        delete conv;
        QCoreApplication::sendPostedEvents();
        QCOMPARE(hold.count() + resume.count() + end.count(), plays ? 3 : 0);
    }

    void cameraReports()
    {
        SipUser user("door");
        QSignalSpy addresses(&user, &SipUser::setVelkVideo);
        const QHostAddress camera("192.0.2.40");
        QMetaObject::invokeMethod(user.videoControl(), "setMediaParam", Q_ARG(uchar, 96),
                                  Q_ARG(QString, "H264/90000"), Q_ARG(QString, ""));
        QMetaObject::invokeMethod(user.videoControl(), "setVelkVideo", Q_ARG(QHostAddress, camera),
                                  Q_ARG(ushort, 6970), Q_ARG(QHostAddress, camera),
                                  Q_ARG(ushort, 6971));
        QTRY_COMPARE(addresses.count(), 1);
        QCOMPARE(user.videoCodec(), uchar(96));
        QCOMPARE(user.videoCodecInfo(), QString("H264/90000"));
        QCOMPARE(addresses.first().at(1).value<ushort>(), ushort(6970));
        QMetaObject::invokeMethod(user.videoControl(), "setMediaParam");
        QTRY_COMPARE(user.videoCodec(), uchar(255));
        QCOMPARE(user.videoCodecInfo(), QString());
    }
};

QTEST_GUILESS_MAIN(TestSipUser)
#include "tst_sipuser.moc"
