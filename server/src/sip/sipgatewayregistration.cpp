// Gateway mode: the accounts' registration on the outside server, the answers to its
// challenges, the address announced to it, and the leave a deleted account takes of it.
#include "sip/sip.h"

#include "core/env.h"
#include "core/identifiers.h"
#include "sip/message/addresslist.h"
#include "sip/sipclientdigest.h"
#include "sip/sipclientnoninvitedialog.h"
#include "sip/sipdialogindex.h"
#include "sip/sipuser.h"
#include "velk/velkdevice.h"

#include <algorithm>
#include <limits>
#include <utility>

quint64 Sip::NonceCount = 1;

namespace {

// A server that calls every nonce stale (nodes of a cluster that share no secret, a clock that
// jumped) would be answered without end: a few answers in a row, as common stacks give.
constexpr int kStaleAnswers = 3;

bool registersOnServer(const SipUser *user)
{
    return user
        && (user->typeUser() == SipUser::VelkAccount || user->typeUser() == SipUser::GroupAccount);
}

// The contacts of an account the service keeps withdrawing, its own now among them.
constexpr int kBoundContacts = 8;

// Where the contact's binding is among contacts; -1 when it is not.
int indexOfContact(const QStringList &contacts, const QString &contact)
{
    const KBaseUri<1> uri = KBaseContactAddress<1>(contact).address;
    for (int i = 0; i < contacts.size(); ++i) {
        if (sameBinding(KBaseContactAddress<1>(contacts.at(i)).address, uri))
            return i;
    }
    return -1;
}

// The binding a REGISTER makes or removes for the account itself: its first Contact.
KBaseUri<1> ownBinding(const SipMessage &request)
{
    return KBaseContactAddress<1>(request.headerValue(SipHeader::Contact)).address;
}

// The contact with "expires=0": a REGISTER removes its binding.
QString withdrawnContact(const QString &contact)
{
    KBaseContactAddress<1> address(contact);
    address.parameters.setParam(QStringLiteral("expires"), QStringLiteral("0"));
    return address.toString();
}

} // namespace

