#include "sip/sipgatewaymedia.h"

#include "conversation/conversationthread.h"
#include "sip/sip.h"
#include "sip/sipuser.h"

QByteArray gatewaySdp(const SipUser *user, const ConversationThread *conversation,
                      SipSdpAction::Type direction, quint16 audioPayload, uchar telephoneEvent,
                      SipSdpAction::Type videoDirection)
{
    return cameraSdp(user->localAddress(), user, conversation, direction, audioPayload,
                     telephoneEvent, videoDirection);
}
