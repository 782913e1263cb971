// Gateway mode: calls of door devices through the outside server, the answers to them, the
// devices' answers to calls from the server, the ends of the legs and the keys of both sides.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipgatewaymedia.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");

// A door device's leg carries a message that only names its call; a SIP leg its INVITE.
bool isSipLeg(const SipMessage &invite)
{
    return invite.cseqMethod() != SipMethod::Unknown;
}

} // namespace

uchar gatewayDtmfKey(uchar event)
{
    // Keys of a door device carry bit 7 (their way out); keys from the SIP side come as INFO
    // or RFC 2833 characters. Both readers of a key take a number or its character.
    return uchar(event & 0x7F);
}

ConversationThread *Sip::createGatewayConversation(const QString &name, int type, bool video,
                                                   bool control)
{
    ConversationThread *conversation = createNamedConversation(name, type, video);
    if (!conversation)
        return nullptr;
    connect(conversation, &ConversationThread::lastBye, this, &Sip::onLastByeServer,
            Qt::QueuedConnection);
    connect(conversation, &ConversationThread::lastCancel, this, &Sip::onLastCancelServer,
            Qt::QueuedConnection);
    // A page carries the caller's voice alone: keys never reach the paged doors.
    if (type != 8)
        connect(conversation, &ConversationThread::sendSipInfo, this,
                control ? &Sip::onSendSipInfoGatewayControl : &Sip::onSendSipInfoServer,
                Qt::QueuedConnection);
    return conversation;
}

SipClientInviteDialog *Sip::startGatewayInvite(const SipMessage &invite,
                                               const QString &conversation, const QString &callKey)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    auto *dialog = new SipClientInviteDialog(this, invite);
    m_Dialogs->add(dialog);
    dialog->m_ConversationName = conversation;
    dialog->m_Partner = callKey;
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseInviteServer,
            Qt::DirectConnection);
    // The account's unregistration does not end it: the call's end cancels it, and the phone's
    // final answer, a 200 that crossed the CANCEL among them, still finds it to be acknowledged.
    return dialog;
}

void Sip::sendGatewayRequest(SipUser *user, const SipMessage &inCall, bool watch)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    // Built from its call's INVITE, which names the connection the call began on.
    SipMessage request = inCall;
    addressToServer(request);
    auto *dialog = new SipClientNonInviteDialog(this, request);
    m_Dialogs->add(dialog);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    if (watch)
        connect(dialog, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseNonInviteServer,
                Qt::DirectConnection);
    else if (user)
        connect(user, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
                Qt::QueuedConnection);
    dialog->process(request);
}

// Only a transaction's own time-out says the server is gone; a 408 that the server relays
// for a callee that never answered says nothing about the registration. A request lost within
// a dialog ends that dialog alone: the account's other calls do not pass through the
// registration and go on.
void Sip::lostServer(SipUser *user, const SipMessage &response)
{
    if (!user || !response.synthetic || !user->isRegistered())
        return;
    logLine(LogParams::Sip,
            QStringLiteral("User '%1' lost the server, registering again").arg(user->objectName()));
    user->loseRegistration();
    registerOnServer(user->objectName(), true);
}

// A door device's leg of a gateway call; with video it learns where the camera sends from.
void Sip::addGatewayDeviceLeg(ConversationThread *conversation, SipUser *user, VelkDevice *device,
                              const QString &callKey, int direction, bool audioBack)
{
    addDeviceLeg(conversation, user, device, callKey, direction, audioBack, conversation->video());
}

int Sip::callServer(VelkDevice *device, const QString &name, const QString &target,
                    const QString &callKey)
{
    SipUser *user = findUser(name);
    if (!user || !user->isRegistered() || !user->isVelkUser())
        return -2;
    if (!device)
        return -2;
    if (user->isBusy())
        return -1;
    ConversationThread *conversation
        = createGatewayConversation(randomHexId(), 9, userVideoEnabled(user), false);
    if (!conversation)
        return -2;
    addGatewayDeviceLeg(conversation, user, device, callKey, SipSdpAction::SendRecv, true);
    SipMessage invite(
        user, target,
        gatewaySdp(user, conversation, SipSdpAction::SendRecv, 65535, 101, SipSdpAction::SendOnly));
    invite.setHeader(SipHeader::CallID, conversation->objectName());
    SipClientInviteDialog *dialog = startGatewayInvite(invite, conversation->objectName(), callKey);
    emit conversation->appendCaller(rtpTimeoutOf(user), target, invite);
    dialog->process(invite);
    return 0;
}

