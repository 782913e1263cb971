// The local server's registrar and the digest check of requests from local accounts.
#include "sip/sip.h"

#include "core/digestchallenge.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"

#include <QCryptographicHash>

#include <algorithm>
#include <utility>

namespace {

const QString kExpires = QStringLiteral("expires");

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

// The digest's uri names the request's own URI.
bool sameRequestUri(const QString &uri, const SipMessage &request)
{
    const auto &requestUri = request.startLine.requestUri;
    if (uri == requestUri.text)
        return true;
    const KBaseRequestUri<1> given(uri);
    return given.valid && given == requestUri;
}

// What a nonce is spent on: one request and its retransmissions.
QString requestUse(const SipMessage &request)
{
    return request.transactionKey(request.cseqMethod());
}

// A usable expiry text: digits only.
bool readExpiry(const QString &text, quint32 &value)
{
    bool ok = false;
    value = text.trimmed().toUInt(&ok, 10);
    return ok;
}

// An expiry named and readable decides; without one the configured interval is granted, so
// only an explicit 0 removes the binding.
quint32 requestedExpiry(const SipMessage &request)
{
    const KBaseContactAddress<1> contact = request.contact();
    const QStringList expiresHeaders = request.headerValues(SipHeader::Expires);
    quint32 requested = 1;
    if (contact.valid && contact.parameters.hasParam(kExpires)) {
        if (!readExpiry(contact.parameters.param(kExpires), requested))
            requested = 1;
    } else if (expiresHeaders.size() == 1) {
        if (!readExpiry(expiresHeaders.first(), requested))
            requested = 1;
    }
    return requested;
}

// A removal takes the account's binding only when it names it: "*" names any; else its Call-ID,
// or its Contact user from where it registered. Another device's withdrawal, made as it quits
// after this one registered, must leave this one alone.
bool removesOtherBinding(const SipUser *user, const SipMessage &request)
{
    if (requestedExpiry(request) != 0 || !user->isRegistered())
        return false;
    const QStringList contacts = request.headerValues(SipHeader::Contact);
    if (contacts.size() == 1 && contacts.first().trimmed() == QLatin1String("*"))
        return false;
    if (request.callId() == user->m_ContactCallId)
        return false;
    const KBaseContactAddress<1> contact = request.contact();
    return !contact.valid || contact.address.user != user->m_ContactUser
        || request.senderAddress != user->m_ClientAddress
        || request.senderPort != user->m_ClientPort;
}

// The account's binding as requests reach it, with the seconds it has left.
KBaseContactAddress<1> currentBinding(const SipUser *user, quint32 &left)
{
    KBaseContactAddress<1> binding
        = nameAddress(QString(), user->m_ContactUser, user->m_ClientAddress, user->m_ClientPort);
    binding.address.parameters.setValue(user->m_ContactParameters);
    // Its timer runs the expiry and a tenth, in real time.
    const QTimer &timer = user->registerTimer();
    const qint64 seconds = timer.isActive()
        ? qint64(double(timer.remainingTime()) * TimeScale::factor()) / 1100
        : qint64(user->expires());
    left = quint32(qBound<qint64>(0, seconds, qint64(user->expires())));
    binding.parameters.setParam(kExpires, QString::number(left));
    return binding;
}

} // namespace

bool Sip::checkDigestAuthorization(const SipMessage &request, const QString &login,
                                   const QString &password) const
{
    const QStringList values = request.headerValues(SipHeader::Authorization);
    if (values.size() != 1)
        return false;
    const QHash<QString, QString> table = parseDigestChallenge(values.first());
    if (table.isEmpty())
        return false;
    // Only this system's realm, and only for the request it came with.
    const QString realm = table.value(QStringLiteral("realm"));
    const QString uri = table.value(QStringLiteral("uri"));
    if (realm != CORVANE_REALM || !sameRequestUri(uri, request))
        return false;
    const QString ha1 = md5Hex(QStringLiteral("%1:%2:%3").arg(login, realm, password));
    const QString ha2 = md5Hex(QStringLiteral("%1:%2").arg(methodName(request.cseqMethod()), uri));
    const QString expected
        = md5Hex(QStringLiteral("%1:%2:%3").arg(ha1, table.value(QStringLiteral("nonce")), ha2));
    return table.value(QStringLiteral("response")).toLower() == expected;
}

