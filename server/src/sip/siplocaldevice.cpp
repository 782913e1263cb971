// The local server's calls started by door devices: to a phone, to another door device, to a
// list of accounts (forked) or to a group (paging), and what the devices answer and press.
#include "sip/sip.h"

#include "conversation/conversationcaller.h"
#include "conversation/conversationthread.h"
#include "core/identifiers.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialog.h"
#include "sip/sipdialogindex.h"
#include "sip/siplocalmedia.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

namespace {

const QString kSdp = QStringLiteral("application/sdp");

VelkDevice *deviceOf(const SipUser *user)
{
    return user ? qobject_cast<VelkDevice *>(user->velkDevice()) : nullptr;
}

} // namespace

int Sip::deviceFlags(const SipUser *user)
{
    int flags = user->isAutoAnswer() ? VelkDevice::AutoAnswer : 0;
    flags |= user->isWiretapping() ? VelkDevice::Wiretap : 0;
    flags |= user->isPaging() ? VelkDevice::Paging : 0;
    flags |= user->isControl() ? VelkDevice::Control : 0;
    return flags;
}

int Sip::deviceCall(VelkDevice *device, const QString &callerUser, const QString &callee,
                    QString &callKey)
{
    return m_IsStandalone ? callStandaloneKey(device, callerUser, callee, callKey)
                          : call(device, callerUser, callee, callKey);
}

int Sip::deviceCallList(VelkDevice *device, const QString &callerUser, const QString &callees,
                        const QString &callKey)
{
    return callList(device, callerUser, callees, callKey);
}

bool Sip::deviceRespond(const QString &fromUser, const QString &toUser, const QString &dialogName,
                        const QString &callKey, int status)
{
    return respondCall(fromUser, toUser, dialogName, callKey, SipStatus::Type(status)) != 0;
}

bool Sip::deviceAcceptCaller(const QString &fromUser, const QString &toUser,
                             const QString &dialogName, const QString &callKey, int status)
{
    return acceptCaller(fromUser, toUser, dialogName, callKey, SipStatus::Type(status)) != 0;
}

void Sip::deviceHangup(const QString &user, const QString &callKey)
{
    hangupUser(user, callKey);
}

void Sip::deviceReject(const QString &callerUser, const QString &user, const QString &callKey,
                       const QString &dialogName)
{
    rejectUserCall(callerUser, user, callKey, dialogName);
}

void Sip::deviceDtmf(int device, const QString &callKey, const QString &user, uchar key,
                     uint duration)
{
    appendSipInfo(device, callKey, user, key, duration);
}

void Sip::resultSipInfo(const QString &callKey, const QString &caller, int devicePrompt,
                        const QString &deviceUser, int callerPrompt)
{
    // A conversation plays only when the call key names the leg of the first user given: the
    // device's own leg is that one, the caller the other side.
    resultSipInfo(callKey, caller, SoundWavParam::Type(devicePrompt), deviceUser,
                  SoundWavParam::Type(callerPrompt));
}

void Sip::resultSipInfoStandalone(const QString &callKey, const QString &toUserName,
                                  const SoundWavParam::Type &fromPlaySound,
                                  const QString &fromUserName,
                                  const SoundWavParam::Type &toPlaySound)
{
    // The call key is the leg of whichever side the device is.
    ConversationThread *conversation = nullptr;
    for (const QString &name : { fromUserName, toUserName }) {
        if (SipUser *user = findUser(name)) {
            if ((conversation = findConversation(user->conversationCaller(callKey))))
                break;
        }
    }
    if (conversation)
        emit conversation->resultSipInfo(callKey, fromUserName, fromPlaySound, toUserName,
                                         toPlaySound);
}

void Sip::callIntercepted(const QString &conversationName, const QString &userName,
                          const QString &callId)
{
    if (SipUser *user = findUser(userName))
        user->takeConversation(callId);
    if (ConversationThread *conversation = findConversation(conversationName)) {
        // Completed elsewhere: an orderly end of this leg.
        emit conversation->removeCaller(callId, true);
        emit conversation->check();
    }
}

