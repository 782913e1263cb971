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

// The direction that answers an offered one: each side's sending is the other's receiving.
SipSdpAction::Type answerDirection(SipSdpAction::Type offered);
// An answer to offer on the conversation's audio ports, reached at address.
QByteArray localAnswer(const QString &address, const ConversationThread *conversation,
                       const SipLocalAudio &offer);
// An offer of every enabled codec on the conversation's audio ports, reached at address.
QByteArray localOffer(const QString &address, const ConversationThread *conversation);
// The RTP time-out of a user's legs, "sip-rtp-timeout".
qulonglong rtpTimeoutOf(const SipUser *user);
