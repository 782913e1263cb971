#pragma once

#include "core/attendedthread.h"

#include <QHostAddress>
#include <QString>

// The door camera's session of one SipUser. The user reaches it only through these signals
// and slots, wired by their signatures (SipUser::connectVideoControl):
//   slots   startControl(QString path, QString login, QString password), stopControl()
//           (stopControl returns once the session's thread has ended)
//   signals play(ushort rtp_port, ushort rtcp_port), play_suspend(), play_resume(),
//           teardown() toward the session;
//           setMediaParam(uchar codec, QString info, QString fmtp) and
//           setVelkVideo(QHostAddress rtp, ushort rtp_port, QHostAddress rtcp, ushort rtcp_port)
//           from it.
AttendedThread *createVideoControl(const uchar &logRtsp, QObject *parent);

// A session that never reaches a camera: it takes every request and reports nothing, so a
// user without a camera client keeps codec 255 (no video).
class IdleVideoControl : public AttendedThread
{
    Q_OBJECT
public:
    explicit IdleVideoControl(QObject *parent = nullptr);

signals:
    void play(ushort rtp_port, ushort rtcp_port);
    void play_suspend();
    void play_resume();
    void teardown();
    void setMediaParam(uchar codec = 255, QString codec_info = QString(),
                       QString codec_fmtp = QString());
    void setVelkVideo(QHostAddress video_rtp_addr, ushort video_rtp_port,
                      QHostAddress video_rtcp_addr, ushort video_rtcp_port);

public slots:
    void startControl(QString video_path, QString video_login, QString video_password);
    void stopControl();
};
