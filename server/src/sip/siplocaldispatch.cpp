// The local server's dispatch of new requests and what its handlers share: conversations of
// local calls, the legs' source addresses and the transactions the server sends on.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "sip/sipclientinvitedialog.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipserverinvitedialog.h"
#include "sip/sipservernoninvitedialog.h"
#include "sip/sipuser.h"

void Sip::dispatchStandalone(const SipMessage &message)
{
    const SipMethod::Type method = message.cseqMethod();
    // An ACK of no live INVITE transaction has nothing to acknowledge: no transaction for it.
    if (method == SipMethod::Ack)
        return;
    SipDialog *dialog = newServerDialog(message);
    if (refusedWhileStopping(dialog))
        return;
    switch (method) {
    case SipMethod::Invite:
        onInviteNewStandalone(dialog);
        break;
    case SipMethod::Bye:
        onByeStandalone(dialog);
        break;
    case SipMethod::Cancel:
        onCancelStandalone(dialog);
        break;
    case SipMethod::Register:
        onRegisterStandalone(dialog);
        break;
    case SipMethod::Info:
        onInfoStandalone(dialog);
        break;
    case SipMethod::Message:
        onMessageStandalone(dialog);
        break;
    case SipMethod::Refer:
        onReferStandalone(dialog);
        break;
    default:
        sendDialogResponse(dialog, SipStatus::MethodNotAllowed);
        break;
    }
}

SipUser *Sip::findLocalUser(const QString &name) const
{
    if (SipUser *user = findUser(name))
        return user;
    if (name.isEmpty())
        return nullptr;
    for (SipUser *user : m_UserList) {
        if (user->isRegistered() && user->m_ContactUser == name)
            return user;
    }
    return nullptr;
}

SipUser *Sip::partyInCall(const ConversationThread *conversation, const SipUser *sender,
                          const QString &named) const
{
    SipUser *peer = findLocalUser(named);
    QStringList others = conversation->callerNames();
    others.removeAll(sender->objectName());
    if (others.size() != 1 || (peer && others.first() == peer->objectName()))
        return peer;
    return findUser(others.first());
}

bool Sip::isFromOwnLeg(SipUser *sender, const SipMessage &request) const
{
    const QString callId = request.callId();
    if (!sender || sender->conversationCaller(callId).isEmpty())
        return false;
    const auto it = m_LegSources.constFind(callId);
    const QString address = it != m_LegSources.cend() ? it->address : sender->m_ClientAddress;
    const quint16 port = it != m_LegSources.cend() ? it->port : sender->m_ClientPort;
    return !address.isEmpty() && request.senderAddress == address && request.senderPort == port;
}

void Sip::rememberLegSource(const QString &callId, const QString &conversation,
                            const QString &address, quint16 port)
{
    m_LegSources.insert(callId, LegSource { conversation, address, port });
}

ConversationThread *Sip::createStandaloneConversation(SipDialog *dialog, int type, bool video)
{
    return createNamedConversation(dialog->m_Request.callId(), type, video);
}

ConversationThread *Sip::createNamedConversation(const QString &name, int type, bool video)
{
    // Whatever would set up a call once the stop has begun (a door's button, a group's member)
    // finds no room for it: the stop would leave it without an end.
    if (m_Stopping)
        return nullptr;
    ConversationThread *conversation = ConversationThread::create(
        settingNumber(SipSetting::PortRangeStart), settingNumber(SipSetting::PortRangeStop),
        ConversationType(type), video, name, this);
    if (!conversation)
        return nullptr;
    trackConversation(conversation);
    // The call records go to the owner's log when the owner keeps one.
    QObject *owner = parent();
    if (owner
        && owner->metaObject()->indexOfSlot(
               "smdrLog(QDateTime,QString,QString,qlonglong,QSmdrAction::Type,QString)")
            >= 0) {
        connect(conversation,
                SIGNAL(smdrLog(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString)),
                owner,
                SLOT(smdrLog(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString)),
                Qt::QueuedConnection);
    }
    // A transfer hands legs from one conversation to another.
    if (m_IsStandalone)
        connect(conversation, &ConversationThread::moveCaller, this, &Sip::onMoveCallerStandalone,
                Qt::QueuedConnection);
    connect(conversation, &QObject::destroyed, this, [this, name]() {
        m_Redirects.remove(name);
        // A leg it never handed back ends with it, looked at only after the legs it did hand
        // back on its way out: those are queued ahead.
        if (hasEndingLeg([&name](const EndingLeg &leg) { return leg.conversation == name; }))
            QMetaObject::invokeMethod(
                this,
                [this, name] {
                    QList<QPair<QString, QString>> unended;
                    for (auto it = m_EndingLegs.cbegin(); it != m_EndingLegs.cend(); ++it) {
                        if (it->conversation == name)
                            unended << it.key();
                    }
                    for (const auto &key : qAsConst(unended))
                        settleEndingLeg(m_EndingLegs.take(key));
                },
                Qt::QueuedConnection);
        for (auto it = m_LegSources.begin(); it != m_LegSources.end();) {
            if (it->conversation == name)
                it = m_LegSources.erase(it);
            else
                ++it;
        }
        // Forgotten after the legs it handed back on its way out have told their doors; each
        // account of those legs is free then, wherever it has moved since.
        QMetaObject::invokeMethod(
            this,
            [this, name] {
                QStringList accounts;
                for (auto it = m_LegDevices.begin(); it != m_LegDevices.end();) {
                    if (it->conversation == name) {
                        accounts << it.key().second;
                        it = m_LegDevices.erase(it);
                    } else {
                        ++it;
                    }
                }
                for (const QString &account : qAsConst(accounts)) {
                    if (SipUser *user = findUser(account))
                        refreshAccountBusy(user);
                }
            },
            Qt::QueuedConnection);
    });
    return conversation;
}

SipDialog *Sip::startClientInvite(SipUser *callee, const SipMessage &invite,
                                  const QString &conversation)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    auto *dialog = new SipClientInviteDialog(this, invite);
    m_Dialogs->add(dialog);
    dialog->m_ConversationName = conversation;
    callee->setConversation(invite.callId(), conversation);
    rememberLegSource(invite.callId(), conversation, callee->m_ClientAddress, callee->m_ClientPort);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseInvite,
            Qt::DirectConnection);
    connect(dialog, &SipClientInviteDialog::timeoutCall, this, &Sip::onInviteTimeoutCall,
            Qt::QueuedConnection);
    connect(callee, &SipUser::userUnRegistered, dialog, &SipDialog::terminate,
            Qt::QueuedConnection);
    return dialog;
}

SipDialog *Sip::sendOnUserDialog(SipUser *user, const SipMessage &request, bool watchResponse,
                                 std::optional<quint64> registration)
{
    if (!user || !request.isValid())
        return nullptr;
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    auto *dialog = new SipClientNonInviteDialog(this, request);
    m_Dialogs->add(dialog);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    if (watchResponse) {
        // A time-out ends the registration the request went to, if it is still the account's:
        // never one made since, nor another account's.
        const QPointer<SipUser> target(user);
        const quint64 ends = registration.value_or(user->isRegistered() ? user->registration() : 0);
        connect(
            dialog, &SipDialog::receiveResponse, this,
            [target, ends](const SipMessage &response) {
                if (response.startLine.status == SipStatus::RequestTimeout && target
                    && target->isRegistered() && target->registration() == ends)
                    target->setRegistered(false);
            },
            Qt::DirectConnection);
    }
    connect(user, &SipUser::userUnRegistered, dialog, &SipDialog::terminate, Qt::QueuedConnection);
    dialog->process(request);
    return dialog;
}