QString challengeRefusal(const SipMessage &request, const SipMessage &response, bool proxy,
                         int &staleAnswers)
{
    const bool answered = proxy ? request.hasProxyAuthorization() : request.hasAuthorization();
    if (!answered) {
        staleAnswers = 0;
        return QString();
    }
    const QString challenge
        = response.headerValue(proxy ? SipHeader::ProxyAuthenticate : SipHeader::WWWAuthenticate);
    const QString stale = SipClientDigest::parseChallenge(challenge).value(QStringLiteral("stale"));
    if (stale.compare(QLatin1String("true"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("credentials refused");
    if (staleAnswers >= kStaleAnswers)
        return QStringLiteral("nonce still stale after %1 answers").arg(kStaleAnswers);
    ++staleAnswers;
    return QString();
}

QString fromTag(const SipMessage &message)
{
    return message.from().parameters.param(QStringLiteral("tag"));
}

void setExpiresHeader(SipMessage &message, unsigned number)
{
    message.setHeader(SipHeader::Expires, QString::number(number));
}

QString Sip::digestAuthorization(const SipHeader::Type &challengeHeader, const SipMessage &request,
                                 const SipMessage &response, const QString &login,
                                 const QString &password)
{
    return SipClientDigest::authorization(challengeHeader, request, response, login, password,
                                          NonceCount);
}

void Sip::initExternalAddress()
{
    m_External.reset(m_IsStandalone ? int(SipExternalAddress::Direct) : m_TypeExtAddress,
                     m_ExtAddressStatic);
    m_RegisterRetry.clear();
    m_RegisterKeys.clear();
    m_RegisterUnanswered.clear();
    // Owed to the server, they go again once the connection stands; nothing carries them to it
    // in standalone mode.
    if (m_IsStandalone) {
        m_Withdrawals.clear();
        m_ServerContacts.clear();
    }
    m_WithdrawalRetry.clear();
    m_RegisterAfterWithdrawal.clear();
    m_ServerConnected = false;
    m_RegisterOnConnection.clear();
}

void Sip::setExternalAddress(const QString &address)
{
    QStringList registered;
    if (!SipUser::m_IsStandalone) {
        for (SipUser *user : qAsConst(m_UserList)) {
            if (user->isRegistered())
                registered << user->objectName();
        }
    }
    m_External.change(address, registered);
}

void Sip::stunServer(QString serverAddr)
{
    if (m_TypeExtAddress == SipExternalAddress::Stun)
        setExternalAddress(serverAddr);
}

void Sip::registerOnServer(QString userName, bool reg)
{
    SipUser *user = findUser(userName);
    // Before the connection stands a request would name no server nor address of its own;
    // nothing was bound that a withdrawal could remove.
    if (!registersOnServer(user) || !m_ServerConnected)
        return;
    // A change of the announced address is under way: the account registers with the new one.
    if (reg && m_External.defer(userName))
        return;
    // One registration at a time: the REGISTER under way answers for this request as well.
    if (reg && pendingRegister(userName))
        return;
    // A withdrawal of the name still under way, answered late, would remove the binding made
    // now: the account registers once it has ended.
    if (reg && isWithdrawing(userName)) {
        m_RegisterAfterWithdrawal.insert(userName);
        return;
    }
    SipMessage request(user);
    setExpiresHeader(request, reg ? unsigned(user->expires()) : 0);
    if (reg) {
        sendRegister(user, request);
        return;
    }
    m_External.forget(userName);
    // Every contact the name may still be bound with goes, not only the one it has now.
    QStringList contacts = request.headerValues(SipHeader::Contact);
    const QStringList bound = m_ServerContacts.take(userName);
    for (const QString &contact : bound) {
        if (indexOfContact(contacts, contact) < 0)
            contacts << contact;
    }
    request.setHeaderValues(SipHeader::Contact, contacts);
    sendWithdrawal(request, user->login(), user->password());
}

SipClientNonInviteDialog *Sip::startRegister(const SipMessage &request)
{
    if (!m_Dialogs)
        m_Dialogs = new SipDialogIndex(this);
    auto *dialog = new SipClientNonInviteDialog(this, request);
    m_Dialogs->add(dialog);
    connect(dialog, &SipDialog::sendDatagram, this, &Sip::sendDatagram, Qt::DirectConnection);
    return dialog;
}

void Sip::sendRegister(SipUser *user, const SipMessage &registration, int staleAnswers)
{
    SipMessage request = registration;
    addStaleContacts(user->objectName(), request);
    SipClientNonInviteDialog *dialog = startRegister(request);
    dialog->m_StaleAnswers = staleAnswers;
    m_RegisterKeys.insert(user->objectName(), dialog->objectName());
    connect(user, &SipUser::userUnRegistered, dialog, &SipDialog::terminate, Qt::QueuedConnection);
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseRegister,
            Qt::DirectConnection);
    dialog->process(request);
}

void Sip::sendWithdrawal(const SipMessage &request, const QString &login, const QString &password)
{
    m_Withdrawals.insert(request.callId(),
                         { request.to().address.user, login, password, request, QString(), 0 });
    startWithdrawal(request.callId());
}

void Sip::startWithdrawal(const QString &callId)
{
    Withdrawal &withdrawal = m_Withdrawals[callId];
    addressToServer(withdrawal.request);
    SipClientNonInviteDialog *dialog = startRegister(withdrawal.request);
    withdrawal.key = dialog->objectName();
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::answerWithdrawal,
            Qt::DirectConnection);
    dialog->process(withdrawal.request);
}

SipClientNonInviteDialog *Sip::clientDialogOf(const SipMessage &response) const
{
    return qobject_cast<SipClientNonInviteDialog *>(findDialog(response.transactionKey()));
}

void Sip::onReceiveResponseRegister(SipMessage response)
{
    if (!response.isValid() || response.startLine.kind != 1)
        return;
    SipUser *user = findUser(response.to().address.user);
    if (!user)
        return;
    const SipClientNonInviteDialog *dialog = clientDialogOf(response);
    // Only what the server reports teaches where it sees the service from: a made-up answer (a
    // time-out, a REGISTER ended here) carries the service's own request, addressed to the
    // server.
    if (m_TypeExtAddress == SipExternalAddress::Auto && dialog && !response.synthetic) {
        QString address;
        quint16 port = 0;
        if (viaReceivedAddress(dialog->m_Request.branch(), response, address, port))
            setExternalAddress(address);
    }
    const QString name = user->objectName();
    // Provisional answers say nothing about the registration, and the end of a REGISTER that a
    // later one replaced (a time-out of one sent before the connection stood) must not undo it.
    if (response.responseClass() == 1 || m_RegisterKeys.value(name) != response.transactionKey())
        return;
    // The registration is no longer under way; a copy of this answer (the server answering a
    // retransmission) is not heard again.
    m_RegisterKeys.remove(name);
    switch (response.startLine.status) {
    case SipStatus::OK:
        if (user->isRegistered())
            logLine(LogParams::Sip, QStringLiteral("User '%1' comfirmed register").arg(name));
        m_RegisterRetry.succeeded(name);
        m_RegisterUnanswered.remove(name);
        if (dialog)
            forgetWithdrawnContacts(name, dialog->m_Request);
        user->setRegistered(true);
        // Another device of the account may be listed first: its binding's expiry is not ours.
        user->setRegisterTimer(
            true,
            qint64(response.expiresOf(dialog ? ownBinding(dialog->m_Request) : KBaseUri<1>())));
        // Sent before the announced address began to change: that binding goes as well.
        if (m_External.isChanging() && !m_External.isDeferred(name)) {
            registerOnServer(name, false);
            m_External.defer(name);
        }
        return;
    case SipStatus::Unauthorized:
    case SipStatus::ProxyAuthenticationRequired: {
        const bool proxy = response.startLine.status == SipStatus::ProxyAuthenticationRequired;
        if (proxy ? !response.hasProxyAuthenticate() : !response.hasWwwAuthenticate())
            return;
        int stale = dialog ? dialog->m_StaleAnswers : 0;
        const QString refusal
            = dialog ? challengeRefusal(dialog->m_Request, response, proxy, stale) : QString();
        if (!refusal.isEmpty()) {
            registrationFailed(user, refusal, true);
            return;
        }
        answerChallenge(user, response, stale);
        return;
    }
    case SipStatus::IntervalTooBrief:
        if (raiseExpires(user, response))
            return;
        break;
    default:
        break;
    }
    const QString refused = QStringLiteral("%1 %2")
                                .arg(statusCodeText(response.startLine.status))
                                .arg(response.startLine.reason);
    // The former contacts it carried must not cost the account its own binding: a server that
    // takes one contact a REGISTER is asked again at once for the live one alone, and those are
    // left to expire there.
    if (!response.synthetic && dialog && forgetWithdrawnContacts(name, dialog->m_Request)) {
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' register refused (%2) with its former contacts, "
                               "registering its contact alone")
                    .arg(name, refused));
        registerOnServer(name, true);
        return;
    }
    // A time-out too, the server's own or the transaction's: asking again at once would only
    // repeat it, as fast as the server answers.
    const QString reason = response.synthetic ? QStringLiteral("no answer") : refused;
    registrationFailed(user, reason, !response.synthetic);
}

