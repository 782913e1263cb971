#include "urigrammar.h"

#include "kurischemes.h"
#include "sippatterns.h"

#include <QRegExp>

namespace UriGrammar {

namespace {

// QRegExp keeps match state in the object: one compiled copy per thread and pattern.
QRegExp &uriRx(int scheme, const QString &pattern, int which)
{
    thread_local QRegExp cache[3][2];
    QRegExp &rx = cache[which][scheme == KUriSchemes::Sip ? 1 : 0];
    if (rx.isEmpty())
        rx = QRegExp(pattern.arg(KUriSchemes::patternPrefix(KUriSchemes::Type(scheme))),
                     Qt::CaseSensitive, QRegExp::RegExp);
    return rx;
}

} // namespace

quint16 portNumber(const QString &digits)
{
    bool ok = false;
    const uint port = digits.toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

bool matchUri(int scheme, const QString &text, UriParts &parts)
{
    QRegExp &rx = uriRx(scheme, URI_PATTERN, 0);
    if (rx.indexIn(text, 0) < 0)
        return false;
    parts.user = rx.cap(1);
    parts.password = rx.cap(2);
    parts.host = rx.cap(3);
    parts.port = rx.cap(4);
    parts.parameters = rx.cap(5);
    return true;
}

bool matchUserHost(int scheme, const QString &text, UriParts &parts)
{
    QRegExp &rx = uriRx(scheme, USER_HOST_PATTERN, 1);
    if (rx.indexIn(text, 0) < 0)
        return false;
    parts.user = rx.cap(1);
    parts.password.clear();
    parts.host = rx.cap(2);
    parts.port = rx.cap(3);
    parts.parameters = rx.cap(4);
    return true;
}

bool matchHost(int scheme, const QString &text, UriParts &parts)
{
    QRegExp &rx = uriRx(scheme, HOST_PATTERN, 2);
    if (rx.indexIn(text, 0) < 0)
        return false;
    parts.user.clear();
    parts.password.clear();
    parts.host = rx.cap(1);
    parts.port = rx.cap(2);
    parts.parameters = rx.cap(3);
    return true;
}

bool matchVia(const QString &text, ViaParts &parts)
{
    thread_local QRegExp rx(VIA_PATTERN.arg(KUriSchemes::pattern(KUriSchemes::Sip)),
                            Qt::CaseSensitive, QRegExp::RegExp);
    if (rx.indexIn(text, 0) < 0)
        return false;
    parts.version = rx.cap(1);
    parts.transport = rx.cap(2);
    parts.sentBy = rx.cap(3);
    return true;
}

bool matchNameAddr(const QString &text, NameAddrParts &parts)
{
    thread_local QRegExp rx(NAME_ADDR_PATTERN, Qt::CaseSensitive, QRegExp::RegExp);
    if (rx.indexIn(text, 0) < 0)
        return false;
    parts.displayName = rx.cap(1);
    parts.uri = rx.cap(2);
    parts.parameters = rx.cap(3);
    return true;
}

} // namespace UriGrammar