int Sip::digestVerdict(const SipMessage &request, SipUser *account)
{
    if (!checkDigestAuthorization(request, account->login(), account->password()))
        return 1;
    const QString nonce
        = parseDigestChallenge(request.headerValue(SipHeader::Authorization)).value("nonce");
    return m_Nonces.consume(nonce, requestUse(request)) ? 0 : 2;
}

void Sip::challenge(SipDialog *dialog, bool stale)
{
    SipMessage response(SipStatus::Unauthorized, dialog->m_Request);
    const QString nonce = m_Nonces.issue();
    if (stale)
        response.setHeader(SipHeader::WWWAuthenticate,
                           QStringLiteral("Digest algorithm=MD5, realm=\"%1\", nonce=\"%2\", "
                                          "stale=true")
                               .arg(CORVANE_REALM, nonce));
    else
        response.setWwwAuthenticate(CORVANE_REALM, nonce);
    dialog->sendResponse(response);
}

SipUser *Sip::authorizeRequestStandalone(SipDialog *dialog)
{
    if (!dialog)
        return nullptr;
    const SipMessage &request = dialog->m_Request;
    SipUser *sender = findLocalUser(request.from().address.user);
    if (!sender) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return nullptr;
    }
    if (!isUsableUser(sender)) {
        sendDialogResponse(dialog, SipStatus::Forbidden);
        return nullptr;
    }
    // Inside a call only from the very leg the sender has in it: a To tag is easily forged. The
    // phone's own leg needs no credentials, whatever it repeats of earlier ones.
    if (!toTagOf(request).isEmpty() && isFromOwnLeg(sender, request))
        return sender;
    if (request.hasAuthorization()) {
        switch (digestVerdict(request, sender)) {
        case 0:
            return sender;
        case 2:
            challenge(dialog, true);
            return nullptr;
        default:
            sendDialogResponse(dialog, SipStatus::Forbidden);
            return nullptr;
        }
    }
    challenge(dialog, false);
    return nullptr;
}

void Sip::onRegisterStandalone(SipDialog *dialog)
{
    if (!dialog)
        return;
    const SipMessage &request = dialog->m_Request;
    const auto plain
        = [](SipUser *user) { return user && user->typeUser() == SipUser::PlainAccount; };
    SipUser *to = findUser(request.to().address.user);
    if (!plain(findUser(request.from().address.user)) || !plain(to)) {
        sendDialogResponse(dialog, SipStatus::NotFound);
        return;
    }
    if (!request.hasAuthorization()) {
        challenge(dialog, false);
        return;
    }
    switch (digestVerdict(request, to)) {
    case 1:
        sendDialogResponse(dialog, SipStatus::Forbidden);
        return;
    case 2:
        challenge(dialog, true);
        return;
    default:
        break;
    }
    quint32 granted = 0;
    KBaseContactAddress<1> contact = request.contact();
    if (removesOtherBinding(to, request)) {
        logLine(LogParams::Sip,
                QStringLiteral("User '%1' keeps its registration: the removal "
                               "names another binding")
                    .arg(to->objectName()));
        contact = currentBinding(to, granted);
    } else {
        m_Registering = &request;
        granted = registerUserStandalone(to, request);
        m_Registering = nullptr;
    }

    SipMessage response(SipStatus::OK, request);
    const QStringList contacts = request.headerValues(SipHeader::Contact);
    const bool singleExpires = request.headerValues(SipHeader::Expires).size() == 1;
    if (contact.valid) {
        if (contact.parameters.hasParam(kExpires))
            contact.parameters.setParam(kExpires, QString::number(granted));
        response.setHeader(SipHeader::Contact, contact.toString());
    } else if (!contacts.isEmpty()) {
        response.setHeader(SipHeader::Contact, contacts.first());
    }
    // The phone learns the interval also when it named none.
    if (singleExpires || (granted > 0 && !contact.parameters.hasParam(kExpires)))
        response.setHeader(SipHeader::Expires, QString::number(granted));
    dialog->sendResponse(response);
    settleLeftTcp(request);
}

