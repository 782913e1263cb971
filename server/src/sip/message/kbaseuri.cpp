#include "sip/message/kbaseuri.h"

#include "sip/message/trimmedtext.h"
#include "sip/message/urigrammar.h"

#include <QByteArray>

template<int S>
KBaseUri<S>::KBaseUri(const QString &text, NoParse)
    : text(text)
    , parameters(QString(), QStringLiteral(";"))
    , headers(QString(), QStringLiteral(";"))
{
}

template<int S>
KBaseUri<S>::KBaseUri(const QString &text)
    : KBaseUri(text, NoParse())
{
    // Every address starts from a URI of nothing, which neither form reads.
    if (!text.isEmpty())
        valid = KBaseUri<S>::parse();
}

template<int S> bool KBaseUri<S>::parse()
{
    const int question = text.indexOf(QLatin1Char('?'));
    const QString uri = question < 0 ? text : text.left(question);
    UriGrammar::UriParts parts;
    if (!UriGrammar::matchUri(S, uri, parts))
        return false;
    user = trimmedText(std::move(parts.user));
    password = trimmedText(std::move(parts.password));
    host = trimmedText(std::move(parts.host));
    port = UriGrammar::portNumber(trimmedText(std::move(parts.port)));
    parameters.setValue(trimmedText(std::move(parts.parameters)));
    if (question >= 0) {
        // Only the text up to a further "?" belongs to the headers.
        const int end = text.indexOf(QLatin1Char('?'), question + 1);
        const QString raw = text.mid(question + 1, end < 0 ? -1 : end - question - 1);
        const QByteArray decoded = QByteArray::fromPercentEncoding(raw.toLocal8Bit(), '%');
        const int nul = decoded.indexOf('\0');
        headers.setValue(QString::fromUtf8(nul < 0 ? decoded : decoded.left(nul)));
    }
    return true;
}

template<int S> QString KBaseUri<S>::toString() const
{
    if (!valid)
        return QString();
    QString out = KUriSchemes::outputPrefix(KUriSchemes::Type(S));
    const bool hasUser = !user.isEmpty();
    if (hasUser) {
        out += user;
        if (!password.isEmpty()) {
            out += QLatin1Char(':');
            out += password;
        }
    }
    if (!host.isEmpty()) {
        if (hasUser)
            out += QLatin1Char('@');
        out += host;
        if (port != 0 && port != 5060) {
            out += QLatin1Char(':');
            out += QString::number(port);
        }
    }
    const QString params = parameters.toString(QStringLiteral(";"));
    if (!params.isEmpty()) {
        out += QLatin1Char(';');
        out += params;
    }
    return out;
}

template<int S> void KBaseUri<S>::clear()
{
    valid = false;
    text.clear();
    user.clear();
    password.clear();
    host.clear();
    port = 0;
    parameters.clear();
    headers.clear();
}

template<int S> void KBaseUri<S>::setTransport(const SipTransport::Type &transport)
{
    switch (transport) {
    case SipTransport::Unset:
    case SipTransport::UDP:
        parameters.removeParam(QStringLiteral("transport"));
        break;
    case SipTransport::TCP:
        parameters.setParam(QStringLiteral("transport"), QStringLiteral("TCP"));
        break;
    default:
        parameters.setParam(QStringLiteral("transport"), QString());
        break;
    }
}

template<int S> bool KBaseUri<S>::operator==(const KBaseUri &other) const
{
    return valid == other.valid && text == other.text && user == other.user
        && password == other.password && host == other.host && port == other.port
        && parameters == other.parameters && headers == other.headers;
}

template class KBaseUri<0>;
template class KBaseUri<1>;
