#include "sip/message/sipmethod.h"

#include "sip/message/sipconstants.h"

#include <QStringList>

namespace {

const char *const kNames[SipMethod::Count] = {
    "INVITE",  "ACK",   "BYE",    "CANCEL",  "REGISTER",  "OPTIONS", "INFO",
    "MESSAGE", "PRACK", "NOTIFY", "PUBLISH", "SUBSCRIBE", "REFER",   "UPDATE",
};

// Made once: every message asks for a name or two.
const QString *namesTable()
{
    static const QString *const names = [] {
        auto *table = new QString[SipMethod::Count];
        for (int i = 0; i < SipMethod::Count; ++i)
            table[i] = QString::fromLatin1(kNames[i]);
        return table;
    }();
    return names;
}

} // namespace

QString methodName(const SipMethod::Type &method)
{
    if (method < 0 || method >= SipMethod::Count)
        return QString();
    return namesTable()[method];
}

SipMethod::Type methodType(const QStringRef &name)
{
    if (name.isEmpty())
        return SipMethod::Unknown;
    for (int i = 0; i < SipMethod::Count; ++i) {
        // Folding keeps the length: only names of the same length can match.
        const QLatin1String candidate(kNames[i]);
        if (name.size() == candidate.size() && name.compare(candidate, Qt::CaseInsensitive) == 0)
            return SipMethod::Type(i);
    }
    return SipMethod::Unknown;
}

SipMethod::Type methodType(const QString &name)
{
    return methodType(QStringRef(&name));
}

bool isMethodAllowed(const SipMethod::Type &method)
{
    QString allow = ALLOW.toLower();
    allow.remove(QLatin1Char(' '));
    return allow.split(QLatin1Char(','), Qt::KeepEmptyParts).contains(methodName(method).toLower());
}
