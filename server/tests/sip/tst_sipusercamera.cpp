// A door account's camera video reaching a call: GStreamer's RTSP server as the camera, the
// user's camera session, and a conversation that relays the camera's RTP to a phone.
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

QTEST_GUILESS_MAIN(TestSipUserCamera)
#include "tst_sipusercamera.moc"
