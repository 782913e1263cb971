#pragma once

#include "sip/message/sdpbody.h"

#include <QHostAddress>

class ConversationThread;
class SipUser;

// The audio of one SDP body as the local server reads it.
struct SipLocalAudio
{
    uchar payload = 255;
    QHostAddress rtpAddress;
    quint16 rtpPort = 0;
    QHostAddress rtcpAddress;
    quint16 rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Unknown;
    uchar telephoneEvent = 255;

    bool parse(const QByteArray &body);
};

// The door camera's video of a call as an SDP body gives it, read against an account's camera:
// the defaults (payload 255, no address) when the account has no camera or the body no such
// video.
struct SipCameraVideo
{
    uchar payload = 255;
    QHostAddress rtpAddress { QHostAddress::AnyIPv4 };
    quint16 rtpPort = 0;
    QHostAddress rtcpAddress { QHostAddress::AnyIPv4 };
    quint16 rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Unknown;

    bool parse(const QByteArray &body, const SipUser *camera);
};

// The direction that answers an offered one: each side's sending is the other's receiving.
SipSdpAction::Type answerDirection(SipSdpAction::Type offered);
// An offer (audio payload 65535) or an answer on the conversation's ports reached at address,
// with the camera's video when the conversation carries video and camera describes one.
QByteArray cameraSdp(const QString &address, const SipUser *camera,
                     const ConversationThread *conversation, SipSdpAction::Type direction,
                     quint16 audioPayload, uchar telephoneEvent, SipSdpAction::Type videoDirection);
// An answer to offer on the conversation's ports, reached at address.
QByteArray localAnswer(const QString &address, const ConversationThread *conversation,
                       const SipLocalAudio &offer, const SipUser *camera = nullptr,
                       SipSdpAction::Type videoDirection = SipSdpAction::Inactive);
// An offer of every enabled codec on the conversation's ports, reached at address; the
// camera's video, when there is one, is offered to be received only.
QByteArray localOffer(const QString &address, const ConversationThread *conversation,
                      const SipUser *camera = nullptr);
// The RTP time-out of a user's legs, "sip-rtp-timeout".
qulonglong rtpTimeoutOf(const SipUser *user);
