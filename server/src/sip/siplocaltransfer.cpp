// The local server's MESSAGE relay between accounts and its call transfers by REFER.
#include "sip/sip.h"

#include "conversation/conversationcaller.h"
#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialog.h"
#include "sip/siplocalmedia.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

bool isControlDevice(const SipUser *user)
{
    return user->isVelkUser() && user->isControl();
}

} // namespace

void Sip::onMoveCallerStandalone(QString conversationName, QString userName, SipMessage invite)
{
    ConversationThread *target = findConversation(conversationName);
    if (!target) {
        onLastByeStandalone(invite, userName, false);
        return;
    }
    SipUser *user = findUser(userName);
    if (!user)
        return;
    if (!isUsableUser(user)) {
        onLastByeStandalone(invite, userName, false);
        return;
    }
    const QString callId = invite.callId();
    if (user->isVelkUser()) {
        user->takeConversation(callId);
        VelkDevice *device = legDevice(callId, user);
        if (!device) {
            emit target->check();
            return;
        }
        addDeviceLeg(target, user, device, callId,
                     user->isWiretapping() ? SipSdpAction::SendOnly : SipSdpAction::SendRecv, true);
        // The door had answered already: its speech goes on at once in the other call.
        emit target->acceptCaller(callId);
        return;
    }
    // The phone is offered the other call's media inside the dialog it already has.
    const KBaseContactAddress<1> from = invite.from();
    const KBaseContactAddress<1> to = invite.to();
    const bool wasCallee = to.address.user == userName || to.address.user == user->m_ContactUser;
    SipUser *other = findUser(wasCallee ? from.address.user : to.address.user);
    if (!other) {
        onLastByeStandalone(invite, userName, false);
        return;
    }
    SipMessage reinvite(other, user, localOffer(user->m_ServerAddress, target));
    reinvite.setHeader(SipHeader::CallID, callId);
    reinvite.setFromTag(wasCallee ? invite.fromTag() : invite.toTag());
    reinvite.setToTag(wasCallee ? invite.toTag() : invite.fromTag());
    SipDialog *client = startClientInvite(user, reinvite, conversationName);
    emit target->appendCaller(rtpTimeoutOf(user), userName, reinvite);
    client->process(reinvite);
}

void Sip::onMessageStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    SipUser *sender = authorizeRequestStandalone(dialog);
    if (!sender)
        return;
    connect(sender, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    const SipMessage &request = dialog->m_Request;
    SipUser *recipient = findUser(request.to().address.user);
    if (!recipient) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    if (!isUsableUser(recipient)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (recipient->isVelkUser()) {
        sendDialogResponse(dialog, SipStatus::NotAcceptable);
        return;
    }
    sendDialogResponse(dialog, SipStatus::OK);
    sendOnUserDialog(
        recipient,
        SipMessage(SipMethod::Message, sender, recipient, request.contentType(), request.body),
        false);
}

void Sip::onReferStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    SipUser *referrer = authorizeRequestStandalone(dialog);
    if (!referrer)
        return;
    connect(referrer, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    const SipMessage refer = dialog->m_Request;
    const QString callId = refer.callId();
    const QString name = referrer->conversationCaller(callId);
    ConversationThread *conversation = refer.toTag().isEmpty() ? nullptr : findConversation(name);
    // The party the referrer talks with now: an earlier transfer may have replaced the one its
    // dialog names, who has left and may be gone. The NOTIFYs still name the dialog's own peer.
    const QString peerName = refer.to().address.user;
    SipUser *peer = findLocalUser(peerName);
    SipUser *transferee = conversation ? partyInCall(conversation, referrer, peerName) : peer;
    if (!peer)
        peer = transferee;
    if (!transferee) {
        sendDialogResponse(dialog, SipStatus::DoesNotExistAnywhere);
        return;
    }
    if (!transferee->canCall() || !isUsableUser(transferee)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (isControlDevice(transferee)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptable);
        return;
    }
    const KBaseContactAddress<1> referTo = refer.referTo();
    SipUser *target = findUser(referTo.address.user);
    if (!target) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    if (!target->canBeCalled() || !isUsableUser(target)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (isControlDevice(target)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptable);
        return;
    }
    if (refer.toTag().isEmpty()) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    auto *targetDevice = qobject_cast<VelkDevice *>(target->velkDevice());
    if (target->isVelkUser() && !targetDevice) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (!conversation) {
        if (!name.isEmpty())
            referrer->takeConversation(callId);
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    // Phones carry Replaces among the URI's headers ("?Replaces=..."); some as parameters.
    const KParamValue &attended = referTo.address.headers.hasParam(QStringLiteral("replaces"))
        ? referTo.address.headers
        : referTo.address.parameters;
    if (attended.hasParam(QStringLiteral("replaces"))) {
        if (!attended.hasParam(QStringLiteral("to-tag"))
            || !attended.hasParam(QStringLiteral("from-tag"))) {
            sendDialogResponse(dialog, SipStatus::BadRequest);
            return;
        }
        const QString replacedCallId = attended.param(QStringLiteral("replaces"));
        const QString replacedName = referrer->conversationCaller(replacedCallId);
        ConversationThread *replaced = findConversation(replacedName);
        // Replacing the call that carries the REFER would leave the transferee alone.
        if (!replaced || replaced == conversation) {
            sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
            return;
        }
        referrer->takeConversation(replacedCallId);
        emit replaced->removeCallerAndBye(replacedCallId, true);
        emit conversation->referCaller(callId, replacedName);
        sendDialogResponse(dialog, SipStatus::Accepted);
        sendReferNotify(peer, referrer, refer, SipStatus::OK);
        return;
    }
    if (targetDevice) {
        if (target->isBusy() && !target->isPriority()) {
            sendDialogResponse(dialog, SipStatus::Accepted);
            sendReferNotify(peer, referrer, refer, SipStatus::Trying);
            sendReferNotify(peer, referrer, refer, SipStatus::BusyHere);
            return;
        }
        // No transaction waits for the door: its answer joins it to the running call.
        ringDoorDevice(transferee, target, conversation, QString(), deviceFlags(target), false);
    } else {
        SipMessage invite(transferee, target, localOffer(target->m_ServerAddress, conversation));
        invite.setHeader(SipHeader::CallID, randomHexId());
        SipDialog *client = startClientInvite(target, invite, name);
        static_cast<SipClientInviteDialog *>(client)->m_Transfer = true;
        emit conversation->appendCaller(rtpTimeoutOf(target), target->objectName(), invite);
        client->process(invite);
    }
    sendDialogResponse(dialog, SipStatus::Accepted);
    sendReferNotify(peer, referrer, refer, SipStatus::Trying);
    sendReferNotify(peer, referrer, refer, SipStatus::OK);
}