int Sip::callStandalone(VelkDevice *device, const QString &callerName, const QString &calleeName,
                        const QString &callKey)
{
    QString key = callKey;
    return callStandaloneKey(device, callerName, calleeName, key);
}

int Sip::callStandaloneKey(VelkDevice *device, const QString &callerName, const QString &calleeName,
                           QString &callKey)
{
    SipUser *caller = findUser(callerName);
    if (!isUsableUser(caller))
        return -2;
    SipUser *callee = findUser(calleeName);
    if (!isUsableUser(callee) || callee == caller)
        return -2;
    if (!device || !caller->isVelkUser())
        return -2;
    if (caller->isBusy() || callee->isBusy())
        return -1;
    if (callee->isGroup())
        return callGroupStandalone(device, caller, callee, callKey);
    return callSipUserStandalone(device, caller, callee, callKey);
}

void Sip::connectDeviceConversation(ConversationThread *conversation, bool control)
{
    connect(conversation, &ConversationThread::lastBye, this, &Sip::onLastByeStandalone,
            Qt::QueuedConnection);
    connect(conversation, &ConversationThread::lastCancel, this, &Sip::onLastCancelStandalone,
            Qt::QueuedConnection);
    connect(conversation, &ConversationThread::sendSipInfo, this,
            control ? &Sip::onSendSipInfoStandaloneControl : &Sip::onSendSipInfoStandalone,
            Qt::QueuedConnection);
}

void Sip::addDeviceLeg(ConversationThread *conversation, SipUser *user, VelkDevice *device,
                       const QString &legId, int direction, bool audioBack, bool video)
{
    auto *leg = new ConversationCaller();
    const QHostAddress any(QHostAddress::AnyIPv4);
    leg->initVelk(rtpTimeoutOf(user), user->objectName(), legId, SipSdpAction::Type(direction),
                  video ? user->videoCodec() : uchar(255), any, 0, any, 0, SipSdpAction::Unknown);
    // The leg learns where the camera sends from once its session is set up for the call.
    if (video)
        connect(user, &SipUser::setVelkVideo, leg, &ConversationCaller::setVelkVideo,
                Qt::QueuedConnection);
    connect(leg, &ConversationCaller::toDevice, device, &VelkDevice::toDevice,
            Qt::QueuedConnection);
    if (audioBack)
        connect(device, &VelkDevice::fromDevice, leg, &ConversationCaller::appendAudio,
                Qt::QueuedConnection);
    user->setConversation(legId, conversation->objectName());
    m_LegDevices.insert(qMakePair(legId, user->objectName()),
                        LegDevice { device, conversation->objectName() });
    conversation->addCallerObject(legId, leg);
    refreshAccountBusy(user); // the device may be another than the one it names
}

VelkDevice *Sip::legDevice(const QString &legId, const SipUser *user) const
{
    return user ? m_LegDevices.value(qMakePair(legId, user->objectName())).device.data() : nullptr;
}

void Sip::setAccountBusy(SipUser *user, bool doorBusy)
{
    const VelkDevice *door = deviceOf(user);
    bool busy = doorBusy;
    // A leg that left a call going on holds nothing: its entry stays only for late reports.
    for (auto it = m_LegDevices.cbegin(); !busy && it != m_LegDevices.cend(); ++it)
        busy = it.key().second == user->objectName() && it->device != door
            && !user->conversationCaller(it.key().first).isEmpty();
    user->setBusy(busy);
}

void Sip::refreshAccountBusy(SipUser *user)
{
    const VelkDevice *door = deviceOf(user);
    setAccountBusy(user, door && door->isBusy());
}

int Sip::callSipUserStandalone(VelkDevice *device, SipUser *caller, SipUser *callee,
                               const QString &callKey)
{
    if (callee->isVelkUser())
        return callDeviceStandalone(device, caller, callee, callKey);
    const bool video = userVideoEnabledForResponse(caller);
    ConversationThread *conversation = createNamedConversation(callKey, 1, video);
    if (!conversation)
        return -2;
    connectDeviceConversation(conversation, false);
    addDeviceLeg(conversation, caller, device, callKey, SipSdpAction::SendRecv, true, video);
    inviteForDevice(conversation, caller, callee, callKey, false);
    return 0;
}

