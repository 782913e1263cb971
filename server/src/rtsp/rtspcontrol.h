#pragma once

#include "core/attendedthread.h"

#include <QHostAddress>
#include <QString>

// The camera video session of one SIP account: a module thread whose worker (RtspObject) runs
// the session. Lives in the core thread; its owner drives it by signals.
class RtspControl : public AttendedThread
{
    Q_OBJECT
public:
    explicit RtspControl(const uchar &logRtsp, QObject *parent = nullptr);

    uchar logRtsp;

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
    // Blocks the caller until the session's thread has ended, at most 16 s.
    void stopControl();
};
