#pragma once

#include "sip/siplocalmedia.h"

class ConversationThread;
class SipUser;

// The camera's video of a gateway call as an SDP body gives it.
struct SipGatewayVideo
{
    uchar payload = 255;
    QHostAddress rtpAddress { QHostAddress::AnyIPv4 };
    quint16 rtpPort = 0;
    QHostAddress rtcpAddress { QHostAddress::AnyIPv4 };
    quint16 rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Unknown;

    // Read against the camera of the account; false (and nothing read) without one.
    bool parse(const QByteArray &body, const SipUser *user);
};

// An offer (audio payload 65535) or an answer of a gateway call on the conversation's ports at
// the account's advertised address, with the camera's video when the call carries it.
QByteArray gatewaySdp(const SipUser *user, const ConversationThread *conversation,
                      SipSdpAction::Type direction, quint16 audioPayload, uchar telephoneEvent,
                      SipSdpAction::Type videoDirection);