bool Sip::inviteForDevice(ConversationThread *conversation, SipUser *caller, SipUser *callee,
                          const QString &legId, bool multi)
{
    SipMessage invite(caller, callee, localOffer(callee->m_ServerAddress, conversation, caller));
    invite.setHeader(SipHeader::CallID, randomHexId());
    SipDialog *client = startClientInvite(callee, invite, conversation->objectName());
    // The device's own leg of the call, which the answer connects.
    client->m_Partner = legId;
    if (multi)
        wireBranch(client, legDevice(legId, caller));
    emit conversation->appendCaller(rtpTimeoutOf(callee), callee->objectName(), invite);
    client->process(invite);
    return true;
}

void Sip::wireBranch(SipDialog *client, VelkDevice *device)
{
    disconnect(client, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseInvite);
    connect(client, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseInviteMulti,
            Qt::DirectConnection);
    connect(client, &SipDialog::intercepted, this, &Sip::onIntercepted, Qt::DirectConnection);
    // Once the door takes one branch (or gives up) every other one stops ringing.
    if (device)
        connect(device, &VelkDevice::acceptCall, client, &SipDialog::intercept,
                Qt::QueuedConnection);
}

int Sip::callDeviceStandalone(VelkDevice *device, SipUser *caller, SipUser *callee,
                              const QString &callKey)
{
    VelkDevice *target = deviceOf(callee);
    // A door never rings itself: that would end the very call it places.
    if (!target || target == device)
        return -2;
    const bool control = callee->isControl();
    ConversationThread *conversation
        = createNamedConversation(randomHexId(), control ? 2 : 1, false);
    if (!conversation)
        return -2;
    connectDeviceConversation(conversation, control);
    addDeviceLeg(conversation, caller, device, callKey, SipSdpAction::SendRecv, !control);
    const QString legId = randomHexId();
    addDeviceLeg(conversation, callee, target, legId,
                 control ? SipSdpAction::Inactive : SipSdpAction::SendRecv, !control);
    if (control) {
        emit conversation->acceptCaller(callKey);
        emit conversation->acceptCaller(legId);
        return 10;
    }
    target->incomingCall(caller->objectName(), callee->objectName(), conversation->objectName(),
                         legId, deviceFlags(callee));
    return 0;
}

int Sip::callListStandalone(VelkDevice *device, const QString &callerName, const QString &callees,
                            const QString &callKey)
{
    const QStringList items = callees.split(QLatin1Char(','));
    SipUser *caller = findUser(callerName);
    if (!isUsableUser(caller) || !caller->isVelkUser() || caller->isBusy() || items.isEmpty()
        || !device)
        return -1;
    int reached = 0;
    for (const QString &item : items) {
        const QString branch = randomHexId();
        SipUser *member = findUser(item.trimmed());
        if (!isUsableUser(member) || member->isBusy() || member == caller || member->isGroup())
            continue;
        VelkDevice *target = deviceOf(member);
        if (member->isVelkUser() && (!target || target == device))
            continue;
        const bool video = !target && userVideoEnabledForResponse(caller);
        ConversationThread *conversation
            = createNamedConversation(member->isVelkUser() ? randomHexId() : branch, 1, video);
        if (!conversation)
            continue;
        connectDeviceConversation(conversation, false);
        connect(conversation, &ConversationThread::deleting, device,
                &VelkDevice::onDeletingConversation, Qt::QueuedConnection);
        emit device->appendConversation(conversation->objectName());
        addDeviceLeg(conversation, caller, device, branch, SipSdpAction::SendRecv, true, video);
        if (target) {
            const QString legId = randomHexId();
            addDeviceLeg(conversation, member, target, legId, SipSdpAction::SendRecv, true);
            target->incomingCall(caller->objectName(), member->objectName(),
                                 conversation->objectName(), legId, deviceFlags(member), callKey,
                                 branch);
        } else {
            inviteForDevice(conversation, caller, member, branch, true);
        }
        ++reached;
    }
    return reached > 0 ? 0 : -1;
}

