#include "sipmessage.h"

#include "sipconstants.h"
#include "sipgrammar.h"

#include <QHostAddress>
#include <QVector>

namespace {

const QByteArray kHeadEnd = QByteArrayLiteral("\r\n\r\n");

} // namespace

SipMessage::SipMessage(const SipTransport::Type &transport, const QHostAddress &senderAddr,
                       quint16 senderPort, const QHostAddress &receiverAddr, quint16 receiverPort,
                       const QByteArray &datagram)
    : SipMessage(transport)
{
    senderAddress = senderAddr.toString();
    this->senderPort = senderPort;
    receiverAddress = receiverAddr.toString();
    this->receiverPort = receiverPort;
    parseDatagram(datagram);
}

void SipMessage::parseDatagram(const QByteArray &datagram)
{
    // The empty line ends the head in the raw bytes: the body stays bytes, untouched by the
    // decoding and unfolding that only the head gets.
    const int headEnd = datagram.indexOf(kHeadEnd);
    QString head = QString::fromUtf8(headEnd < 0 ? datagram : datagram.left(headEnd));
    head.replace(QLatin1String("\r\n "), QLatin1String(" "));
    head.replace(QLatin1String("\r\n\t"), QLatin1String("\t"));

    const QVector<QStringRef> lines = head.splitRef(QLatin1String("\r\n"), Qt::KeepEmptyParts);
    const QStringRef first = lines.first();
    QStringRef a, b, c;
    if (SipGrammar::matchRequestLine(first, a, b, c)) {
        const SipMethod::Type method = methodType(a);
        if (method == SipMethod::Unknown) {
            parseError = QStringLiteral("Unknown request method (%1).").arg(a);
            return;
        }
        const KBaseRequestUri<1> uri(b.toString());
        if (!uri.valid) {
            parseError = QStringLiteral("Bad request uri (%1).").arg(b);
            return;
        }
        startLine.kind = 0;
        startLine.method = method;
        startLine.requestUri = uri;
        startLine.version = c.toString();
    } else if (SipGrammar::matchStatusLine(first, a, b, c)) {
        const SipStatus::Type status = statusFromCode(b);
        if (status == SipStatus::Unknown) {
            parseError = QStringLiteral("Bad response code (%1).").arg(first);
            return;
        }
        startLine.kind = 1;
        startLine.version = a.toString();
        startLine.status = status;
        startLine.reason = c.trimmed().toString();
        statusClass = ::statusClass(status);
    } else {
        parseError = QStringLiteral("Unspecified initial line (%1).").arg(first);
        return;
    }
    if (startLine.version != SIPVER) {
        parseError = QStringLiteral("Bad SIP Version (%1).").arg(first);
        return;
    }

    for (int i = 1; i < lines.size(); ++i) {
        QStringRef name, value;
        if (SipGrammar::matchHeaderLine(lines.at(i), name, value))
            headers[headerType(name)].append(value.trimmed().toString());
    }

    if (headers.value(SipHeader::CallID).size() != 1) {
        parseError = QStringLiteral("Multiple header field CallID");
        return;
    }
    const QStringList cseq = headers.value(SipHeader::CSeq);
    if (cseq.size() != 1) {
        parseError = QStringLiteral("Multiple header field CSeq");
        return;
    }
    QStringRef number, method;
    if (!SipGrammar::matchCSeq(QStringRef(&cseq.first()), number, method)) {
        parseError = QStringLiteral("Bad CSeq field (%1).").arg(cseq.first());
        return;
    }
    const QStringList from = headers.value(SipHeader::From);
    if (from.size() != 1) {
        parseError = QStringLiteral("Multiple header field From");
        return;
    }
    if (!KBaseContactAddress<1>(from.first()).valid) {
        parseError = QStringLiteral("Bad From field (%1).").arg(from.first());
        return;
    }

    if (headEnd >= 0)
        body = datagram.mid(headEnd + kHeadEnd.size());
    valid = true;
    if (contentLength() != 0)
        valid = !body.isEmpty();
}