void Sip::onUserTcpSocket(const QString &addr, quint16 port, bool init, const QString &user)
{
    // A REGISTER over TCP binds the connection it came on: no account name, so that none is
    // opened in its place once it is gone. Its id stays while accounts are registered over it.
    const QPair<QString, quint16> peer(addr, port);
    if (init) {
        quint64 &id = m_TcpConnections[peer];
        if (id == 0)
            id = ++m_LastTcpConnection;
        emit initTcpSocket(
            addr, port, true,
            m_Registering && m_Registering->transport == SipTransport::TCP ? QString() : user, id);
    } else if (m_Registering) {
        m_LeftTcp << tcpConnection(addr, port);
    } else if (m_LostTcp != peer) {
        // One reported lost is gone already: a close could only hit a new connection from there.
        closeLeftTcp(tcpConnection(addr, port));
    }
}

Sip::TcpConnection Sip::tcpConnection(const QString &addr, quint16 port) const
{
    return { addr, port, m_TcpConnections.value(qMakePair(addr, port)) };
}

bool Sip::accountOverTcp(const QString &addr, quint16 port) const
{
    return std::any_of(m_UserList.cbegin(), m_UserList.cend(),
                       [&](const SipUser *user) { return user->isRegisteredOver(addr, port); });
}

// A REGISTER never closes the connection it came on: its answer, and the BYE or CANCEL of the
// calls its account's change ended, still go out there, and the phone may go on using it.
void Sip::settleLeftTcp(const SipMessage &request)
{
    const QList<TcpConnection> left = std::exchange(m_LeftTcp, {});
    for (const TcpConnection &connection : left) {
        if (accountOverTcp(connection.address, connection.port))
            continue;
        if (request.transport == SipTransport::TCP && request.senderAddress == connection.address
            && request.senderPort == connection.port) {
            forgetTcpConnection(connection);
            emit releaseTcpSocket(connection.address, connection.port, connection.id);
        } else {
            closeLeftTcp(connection);
        }
    }
}

void Sip::closeLeftTcp(const TcpConnection &connection)
{
    // Without an id it is none that accounts were registered over, and nothing is closed.
    if (connection.id == 0 || accountOverTcp(connection.address, connection.port))
        return;
    if (!hasEndingLeg([&](const EndingLeg &leg) { return leg.holds(connection); })) {
        forgetTcpConnection(connection);
        emit initTcpSocket(connection.address, connection.port, false, QString(), connection.id);
    } else if (!m_HeldTcp.contains(connection)) {
        m_HeldTcp << connection;
    }
}

void Sip::forgetTcpConnection(const TcpConnection &connection)
{
    const QPair<QString, quint16> peer(connection.address, connection.port);
    if (m_TcpConnections.value(peer) == connection.id)
        m_TcpConnections.remove(peer);
}

quint32 Sip::registerUserStandalone(SipUser *user, const SipMessage &request)
{
    const KBaseContactAddress<1> contact = request.contact();
    const quint32 requested = requestedExpiry(request);
    if (requested == 0 || !contact.valid) {
        // "Contact: *" with Expires 0, or any other removal.
        if (requested == 0)
            user->setRegistered(false);
        return requested == 0 ? 0 : quint32(user->expires());
    }
    const KBaseUri<1> &uri = contact.address;
    const auto &requestUri = request.startLine.requestUri;
    return quint32(user->registerContact(contactTransport(uri, SipTransport::UDP), uri.user,
                                         uri.parameters.toString(), request.callId(),
                                         requestUri.host, requestUri.port, request.senderAddress,
                                         request.senderPort));
}