void Sip::onReceiveResponseInviteServer(SipMessage response)
{
    if (!response.isValid() || response.startLine.kind != 1 || !m_Dialogs)
        return;
    auto *dialog = m_Dialogs->find<SipClientInviteDialog>(response.transactionKey());
    const SipStatus::Type status = response.startLine.status;
    if (dialog && statusClass(status) != 1 && !response.synthetic)
        dialog->sendAck();
    if (!dialog)
        return;
    // A 200 the call does not take (the door gave up before it came, or another branch of a
    // fork answered first) leaves the callee in a call of its own: that dialog is ended.
    if (!takeGatewayResponse(dialog, response) && status == SipStatus::OK)
        endGatewayAnswer(dialog);
}

// Whether the call took the response: false for a 200 it did not join.
bool Sip::takeGatewayResponse(SipClientInviteDialog *dialog, const SipMessage &response)
{
    const SipStatus::Type status = response.startLine.status;
    ConversationThread *conversation = findConversation(response.callId());
    if (!conversation)
        return false;
    // Once a 200 joined the call, the responses of other dialogs (a fork's other branches) are
    // not the call's: they would turn its requests to their callee.
    if (dialog->m_Answered && toTagOf(response) != dialog->m_AnswerTag)
        return false;
    const SipMessage invite = dialog->m_Request;
    const QString callId = invite.callId();
    if (status != SipStatus::Trying)
        emit conversation->updateCaller(invite);
    SipUser *user = findUser(invite.from().address.user);
    const auto dropSipLeg = [&](bool normal) {
        emit conversation->removeCaller(callId, normal);
        emit conversation->check();
    };
    if (!user) {
        // The account was deleted: a leg still ringing is handed back to be cancelled, as the
        // call's own end would have done, whichever of the two comes first.
        if (statusClass(status) == 1)
            emit conversation->removeCallerAndBye(callId, false);
        else
            emit conversation->removeCaller(callId, false);
        emit conversation->check();
        return false;
    }
    VelkDevice *device = legDevice(dialog->m_Partner, user);
    if (!device)
        return false;
    if (status == SipStatus::Unauthorized || status == SipStatus::ProxyAuthenticationRequired) {
        if (!retryInviteWithCredentials(dialog, user, response))
            dropSipLeg(true);
        return true;
    }
    if (status == SipStatus::Trying)
        return true;
    if (!device->outgoingCallAnswered(dialog->m_Partner, status, callId, dialog->m_Partner)) {
        dropSipLeg(true);
        return false;
    }
    if (status == SipStatus::SessionProgress || status == SipStatus::OK) {
        SipLocalAudio answer;
        if (!answer.parse(response.body)) {
            // A 183 without media only says the callee is being reached.
            if (status == SipStatus::SessionProgress)
                return true;
            dropSipLeg(true);
            return false;
        }
        SipGatewayVideo video;
        if (video.parse(response.body, user))
            user->onPlay(conversation);
        emit conversation->appendCaller(
            rtpTimeoutOf(user), userOrDefault(response.to().address, user->objectName()), invite,
            answer.payload, answer.rtpAddress, answer.rtpPort, answer.rtcpAddress, answer.rtcpPort,
            answer.direction, video.payload, video.rtpAddress, video.rtpPort, video.rtcpAddress,
            video.rtcpPort, video.direction);
        emit conversation->acceptCaller(dialog->m_Partner);
        // Early media reaches the door, but only the 200 answers: the call's time starts there,
        // and one that never gets it is recorded unanswered.
        if (status == SipStatus::OK) {
            emit conversation->acceptCaller(callId);
            dialog->m_Answered = true;
            dialog->m_AnswerTag = toTagOf(response);
        }
        return true;
    }
    if (statusClass(status) == 1)
        return true;
    if (status == SipStatus::RequestTimeout)
        lostServer(user, response);
    dropSipLeg(true);
    return true;
}

