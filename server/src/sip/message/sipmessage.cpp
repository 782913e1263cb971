#include "sip/message/sipmessage.h"

#include "sip/message/addresslist.h"
#include "sip/message/sipconstants.h"
#include "sip/message/sipgrammar.h"

#include <QHostAddress>

#include <algorithm>

quint32 SipMessage::SequenceID = 1;

namespace {

const int kMetaTypes = [] {
    qRegisterMetaType<SipMessage>("SipMessage");
    qRegisterMetaType<SipTransport::Type>("SipTransport::Type");
    return 0;
}();

uint unsignedOf(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    return ok ? value : 0;
}

} // namespace

SipMessage::SipMessage()
    : senderAddress(noAddress())
    , receiverAddress(noAddress())
{
}

SipMessage::SipMessage(const SipTransport::Type &transport)
    : SipMessage()
{
    this->transport = transport;
}

SipMessage::SipMessage(const QString &callId)
    : SipMessage()
{
    headers.insert(SipHeader::CallID, QStringList { callId });
    refreshFields(SipHeader::CallID);
    valid = true;
}

SipMessage::SipMessage(const SipMethod::Type &method, const SipTransport::Type &transport)
    : SipMessage(transport)
{
    startLine.kind = 0;
    valid = true;
    startLine.version = SIPVER;
    startLine.method = method;
    const quint32 number = SequenceID++;
    setCSeq(number, method);
    setHeader(SipHeader::MaxForwards, QString::number(MAXFORWARDS.toInt()));
    if (method != SipMethod::Ack && method != SipMethod::Cancel)
        setHeader(SipHeader::Allow, ALLOW);
}

SipMessage SipMessage::makeCancel() const
{
    SipMessage cancel(SipMethod::Cancel, transport);
    cancel.startLine.requestUri = startLine.requestUri;
    cancel.senderAddress = senderAddress;
    cancel.receiverAddress = receiverAddress;
    cancel.senderPort = senderPort == 0 ? 5060 : senderPort;
    cancel.receiverPort = receiverPort == 0 ? 5060 : receiverPort;
    cancel.m_fields = m_fields;
    for (const SipHeader::Type type :
         { SipHeader::Via, SipHeader::To, SipHeader::From, SipHeader::CallID, SipHeader::CSeq })
        cancel.setHeaderValues(type, headerValues(type));
    cancel.setCSeq(cseqNumber(), SipMethod::Cancel);
    return cancel;
}

void SipMessage::setRequestUri(const QString &user, const QString &host, quint16 port,
                               const QString &parameters)
{
    KBaseRequestUri<1> &uri = startLine.requestUri;
    uri.clear();
    uri.valid = true;
    uri.user = user;
    uri.host = host;
    uri.port = port;
    uri.parameters.setValue(parameters);
}

void SipMessage::setRequestUri(const QString &user, const QString &host, quint16 port,
                               const SipTransport::Type &transport)
{
    setRequestUri(user, host, port, QString());
    startLine.requestUri.setTransport(transport);
}

QStringList SipMessage::headerValues(const SipHeader::Type &type) const
{
    return headers.value(type);
}

QString SipMessage::headerValue(const SipHeader::Type &type, int index) const
{
    const auto it = headers.constFind(type);
    if (it == headers.constEnd() || index < 0 || index >= it->size())
        return QString();
    return it->at(index);
}

void SipMessage::setHeader(const SipHeader::Type &type, const QString &value)
{
    QStringList &values = headers[type];
    if (values.isEmpty())
        values.append(value);
    else
        values[0] = value;
    refreshFields(type);
}

void SipMessage::setHeaderValues(const SipHeader::Type &type, const QStringList &values)
{
    if (values.isEmpty())
        headers.remove(type);
    else
        headers.insert(type, values);
    refreshFields(type);
}

