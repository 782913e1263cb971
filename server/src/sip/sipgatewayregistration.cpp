// Gateway mode: the accounts' registration on the outside server, the answers to its
// challenges, the address announced to it, and the leave a deleted account takes of it.
#include "sip/sip.h"

#include "core/env.h"
#include "core/identifiers.h"
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

bool registersOnServer(const SipUser *user)
{
    return user
        && (user->typeUser() == SipUser::VelkAccount || user->typeUser() == SipUser::GroupAccount);
}

} // namespace

bool challengeRepeated(const SipMessage &request, const SipMessage &response, bool proxy)
{
    const bool answered = proxy ? request.hasProxyAuthorization() : request.hasAuthorization();
    if (!answered)
        return false;
    const QString challenge
        = response.headerValue(proxy ? SipHeader::ProxyAuthenticate : SipHeader::WWWAuthenticate);
    const QString stale = SipClientDigest::parseChallenge(challenge).value(QStringLiteral("stale"));
    return stale.compare(QLatin1String("true"), Qt::CaseInsensitive) != 0;
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
    m_Withdrawals.clear();
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

void Sip::sendRegister(SipUser *user, const SipMessage &request)
{
    SipClientNonInviteDialog *dialog = startRegister(request);
    m_RegisterKeys.insert(user->objectName(), dialog->objectName());
    connect(user, &SipUser::userUnRegistered, dialog, &SipDialog::terminate, Qt::QueuedConnection);
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::onReceiveResponseRegister,
            Qt::DirectConnection);
    dialog->process(request);
}

void Sip::sendWithdrawal(const SipMessage &request, const QString &login, const QString &password)
{
    SipClientNonInviteDialog *dialog = startRegister(request);
    m_Withdrawals.insert(dialog->objectName(), { request.to().address.user, login, password });
    connect(dialog, &SipDialog::receiveResponse, this, &Sip::answerWithdrawal,
            Qt::DirectConnection);
    dialog->process(request);
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
        user->setRegistered(true);
        user->setRegisterTimer(true, qint64(response.expires()));
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
        // Answering the same challenge again would only repeat the refused credentials.
        if (dialog && challengeRepeated(dialog->m_Request, response, proxy)) {
            registrationFailed(user, QStringLiteral("credentials refused"), true);
            return;
        }
        answerChallenge(user, response);
        return;
    }
    case SipStatus::IntervalTooBrief:
        if (raiseExpires(user, response))
            return;
        break;
    default:
        break;
    }
    // A time-out too, the server's own or the transaction's: asking again at once would only
    // repeat it, as fast as the server answers.
    const QString reason = response.synthetic ? QStringLiteral("no answer")
                                              : QStringLiteral("%1 %2")
                                                    .arg(statusCodeText(response.startLine.status))
                                                    .arg(response.startLine.reason);
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
// REGISTER again as it went out, with the credentials.
void Sip::answerWithdrawal(const SipMessage &response)
{
    if (!response.isValid() || response.startLine.kind != 1 || response.responseClass() == 1)
        return;
    // Heard once: a copy (the server answering a retransmission) would withdraw again.
    const Withdrawal withdrawal = m_Withdrawals.take(response.transactionKey());
    const QString name = withdrawal.name;
    if (name.isEmpty())
        return;
    const SipStatus::Type status = response.startLine.status;
    const bool proxy = status == SipStatus::ProxyAuthenticationRequired;
    const bool challenged = (status == SipStatus::Unauthorized || proxy)
        && (proxy ? response.hasProxyAuthenticate() : response.hasWwwAuthenticate());
    const SipClientNonInviteDialog *dialog = clientDialogOf(response);
    SipMessage request = dialog ? dialog->m_Request : SipMessage();
    if (challenged && dialog && !challengeRepeated(request, response, proxy)
        && addCredentials(request, SipMethod::Register, response, withdrawal.login,
                          withdrawal.password)) {
        sendWithdrawal(request, withdrawal.login, withdrawal.password);
        return;
    }
    // Ended, answered or not: an account of the name made meanwhile registers now.
    if (!isWithdrawing(name) && m_RegisterAfterWithdrawal.remove(name))
        registerOnServer(name, true);
}

bool Sip::isWithdrawing(const QString &name) const
{
    return std::any_of(m_Withdrawals.cbegin(), m_Withdrawals.cend(),
                       [&name](const Withdrawal &w) { return w.name == name; });
}

// Withdrawals written to a connection that was lost never reached the server: each goes again
// as a new request on the connection that stands now, so a REGISTER of its name waits for the
// server's answer, not for the lost one's time-out. Credentials come with the server's next
// challenge: those of the old nonce might be taken for refused ones.
void Sip::resendWithdrawals()
{
    const QHash<QString, Withdrawal> withdrawals = std::exchange(m_Withdrawals, {});
    for (auto it = withdrawals.cbegin(); it != withdrawals.cend(); ++it) {
        auto *dialog = qobject_cast<SipClientNonInviteDialog *>(findDialog(it.key()));
        if (!dialog)
            continue;
        SipMessage request = dialog->sentRequest();
        // No longer listed: its made-up end is not heard.
        dialog->terminate();
        request.setToTag(QString());
        request.setCSeq(SipMessage::SequenceID++, SipMethod::Register);
        request.dialogHeaders = SipHeaderTable();
        request.setBranch(newBranch());
        request.setHeaderValues(SipHeader::Authorization, {});
        request.setHeaderValues(SipHeader::ProxyAuthorization, {});
        sendWithdrawal(request, it->login, it->password);
    }
}

// The REGISTER again, in the same registration (Call-ID, From tag), with the credentials.
void Sip::answerChallenge(SipUser *user, const SipMessage &response)
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
    sendRegister(user, request);
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
    const bool bound
        = user->isRegistered() || pendingRegister(name) || m_RegisterRetry.isPending(name);
    user->setRegisterTimer(false, 0);
    user->loseRegistration();
    dropRegister(name);
    m_RegisterRetry.succeeded(name);
    m_RegisterUnanswered.remove(name);
    m_RegisterAfterWithdrawal.remove(name);
    if (bound)
        registerOnServer(name, false);
}
