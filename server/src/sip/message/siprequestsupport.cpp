#include "sip/message/siprequestsupport.h"

#include "core/identifiers.h"
#include "sip/message/sipconstants.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

namespace SipRequestSupport {

quint16 portOr5060(quint16 port)
{
    return port == 0 ? 5060 : port;
}

QString displayName(const SipUser *user)
{
    return userSetting(user, SipUserSetting::DisplayName);
}

void takeCSeq(SipMessage &message, const SipMethod::Type &method)
{
    message.setCSeq(SipMessage::SequenceID++, method);
}

QString contactText(const QString &displayName, const QString &user, const QString &host,
                    quint16 port, const SipTransport::Type &transport)
{
    KBaseContactAddress<1> address = nameAddress(displayName, user, host, port);
    address.address.setTransport(transport);
    return address.toString();
}

QString tagOf(const KBaseContactAddress<1> &address)
{
    return address.parameters.param(QStringLiteral("tag"), QString());
}

void finishNewRequest(SipMessage &message, const SipMethod::Type &method,
                      const QString &contentType, const QByteArray &body)
{
    message.setHeader(SipHeader::CallID, randomHexId());
    takeCSeq(message, method);
    message.setHeader(SipHeader::MaxForwards, MAXFORWARDS);
    if (method != SipMethod::Ack && method != SipMethod::Cancel)
        message.setHeader(SipHeader::Allow, ALLOW);
    message.setBody(contentType, body);
    message.valid = true;
}

} // namespace SipRequestSupport
