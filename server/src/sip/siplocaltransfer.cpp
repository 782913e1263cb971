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
    SipUser *transferee = findLocalUser(refer.to().address.user);
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
    const QString callId = refer.callId();
    const QString name = referrer->conversationCaller(callId);
    ConversationThread *conversation = findConversation(name);
    if (!conversation) {
        if (!name.isEmpty())
            referrer->takeConversation(callId);
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    const KParamValue &parameters = referTo.address.parameters;
    if (parameters.hasParam(QStringLiteral("replaces"))) {
        // An attended transfer hands the transferee over to the referrer's other call; the
        // conversations cannot move a leg between them yet.
        if (!parameters.hasParam(QStringLiteral("to-tag"))
            || !parameters.hasParam(QStringLiteral("from-tag")))
            sendDialogResponse(dialog, SipStatus::BadRequest);
        else
            sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (targetDevice) {
        if (target->isBusy() && !target->isPriority()) {
            sendDialogResponse(dialog, SipStatus::Accepted);
            sendReferNotify(transferee, referrer, refer, SipStatus::Trying);
            sendReferNotify(transferee, referrer, refer, SipStatus::BusyHere);
            return;
        }
        const QString legId = randomHexId();
        addDeviceLeg(conversation, target, targetDevice, legId, SipSdpAction::SendRecv, true);
        targetDevice->incomingCall(transferee->objectName(), target->objectName(), name, legId,
                                   deviceFlags(target));
    } else {
        SipMessage invite(transferee, target, localOffer(target->m_ServerAddress, conversation));
        invite.setHeader(SipHeader::CallID, randomHexId());
        SipDialog *client = startClientInvite(target, invite, name);
        emit conversation->appendCaller(rtpTimeoutOf(target), target->objectName(), invite);
        client->process(invite);
    }
    sendDialogResponse(dialog, SipStatus::Accepted);
    sendReferNotify(transferee, referrer, refer, SipStatus::Trying);
    sendReferNotify(transferee, referrer, refer, SipStatus::OK);
}
