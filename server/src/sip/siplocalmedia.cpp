#include "sip/siplocalmedia.h"

#include "conversation/conversationthread.h"
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

QByteArray localAnswer(const QString &address, const ConversationThread *conversation,
                       const SipLocalAudio &offer)
{
    return buildSdp(address, conversation->audioRtpPort(), address, conversation->audioRtcpPort(),
                    answerDirection(offer.direction), offer.payload, offer.telephoneEvent, false,
                    255, QString(), QString(), 0, 0, SipSdpAction::Inactive);
}

QByteArray localOffer(const QString &address, const ConversationThread *conversation)
{
    return buildSdp(address, conversation->audioRtpPort(), address, conversation->audioRtcpPort(),
                    SipSdpAction::SendRecv, 65535, kTelephoneEvent, false, 255, QString(),
                    QString(), 0, 0, SipSdpAction::Inactive);
}

qulonglong rtpTimeoutOf(const SipUser *user)
{
    return userSettingNumber(user, SipUserSetting::SipRtpTimeout);
}