// The account asks again with the least expiry the server takes. Without a Min-Expires above
// what was asked the same REGISTER would be refused again: that is a failure like any other.
bool Sip::raiseExpires(SipUser *user, const SipMessage &response)
{
    bool ok = false;
    const qulonglong least = response.headerValue(SipHeader::MinExpires).trimmed().toULongLong(&ok);
    const SipClientNonInviteDialog *dialog = clientDialogOf(response);
    const qulonglong asked = dialog
        ? dialog->m_Request.headerValue(SipHeader::Expires).trimmed().toULongLong()
        : user->expires();
    if (!ok || least <= asked || least > std::numeric_limits<quint32>::max())
        return false;
    logLine(LogParams::Sip,
            QStringLiteral("User '%1' registers for %2 s, the least the server takes")
                .arg(user->objectName())
                .arg(least));
    user->m_GrantedExpires = least;
    registerOnServer(user->objectName(), true);
    return true;
}

// The account is unregistered for new calls and asks again after a pause that grows with every
// failure in a row; its requested expiry is kept. Calls it already has go on: they do not pass
// through its registration.
void Sip::registrationFailed(SipUser *user, const QString &reason, bool answered)
{
    const QString name = user->objectName();
    user->loseRegistration();
    user->setRegisterTimer(false, 0);
    if (answered)
        m_RegisterUnanswered.remove(name);
    else
        m_RegisterUnanswered.insert(name);
    const qint64 pause = m_RegisterRetry.failed(name);
    logLine(LogParams::Sip,
            QStringLiteral("User '%1' register failed (%2), next attempt in %3 s")
                .arg(name, reason)
                .arg(pause / 1000));
}

