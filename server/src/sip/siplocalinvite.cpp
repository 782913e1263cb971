// The local server's routing of new INVITEs: re-INVITEs of a running call, calls to a phone and
// to a door device.
#include "sip/sip.h"

#include "conversation/conversationcaller.h"
#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/message/sipcontenttype.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialog.h"
#include "sip/siplocalmedia.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

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
    connect(caller, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    const SipMessage &request = dialog->m_Request;
    SipUser *callee = findUser(request.to().address.user);
    if (!callee) {
        sendDialogResponse(dialog, SipStatus::DoesNotExistAnywhere);
        return;
    }
    if (!callee->canBeCalled() || !isUsableUser(callee)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (!toTagOf(request).isEmpty())
        onReInviteStandalone(dialog, caller, callee);
    else if (callee->isVelkUser() && callee->isControl())
        onInviteControlStandalone(dialog, caller, callee);
    else if (callee->isGroup())
        onInviteGroupStandalone(dialog, caller, callee);
    else if (callee->isBusy() && !callee->isPriority())
        sendDialogResponse(dialog, SipStatus::BusyHere);
    else
        onInviteUserStandalone(dialog, caller, callee);
}

void Sip::onReInviteStandalone(SipDialog *dialog, SipUser *caller, SipUser *)
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
    SipMessage response(SipStatus::OK, request, kSdp,
                        localAnswer(caller->m_ServerAddress, conversation, offer));
    response.setToTag(toTagOf(request));
    dialog->sendResponse(response);
    emit conversation->replaceCaller(callId, offer.payload, offer.rtpAddress, offer.rtpPort,
                                     offer.rtcpAddress, offer.rtcpPort, offer.direction);
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
    ConversationThread *conversation
        = createStandaloneConversation(dialog, callee->isPaging() ? 3 : 1, false);
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
    emit conversation->appendCaller(rtpTimeoutOf(caller), caller->objectName(), request,
                                    offer.payload, offer.rtpAddress, offer.rtpPort,
                                    offer.rtcpAddress, offer.rtcpPort, offer.direction);
    caller->setConversation(request.callId(), name);
    dialog->m_ConversationName = name;
    rememberLegSource(request.callId(), name, request.senderAddress, request.senderPort);

    if (device) {
        int flags = callee->isAutoAnswer() ? 1 : 0;
        flags |= callee->isWiretapping() ? 2 : 0;
        flags |= callee->isPaging() ? 8 : 0;
        if (!ringDoorDevice(caller, callee, conversation, dialog->objectName(), flags, false)) {
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
                         const QString &dialogName, int flags, bool)
{
    // The one seam to the door devices' call operations: a device that offers none is not rung.
    QObject *device = callee->velkDevice();
    if (!device
        || device->metaObject()->indexOfMethod(
               "incomingCall(QString,QString,QString,QString,int,QString,QString)")
            < 0)
        return false;
    const QString legId = randomHexId();
    auto *leg = new ConversationCaller();
    leg->initVelk(rtpTimeoutOf(callee), callee->objectName(), legId,
                  callee->isWiretapping() ? SipSdpAction::SendOnly : SipSdpAction::SendRecv, 255,
                  QHostAddress(QHostAddress::AnyIPv4), 0, QHostAddress(QHostAddress::AnyIPv4), 0,
                  SipSdpAction::Unknown);
    connect(leg, SIGNAL(toDevice(qulonglong, QByteArray)), device,
            SIGNAL(toDevice(qulonglong, QByteArray)), Qt::QueuedConnection);
    connect(device, SIGNAL(fromDevice(qulonglong, QByteArray)), leg,
            SLOT(appendAudio(qulonglong, QByteArray)), Qt::QueuedConnection);
    callee->setConversation(legId, conversation->objectName());
    conversation->addCallerObject(legId, leg);
    QMetaObject::invokeMethod(device, "incomingCall", Q_ARG(QString, caller->objectName()),
                              Q_ARG(QString, callee->objectName()), Q_ARG(QString, dialogName),
                              Q_ARG(QString, legId), Q_ARG(int, flags), Q_ARG(QString, QString()),
                              Q_ARG(QString, QString()));
    return true;
}
