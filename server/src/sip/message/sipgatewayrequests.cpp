// Requests of gateway mode: a user registers on the outside server and calls through it.
#include "sip/message/sipmessage.h"

#include "sip/message/dtmfrelaybody.h"
#include "core/identifiers.h"
#include "sip/message/sipconstants.h"
#include "sip/message/sipcontenttype.h"
#include "sip/message/siprequestsupport.h"
#include "sip/sipuser.h"

using namespace SipRequestSupport;

namespace {

// The user's name at the address it advertises, on the client port its Contact carries.
QString gatewayContact(const SipUser *user)
{
    return contactText(displayName(user), user->objectName(), user->localAddress(),
                       user->m_ContactPort, user->m_Transport);
}

// Sender the server, receiver the local end: the datagram leaves by the socket connected to
// the server whatever the receiver says.
void setServerAddresses(SipMessage &message, const SipUser *user)
{
    message.senderAddress = user->m_ServerAddress;
    message.senderPort = portOr5060(user->m_ServerPort);
    message.receiverAddress = user->m_ClientAddress;
    message.receiverPort = portOr5060(user->m_ClientPort);
}

void setAddresses(SipMessage &message, const SipMessage &dialog, bool crosswise)
{
    message.senderAddress = crosswise ? dialog.receiverAddress : dialog.senderAddress;
    message.senderPort = portOr5060(crosswise ? dialog.receiverPort : dialog.senderPort);
    message.receiverAddress = crosswise ? dialog.senderAddress : dialog.receiverAddress;
    message.receiverPort = portOr5060(crosswise ? dialog.senderPort : dialog.receiverPort);
}

void setRequestUriOf(SipMessage &message, const KBaseUri<1> &uri)
{
    message.setRequestUri(uri.user, uri.host, portOr5060(uri.port),
                          uri.parameters.toString(QStringLiteral(";")));
}

// The service's own end of a leg's dialog, where its requests leave from: the receiver in the
// gateway's addressing of its own INVITEs and of the server's alike.
void addOwnVia(SipMessage &message, const SipMessage &dialog)
{
    message.addVia(dialog.receiverAddress, portOr5060(dialog.receiverPort), QString(),
                   SipTransport::Unset);
}

// As the account's REGISTER and INVITE name it; a deleted account's at its dialog's own end.
void setOwnContact(SipMessage &message, const SipMessage &dialog, const SipUser *account,
                   const QString &user)
{
    if (account)
        message.setHeader(SipHeader::Contact, gatewayContact(account));
    else
        message.setContact(user, dialog.receiverAddress, portOr5060(dialog.receiverPort),
                           dialog.transport);
}

void finishInDialog(SipMessage &message, const SipMessage &dialog, const SipMethod::Type &method)
{
    message.setHeader(SipHeader::CallID, dialog.callId());
    takeCSeq(message, method);
    message.setHeader(SipHeader::MaxForwards, MAXFORWARDS);
}

} // namespace

SipMessage::SipMessage(SipUser *user)
    : SipMessage()
{
    if (user == nullptr)
        return;
    *this = SipMessage(SipMethod::Register, user->m_Transport);
    setServerAddresses(*this, user);
    setRequestUri(QString(), user->m_ServerAddress, user->m_ServerPort, user->m_ContactParameters);
    addVia(user->m_ClientAddress, user->m_ClientPort, QString(), SipTransport::Unset);
    const QString name = displayName(user);
    setFrom(name, user->objectName(), user->m_ServerAddress, user->m_ServerPort, randomHexId());
    setTo(name, user->objectName(), user->m_ServerAddress, user->m_ServerPort, QString());
    setHeader(SipHeader::CallID, randomHexId());
    takeCSeq(*this, SipMethod::Register);
    setHeader(SipHeader::Contact, gatewayContact(user));
    setHeader(SipHeader::Expires, QString::number(user->expires()));
    setHeader(SipHeader::MaxForwards, MAXFORWARDS);
    setHeader(SipHeader::Allow, ALLOW);
    valid = true;
}

SipMessage::SipMessage(const SipMethod::Type &method, SipUser *user, const QString &target,
                       const QString &contentType, const QByteArray &body)
    : SipMessage()
{
    if (user == nullptr || target.isEmpty())
        return;
    *this = SipMessage(method, user->m_Transport);
    setBody(contentType, body);
    setServerAddresses(*this, user);
    setRequestUri(target, user->m_ServerAddress, user->m_ServerPort, user->m_ContactParameters);
    addVia(user->m_ClientAddress, user->m_ClientPort, QString(), SipTransport::Unset);
    setFrom(displayName(user), user->objectName(), user->m_ServerAddress, user->m_ServerPort,
            randomHexId());
    setTo(QString(), target, user->m_ServerAddress, user->m_ServerPort, QString());
    finishNewRequest(*this, method, contentType, body);
}

SipMessage::SipMessage(SipUser *user, const QString &target, const QByteArray &sdp)
    : SipMessage(SipMethod::Invite, user, target, contentTypeName(SipContentType::Sdp), sdp)
{
    if (!valid)
        return;
    setHeader(SipHeader::Contact, gatewayContact(user));
}

SipMessage::SipMessage(const SipMessage &dialogMessage, const QString &userName,
                       const SipUser *account)
    : SipMessage(SipMethod::Bye, dialogMessage.transport)
{
    valid = false;
    const KBaseContactAddress<1> from = dialogMessage.from();
    const KBaseContactAddress<1> to = dialogMessage.to();
    if (from.address.user == userName) {
        // The user called: the BYE goes back the way the INVITE came.
        setAddresses(*this, dialogMessage, false);
        setOwnContact(*this, dialogMessage, account, to.address.user);
        addOwnVia(*this, dialogMessage);
        setHeader(SipHeader::From, to.toString());
        setHeader(SipHeader::To, from.toString());
        finishInDialog(*this, dialogMessage, SipMethod::Bye);
        dialogMessage.setRouteSet(*this, true);
    } else {
        setRequestUriOf(*this, from.address);
        setAddresses(*this, dialogMessage, true);
        setOwnContact(*this, dialogMessage, account, from.address.user);
        addOwnVia(*this, dialogMessage);
        setHeader(SipHeader::From, from.toString());
        setHeader(SipHeader::To, to.toString());
        finishInDialog(*this, dialogMessage, SipMethod::Bye);
        dialogMessage.setRouteSet(*this, false);
    }
    valid = true;
}

SipMessage::SipMessage(const SipMessage &dialogMessage, const QString &userName, const uchar &key,
                       const uint &duration)
    : SipMessage(SipMethod::Info, dialogMessage.transport)
{
    valid = false;
    const bool toUser = dialogMessage.to().address.user == userName;
    if (toUser) {
        setRequestUriOf(*this, dialogMessage.from().address);
        setAddresses(*this, dialogMessage, false);
    } else {
        setAddresses(*this, dialogMessage, true);
    }
    addOwnVia(*this, dialogMessage);
    setHeader(SipHeader::From, dialogMessage.from().toString());
    setHeader(SipHeader::To, dialogMessage.to().toString());
    finishInDialog(*this, dialogMessage, SipMethod::Info);
    setHeaderValues(SipHeader::Authorization, dialogMessage.headerValues(SipHeader::Authorization));
    dialogMessage.setRouteSet(*this, !toUser);
    valid = true;
    setBody(contentTypeName(SipContentType::DtmfRelay), dtmfRelayBody(key, duration));
}
