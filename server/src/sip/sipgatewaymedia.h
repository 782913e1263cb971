#pragma once

#include "sip/siplocalmedia.h"

class ConversationThread;
class SipUser;

// The camera's video of a gateway call as an SDP body gives it.
using SipGatewayVideo = SipCameraVideo;

// An offer (audio payload 65535) or an answer of a gateway call on the conversation's ports at
// the account's advertised address, with the camera's video when the call carries it.
QByteArray gatewaySdp(const SipUser *user, const ConversationThread *conversation,
                      SipSdpAction::Type direction, quint16 audioPayload, uchar telephoneEvent,
                      SipSdpAction::Type videoDirection);
