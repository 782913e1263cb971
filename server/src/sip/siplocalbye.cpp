// The local server's in-call requests (BYE, CANCEL, INFO) and what the conversations of local
// calls report back: the last BYE or CANCEL of a leg and DTMF for the other side.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/env.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

#include <QScopeGuard>

#include <algorithm>

bool Sip::acceptInCall(SipDialog *dialog, SipUser *sender)
{
    const SipMessage &request = dialog->m_Request;
    if (isFromOwnLeg(sender, request))
        return true;
    if (request.hasAuthorization()) {
        switch (digestVerdict(request, sender)) {
        case 0:
            return true;
        case 2:
            challenge(dialog, true);
            return false;
        default:
            sendDialogResponse(dialog, SipStatus::Forbidden);
            return false;
        }
    }
    challenge(dialog, false);
    return false;
}

void Sip::onByeStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    SipUser *sender = findLocalUser(request.from().address.user);
    if (!sender) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    connect(sender, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    if (!isUsableUser(sender)) {
        sendDialogResponse(dialog, SipStatus::Forbidden);
        return;
    }
    const QString callId = request.callId();
    ConversationThread *conversation = findConversation(sender->conversationCaller(callId));
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        sender->takeConversation(callId);
        return;
    }
    if (!acceptInCall(dialog, sender))
        return;
    sendDialogResponse(dialog, SipStatus::OK);
    emit conversation->removeCaller(callId, true);
    emit conversation->check();
    sender->takeConversation(callId);
}

void Sip::onCancelStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    SipUser *sender = findLocalUser(request.from().address.user);
    if (!sender) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    auto *invite = m_Dialogs
        ? m_Dialogs->find<SipServerInviteDialog>(request.transactionKey(SipMethod::Invite))
        : nullptr;
    // A CANCEL cannot be challenged: only the INVITE's own sender may cancel it.
    if (invite
        && (invite->m_Request.senderAddress != request.senderAddress
            || invite->m_Request.senderPort != request.senderPort)) {
        sendDialogResponse(dialog, SipStatus::Forbidden);
        return;
    }
    const QString callId = request.callId();
    sender->takeConversation(callId);
    connect(sender, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    if (!isUsableUser(sender)) {
        sendDialogResponse(dialog, SipStatus::Forbidden);
        return;
    }
    SipUser *callee = findLocalUser(request.to().address.user);
    if (!callee) {
        sendDialogResponse(dialog, SipStatus::DoesNotExistAnywhere);
        return;
    }
    if (!isUsableUser(callee)) {
        sendDialogResponse(dialog, SipStatus::ServiceUnavailable);
        return;
    }
    if (!invite) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    sendDialogResponse(dialog, SipStatus::OK);
    sendDialogResponse(invite, SipStatus::RequestTerminated);
    if (ConversationThread *conversation = findConversation(invite->m_ConversationName)) {
        emit conversation->removeCaller(callId, true);
        emit conversation->check();
    }
}

void Sip::onInfoStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    SipUser *sender = findLocalUser(request.from().address.user);
    if (!sender) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    const QString callId = request.callId();
    ConversationThread *conversation = findConversation(sender->conversationCaller(callId));
    if (!conversation) {
        sendDialogResponse(dialog, SipStatus::CallTransactionDoesNotExist);
        return;
    }
    if (!acceptInCall(dialog, sender))
        return;
    char key = 0;
    uint duration = 0;
    if (request.dtmf(key, duration))
        emit conversation->appendSipInfo(DtmfType::SipInfo, callId, sender->objectName(),
                                         uchar(key), duration);
    sendDialogResponse(dialog, SipStatus::OK);
}

void Sip::noteEndingLeg(SipUser *user, const QString &conversation, const QString &leg)
{
    if (!m_IsStandalone || !findConversation(conversation))
        return;
    EndingLeg &ending = m_EndingLegs[qMakePair(leg, user->objectName())];
    ending.user = user;
    ending.conversation = conversation;
    // Taken now: the phone may register anew, from elsewhere, before the leg comes back.
    ending.registration = user->registration();
    if (user->m_Transport == SipTransport::TCP) {
        ending.address = user->m_ClientAddress;
        ending.port = user->m_ClientPort;
        ending.connection = tcpConnection(ending.address, ending.port).id;
        ending.lost = m_LostTcp == qMakePair(ending.address, ending.port);
    }
}

bool Sip::hasEndingLeg(const std::function<bool(const EndingLeg &)> &match) const
{
    return std::any_of(m_EndingLegs.cbegin(), m_EndingLegs.cend(), match)
        || std::any_of(m_AnsweringLegs.cbegin(), m_AnsweringLegs.cend(), match);
}