void SipMessage::setBody(const QString &contentType, const QByteArray &body)
{
    if (!contentType.isEmpty())
        setHeader(SipHeader::ContentType, contentType);
    this->body = body;
    setHeader(SipHeader::ContentLength, QString::number(body.size()));
}

QString SipMessage::singleValue(const SipHeader::Type &type) const
{
    const auto it = headers.constFind(type);
    return it != headers.constEnd() && it->size() == 1 ? it->first() : QString();
}

uint SipMessage::singleNumber(const SipHeader::Type &type) const
{
    return unsignedOf(singleValue(type).trimmed());
}

KBaseContactAddress<1> SipMessage::singleAddress(const SipHeader::Type &type) const
{
    const auto it = headers.constFind(type);
    KBaseContactAddress<1> address;
    if (it != headers.constEnd() && it->size() == 1)
        address = it->first();
    return address;
}

QString SipMessage::callId() const
{
    return singleValue(SipHeader::CallID);
}

QString SipMessage::allow() const
{
    return singleValue(SipHeader::Allow);
}

QString SipMessage::supported() const
{
    return singleValue(SipHeader::Supported);
}

QString SipMessage::event() const
{
    return singleValue(SipHeader::Event);
}

QString SipMessage::subscriptionState() const
{
    return singleValue(SipHeader::SubscriptionState);
}

QString SipMessage::contentType() const
{
    return singleValue(SipHeader::ContentType);
}

bool SipMessage::isContentType(const QString &text) const
{
    return !text.isEmpty() && contentType() == text;
}

bool SipMessage::hasWwwAuthenticate() const
{
    return headers.value(SipHeader::WWWAuthenticate).size() == 1;
}

bool SipMessage::hasAuthorization() const
{
    return headers.value(SipHeader::Authorization).size() == 1;
}

bool SipMessage::hasProxyAuthenticate() const
{
    return headers.value(SipHeader::ProxyAuthenticate).size() == 1;
}

bool SipMessage::hasProxyAuthorization() const
{
    return headers.value(SipHeader::ProxyAuthorization).size() == 1;
}

uint SipMessage::contentLength() const
{
    return unsignedOf(singleValue(SipHeader::ContentLength));
}

uint SipMessage::maxForwards() const
{
    return singleNumber(SipHeader::MaxForwards);
}

uint SipMessage::expiresHeader() const
{
    return singleNumber(SipHeader::Expires);
}

uint SipMessage::minSe() const
{
    return singleNumber(SipHeader::MinSE);
}

uint SipMessage::sessionExpires() const
{
    return singleNumber(SipHeader::SessionExpires);
}

KBaseContactAddress<1> SipMessage::referTo() const
{
    return singleAddress(SipHeader::ReferTo);
}

KBaseContactAddress<1> SipMessage::diversion() const
{
    return singleAddress(SipHeader::Diversion);
}

QList<KBaseContactAddress<1>> SipMessage::contacts() const
{
    QList<KBaseContactAddress<1>> result;
    for (const QString &value : headers.value(SipHeader::Contact)) {
        for (const QString &entry : addressListEntries(value))
            result.append(KBaseContactAddress<1>(entry));
    }
    return result;
}

uint SipMessage::expires() const
{
    const KBaseContactAddress<1> address = contact();
    if (address.parameters.hasParam(QStringLiteral("expires")))
        return unsignedOf(address.parameters.param(QStringLiteral("expires"), QStringLiteral("0")));
    return singleNumber(SipHeader::Expires);
}

uint SipMessage::expiresOf(const KBaseUri<1> &own) const
{
    const QList<KBaseContactAddress<1>> entries = contacts();
    auto granted = std::find_if(entries.cbegin(), entries.cend(),
                                [&own](const KBaseContactAddress<1> &entry) {
                                    return entry.valid && sameBinding(entry.address, own);
                                });
    if (granted == entries.cend() && entries.size() == 1)
        granted = entries.cbegin();
    const QString kExpires = QStringLiteral("expires");
    if (granted != entries.cend() && granted->parameters.hasParam(kExpires))
        return unsignedOf(granted->parameters.param(kExpires).trimmed());
    return singleNumber(SipHeader::Expires);
}

