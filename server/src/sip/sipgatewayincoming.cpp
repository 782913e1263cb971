// Gateway mode: calls the outside server delivers to the registered accounts: to a door device,
// to its control channel, to a group of paging devices, and re-INVITEs within a call.
#include "sip/sip.h"

#include "conversation/conversationcaller.h"
#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/sipgatewaymedia.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");

VelkDevice *deviceOf(const SipUser *user)
{
    return user ? qobject_cast<VelkDevice *>(user->velkDevice()) : nullptr;
}

bool isIdle(const VelkDevice *device)
{
    return device && (device->state() == VelkDevice::Ready || device->state() == 1);
}

} // namespace

void Sip::onInviteAccountServer(SipServerInviteDialog *dialog, const QString &fromUser,
                                SipUser *user)
{
    if (!toTagOf(dialog->m_Request).isEmpty())
        onReInviteServer(dialog, user);
    else if (user->typeUser() == SipUser::VelkAccount && user->isControl())
        onInviteControlServer(dialog, fromUser, user);
    else if (user->isGroup())
        onInviteGroupServer(dialog, fromUser, user);
    else
        onInviteDeviceUserServer(dialog, fromUser, user);
}

void Sip::onReInviteServer(SipServerInviteDialog *dialog, SipUser *user)
{
    const SipMessage request = dialog->m_Request;
    ConversationThread *conversation = findConversation(request.callId());
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    SipLocalAudio offer;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return;
    }
    SipGatewayVideo video;
    video.parse(request.body, user);
    // Hold and resume are told by the direction alone, not by a 0.0.0.0 address.
    if (offer.direction == SipSdpAction::Inactive || offer.direction == SipSdpAction::SendOnly)
        emit conversation->play_suspend();
    else if (offer.direction == SipSdpAction::SendRecv || offer.direction == SipSdpAction::RecvOnly)
        emit conversation->play_resume();
    dialog->sendResponse(
        SipMessage(SipStatus::OK, request, kSdp,
                   gatewaySdp(user, conversation, answerDirection(offer.direction), offer.payload,
                              offer.telephoneEvent, answerDirection(video.direction))));
    emit conversation->replaceCaller(
        request.callId(), offer.payload, offer.rtpAddress, offer.rtpPort, offer.rtcpAddress,
        offer.rtcpPort, offer.direction, video.payload, video.rtpAddress, video.rtpPort,
        video.rtcpAddress, video.rtcpPort, video.direction);
}

ConversationThread *Sip::incomingConversation(SipServerInviteDialog *dialog, const QString &caller,
                                              SipUser *user, int type, bool control,
                                              SipLocalAudio &offer)
{
    const SipMessage &request = dialog->m_Request;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return nullptr;
    }
    ConversationThread *conversation = createGatewayConversation(
        request.callId(), type, type != 8 && userVideoEnabled(user), control);
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::ServerInternalError);
        return nullptr;
    }
    SipGatewayVideo video;
    if (conversation->video())
        video.parse(request.body, user);
    emit conversation->appendCaller(
        rtpTimeoutOf(user), caller, request, offer.payload, offer.rtpAddress, offer.rtpPort,
        offer.rtcpAddress, offer.rtcpPort, offer.direction, video.payload, video.rtpAddress,
        video.rtpPort, video.rtcpAddress, video.rtcpPort, video.direction);
    return conversation;
}

void Sip::onInviteDeviceUserServer(SipServerInviteDialog *dialog, const QString &caller,
                                   SipUser *user)
{
    VelkDevice *device = user->typeUser() == SipUser::VelkAccount ? deviceOf(user) : nullptr;
    if (!isIdle(device)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    SipLocalAudio offer;
    ConversationThread *conversation = incomingConversation(dialog, caller, user, 5, false, offer);
    if (!conversation)
        return;
    const QString callKey = randomHexId();
    addGatewayDeviceLeg(conversation, user, device, callKey,
                        user->isWiretapping() ? SipSdpAction::SendOnly : SipSdpAction::SendRecv,
                        true);
    device->incomingCall(caller, user->objectName(), dialog->objectName(), callKey,
                         deviceFlags(user));
}

void Sip::onInviteControlServer(SipServerInviteDialog *dialog, const QString &caller, SipUser *user)
{
    VelkDevice *device = deviceOf(user);
    if (!device || !device->isRegistered()) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    SipLocalAudio offer;
    ConversationThread *conversation = incomingConversation(dialog, caller, user, 6, true, offer);
    if (!conversation)
        return;
    const QString callKey = randomHexId();
    addGatewayDeviceLeg(conversation, user, device, callKey, SipSdpAction::Inactive, false);
    answerAtOnce(dialog, conversation, user, offer);
    emit conversation->acceptCaller(callKey);
    emit conversation->resultSipInfo(callKey, user->objectName(), SoundWavParam::None, caller,
                                     SoundWavParam::InfoAccept);
}

void Sip::onInviteGroupServer(SipServerInviteDialog *dialog, const QString &caller, SipUser *group)
{
    QList<SipUser *> members;
    for (const QString &name : group->groupMembers()) {
        SipUser *member = findUser(name);
        if (member && member->isRegistered() && member->isPaging() && member->isVelkUser()
            && isIdle(deviceOf(member)))
            members << member;
    }
    if (members.isEmpty()) {
        sendDialogResponse(dialog, SipStatus::TemporarilyUnavailable);
        return;
    }
    SipLocalAudio offer;
    ConversationThread *conversation = incomingConversation(dialog, caller, group, 8, false, offer);
    if (!conversation)
        return;
    conversation->setMasterSlave(caller, group->objectName());
    answerAtOnce(dialog, conversation, group, offer);
    for (SipUser *member : qAsConst(members)) {
        const QString callKey = randomHexId();
        VelkDevice *device = deviceOf(member);
        addDeviceLeg(conversation, member, device, callKey, SipSdpAction::SendRecv, true);
        device->incomingCallPaging(caller, member->objectName(), dialog->objectName(), callKey,
                                   VelkDevice::Paging);
    }
}

// 180 then 200 with the answer: the SIP leg is connected before any device answers.
void Sip::answerAtOnce(SipServerInviteDialog *dialog, ConversationThread *conversation,
                       SipUser *user, const SipLocalAudio &offer)
{
    const SipMessage request = dialog->m_Request;
    SipGatewayVideo video;
    video.parse(request.body, user);
    sendDialogResponse(dialog, SipStatus::Ringing);
    dialog->sendResponse(
        SipMessage(SipStatus::OK, request, kSdp,
                   gatewaySdp(user, conversation, answerDirection(offer.direction), offer.payload,
                              offer.telephoneEvent, answerDirection(video.direction))));
    emit conversation->updateCaller(dialog->m_Request);
    emit conversation->acceptCaller(request.callId());
}
