#include "sip/message/sipmethod.h"

#include "sip/message/sipconstants.h"

#include <QStringList>

namespace {

const char *const kNames[SipMethod::Count] = {
    "INVITE",  "ACK",   "BYE",    "CANCEL",  "REGISTER",  "OPTIONS", "INFO",
    "MESSAGE", "PRACK", "NOTIFY", "PUBLISH", "SUBSCRIBE", "REFER",   "UPDATE",
};

} // namespace

QString methodName(const SipMethod::Type &method)
{
    if (method < 0 || method >= SipMethod::Count)
        return QString();
    return QString::fromLatin1(kNames[method]);
}

SipMethod::Type methodType(const QStringRef &name)
{
    if (name.isEmpty())
        return SipMethod::Unknown;
    for (int i = 0; i < SipMethod::Count; ++i) {
        if (name.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0)
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