// The BYE for the 200 just acknowledged, on the dialog that answer set up: the transaction's
// INVITE holds its headers now (remote target, route set, To tag).
void Sip::endGatewayAnswer(SipClientInviteDialog *dialog)
{
    const SipMessage &invite = dialog->m_Request;
    SipUser *account = findUser(invite.from().address.user);
    sendGatewayRequest(account, SipMessage(invite, invite.to().address.user, account), true);
}

// The request as a new transaction of its own (new CSeq, branch, no To tag) with the answer to
// the response's challenge; false when the challenge gives none.
bool Sip::addCredentials(SipMessage &request, SipMethod::Type method, const SipMessage &response,
                         const QString &login, const QString &password)
{
    const bool proxy = response.startLine.status == SipStatus::ProxyAuthenticationRequired;
    renewRequest(request, method);
    const QString credentials
        = digestAuthorization(proxy ? SipHeader::ProxyAuthenticate : SipHeader::WWWAuthenticate,
                              request, response, login, password);
    if (credentials.isEmpty())
        return false;
    if (proxy)
        request.setProxyAuthorization(credentials);
    else
        request.setAuthorization(credentials);
    return true;
}

void Sip::renewRequest(SipMessage &request, SipMethod::Type method)
{
    request.setToTag(QString());
    request.setCSeq(SipMessage::SequenceID++, method);
    request.dialogHeaders = SipHeaderTable();
    request.setBranch(newBranch());
}

// The INVITE again with the answer to the challenge; false when none may be sent: the
// challenge is unreadable, the INVITE already carried credentials the server refused, or the
// server kept calling their nonce stale.
bool Sip::retryInviteWithCredentials(SipClientInviteDialog *dialog, SipUser *user,
                                     const SipMessage &response)
{
    const bool proxy = response.startLine.status == SipStatus::ProxyAuthenticationRequired;
    if (proxy ? !response.hasProxyAuthenticate() : !response.hasWwwAuthenticate())
        return false;
    // A copy of the challenge (the server answering a retransmission) was answered already.
    if (dialog->state() == SipDialog::Completed || dialog->state() == SipDialog::Terminated)
        return true;
    int stale = dialog->m_StaleAnswers;
    const QString refusal = challengeRefusal(dialog->m_Request, response, proxy, stale);
    if (!refusal.isEmpty()) {
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' call refused: %2").arg(user->objectName(), refusal));
        return false;
    }
    SipMessage invite = dialog->m_Request;
    if (!addCredentials(invite, SipMethod::Invite, response, user->login(), user->password()))
        return false;
    addressToServer(invite);
    SipClientInviteDialog *retry
        = startGatewayInvite(invite, dialog->m_ConversationName, dialog->m_Partner);
    retry->m_StaleAnswers = stale;
    if (ConversationThread *conversation = findConversation(dialog->m_ConversationName))
        emit conversation->updateCaller(invite);
    retry->process(invite);
    return true;
}

int Sip::respondCallServer(const QString &, const QString &name, const QString &dialogName,
                           const QString &callKey, const SipStatus::Type &status)
{
    return answerIncomingServer(name, dialogName, callKey, status);
}

// A paging device joins a group call the caller has been answered for already: its leg is
// accepted, or leaves when the device could not take the call.
int Sip::acceptCallerServer(const QString &, const QString &name, const QString &,
                            const QString &callKey, const SipStatus::Type &status)
{
    SipUser *user = findUser(name);
    if (!user || !user->isRegistered())
        return 0;
    ConversationThread *conversation = findConversation(user->conversationCaller(callKey));
    if (!conversation) {
        user->takeConversation(callKey);
        return 0;
    }
    if (status == SipStatus::OK) {
        emit conversation->acceptCaller(callKey);
    } else if (statusClass(status) > 1) {
        user->takeConversation(callKey);
        emit conversation->removeCaller(callKey, false);
        emit conversation->check();
    }
    return 1;
}