SipClientNonInviteDialog *Sip::pendingRegister(const QString &name) const
{
    const QString key = m_RegisterKeys.value(name);
    auto *dialog
        = key.isEmpty() ? nullptr : qobject_cast<SipClientNonInviteDialog *>(findDialog(key));
    if (!dialog || dialog->state() == SipDialog::Completed
        || dialog->state() == SipDialog::Terminated)
        return nullptr;
    return dialog;
}

void Sip::dropRegister(const QString &name)
{
    const QString key = m_RegisterKeys.take(name);
    // Its end is no longer the account's latest: the made-up answer is not heard.
    if (SipDialog *dialog = key.isEmpty() ? nullptr : findDialog(key))
        dialog->terminate();
}

void Sip::askForRegistration(SipUser *user)
{
    const QString name = user->objectName();
    // Its transaction alone sends it again: a copy for every report would only pile up on a
    // server that is slow or away.
    if (pendingRegister(name))
        return;
    // A server that refused is asked again after its pause; one that was silent is not
    // burdened by asking.
    if (m_RegisterRetry.isPending(name) && !m_RegisterUnanswered.contains(name))
        return;
    registerOnServer(name, true);
}

// The binding removed is the one that was sent, also when the address changed since: the
// REGISTER again as it went out, with the credentials. Only the server's final answer ends the
// withdrawal; one that got none goes again after a pause that grows with each time-out in a
// row, and at once on a new connection to the server.
void Sip::answerWithdrawal(const SipMessage &response)
{
    if (!response.isValid() || response.startLine.kind != 1 || response.responseClass() == 1)
        return;
    const QString callId = response.callId();
    const auto it = m_Withdrawals.find(callId);
    // Heard once: a copy (the server answering a retransmission), or the end of a transaction
    // the withdrawal has left, would withdraw again.
    if (it == m_Withdrawals.end() || it->key != response.transactionKey())
        return;
    it->key.clear();
    const QString name = it->name;
    if (response.synthetic) {
        const qint64 pause = m_WithdrawalRetry.failed(callId);
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' withdrawal failed (no answer), next attempt in %2 s")
                    .arg(name)
                    .arg(pause / 1000));
        return;
    }
    const SipStatus::Type status = response.startLine.status;
    const bool proxy = status == SipStatus::ProxyAuthenticationRequired;
    const bool challenged = (status == SipStatus::Unauthorized || proxy)
        && (proxy ? response.hasProxyAuthenticate() : response.hasWwwAuthenticate());
    QString refusal;
    if (challenged) {
        int stale = it->staleAnswers;
        refusal = challengeRefusal(it->request, response, proxy, stale);
        if (refusal.isEmpty()) {
            if (addCredentials(it->request, SipMethod::Register, response, it->login,
                               it->password)) {
                it->staleAnswers = stale;
                startWithdrawal(callId);
                return;
            }
            refusal = QStringLiteral("challenge not understood");
        }
    } else if (response.responseClass() != 2) {
        refusal
            = QStringLiteral("%1 %2").arg(statusCodeText(status)).arg(response.startLine.reason);
    }
    const Withdrawal refused = *it;
    m_Withdrawals.erase(it);
    m_WithdrawalRetry.succeeded(callId);
    const QStringList contacts = refused.request.headerValues(SipHeader::Contact);
    // A server that takes one contact a request still removes each binding, the account's own
    // among them, when asked for it alone.
    if (!refusal.isEmpty() && !challenged && contacts.size() > 1) {
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' withdrawal refused (%2), withdrawing its %3 contacts "
                               "one by one")
                    .arg(name, refusal)
                    .arg(contacts.size()));
        for (const QString &contact : contacts)
            sendWithdrawal(singleWithdrawal(refused.request, contact), refused.login,
                           refused.password);
        return;
    }
    if (!refusal.isEmpty())
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' withdrawal refused (%2)").arg(name, refusal));
    // Answered: an account of the name made meanwhile registers now.
    if (!isWithdrawing(name) && m_RegisterAfterWithdrawal.remove(name))
        registerOnServer(name, true);
}

