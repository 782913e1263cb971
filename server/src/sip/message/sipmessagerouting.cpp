#include "sip/message/sipmessage.h"

#include "core/identifiers.h"
#include "sip/message/addresslist.h"
#include "sip/message/sipconstants.h"

#include <algorithm>

namespace {

const QString kBranch = QStringLiteral("branch");
const QString kRport = QStringLiteral("rport");
const QString kReceived = QStringLiteral("received");

} // namespace

SipMessage::SipMessage(const SipStatus::Type &status, const SipMessage &request,
                       const QString &contentType, const QByteArray &body)
    : SipMessage()
{
    startLine.kind = 1;
    startLine.version = SIPVER;
    startLine.method = request.cseqMethod();
    startLine.status = status;
    startLine.reason = reasonPhrase(status);
    statusClass = ::statusClass(status);
    transport = request.transport;
    senderAddress = request.receiverAddress;
    senderPort = request.receiverPort;
    receiverAddress = request.senderAddress;
    receiverPort = request.senderPort;
    if (!contentType.isEmpty()) {
        setHeader(SipHeader::ContentType, contentType);
        this->body = body;
    }
    setHeader(SipHeader::ContentLength, QString::number(body.size()));
    m_fields = request.m_fields;
    for (const SipHeader::Type type : { SipHeader::CallID, SipHeader::CSeq, SipHeader::From,
                                        SipHeader::To, SipHeader::Via, SipHeader::RecordRoute })
        setHeaderValues(type, request.headerValues(type));

    QStringList vias = headerValues(SipHeader::Via);
    if (!vias.isEmpty()) {
        QStringList parts = vias.first().split(QLatin1Char(','), Qt::KeepEmptyParts);
        KBaseViaAddress<1> via(parts.first());
        if (via.valid && via.sentBy.parameters.hasParam(kRport)) {
            via.sentBy.parameters.setParam(kReceived, receiverAddress);
            via.sentBy.parameters.setParam(kRport, QString::number(receiverPort));
            parts.first() = via.toString();
            vias.first() = parts.join(QLatin1Char(','));
            setHeaderValues(SipHeader::Via, vias);
        }
    }
    setHeader(SipHeader::Allow, ALLOW);
    valid = true;
}

void SipMessage::setBranch(const QString &branch)
{
    KBaseViaAddress<1> via = topVia();
    via.sentBy.parameters.setParam(kBranch, branch);
    setVia(via);
}

KBaseViaAddress<1> SipMessage::viaWithBranch(const QString &branch) const
{
    // Only the first entry of a value counts: read whole, a later comma-separated entry's
    // branch would override the first one's in the parameter list.
    for (const QString &value : headers.value(SipHeader::Via)) {
        const KBaseViaAddress<1> via = firstViaEntry(value);
        if (via.valid && via.sentBy.parameters.param(kBranch, QString()) == branch)
            return via;
    }
    return KBaseViaAddress<1>(QString());
}

void SipMessage::addVia(const QString &host, quint16 port, const QString &branch,
                        const SipTransport::Type &transport)
{
    KBaseViaAddress<1> via;
    via.sentBy.clear();
    via.sentBy.valid = true;
    via.sentBy.host = host;
    via.sentBy.port = port;
    via.sentBy.parameters.setParam(kBranch, branch.isEmpty() ? newBranch() : branch);
    via.sentBy.parameters.setParam(kRport, QString());
    via.transport = transport == SipTransport::Unset ? this->transport : transport;
    via.valid = true;
    setVia(via);
}

void SipMessage::setRouteSet(SipMessage &target, const bool &fromRequest) const
{
    // The caller side reads the dialog's last response, which the transactions keep in
    // dialogHeaders; that table may be empty, so only values that exist are read.
    const SipHeaderTable &table = fromRequest ? headers : dialogHeaders;
    // A redirect's Contact may list several addresses on its first line: the first is read.
    const QStringList contactValues = table.value(SipHeader::Contact);
    const QStringList firstEntries
        = contactValues.isEmpty() ? QStringList() : addressListEntries(contactValues.first());
    const KBaseContactAddress<1> remote(firstEntries.isEmpty() ? QString() : firstEntries.first());
    if (remote.valid) {
        const KBaseUri<1> &uri = remote.address;
        target.setRequestUri(uri.user, uri.host, uri.port == 0 ? 5060 : uri.port,
                             uri.parameters.toString(QStringLiteral(";")));
    } else {
        target.startLine.requestUri = startLine.requestUri;
    }

    // An address that is missing or unreadable leaves the target's header as the caller set it.
    const auto copyAddress
        = [&target](const SipHeader::Type &type, const KBaseContactAddress<1> &address) {
              if (address.valid)
                  target.setHeader(type, address.toString());
          };
    if (fromRequest) {
        copyAddress(SipHeader::To, from());
        copyAddress(SipHeader::From, to());
    } else {
        const QStringList fromValues = table.value(SipHeader::From);
        const QStringList toValues = table.value(SipHeader::To);
        if (!fromValues.isEmpty())
            copyAddress(SipHeader::From, KBaseContactAddress<1>(fromValues.first()));
        if (!toValues.isEmpty())
            copyAddress(SipHeader::To, KBaseContactAddress<1>(toValues.first()));
    }

    target.setHeaderValues(SipHeader::Route, QStringList());
    if (!table.contains(SipHeader::RecordRoute))
        return;
    // A proxy may record several hops on one line: reversed, each is a hop of its own.
    QStringList routes;
    for (const QString &value : table.value(SipHeader::RecordRoute))
        routes << addressListEntries(value);
    if (!fromRequest)
        std::reverse(routes.begin(), routes.end());
    target.setHeaderValues(SipHeader::Route, routes);
}
