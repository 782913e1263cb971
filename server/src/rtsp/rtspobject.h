#pragma once

#include "core/attendedthreadobject.h"
#include "rtsp/rtspmessage.h"
#include "rtsp/rtspresponsereader.h"

#include <QHostAddress>
#include <QString>
#include <QUrl>
#include <QVector>

#include <functional>

class QEventLoop;
class QTcpSocket;

// The camera session of one SIP account, run in its control's thread: kept connected and
// described while no call wants video, set up and played toward a call's video ports, paused,
// resumed, kept alive and torn down on demand. Waits end at an event of the thread (socket,
// control call, terminate) or at their deadline on the schedule clock.
class RtspObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    explicit RtspObject(const uchar &logRtsp, QObject *parent = nullptr);
    ~RtspObject() override;

    // The URL of a stream's control attribute: absolute ones as given, relative ones joined
    // to the base with exactly one "/"; "*" or nothing stands for the base itself.
    static QString controlUrl(const QString &base, const QString &control);

    // Pause before the next cycle after this many failed cycles in a row: quick at first,
    // doubling up to a few seconds.
    static qint64 retryDelay(int failures);

    quint64 nonceCount = 1;
    uchar logRtsp;
    QString login;
    QString password;
    QUrl cameraUrl;

signals:
    void setMediaParam(uchar codec = 255, QString codec_info = QString(),
                       QString codec_fmtp = QString());
    void setVelkVideo(QHostAddress video_rtp_addr, ushort video_rtp_port,
                      QHostAddress video_rtcp_addr, ushort video_rtcp_port);

public slots:
    void run() override;
    void queryTerminate() override;
    void play(ushort rtp_port, ushort rtcp_port);
    void play_suspend();
    void play_resume();
    void teardown();

private:
    enum class CycleEnd { Orderly, Failed };

    bool waitFor(const std::function<bool()> &ready, qint64 deadline = -1);
    void wake();
    QHostAddress lookupHost(const QString &host);
    CycleEnd runCycle(const QHostAddress &address);
    CycleEnd runUse(QTcpSocket *socket);
    bool holdWithKeepAlive(QTcpSocket *socket, const std::function<bool()> &leave);
    // False when the camera failed the keep-alive; true when it answered or when leave()
    // took over before it did.
    bool keepAlive(QTcpSocket *socket, const std::function<bool()> &leave);

    QString configuredUrl() const;
    // With giveUp, the wait for the answer ends once giveUp() holds: the request stays
    // outstanding and its late answer is passed over by the exchanges that follow.
    RtspMessage exchange(QTcpSocket *socket, RtspMessage request,
                         const std::function<bool()> &giveUp = nullptr);
    RtspMessage readResponse(QTcpSocket *socket, uint expectedCSeq,
                             const std::function<bool()> &giveUp = nullptr);
    bool applyAuthChallenge(RtspMessage &request, const RtspMessage &answer, bool &mayRetry);
    QString authorize(const int &challengeHeader, const RtspMessage &request,
                      const RtspMessage &answer);

    bool requestOptions(QTcpSocket *socket);
    bool requestDescribe(QTcpSocket *socket);
    bool requestSetup(QTcpSocket *socket);
    bool requestPlay(QTcpSocket *socket);
    bool requestPause(QTcpSocket *socket);
    bool requestTeardown(QTcpSocket *socket);

    RtspResponseReader receiveBuffer;
    // The CSeq numbers of this connection's requests whose answers were given up on.
    QVector<uint> m_abandonedCSeqs;
    QString sessionId;
    uint sessionTimeout = 0;
    QString controlAttribute;
    QString contentBase;
    bool playRequested = false;
    bool suspendRequested = false;
    quint16 rtpPort = 0;
    quint16 rtcpPort = 0;

    QEventLoop *m_waitLoop = nullptr;
    int m_failures = 0;
    bool m_keepAliveWithOptions = false;
    bool m_refusalLogged = false;
};