int Sip::answerIncomingServer(const QString &name, const QString &dialogName,
                              const QString &callKey, const SipStatus::Type &status)
{
    SipUser *user = findUser(name);
    if (!user || !user->isRegistered())
        return 0;
    auto *server = dialogName.isEmpty() || !m_Dialogs
        ? nullptr
        : m_Dialogs->find<SipServerInviteDialog>(dialogName);
    ConversationThread *conversation = findConversation(user->conversationCaller(callKey));
    if (!server || !conversation) {
        user->takeConversation(callKey);
        if (server)
            sendDialogResponse(server, SipStatus::ServiceUnavailable);
        if (conversation) {
            emit conversation->removeCaller(callKey, false);
            emit conversation->check();
        }
        return 0;
    }
    const SipMessage request = server->m_Request;
    const QString callId = request.callId();
    SipLocalAudio offer;
    const bool readable = offer.parse(request.body) && offer.payload != 255;
    const bool answering
        = status == SipStatus::Trying || status == SipStatus::Ringing || status == SipStatus::OK;
    if (answering && !readable) {
        sendDialogResponse(server, SipStatus::NotAcceptableHere);
        emit conversation->removeCaller(callId, true);
        emit conversation->check();
        return 0;
    }
    sendDialogResponse(server, SipStatus::Ringing);
    emit conversation->updateCaller(server->m_Request);
    if (status == SipStatus::OK) {
        emit conversation->acceptCaller(callId);
        emit conversation->acceptCaller(callKey);
        SipGatewayVideo video;
        video.parse(request.body, user);
        server->sendResponse(SipMessage(
            SipStatus::OK, request, kSdp,
            gatewaySdp(user, conversation, answerDirection(offer.direction), offer.payload,
                       offer.telephoneEvent, answerDirection(video.direction))));
        emit conversation->updateCaller(server->m_Request);
        if (conversation->video())
            user->onPlay(conversation);
    } else if (statusClass(status) > 1) {
        sendDialogResponse(server, status);
        emit conversation->removeCaller(callId, true);
        emit conversation->check();
    } else if (status != SipStatus::Trying) {
        sendDialogResponse(server, SipStatus::Ringing);
    }
    return 1;
}

void Sip::onLastByeServer(SipMessage invite, QString toUser, bool normal)
{
    if (!isSipLeg(invite)) {
        SipUser *user = findUser(toUser);
        if (user)
            user->takeConversation(invite.callId());
        if (VelkDevice *device = legDevice(invite.callId(), user))
            device->callTerminated(invite.callId(), normal);
        return;
    }
    SipUser *account = findUser(invite.from().address.user == toUser ? invite.to().address.user
                                                                     : invite.from().address.user);
    // A deleted account's call still ends; a time-out of its BYE touches no registration.
    sendGatewayRequest(account, SipMessage(invite, toUser, account), account != nullptr);
}

void Sip::onLastCancelServer(SipMessage invite, QString toUser, bool normal)
{
    if (!isSipLeg(invite)) {
        SipUser *user = findUser(toUser);
        if (!user)
            return;
        user->takeConversation(invite.callId());
        if (VelkDevice *device = legDevice(invite.callId(), user))
            device->callTerminated(invite.callId(), normal);
        return;
    }
    const bool calledUs = invite.to().address.user == toUser;
    // The leg sent the INVITE through the server: it ends with a final answer, the one a refused
    // ring gives. CANCEL is only for INVITEs of ours.
    auto *received
        = m_Dialogs ? m_Dialogs->find<SipServerInviteDialog>(invite.transactionKey()) : nullptr;
    if (received || !calledUs) {
        if (received)
            sendDialogResponse(received, SipStatus::ServiceUnavailable);
        return;
    }
    // A deleted account's INVITE is cancelled all the same, touching no registration; so is one
    // of an account no longer registered while the INVITE still waits for its final answer, or
    // the phone would ring on.
    SipUser *account = findUser(invite.from().address.user);
    auto *pending
        = m_Dialogs ? m_Dialogs->find<SipClientInviteDialog>(invite.transactionKey()) : nullptr;
    if (pending && !pending->isPending())
        pending = nullptr;
    if (account) {
        account->takeConversation(invite.callId());
        if (!account->isRegistered() && normal && !pending)
            return;
    }
    // The CANCEL names the INVITE as it went out, which opened its dialog: without the To tag
    // that a ringing answer gave the stored copy since. A server refuses it otherwise.
    SipMessage cancel = invite.makeCancel();
    cancel.setToTag(QString());
    sendGatewayRequest(account, cancel, account != nullptr);
    if (pending)
        pending->cancelSent();
}

