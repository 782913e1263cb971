#include "sip/message/sipheader.h"

#include <QVarLengthArray>

namespace {

const char *const kNames[SipHeader::Count] = {
    "Accept",
    "Accept-Encoding",
    "Accept-Language",
    "Alert-Info",
    "Allow",
    "Authentication-Info",
    "Authorization",
    "CSeq",
    "Call-ID",
    "Call-Info",
    "Contact",
    "Content-Disposition",
    "Content-Encoding",
    "Content-Language",
    "Content-Length",
    "Content-Type",
    "Date",
    "Diversion",
    "Error-Info",
    "Expires",
    "Event",
    "From",
    "In-Reply-To",
    "MIME-Version",
    "Max-Forwards",
    "Min-Expires",
    "Min-SE",
    "Organization",
    "Priority",
    "Proxy-Authenticate",
    "Proxy-Authorization",
    "Proxy-Require",
    "Proxy-Route",
    "Record-Route",
    "Refer-To",
    "Reply-To",
    "Require",
    "Retry-After",
    "Route",
    "Server",
    "Session-Expires",
    "Subject",
    "Subscription-State",
    "Supported",
    "Timestamp",
    "To",
    "Unsupported",
    "User-Agent",
    "Via",
    "WWW-Authenticate",
    "Warning",
};

struct Compact
{
    char letter;
    SipHeader::Type type;
};

const Compact kCompact[] = {
    { 'i', SipHeader::CallID },
    { 'm', SipHeader::Contact },
    { 'e', SipHeader::ContentEncoding },
    { 'l', SipHeader::ContentLength },
    { 'c', SipHeader::ContentType },
    { 'f', SipHeader::From },
    { 's', SipHeader::Subject },
    { 'k', SipHeader::Supported },
    { 't', SipHeader::To },
    { 'v', SipHeader::Via },
};

const QString *namesTable()
{
    static const QString *const names = [] {
        auto *table = new QString[SipHeader::Count];
        for (int i = 0; i < SipHeader::Count; ++i)
            table[i] = QString::fromLatin1(kNames[i]);
        return table;
    }();
    return names;
}

// The full names in lower case by their first letter, so that a name is compared with a few
// only.
struct FirstLetterIndex
{
    struct Entry
    {
        SipHeader::Type type;
        int size;
        char lower[24];
    };
    QVarLengthArray<Entry, 12> names[26];
};

const FirstLetterIndex &firstLetterIndex()
{
    static const FirstLetterIndex index = [] {
        FirstLetterIndex built;
        for (int i = 0; i < SipHeader::Count; ++i) {
            FirstLetterIndex::Entry entry { SipHeader::Type(i), int(qstrlen(kNames[i])), {} };
            for (int k = 0; k < entry.size; ++k)
                entry.lower[k] = char(QChar::toLower(ushort(kNames[i][k])));
            built.names[entry.lower[0] - 'a'].append(entry);
        }
        return built;
    }();
    return index;
}

} // namespace

QString headerName(const SipHeader::Type &type)
{
    if (type < 0 || type >= SipHeader::Count)
        return QString();
    return namesTable()[type];
}

SipHeader::Type headerType(const QStringRef &name)
{
    if (name.isEmpty())
        return SipHeader::Unknown;
    const QString *names = namesTable();
    bool ascii = true;
    for (const QChar c : name)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii) {
        // Plain ASCII folds letter by letter; only other texts need Unicode case folding.
        const auto lower = [](ushort c) { return c >= 'A' && c <= 'Z' ? ushort(c | 0x20) : c; };
        const ushort first = lower(name.at(0).unicode());
        if (first >= 'a' && first <= 'z') {
            for (const FirstLetterIndex::Entry &entry : firstLetterIndex().names[first - 'a']) {
                if (entry.size != name.size())
                    continue;
                int k = 1;
                while (k < entry.size && lower(name.at(k).unicode()) == ushort(entry.lower[k]))
                    ++k;
                if (k == entry.size)
                    return entry.type;
            }
        }
    } else {
        for (int i = 0; i < SipHeader::Count; ++i) {
            if (name.compare(names[i], Qt::CaseInsensitive) == 0)
                return SipHeader::Type(i);
        }
    }
    if (name.size() == 1) {
        const QChar c = name.at(0).toLower();
        for (const Compact &compact : kCompact) {
            if (c == QLatin1Char(compact.letter))
                return compact.type;
        }
    }
    return SipHeader::Unknown;
}

SipHeader::Type headerType(const QString &name)
{
    return headerType(QStringRef(&name));
}