int Sip::callGroupStandalone(VelkDevice *callerDevice, SipUser *caller, SipUser *group,
                             QString &callKey)
{
    const QStringList items = group->property("group-list").toString().split(QLatin1Char(','));
    if (items.isEmpty())
        return -2;
    QList<SipUser *> members;
    for (const QString &item : items) {
        SipUser *member = item.trimmed().isEmpty() ? nullptr : findUser(item.trimmed());
        VelkDevice *device = deviceOf(member);
        // The calling door is no listener of its own page.
        if (isUsableUser(member) && member != caller && member->isPaging() && member->isVelkUser()
            && device && device != callerDevice && device->state() >= VelkDevice::Ready
            && device->state() < VelkDevice::Waiting + 1)
            members << member;
    }
    if (members.isEmpty())
        return -1;
    ConversationThread *conversation = createNamedConversation(callKey, 8, false);
    if (!conversation)
        return -2;
    connect(conversation, &ConversationThread::lastBye, this, &Sip::onLastByeStandalone,
            Qt::QueuedConnection);
    conversation->setMasterSlave(caller->objectName(), group->objectName());
    callKey = randomHexId();
    addDeviceLeg(conversation, caller, callerDevice, callKey, SipSdpAction::SendRecv, true);
    emit conversation->acceptCaller(callKey);
    for (SipUser *member : members) {
        const QString legId = randomHexId();
        VelkDevice *device = deviceOf(member);
        addDeviceLeg(conversation, member, device, legId, SipSdpAction::SendRecv, true);
        emit conversation->acceptCaller(legId);
        device->incomingCall(caller->objectName(), member->objectName(), conversation->objectName(),
                             legId, VelkDevice::Paging);
    }
    return 0;
}

int Sip::respondCallStandalone(const QString &from, const QString &to, const QString &dialogName,
                               const QString &callKey, const SipStatus::Type &status)
{
    auto *server = m_Dialogs && !dialogName.isEmpty()
        ? m_Dialogs->find<SipServerInviteDialog>(dialogName)
        : nullptr;
    SipUser *caller = findUser(from);
    SipUser *callee = findUser(to);
    ConversationThread *conversation
        = callee ? findConversation(callee->conversationCaller(callKey)) : nullptr;
    if (isUsableUser(caller) && isUsableUser(callee) && caller->isVelkUser()
        && callee->isVelkUser())
        return respondDoorToDoor(caller, callee, conversation, callKey, status);
    if (!isUsableUser(caller) || !isUsableUser(callee) || !conversation) {
        // The phone hears at once that its call cannot be taken; nothing of it stays behind.
        if (callee)
            callee->takeConversation(callKey);
        if (server) {
            const QString callId = server->m_Request.callId();
            if (caller)
                caller->takeConversation(callId);
            if (conversation)
                emit conversation->removeCaller(callId, true);
            sendDialogResponse(server, SipStatus::ServerInternalError);
        }
        if (conversation) {
            emit conversation->removeCaller(callKey, false);
            emit conversation->check();
        }
        return 0;
    }
    if (!server) {
        // Rung into a running call (a transfer): nobody waits for an answer, the door joins.
        if (status == SipStatus::OK) {
            emit conversation->acceptCaller(callKey);
        } else if (statusClass(status) != 1) {
            callee->takeConversation(callKey);
            emit conversation->removeCaller(callKey, false);
            emit conversation->check();
        }
        return 1;
    }
    const SipMessage &request = server->m_Request;
    if (status == SipStatus::OK) {
        sendDialogResponse(server, SipStatus::Ringing);
        SipLocalAudio offer;
        offer.parse(request.body);
        SipCameraVideo video;
        const bool withVideo = conversation->video() && video.parse(request.body, callee);
        if (conversation->video())
            callee->onPlay(conversation);
        // The leg takes the request with the To-tag the answers gave out, which its BYE needs.
        emit conversation->updateCaller(request);
        emit conversation->acceptCaller(request.callId());
        emit conversation->acceptCaller(callKey);
        sendDialogResponseWithBody(server, SipStatus::OK, kSdp,
                                   localAnswer(caller->m_ServerAddress, conversation, offer,
                                               withVideo ? callee : nullptr,
                                               answerDirection(video.direction)));
        return 1;
    }
    if (statusClass(status) != 1) {
        callee->takeConversation(callKey);
        emit conversation->removeCaller(callKey, false);
        emit conversation->removeCaller(request.callId(), true);
        caller->takeConversation(request.callId());
        sendDialogResponse(server, status);
        emit conversation->check();
        return 1;
    }
    if (status != SipStatus::Trying) {
        sendDialogResponse(server, status);
        emit conversation->updateCaller(request);
    }
    return 1;
}

