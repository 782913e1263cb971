#pragma once

#include "core/attendedthread.h"

// The door camera's session of one SipUser. The user reaches it only through its signals
// and slots, wired by their signatures (SipUser::connectVideoControl):
//   slots   startControl(QString path, QString login, QString password), stopControl()
//           (stopControl returns once the session's thread has ended)
//   signals play(ushort rtp_port, ushort rtcp_port), play_suspend(), play_resume(),
//           teardown() toward the session;
//           setMediaParam(uchar codec, QString info, QString fmtp) and
//           setVelkVideo(QHostAddress rtp, ushort rtp_port, QHostAddress rtcp, ushort rtcp_port)
//           from it.
AttendedThread *createVideoControl(const uchar &logRtsp, QObject *parent);
