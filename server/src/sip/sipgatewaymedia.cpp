#include "sip/sipgatewaymedia.h"

#include "conversation/conversationthread.h"
#include "sip/sip.h"
#include "sip/sipuser.h"

bool SipGatewayVideo::parse(const QByteArray &body, const SipUser *user)
{
    if (!userVideoEnabledForResponse(user))
        return false;
    QString fmtp = user->videoCodecFmtp();
    return parseSdpVideo(body, user->videoCodecInfo(), fmtp, payload, rtpAddress, rtpPort,
                         rtcpAddress, rtcpPort, direction);
}

QByteArray gatewaySdp(const SipUser *user, const ConversationThread *conversation,
                      SipSdpAction::Type direction, quint16 audioPayload, uchar telephoneEvent,
                      SipSdpAction::Type videoDirection)
{
    const QString address = user->localAddress();
    const bool video = conversation->video() && userVideoEnabledForResponse(user);
    return buildSdp(address, conversation->audioRtpPort(), address, conversation->audioRtcpPort(),
                    direction, audioPayload, telephoneEvent, video, user->videoCodec(),
                    user->videoCodecInfo(), user->videoCodecFmtp(), conversation->videoRtpPort(),
                    conversation->videoRtcpPort(), videoDirection);
}
