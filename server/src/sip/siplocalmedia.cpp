#include "sip/siplocalmedia.h"

#include "conversation/conversationthread.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

namespace {

// The payload number offered for telephone events.
const uchar kTelephoneEvent = 101;

} // namespace

bool SipLocalAudio::parse(const QByteArray &body)
{
    return parseSdpAudio(body, payload, rtpAddress, rtpPort, rtcpAddress, rtcpPort, direction,
                         telephoneEvent);
}

bool SipCameraVideo::parse(const QByteArray &body, const SipUser *camera)
{
    QString fmtp;
    if (camera && userVideoEnabledForResponse(camera)
        && parseSdpVideo(body, camera->videoCodecInfo(), fmtp, payload, rtpAddress, rtpPort,
                         rtcpAddress, rtcpPort, direction))
        return true;
    *this = SipCameraVideo();
    return false;
}

SipSdpAction::Type answerDirection(SipSdpAction::Type offered)
{
    switch (offered) {
    case SipSdpAction::SendOnly:
        return SipSdpAction::RecvOnly;
    case SipSdpAction::RecvOnly:
        return SipSdpAction::SendOnly;
    case SipSdpAction::Unknown:
        return SipSdpAction::SendRecv;
    default:
        return offered;
    }
}

QByteArray cameraSdp(const QString &address, const SipUser *camera,
                     const ConversationThread *conversation, SipSdpAction::Type direction,
                     quint16 audioPayload, uchar telephoneEvent, SipSdpAction::Type videoDirection)
{
    const bool video = camera && conversation->video() && userVideoEnabledForResponse(camera);
    return buildSdp(
        address, conversation->audioRtpPort(), address, conversation->audioRtcpPort(), direction,
        audioPayload, telephoneEvent, video, video ? camera->videoCodec() : uchar(255),
        video ? camera->videoCodecInfo() : QString(), video ? camera->videoCodecFmtp() : QString(),
        conversation->videoRtpPort(), conversation->videoRtcpPort(), videoDirection);
}

QByteArray localAnswer(const QString &address, const ConversationThread *conversation,
                       const SipLocalAudio &offer, const SipUser *camera,
                       SipSdpAction::Type videoDirection)
{
    return cameraSdp(address, camera, conversation, answerDirection(offer.direction), offer.payload,
                     offer.telephoneEvent, videoDirection);
}

QByteArray localOffer(const QString &address, const ConversationThread *conversation,
                      const SipUser *camera)
{
    return cameraSdp(address, camera, conversation, SipSdpAction::SendRecv, 65535, kTelephoneEvent,
                     SipSdpAction::SendOnly);
}

qulonglong rtpTimeoutOf(const SipUser *user)
{
    return userSettingNumber(user, SipUserSetting::SipRtpTimeout);
}
