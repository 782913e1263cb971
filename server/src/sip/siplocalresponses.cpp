// The local server's handling of the responses to the INVITEs it forwards: progress and answers
// relayed to the calling phone, the call completed, 302 redirects followed inside the system,
// timeouts cancelled and unreachable phones unregistered.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/siplocalmedia.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");
// Redirects one call may follow before a further 302 ends it.
const int kMaxRedirects = 4;

} // namespace

void Sip::onReceiveResponseInvite(SipMessage response)
{
    receiveInviteResponse(response, false);
}

void Sip::onReceiveResponseInviteMulti(SipMessage response)
{
    receiveInviteResponse(response, true);
}

void Sip::receiveInviteResponse(const SipMessage &response, bool multi)
{
    const SipStatus::Type status = response.startLine.status;
    if (status == SipStatus::Unknown || !m_Dialogs)
        return;
    auto *client = m_Dialogs->find<SipClientInviteDialog>(response.transactionKey());
    if (!client)
        return;
    if (statusClass(status) != 1 && !response.synthetic)
        client->sendAck();
    const SipMessage invite = client->m_Request;
    ConversationThread *conversation = findConversation(client->m_ConversationName);
    SipUser *caller = findLocalUser(response.from().address.user);
    SipUser *callee = findLocalUser(response.to().address.user);

    if (!isUsableUser(caller) || !conversation) {
        // The call is gone: the phone that answers late is released.
        if (isUsableUser(callee)) {
            if (statusClass(status) == 1)
                sendCancelToBranch(callee, client->sentRequest());
            else if (status == SipStatus::OK)
                // Also when a CANCEL is still under way: a phone that answered as it crossed
                // would otherwise stay in a call nobody ends.
                sendOnUserDialog(callee, SipMessage(invite, static_cast<SipUser *>(nullptr)), true);
        }
        return;
    }
    // A device's own call marks its leg; a transferred door device calls like any account.
    if (caller->isVelkUser() && !client->m_Partner.isEmpty()) {
        onDeviceCallResponse(client, response, conversation, caller, callee, multi);
        return;
    }
    const QString name = conversation->objectName();
    auto *server = m_Dialogs->find<SipServerInviteDialog>(client->m_Partner);
    SipStatus::Type report = status;
    if (status == SipStatus::OK) {
        SipLocalAudio answer;
        if (!isUsableUser(callee)) {
            emit conversation->removeCaller(invite.callId(), false);
            if (callee)
                callee->takeConversation(invite.callId());
            report = SipStatus::ServiceUnavailable;
        } else if (!answer.parse(response.body)) {
            sendByeToBranch(callee, invite);
            report = SipStatus::NotAcceptableHere;
            // Nothing tells a transfer's target to go but this: left in, it keeps the call
            // from ever pairing the transferee with anyone.
            if (client->m_Transfer) {
                emit conversation->removeCaller(invite.callId(), false);
                callee->takeConversation(invite.callId());
            }
        } else {
            emit conversation->acceptCaller(name);
            emit conversation->appendCaller(rtpTimeoutOf(callee), callee->objectName(), invite,
                                            answer.payload, answer.rtpAddress, answer.rtpPort,
                                            answer.rtcpAddress, answer.rtcpPort, answer.direction);
            emit conversation->acceptCaller(invite.callId());
        }
    } else if (statusClass(status) != 1) {
        emit conversation->removeCaller(invite.callId(), false);
        if (callee)
            callee->takeConversation(invite.callId());
        if (status == SipStatus::MovedTemporarily) {
            report = SipStatus::Decline;
            if (server && redirectStandalone(client, server, response, caller, callee, false))
                report = SipStatus::Ringing;
        } else if (!client->m_Transfer) {
            emit conversation->removeCaller(name, true);
            caller->takeConversation(name);
        }
    }
    if (server)
        relayToCaller(server, conversation, report);
    emit conversation->check();
}

void Sip::relayToCaller(SipDialog *server, ConversationThread *conversation, SipStatus::Type status)
{
    const SipMessage &request = server->m_Request;
    SipUser *caller = findLocalUser(request.from().address.user);
    if (status == SipStatus::OK) {
        SipLocalAudio offer;
        offer.parse(request.body);
        emit conversation->updateCaller(request);
        emit conversation->acceptCaller(request.callId());
        const QString address = caller ? caller->m_ServerAddress : request.receiverAddress;
        server->sendResponse(
            SipMessage(SipStatus::OK, request, kSdp, localAnswer(address, conversation, offer)));
    } else if (statusClass(status) != 1) {
        emit conversation->removeCaller(request.callId(), true);
        if (caller)
            caller->takeConversation(request.callId());
        sendDialogResponse(server, status);
    } else if (status != SipStatus::Trying) {
        sendDialogResponse(server, status);
    }
}

bool Sip::redirectStandalone(SipDialog *client, SipDialog *server, const SipMessage &response,
                             SipUser *caller, SipUser *callee, bool multi)
{
    const QString name = client->m_ConversationName;
    const QString calleeName = callee ? callee->objectName() : response.to().address.user;
    // A 302 may list several targets, on lines of their own or on one: the first is followed.
    const QList<KBaseContactAddress<1>> targets = response.contacts();
    const QString targetName
        = userOrDefault(targets.isEmpty() ? KBaseUri<1>() : targets.first().address, calleeName);
    // Never back to the phone that redirected, and only so many hops per call.
    int &redirects = m_Redirects[name];
    if (targetName == calleeName || redirects >= kMaxRedirects)
        return false;
    SipUser *target = findUser(targetName);
    ConversationThread *conversation = findConversation(name);
    if (!isUsableUser(target) || !conversation || target == caller)
        return false;
    ++redirects;
    if (target->isVelkUser()) {
        if (target->isBusy() && !target->isPriority())
            return false;
        // A phone's call waits on its transaction; a door's call is answered door to door.
        const int flags = deviceFlags(target) | (server && target->isPriority() ? 4 : 0);
        return ringDoorDevice(caller, target, conversation,
                              server ? server->objectName() : QString(), flags, false);
    }
    if (target->isBusy() || target->isGroup())
        return false;
    // A door's call offers its camera again (caller is the door); a phone has none to offer.
    SipMessage invite(caller, target, localOffer(target->m_ServerAddress, conversation, caller));
    invite.setHeader(SipHeader::CallID, randomHexId());
    const QString callerLeg = client->m_Partner;
    disconnect(client, &SipDialog::receiveResponse, this, nullptr);
    client->m_ConversationName.clear();
    client->m_Partner.clear();
    SipDialog *next = startClientInvite(target, invite, name);
    if (server) {
        next->m_Partner = server->objectName();
        server->m_Partner = next->objectName();
    } else {
        next->m_Partner = callerLeg;
        if (multi)
            wireBranch(next, legDevice(callerLeg, caller));
    }
    emit conversation->appendCaller(rtpTimeoutOf(target), target->objectName(), invite);
    next->process(invite);
    return true;
}

void Sip::onInviteTimeoutCall(SipMessage response)
{
    SipUser *callee = findLocalUser(response.to().address.user);
    if (!isUsableUser(callee) || !m_Dialogs)
        return;
    if (auto *client = m_Dialogs->find<SipClientInviteDialog>(response.transactionKey()))
        sendCancelToBranch(callee, client->sentRequest());
}
