// Requests of standalone mode: the local server's requests to its registered users.
#include "sip/message/sipmessage.h"

#include "sip/message/dtmfrelaybody.h"
#include "core/identifiers.h"
#include "sip/message/sipconstants.h"
#include "sip/message/sipcontenttype.h"
#include "sip/message/siprequestsupport.h"
#include "sip/sipuser.h"

using namespace SipRequestSupport;

namespace {

bool namesUser(const KBaseContactAddress<1> &address, const SipUser *user)
{
    return address.address.user == user->m_ContactUser
        || address.address.user == user->objectName();
}

// Sent to the user's registered address; the server address is the host of From, To and Via.
void setUserAddresses(SipMessage &message, const SipUser *user)
{
    message.senderAddress = user->m_ServerAddress;
    message.senderPort = portOr5060(user->m_ServerPort);
    message.receiverAddress = user->m_ClientAddress;
    message.receiverPort = portOr5060(user->m_ClientPort);
    message.setRequestUri(user->m_ContactUser, user->m_ClientAddress, user->m_ClientPort,
                          user->m_ContactParameters);
    message.addVia(user->m_ServerAddress, user->m_ServerPort, QString(), SipTransport::Unset);
}

// A BYE or INFO on the dialog a leg's INVITE set up, as it set it up, whatever the user has
// registered since. An INVITE this server sent (no user, or the user is its callee) gives its own
// addressing; one the user's phone sent is answered at its source, at the target its Contact
// named. False when the user did not send it.
bool buildInDialog(SipMessage &message, const SipMessage &dialog, const SipUser *user,
                   const SipMethod::Type &method)
{
    if (user == nullptr || !dialog.received) {
        message.startLine.requestUri = dialog.startLine.requestUri;
        message.senderAddress = dialog.senderAddress;
        message.senderPort = portOr5060(dialog.senderPort);
        message.receiverAddress = dialog.receiverAddress;
        message.receiverPort = portOr5060(dialog.receiverPort);
        message.setHeaderValues(SipHeader::Via, dialog.headerValues(SipHeader::Via));
        message.setBranch(newBranch());
        for (const SipHeader::Type type : { SipHeader::To, SipHeader::From, SipHeader::CallID })
            message.setHeaderValues(type, dialog.headerValues(type));
    } else if (const KBaseContactAddress<1> from = dialog.from(); namesUser(from, user)) {
        const KBaseContactAddress<1> contact = dialog.contact();
        const KBaseUri<1> &target = contact.valid ? contact.address : from.address;
        message.senderAddress = user->m_ServerAddress;
        message.senderPort = portOr5060(user->m_ServerPort);
        message.receiverAddress = dialog.senderAddress;
        message.receiverPort = portOr5060(dialog.senderPort);
        message.setRequestUri(target.user, dialog.senderAddress, dialog.senderPort,
                              target.parameters.toString());
        message.addVia(user->m_ServerAddress, user->m_ServerPort, QString(), SipTransport::Unset);
        message.setHeaderValues(SipHeader::From, dialog.headerValues(SipHeader::To));
        message.setHeaderValues(SipHeader::To, dialog.headerValues(SipHeader::From));
        message.setHeader(SipHeader::CallID, dialog.callId());
    } else {
        return false;
    }
    takeCSeq(message, method);
    message.setHeader(SipHeader::MaxForwards, MAXFORWARDS);
    return true;
}

} // namespace

SipMessage::SipMessage(const SipMethod::Type &method, SipUser *fromUser, SipUser *toUser,
                       const QString &contentType, const QByteArray &body)
    : SipMessage()
{
    if (fromUser == nullptr || toUser == nullptr)
        return;
    *this = SipMessage(method, toUser->m_Transport);
    setBody(contentType, body);
    setUserAddresses(*this, toUser);
    setFrom(displayName(fromUser), fromUser->objectName(), toUser->m_ServerAddress,
            toUser->m_ServerPort, randomHexId());
    setTo(displayName(toUser), toUser->m_ContactUser, toUser->m_ServerAddress, toUser->m_ServerPort,
          QString());
    finishNewRequest(*this, method, contentType, body);
}

SipMessage::SipMessage(SipUser *fromUser, SipUser *toUser, const QByteArray &sdp)
    : SipMessage(SipMethod::Invite, fromUser, toUser, contentTypeName(SipContentType::Sdp), sdp)
{
    if (!valid)
        return;
    // Named on the INVITE's own transport, as the answers this server sends are: a phone
    // reached over TCP would send its in-dialog requests over UDP otherwise.
    setHeader(SipHeader::Contact,
              contactText(displayName(fromUser), fromUser->objectName(), toUser->m_ServerAddress,
                          toUser->m_ServerPort, transport));
    setHeader(SipHeader::Supported, QStringLiteral("replaces, timer"));
    KBaseContactAddress<1> address = to();
    address.address = startLine.requestUri;
    setHeader(SipHeader::To, address.toString());
}

SipMessage::SipMessage(SipUser *fromUser, SipUser *toUser, const SipMessage &refer,
                       const SipStatus::Type &status)
    : SipMessage(SipMethod::Notify, fromUser, toUser, contentTypeName(SipContentType::SipFrag),
                 statusLineText(status))
{
    setToTag(tagOf(refer.from()));
    setFromTag(tagOf(refer.to()));
    setHeader(SipHeader::CallID, refer.callId());
    copyContact(from());
    setHeader(SipHeader::Event, QStringLiteral("refer"));
    setHeader(SipHeader::SubscriptionState,
              ::statusClass(status) == 1 ? QStringLiteral("active;expires=32")
                                         : QStringLiteral("terminated;reason=noresource"));
    setHeaderValues(SipHeader::Route, refer.headerValues(SipHeader::Route));
}

SipMessage::SipMessage(const SipMessage &dialogMessage, SipUser *user)
    : SipMessage(SipMethod::Bye, dialogMessage.transport)
{
    valid = buildInDialog(*this, dialogMessage, user, SipMethod::Bye);
}

SipMessage::SipMessage(const SipMessage &dialogMessage, SipUser *user, const uchar &key,
                       const uint &duration)
    : SipMessage(SipMethod::Info, dialogMessage.transport)
{
    valid = buildInDialog(*this, dialogMessage, user, SipMethod::Info);
    if (valid)
        setBody(contentTypeName(SipContentType::DtmfRelay), dtmfRelayBody(key, duration));
}