// The binding removed stays the one first sent: the same registration (Call-ID, From tag,
// Contact). Credentials come with the server's next challenge: those of an old nonce might be
// taken for refused ones.
void Sip::renewWithdrawal(const QString &callId)
{
    const auto it = m_Withdrawals.find(callId);
    if (it == m_Withdrawals.end())
        return;
    // No longer the withdrawal's: the made-up end of the one under way is not heard.
    if (SipDialog *dialog = findDialog(std::exchange(it->key, QString())))
        dialog->terminate();
    renewRequest(it->request, SipMethod::Register);
    it->request.setHeaderValues(SipHeader::Authorization, {});
    it->request.setHeaderValues(SipHeader::ProxyAuthorization, {});
    it->staleAnswers = 0;
    startWithdrawal(callId);
}

// A registration of its own (Call-ID, From tag) for the one contact: its answer, whatever it
// is, concerns that binding alone.
SipMessage Sip::singleWithdrawal(const SipMessage &withdrawal, const QString &contact)
{
    SipMessage request = withdrawal;
    renewRequest(request, SipMethod::Register);
    request.setHeader(SipHeader::CallID, randomHexId());
    request.setFromTag(randomHexId());
    request.setHeaderValues(SipHeader::Authorization, {});
    request.setHeaderValues(SipHeader::ProxyAuthorization, {});
    request.setHeaderValues(SipHeader::Contact, { contact });
    return request;
}

bool Sip::isWithdrawing(const QString &name) const
{
    return std::any_of(m_Withdrawals.cbegin(), m_Withdrawals.cend(),
                       [&name](const Withdrawal &w) { return w.name == name; });
}

// Withdrawals written to a connection that was lost never reached the server, and those that
// wait for their pause can reach it now: each goes again at once on the connection that stands
// now, so a REGISTER of its name waits for the server's answer, not for a time-out.
void Sip::resendWithdrawals()
{
    const QStringList callIds = m_Withdrawals.keys();
    for (const QString &callId : callIds)
        renewWithdrawal(callId);
}

void Sip::holdWithdrawals()
{
    for (Withdrawal &withdrawal : m_Withdrawals) {
        if (SipDialog *dialog = findDialog(std::exchange(withdrawal.key, QString())))
            dialog->terminate();
    }
}

// Built from the connection the request went out on at first, its addresses would lead back
// to this service's own end of that connection once another stands.
void Sip::addressToServer(SipMessage &request) const
{
    if (m_IsStandalone || m_ClientAddress.isEmpty())
        return;
    request.transport = m_Transport;
    request.senderAddress = m_ServerAddress;
    request.senderPort = m_ServerPort == 0 ? 5060 : m_ServerPort;
    request.receiverAddress = m_ClientAddress;
    request.receiverPort = m_ClientPort == 0 ? 5060 : m_ClientPort;
    const SipMethod::Type method = request.cseqMethod();
    QStringList vias = request.headerValues(SipHeader::Via);
    KBaseViaAddress<1> via = request.topVia();
    // A CANCEL names its INVITE by that INVITE's Via.
    if (method != SipMethod::Cancel && !vias.isEmpty() && via.valid) {
        via.sentBy.host = m_ClientAddress;
        via.sentBy.port = m_ClientPort;
        via.transport = m_Transport;
        vias.first() = via.toString();
        request.setHeaderValues(SipHeader::Via, vias);
    }
    // A REGISTER's Contact names the binding it makes or removes, not its sender.
    const QStringList contacts = request.headerValues(SipHeader::Contact);
    if (method == SipMethod::Register || method == SipMethod::Cancel || contacts.isEmpty())
        return;
    KBaseContactAddress<1> contact(contacts.first());
    if (!contact.valid)
        return;
    contact.address.host = m_ExtAddress;
    contact.address.port = m_ClientPort;
    contact.address.setTransport(m_Transport);
    request.setHeader(SipHeader::Contact, contact.toString());
}

