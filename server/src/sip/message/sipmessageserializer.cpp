#include "sip/message/sipmessage.h"

#include "sip/message/sipconstants.h"

#include <algorithm>

namespace {

// Writes every value of one header and takes it out of the working table.
bool writeHeader(QString &out, SipHeaderTable &table, const SipHeader::Type &type)
{
    const auto it = table.find(type);
    if (it == table.end())
        return false;
    const QString name = headerName(type);
    bool written = false;
    for (const QString &value : qAsConst(*it)) {
        out += name;
        out += QLatin1String(": ");
        out += value;
        out += ENDL;
        written = true;
    }
    table.erase(it);
    return written;
}

const SipHeader::Type kLeading[] = {
    SipHeader::Via,         SipHeader::RecordRoute, SipHeader::Route,          SipHeader::From,
    SipHeader::To,          SipHeader::CallID,      SipHeader::CSeq,           SipHeader::Contact,
    SipHeader::MaxForwards, SipHeader::Supported,   SipHeader::SessionExpires, SipHeader::MinSE,
    SipHeader::Allow,
};

const SipHeader::Type kContent[] = {
    SipHeader::ContentDisposition,
    SipHeader::ContentEncoding,
    SipHeader::ContentLanguage,
    SipHeader::ContentType,
};

} // namespace

QByteArray SipMessage::toByteArray() const
{
    if (!valid)
        return QByteArray();
    SipHeaderTable table = headers;
    // Headers read under no known name have none to write back.
    table.remove(SipHeader::Unknown);
    // The length on the wire is always the body's: a stored, stale value would break the
    // framing of a TCP stream.
    table.remove(SipHeader::ContentLength);

    QString out;
    out.reserve(512);
    if (startLine.kind == 0) {
        out += QStringLiteral("%1 %2 SIP/%3")
                   .arg(methodName(startLine.method), startLine.requestUri.toString(),
                        startLine.version);
        out += ENDL;
    } else if (startLine.kind == 1) {
        out += QStringLiteral("SIP/%1 %2 %3")
                   .arg(startLine.version, statusCodeText(startLine.status), startLine.reason);
        out += ENDL;
    }
    for (const SipHeader::Type type : kLeading)
        writeHeader(out, table, type);
    // The rest in the order of their types, not the table's: the table iterates in an order of
    // its own history, and the same message must always be written the same way.
    QList<SipHeader::Type> rest = table.keys();
    std::sort(rest.begin(), rest.end());
    for (const SipHeader::Type type : qAsConst(rest)) {
        bool content = false;
        for (const SipHeader::Type c : kContent)
            content = content || type == c;
        if (content)
            continue;
        // A type outside the table has no name to write under either.
        const QString name = headerName(type);
        for (const QString &value : name.isEmpty() ? QStringList() : table.value(type)) {
            out += name;
            out += QLatin1String(": ");
            out += value;
            out += ENDL;
        }
        table.remove(type);
    }
    for (const SipHeader::Type type : kContent)
        writeHeader(out, table, type);
    out += headerName(SipHeader::ContentLength);
    out += QLatin1String(": ");
    out += QString::number(body.size());
    out += ENDL;
    out += ENDL;

    QByteArray bytes = out.toUtf8();
    bytes += body;
    return bytes;
}

QByteArray statusLineText(const SipStatus::Type &status)
{
    return QStringLiteral("SIP/%1 %2 %3")
        .arg(SIPVER, statusCodeText(status), reasonPhrase(status))
        .append(ENDL)
        .toUtf8();
}