int Sip::respondDoorToDoor(SipUser *caller, SipUser *callee, ConversationThread *conversation,
                           const QString &callKey, const SipStatus::Type &status)
{
    // The calling door's own leg in this conversation: its call key, or the branch of a list.
    QString callerLeg;
    const QMap<QString, QString> &calls = caller->conversations();
    for (auto it = calls.cbegin(); conversation && it != calls.cend(); ++it) {
        if (it.value() == conversation->objectName())
            callerLeg = it.key();
    }
    VelkDevice *callerDevice = legDevice(callerLeg, caller);
    if (!conversation || !callerDevice) {
        callee->takeConversation(callKey);
        return 0;
    }
    if (statusClass(status) == 1) {
        callerDevice->outgoingCallAnswered(callerLeg, status, callKey, callerLeg);
        return 1;
    }
    if (status != SipStatus::OK) {
        callee->takeConversation(callKey);
        emit conversation->removeCaller(callKey, false);
        emit conversation->check();
        callerDevice->outgoingCallAnswered(callerLeg, status, callKey, callerLeg);
        return 1;
    }
    const bool answered = callerDevice->outgoingCallAnswered(callerLeg, status, callKey, callerLeg);
    // A door handed on by a transfer talks already: its call, placed or taken, is this one.
    if (!answered
        || (callerDevice->outgoingCallId() != callerLeg
            && callerDevice->incomingCallId() != callerLeg)) {
        callee->takeConversation(callKey);
        emit conversation->removeCaller(callKey, false);
        emit conversation->check();
        return 0;
    }
    emit conversation->acceptCaller(callerLeg);
    emit conversation->acceptCaller(callKey);
    return 1;
}

int Sip::acceptCallerStandalone(const QString &from, const QString &to, const QString &dialogName,
                                const QString &callKey, const SipStatus::Type &status)
{
    if (dialogName.isEmpty())
        return 0;
    SipUser *caller = findUser(from);
    if (!isUsableUser(caller))
        return 0;
    SipUser *callee = findUser(to);
    if (!isUsableUser(callee))
        return 0;
    ConversationThread *conversation = findConversation(callee->conversationCaller(callKey));
    if (!conversation) {
        callee->takeConversation(callKey);
        return 0;
    }
    if (status == SipStatus::OK)
        emit conversation->acceptCaller(callKey);
    return 1;
}