void Sip::addStaleContacts(const QString &name, SipMessage &request)
{
    QStringList contacts = request.headerValues(SipHeader::Contact);
    if (contacts.isEmpty())
        return;
    QStringList &bound = m_ServerContacts[name];
    for (const QString &contact : qAsConst(bound)) {
        if (indexOfContact({ contacts.first() }, contact) < 0)
            contacts << withdrawnContact(contact);
    }
    if (indexOfContact(bound, contacts.first()) < 0)
        bound << contacts.first();
    // The oldest goes unrecorded once this REGISTER has asked for its removal: a server that
    // never answered would otherwise see the list grow with every new port, and a binding that
    // old has expired there by now.
    while (bound.size() > kBoundContacts)
        bound.removeFirst();
    request.setHeaderValues(SipHeader::Contact, contacts);
}

// The server took the REGISTER, or refused what it carried: the contacts it withdrew are no
// longer the account's to withdraw. False when it withdrew none.
bool Sip::forgetWithdrawnContacts(const QString &name, const SipMessage &request)
{
    bool withdrew = false;
    const QStringList contacts = request.headerValues(SipHeader::Contact);
    for (const QString &contact : contacts) {
        if (KBaseContactAddress<1>(contact).parameters.param(QStringLiteral("expires"))
            != QLatin1String("0"))
            continue;
        withdrew = true;
        const auto found = m_ServerContacts.find(name);
        const int at = found == m_ServerContacts.end() ? -1 : indexOfContact(*found, contact);
        if (at >= 0)
            found->removeAt(at);
    }
    return withdrew;
}

// The REGISTER again, in the same registration (Call-ID, From tag), with the credentials.
void Sip::answerChallenge(SipUser *user, const SipMessage &response, int staleAnswers)
{
    // The answer would announce the address being replaced: it registers anew after the change.
    if (m_External.defer(user->objectName()))
        return;
    const bool proxy = response.startLine.status == SipStatus::ProxyAuthenticationRequired;
    SipMessage request(user);
    request.setHeader(SipHeader::CallID, response.callId());
    request.setFromTag(fromTag(response));
    setExpiresHeader(request, unsigned(user->expires()));
    const QString credentials
        = digestAuthorization(proxy ? SipHeader::ProxyAuthenticate : SipHeader::WWWAuthenticate,
                              request, response, user->login(), user->password());
    if (credentials.isEmpty()) {
        registrationFailed(user, QStringLiteral("challenge not understood"), true);
        return;
    }
    if (proxy)
        request.setProxyAuthorization(credentials);
    else
        request.setAuthorization(credentials);
    // The answer to the other kind of challenge goes along, as an INVITE's and a withdrawal's
    // does: a proxy and a registrar that both ask would otherwise be answered by turns, each
    // turn a fresh challenge, without end.
    if (const SipClientNonInviteDialog *dialog = clientDialogOf(response)) {
        const SipHeader::Type other
            = proxy ? SipHeader::Authorization : SipHeader::ProxyAuthorization;
        request.setHeaderValues(other, dialog->m_Request.headerValues(other));
    }
    sendRegister(user, request, staleAnswers);
}

void Sip::leaveServer(SipUser *user)
{
    const QString name = user->objectName();
    // The door is told at once: its leg's end, handed back later, finds no account.
    const QMap<QString, QString> calls = user->conversations();
    user->clearConversations();
    for (auto it = calls.cbegin(); it != calls.cend(); ++it) {
        if (VelkDevice *device = legDevice(it.key(), user))
            device->callTerminated(it.key(), false);
        onExcludeCallerFromConversation(it.value(), it.key(), false);
    }
    // As a reconnection registers anew: whatever the server may still hold is withdrawn.
    const bool bound = user->isRegistered() || pendingRegister(name)
        || m_RegisterRetry.isPending(name) || m_ServerContacts.contains(name);
    user->setRegisterTimer(false, 0);
    user->loseRegistration();
    dropRegister(name);
    m_RegisterRetry.succeeded(name);
    m_RegisterUnanswered.remove(name);
    m_RegisterAfterWithdrawal.remove(name);
    if (bound)
        registerOnServer(name, false);
}
