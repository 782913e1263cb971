// The local server's calls from a phone that are answered at once: to a door device's keypad
// control channel, and to a group of door devices that page.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/sipdialog.h"
#include "sip/siplocalmedia.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");
// The control leg carries the phone's keys, not speech: its silence must not end the call.
const qulonglong kControlRtpTimeout = 100000000;

VelkDevice *deviceOf(const SipUser *user)
{
    return user ? qobject_cast<VelkDevice *>(user->velkDevice()) : nullptr;
}

} // namespace

void Sip::onInviteControlStandalone(SipDialog *dialog, SipUser *caller, SipUser *callee)
{
    const SipMessage &request = dialog->m_Request;
    VelkDevice *device = callee->isVelkUser() ? deviceOf(callee) : nullptr;
    if (!device) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    SipLocalAudio offer;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return;
    }
    ConversationThread *conversation = createStandaloneConversation(dialog, 2, false);
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::ServerInternalError);
        return;
    }
    const QString name = conversation->objectName();
    const QString callId = request.callId();
    connect(conversation, &ConversationThread::sendSipInfo, this,
            &Sip::onSendSipInfoStandaloneControl, Qt::QueuedConnection);
    emit conversation->appendCaller(kControlRtpTimeout, caller->objectName(), request,
                                    offer.payload, offer.rtpAddress, offer.rtpPort,
                                    offer.rtcpAddress, offer.rtcpPort, offer.direction);
    caller->setConversation(callId, name);
    dialog->m_ConversationName = name;
    rememberLegSource(callId, name, request.senderAddress, request.senderPort);

    const QString legId = randomHexId();
    addDeviceLeg(conversation, callee, device, legId, SipSdpAction::Inactive, false);
    sendDialogResponse(dialog, SipStatus::Ringing);
    emit conversation->updateCaller(dialog->m_Request);
    emit conversation->acceptCaller(callId);
    emit conversation->acceptCaller(legId);
    dialog->sendResponse(SipMessage(SipStatus::OK, dialog->m_Request, kSdp,
                                    localAnswer(caller->m_ServerAddress, conversation, offer)));
    emit conversation->resultSipInfo(legId, callee->objectName(), SoundWavParam::None,
                                     caller->objectName(), SoundWavParam::InfoAccept);
}

// Keys on the control channel work the device's dial plan whatever call it is in; no INFO goes out.
void Sip::onSendSipInfoStandaloneControl(QString conversationName, SipMessage invite,
                                         QString fromUserName, QString toUserName, uchar event,
                                         uint)
{
    SipUser *user = findUser(toUserName);
    ConversationThread *conversation = findConversation(conversationName);
    if (user && conversation)
        deliverKeyToDevice(conversation, invite.callId(), QStringLiteral("control"), fromUserName,
                           user, event);
}

void Sip::onInviteGroupStandalone(SipDialog *dialog, SipUser *caller, SipUser *group)
{
    QList<SipUser *> members;
    for (const QString &member : group->groupMembers()) {
        SipUser *user = findUser(member);
        const VelkDevice *device = deviceOf(user);
        if (isUsableUser(user) && user->isPaging() && user->isVelkUser() && device
            && (device->state() == VelkDevice::Ready || device->state() == VelkDevice::Waiting))
            members << user;
    }
    if (members.isEmpty()) {
        sendDialogResponse(dialog, SipStatus::TemporarilyUnavailable);
        return;
    }
    const SipMessage &request = dialog->m_Request;
    SipLocalAudio offer;
    if (!offer.parse(request.body)) {
        sendDialogResponse(dialog, SipStatus::NotAcceptableHere);
        return;
    }
    ConversationThread *conversation = createStandaloneConversation(dialog, 4, false);
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::ServerInternalError);
        return;
    }
    const QString name = conversation->objectName();
    const QString callId = request.callId();
    connect(conversation, &ConversationThread::lastBye, this, &Sip::onLastByeStandalone,
            Qt::QueuedConnection);
    emit conversation->appendCaller(rtpTimeoutOf(caller), caller->objectName(), request,
                                    offer.payload, offer.rtpAddress, offer.rtpPort,
                                    offer.rtcpAddress, offer.rtcpPort, offer.direction);
    conversation->setMasterSlave(caller->objectName(), group->objectName());
    caller->setConversation(callId, name);
    dialog->m_ConversationName = name;
    rememberLegSource(callId, name, request.senderAddress, request.senderPort);

    sendDialogResponse(dialog, SipStatus::Ringing);
    emit conversation->updateCaller(dialog->m_Request);
    emit conversation->acceptCaller(callId);
    for (SipUser *member : qAsConst(members)) {
        const QString legId = randomHexId();
        VelkDevice *device = deviceOf(member);
        addDeviceLeg(conversation, member, device, legId, SipSdpAction::SendRecv, true);
        device->incomingCallPaging(caller->objectName(), member->objectName(), dialog->objectName(),
                                   legId, VelkDevice::Paging);
    }
    sendDialogResponseWithBody(dialog, SipStatus::OK, kSdp,
                               localAnswer(caller->m_ServerAddress, conversation, offer));
}