void Sip::onDeviceCallResponse(SipDialog *client, const SipMessage &response,
                               ConversationThread *conversation, SipUser *caller, SipUser *callee,
                               bool multi)
{
    SipStatus::Type status = response.startLine.status;
    const SipMessage invite = client->m_Request;
    const QString legId = client->m_Partner;
    VelkDevice *device = legDevice(legId, caller);
    if (statusClass(status) == 1) {
        if (device)
            device->outgoingCallAnswered(legId, status, invite.callId(), legId);
        return;
    }
    if (status == SipStatus::OK) {
        SipLocalAudio answer;
        // A door that gave up has let go of its leg, and its hang-up may still be under way: an
        // answer crossing it must not switch the call on again under it.
        const bool waiting = caller->conversationCaller(legId) == conversation->objectName();
        const bool taken = waiting && device && isUsableUser(callee) && answer.parse(response.body)
            && device->outgoingCallAnswered(legId, status, invite.callId(), legId)
            && device->outgoingCallId() == legId && device->state() == VelkDevice::OutgoingCall;
        if (taken) {
            // The other branches of a list stop ringing through the device's acceptCall.
            SipCameraVideo video;
            if (conversation->video() && video.parse(response.body, caller))
                caller->onPlay(conversation);
            emit conversation->acceptCaller(legId);
            emit conversation->appendCaller(rtpTimeoutOf(callee), callee->objectName(), invite,
                                            answer.payload, answer.rtpAddress, answer.rtpPort,
                                            answer.rtcpAddress, answer.rtcpPort, answer.direction,
                                            video.payload, video.rtpAddress, video.rtpPort,
                                            video.rtcpAddress, video.rtcpPort, video.direction);
            emit conversation->acceptCaller(invite.callId());
            return;
        }
        // The device no longer waits for this answer: the phone, in a call now, is released,
        // also while a CANCEL is under way (it crossed the answer, which it cannot undo).
        if (isUsableUser(callee))
            sendOnUserDialog(callee, SipMessage(invite, static_cast<SipUser *>(nullptr)), true);
    }
    emit conversation->removeCaller(invite.callId(), false);
    if (callee)
        callee->takeConversation(invite.callId());
    if (status == SipStatus::MovedTemporarily) {
        // Followed inside the system as for a phone's call; the door hears a refusal otherwise.
        if (multi)
            disconnect(client, &SipDialog::intercepted, this, &Sip::onIntercepted);
        if (redirectStandalone(client, nullptr, response, caller, callee, multi)) {
            emit conversation->check();
            return;
        }
        status = SipStatus::Decline;
    }
    if (device && status != SipStatus::OK) {
        // A door that took the early media is in the call already; its leg leaves unannounced
        // below, so the failure must end the door's call as a hang-up would.
        const bool early
            = device->state() == VelkDevice::OutgoingCall && device->outgoingCallId() == legId;
        device->outgoingCallAnswered(legId, status, invite.callId(), legId);
        if (early)
            device->callTerminated(legId, status != SipStatus::RequestTimeout);
    }
    emit conversation->removeCaller(legId, true);
    caller->takeConversation(legId);
    emit conversation->check();
}

void Sip::onIntercepted(SipMessage invite, QString conversationName, QString callerLeg)
{
    if (SipUser *caller = findLocalUser(invite.from().address.user))
        caller->takeConversation(callerLeg);
    if (ConversationThread *conversation = findConversation(conversationName)) {
        // Without the door's leg the branch ends, which cancels its INVITE.
        emit conversation->removeCaller(callerLeg, true);
        emit conversation->check();
        return;
    }
    SipUser *member = findLocalUser(invite.to().address.user);
    const QString key = invite.transactionKey(SipMethod::Cancel);
    if (isUsableUser(member) && !key.isEmpty() && !findDialog(key))
        sendOnUserDialog(member, invite.makeCancel(), true);
}

void Sip::deliverKeyToDevice(ConversationThread *conversation, const QString &legId,
                             const QString &dialplanCallId, const QString &fromUserName,
                             SipUser *user, uchar event)
{
    VelkDevice *device = legDevice(legId, user);
    if (!device)
        return;
    const VelkDevice::RelayAnswer prompts
        = keyPrompts(conversation, legId, user->objectName(), fromUserName);
    prompts(device->sipInfo(dialplanCallId, fromUserName, event, prompts));
}

std::function<void(int)> Sip::keyPrompts(ConversationThread *conversation, const QString &legId,
                                         const QString &doorUser, const QString &fromUserName)
{
    // The door hears that it opens; the one who keyed hears whether the keys were taken.
    const QPointer<ConversationThread> target(conversation);
    return [target, legId, doorUser, fromUserName](int result) {
        if (!target || result == 0 || result > 2)
            return;
        const SoundWavParam::Type doorPrompt
            = result == 2 ? SoundWavParam::DoorOpen : SoundWavParam::None;
        const SoundWavParam::Type senderPrompt
            = result < 0 ? SoundWavParam::InfoError : SoundWavParam::InfoAccept;
        emit target->resultSipInfo(legId, doorUser, doorPrompt, fromUserName, senderPrompt);
    };
}
