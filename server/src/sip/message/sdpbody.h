#pragma once

#include "sip/message/sipsdpaction.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The SDP bodies of calls: one IPv4 connection address, one audio stream (RTP/AVP with its
// RTCP port and telephone events) and an optional video stream relayed from the door camera.

// audioPayload 65535 writes an offer of every enabled codec, anything else an answer with
// that payload; telephoneEvent 255 leaves telephone events out of an answer. The video
// section is written only when video is set and videoPayload is not 255.
QByteArray buildSdp(const QString &address, const quint16 &audioRtpPort, const QString &rtcpAddress,
                    const quint16 &audioRtcpPort, const SipSdpAction::Type &audioDirection,
                    const quint16 &audioPayload, const uchar &telephoneEvent, const bool &video,
                    const uchar &videoPayload, const QString &videoRtpmap, const QString &videoFmtp,
                    const quint16 &videoRtpPort, const quint16 &videoRtcpPort,
                    const SipSdpAction::Type &videoDirection);

// True when the body gives an audio stream with an IPv4 address and an enabled codec; the
// outputs hold what was found either way (payload and telephone event 255 when none).
bool parseSdpAudio(const QByteArray &body, uchar &payload, QHostAddress &rtpAddress,
                   quint16 &rtpPort, QHostAddress &rtcpAddress, quint16 &rtcpPort,
                   SipSdpAction::Type &direction, uchar &telephoneEvent);

// True when the body gives a video stream with an address whose rtpmap text equals rtpmap
// (ignoring case) followed by its fmtp line.
bool parseSdpVideo(const QByteArray &body, const QString &rtpmap, QString &fmtp, uchar &payload,
                   QHostAddress &rtpAddress, quint16 &rtpPort, QHostAddress &rtcpAddress,
                   quint16 &rtcpPort, SipSdpAction::Type &direction);
