// The local server's routing of new INVITEs: re-INVITEs of a running call, calls to a phone and
// to a door device.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/message/sipcontenttype.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialog.h"
#include "sip/siplocalmedia.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");

} // namespace

void Sip::onInviteNewStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    SipUser *caller = authorizeRequestStandalone(dialog);
    if (!caller)
        return;
    sendDialogResponse(dialog, SipStatus::Trying);
    if (!caller->canCall()) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    // A caller that goes away while its INVITE waits hears its final answer at once.
    connect(
        caller, &SipUser::userUnRegistered, dialog,
        [dialog] {
            if (dialog->state() == SipDialog::Proceeding)
                sendDialogResponse(dialog, SipStatus::RequestTerminated);
            else
                dialog->terminate();
        },
        Qt::QueuedConnection);
    const SipMessage &request = dialog->m_Request;
    // Inside a call the sender's own call decides: whom its dialog named may have left it.
    if (!toTagOf(request).isEmpty()) {
        onReInviteStandalone(dialog, caller);
        return;
    }
    SipUser *callee = findUser(request.to().address.user);
    if (!callee) {
        sendDialogResponse(dialog, SipStatus::DoesNotExistAnywhere);
        return;
    }
    if (!callee->canBeCalled() || !isUsableUser(callee)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (callee->isVelkUser() && callee->isControl())
        onInviteControlStandalone(dialog, caller, callee);
    else if (callee->isGroup())
        onInviteGroupStandalone(dialog, caller, callee);
    else if (callee->isBusy() && !callee->isPriority())
        sendDialogResponse(dialog, SipStatus::BusyHere);
    else
        onInviteUserStandalone(dialog, caller, callee);
}

void Sip::onReInviteStandalone(SipDialog *dialog, SipUser *caller)
{
    const SipMessage &request = dialog->m_Request;
    const QString callId = request.callId();
    const QString name = caller->conversationCaller(callId);
    if (name.isEmpty()) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    ConversationThread *conversation = findConversation(name);
    if (!conversation) {
        caller->takeConversation(callId);
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    SipLocalAudio offer;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return;
    }
    // The door's camera follows the phone: held, it pauses; resumed, it plays again.
    const SipUser *party = partyInCall(conversation, caller, request.to().address.user);
    const SipUser *camera = userVideoEnabledForResponse(party) ? party : nullptr;
    SipCameraVideo video;
    const bool withVideo = conversation->video() && video.parse(request.body, camera);
    if (withVideo) {
        if (video.direction == SipSdpAction::Inactive || video.direction == SipSdpAction::SendOnly)
            emit conversation->play_suspend();
        else if (video.direction == SipSdpAction::SendRecv
                 || video.direction == SipSdpAction::RecvOnly)
            emit conversation->play_resume();
    }
    SipMessage response(SipStatus::OK, request, kSdp,
                        localAnswer(caller->m_ServerAddress, conversation, offer,
                                    withVideo ? camera : nullptr,
                                    answerDirection(video.direction)));
    response.setToTag(toTagOf(request));
    dialog->sendResponse(response);
    emit conversation->replaceCaller(callId, offer.payload, offer.rtpAddress, offer.rtpPort,
                                     offer.rtcpAddress, offer.rtcpPort, offer.direction,
                                     video.payload, video.rtpAddress, video.rtpPort,
                                     video.rtcpAddress, video.rtcpPort, video.direction);
}

void Sip::onInviteUserStandalone(SipDialog *dialog, SipUser *caller, SipUser *callee)
{
    const SipMessage &request = dialog->m_Request;
    const bool device = callee->isVelkUser();
    if (device && !callee->velkDevice()) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    SipLocalAudio offer;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return;
    }
    // The door's camera goes with the call when the phone offers to take its video.
    SipCameraVideo video;
    const bool withVideo = device && video.parse(request.body, callee);
    ConversationThread *conversation
        = createStandaloneConversation(dialog, callee->isPaging() ? 3 : 1, withVideo);
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::ServerInternalError);
        return;
    }
    const QString name = conversation->objectName();
    connect(conversation, &ConversationThread::lastBye, this, &Sip::onLastByeStandalone,
            Qt::QueuedConnection);
    connect(conversation, &ConversationThread::lastCancel, this, &Sip::onLastCancelStandalone,
            Qt::QueuedConnection);
    connect(conversation, &ConversationThread::sendSipInfo, this, &Sip::onSendSipInfoStandalone,
            Qt::QueuedConnection);
    emit conversation->appendCaller(
        rtpTimeoutOf(caller), caller->objectName(), request, offer.payload, offer.rtpAddress,
        offer.rtpPort, offer.rtcpAddress, offer.rtcpPort, offer.direction, video.payload,
        video.rtpAddress, video.rtpPort, video.rtcpAddress, video.rtcpPort, video.direction);
    caller->setConversation(request.callId(), name);
    dialog->m_ConversationName = name;
    rememberLegSource(request.callId(), name, request.senderAddress, request.senderPort);

    if (device) {
        if (!ringDoorDevice(caller, callee, conversation, dialog->objectName(), deviceFlags(callee),
                            withVideo)) {
            caller->takeConversation(request.callId());
            emit conversation->clearCallers();
            emit conversation->check();
            sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        }
        return;
    }
    SipMessage invite(caller, callee, localOffer(callee->m_ServerAddress, conversation));
    invite.setHeader(SipHeader::CallID, randomHexId());
    SipDialog *client = startClientInvite(callee, invite, name);
    client->m_Partner = dialog->objectName();
    dialog->m_Partner = client->objectName();
    emit conversation->appendCaller(rtpTimeoutOf(callee), callee->objectName(), invite);
    client->process(invite);
}

bool Sip::ringDoorDevice(SipUser *caller, SipUser *callee, ConversationThread *conversation,
                         const QString &dialogName, int flags, bool video)
{
    auto *device = qobject_cast<VelkDevice *>(callee->velkDevice());
    if (!device)
        return false;
    const QString legId = randomHexId();
    addDeviceLeg(conversation, callee, device, legId,
                 callee->isWiretapping() ? SipSdpAction::SendOnly : SipSdpAction::SendRecv, true,
                 video);
    device->incomingCall(caller->objectName(), callee->objectName(), dialogName, legId, flags);
    return true;
}