void Sip::settleEndingLegAfter(SipDialog *dialog, const EndingLeg &leg)
{
    if (!dialog || leg.conversation.isEmpty()) {
        settleEndingLeg(leg);
        return;
    }
    m_AnsweringLegs.insert(dialog, leg);
    const auto settle = [this, dialog] { settleEndingLeg(m_AnsweringLegs.take(dialog)); };
    connect(dialog, &SipDialog::receiveResponse, this, [settle](const SipMessage &response) {
        if (SipDialog::inRange(response.startLine.status, 200, 699))
            settle();
    });
    connect(dialog, &QObject::destroyed, this, settle);
}

bool Sip::canEndLeg(const EndingLeg &leg, const char *method) const
{
    if (!leg.lost)
        return true;
    logLine(LogParams::Sip,
            QStringLiteral("%1 of call '%2' to '%3' not sent: its TCP connection %4:%5 is closed")
                .arg(QLatin1String(method), leg.conversation,
                     leg.user ? leg.user->objectName() : QString(), leg.address)
                .arg(leg.port));
    return false;
}

void Sip::settleEndingLeg(const EndingLeg &leg)
{
    if (leg.conversation.isEmpty())
        return;
    const TcpConnection connection { leg.address, leg.port, leg.connection };
    const bool held = hasEndingLeg([&](const EndingLeg &other) { return other.holds(connection); });
    if (!leg.lost && !held && m_HeldTcp.removeOne(connection))
        closeLeftTcp(connection);
    // Deleted: out of the index already, kept only to end its calls.
    SipUser *user = leg.user;
    if (user && findUser(user->objectName()) != user
        && !hasEndingLeg([user](const EndingLeg &other) { return other.user == user; }))
        user->deleteLater();
}

void Sip::onLastByeStandalone(SipMessage invite, QString toUserName, bool normal)
{
    const EndingLeg ending = m_EndingLegs.take(qMakePair(invite.callId(), toUserName));
    SipDialog *bye = nullptr;
    const auto settle = qScopeGuard([&] { settleEndingLegAfter(bye, ending); });
    SipUser *user = ending.user ? ending.user.data() : findUser(toUserName);
    if (!user)
        return;
    user->takeConversation(invite.callId());
    if (user->isVelkUser()) {
        if (QObject *device = legDevice(invite.callId(), user))
            QMetaObject::invokeMethod(device, "callTerminated", Q_ARG(QString, invite.callId()),
                                      Q_ARG(bool, normal));
        return;
    }
    if (ending.user ? canEndLeg(ending, "BYE") : isUsableUser(user))
        bye = sendOnUserDialog(user, SipMessage(invite, user), true, ending.endsOnTimeout());
}

void Sip::onLastCancelStandalone(SipMessage invite, QString toUserName, bool normal)
{
    const EndingLeg ending = m_EndingLegs.take(qMakePair(invite.callId(), toUserName));
    SipDialog *cancel = nullptr;
    const auto settle = qScopeGuard([&] { settleEndingLegAfter(cancel, ending); });
    SipUser *user = ending.user ? ending.user.data() : findUser(toUserName);
    if (!user)
        return;
    user->takeConversation(invite.callId());
    if (user->isVelkUser()) {
        if (QObject *device = legDevice(invite.callId(), user))
            QMetaObject::invokeMethod(device, "callTerminated", Q_ARG(QString, invite.callId()),
                                      Q_ARG(bool, normal));
        return;
    }
    if ((!ending.user && !isUsableUser(user)) || !m_Dialogs)
        return;
    const QString key = invite.transactionKey(SipMethod::Invite);
    // The phone that called is answered; only an INVITE this server sent is cancelled, never
    // the account's own (that CANCEL would come back here). The INVITE's transaction may be
    // gone already: a phone that registered anew ended it, yet it still rings. One that has its
    // final answer is not: what came was dealt with as it came.
    const QString caller = invite.from().address.user;
    auto *client = m_Dialogs->find<SipClientInviteDialog>(key);
    if (auto *server = m_Dialogs->find<SipServerInviteDialog>(key))
        sendDialogResponse(server, SipStatus::RequestTerminated);
    else if ((client ? client->state() != SipDialog::Completed
                     : findLocalUser(caller) != user && caller != user->objectName())
             && (!ending.user || canEndLeg(ending, "CANCEL")))
        cancel = sendOnUserDialog(user, invite.makeCancel(), true, ending.endsOnTimeout());
}

void Sip::onSendSipInfoStandalone(QString conversationName, SipMessage invite, QString fromUserName,
                                  QString toUserName, uchar event, uint duration)
{
    SipUser *user = findUser(toUserName);
    ConversationThread *conversation = findConversation(conversationName);
    if (!user || !conversation)
        return;
    if (user->isVelkUser()) {
        deliverKeyToDevice(conversation, invite.callId(), invite.callId(), fromUserName, user,
                           event);
        return;
    }
    sendOnUserDialog(user, SipMessage(invite, user, event, duration), false);
}
