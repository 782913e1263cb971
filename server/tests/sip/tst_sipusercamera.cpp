// A door account's camera video reaching a call: a real RTSP camera (GStreamer's server on
// loopback), the user's camera session, and a conversation that relays the camera's RTP to a
// phone's video port.
#include "conversationfixture.h"
#include "core/attendedthread.h"
#include "sip/sipuser.h"

#include <QProcess>
#include <QtTest>

class TestSipUserCamera : public QObject
{
    Q_OBJECT

private slots:
    void videoReachesTheCall()
    {
        auto user = std::make_unique<SipUser>("door");
        if (user->videoControl()->inherits("IdleVideoControl"))
            QSKIP("built without a camera client");
        const QString script
            = qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/rtsp/camera.py";
        if (!QFile::exists(script))
            QSKIP("no camera script");
        QProcess camera;
        camera.start("/usr/bin/python3", { script });
        QTRY_VERIFY_WITH_TIMEOUT(camera.canReadLine() || camera.state() == QProcess::NotRunning,
                                 20000);
        const QByteArray ready = camera.readLine().trimmed();
        if (!ready.startsWith("PORT "))
            QSKIP("the GStreamer RTSP server is not available");
        const QString url = "rtsp://127.0.0.1:" + ready.mid(5) + "/door";

        user->setProperty("type-user", "0");
        user->setProperty("velk-video-enable", "true");
        user->setProperty("velk-video-path", url);
        user->applyVideo();
        QTRY_COMPARE_WITH_TIMEOUT(user->videoCodec(), uchar(96), 20000);
        QVERIFY(user->videoCodecInfo().startsWith("H264/90000"));

        // The door's leg learns where the camera streams from; the phone's leg takes video.
        Conversation call;
        ConversationCaller *door = call.addVelk("door-leg", "door");
        connect(user.get(), &SipUser::setVelkVideo, door, &ConversationCaller::setVelkVideo,
                Qt::QueuedConnection);
        RtpPeer phoneAudio, phoneVideo;
        const QHostAddress lo(QHostAddress::LocalHost);
        emit call.conv->appendCaller(600, "phone", SipMessage("phone-leg"), 8, lo,
                                     phoneAudio.port(), lo, 0, SipSdpAction::SendRecv, 97, lo,
                                     phoneVideo.port(), lo, 0, SipSdpAction::SendRecv);
        user->onPlay(call.conv);
        QTRY_VERIFY_WITH_TIMEOUT(phoneVideo.packets.size() >= 10, 20000);
        QCOMPARE(uchar(phoneVideo.packets.first().data.at(1)) & 0x7f, 97);

        // The call's end ends the stream; the session describes the camera again.
        delete call.conv;
        QTRY_COMPARE_WITH_TIMEOUT(user->videoCodec(), uchar(255), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(user->videoCodec(), uchar(96), 20000);
        user.reset();
        camera.closeWriteChannel();
        QVERIFY(camera.waitForFinished(10000));
        QVERIFY(camera.readAll().contains("REQ TEARDOWN"));
    }
};

QTEST_GUILESS_MAIN(TestSipUserCamera)
#include "tst_sipusercamera.moc"