SipMethod::Type SipMessage::method() const
{
    if (startLine.kind == 0)
        return startLine.method;
    if (startLine.kind == 1)
        return cseqMethod();
    return SipMethod::Unknown;
}

void SipMessage::setCSeq(uint number, const SipMethod::Type &method)
{
    setHeader(SipHeader::CSeq, QStringLiteral("%1 %2").arg(number).arg(methodName(method)));
}

void SipMessage::setVia(const KBaseViaAddress<1> &via)
{
    headers.insert(SipHeader::Via, QStringList { via.toString() });
    refreshFields(SipHeader::Via);
}

void SipMessage::setWwwAuthenticate(const QString &realm, const QString &nonce)
{
    headers.insert(
        SipHeader::WWWAuthenticate,
        QStringList {
            QStringLiteral("Digest algorithm=MD5, realm=\"%1\", nonce=\"%2\"").arg(realm, nonce) });
}

void SipMessage::setAuthorization(const QString &text)
{
    headers.insert(SipHeader::Authorization, QStringList { text });
}

void SipMessage::setProxyAuthorization(const QString &text)
{
    headers.insert(SipHeader::ProxyAuthorization, QStringList { text });
}

void SipMessage::setAddressHeader(const SipHeader::Type &type, const QString &displayName,
                                  const QString &user, const QString &host, quint16 port,
                                  const QString &tag)
{
    KBaseContactAddress<1> address = nameAddress(displayName, user, host, port);
    if (!tag.isEmpty())
        address.parameters.setParam(QStringLiteral("tag"), tag);
    setHeader(type, address.toString());
}

void SipMessage::setFrom(const QString &displayName, const QString &user, const QString &host,
                         quint16 port, const QString &tag)
{
    setAddressHeader(SipHeader::From, displayName, user, host, port, tag);
}

void SipMessage::setTo(const QString &displayName, const QString &user, const QString &host,
                       quint16 port, const QString &tag)
{
    setAddressHeader(SipHeader::To, displayName, user, host, port, tag);
}

void SipMessage::setTagOf(const SipHeader::Type &type, const QString &tag)
{
    KBaseContactAddress<1> address = type == SipHeader::From ? from() : to();
    // Without a readable address there is nothing to tag; an empty value would be written.
    if (!address.valid)
        return;
    if (tag.isEmpty())
        address.parameters.removeParam(QStringLiteral("tag"));
    else
        address.parameters.setParam(QStringLiteral("tag"), tag);
    setHeader(type, address.toString());
}

void SipMessage::setFromTag(const QString &tag)
{
    setTagOf(SipHeader::From, tag);
}

void SipMessage::setToTag(const QString &tag)
{
    setTagOf(SipHeader::To, tag);
}

void SipMessage::setContact(const QString &user, const QString &host, quint16 port,
                            const SipTransport::Type &transport)
{
    KBaseContactAddress<1> address = nameAddress(QString(), user, host, port);
    address.address.setTransport(transport);
    setHeader(SipHeader::Contact, address.toString());
}

void SipMessage::copyContact(const KBaseContactAddress<1> &address)
{
    const quint16 port = address.address.port == 0 ? 5060 : address.address.port;
    setContact(address.address.user, address.address.host, port, transport);
}

void SipMessage::setDiversion(const KBaseContactAddress<1> &address)
{
    KBaseContactAddress<1> diversion
        = nameAddress(address.displayName, address.address.user, address.address.host,
                      address.address.port == 0 ? 5060 : address.address.port);
    diversion.parameters.setParam(QStringLiteral("reason"), QStringLiteral("unavailable"));
    setHeader(SipHeader::Diversion, diversion.toString());
}

QString chooseString(const QString &a, const QString &b, const QString &c)
{
    return a == c ? b : a;
}