void Sip::onReceiveResponseNonInviteServer(SipMessage msg)
{
    if (!msg.isValid() || msg.startLine.status != SipStatus::RequestTimeout)
        return;
    // The account is whichever side of the dialog is ours.
    SipUser *user = findUser(msg.from().address.user);
    if (!user || user->typeUser() == SipUser::PlainAccount)
        user = findUser(msg.to().address.user);
    lostServer(user, msg);
}

void Sip::onSendSipInfoServer(QString conversationName, SipMessage invite, QString fromUserName,
                              QString toUserName, uchar event, uint duration)
{
    deliverGatewayKey(conversationName, invite, fromUserName, toUserName, event, duration, false);
}

void Sip::onSendSipInfoGatewayControl(QString conversationName, SipMessage invite,
                                      QString fromUserName, QString toUserName, uchar event,
                                      uint duration)
{
    deliverGatewayKey(conversationName, invite, fromUserName, toUserName, event, duration, true);
}

// The key goes to the leg it is meant for, told by the leg itself rather than by the key's
// top bit: a SIP leg (it has an INVITE) hears it as INFO, a door device's leg through its dial
// plan, whichever way the key arrived (device key, INFO, RFC 2833 event).
void Sip::deliverGatewayKey(const QString &conversationName, const SipMessage &invite,
                            const QString &fromUserName, const QString &toUserName, uchar event,
                            uint duration, bool control)
{
    const uchar key = gatewayDtmfKey(event);
    if (isSipLeg(invite)) {
        SipUser *account = findUser(fromUserName);
        if (!account)
            account
                = findUser(invite.from().address.user == toUserName ? invite.to().address.user
                                                                    : invite.from().address.user);
        if (account)
            sendGatewayRequest(account, SipMessage(invite, toUserName, key, duration), false);
        return;
    }
    VelkDevice *device = legDevice(invite.callId(), findUser(toUserName));
    if (!device)
        return;
    const QString callId = invite.callId();
    const VelkDevice::RelayAnswer prompts
        = keyPrompts(findConversation(conversationName), callId, toUserName, fromUserName);
    prompts(
        device->sipInfo(control ? QStringLiteral("control") : callId, fromUserName, key, prompts));
}

void Sip::resultSipInfoServer(const QString &callKey, const QString &toUserName,
                              const SoundWavParam::Type &fromPlaySound, const QString &fromUserName,
                              const SoundWavParam::Type &toPlaySound)
{
    SipUser *user = findUser(fromUserName);
    ConversationThread *conversation
        = user ? findConversation(user->conversationCaller(callKey)) : nullptr;
    if (conversation)
        emit conversation->resultSipInfo(callKey, fromUserName, fromPlaySound, toUserName,
                                         toPlaySound);
}

void Sip::appendSipInfoServer(const QString &callKey, const QString &userName, uchar event,
                              uint duration)
{
    SipUser *user = findUser(userName);
    ConversationThread *conversation
        = user ? findConversation(user->conversationCaller(callKey)) : nullptr;
    if (conversation)
        emit conversation->appendSipInfo(DtmfType::Type(0), callKey, userName, uchar(event | 0x80),
                                         duration);
}
