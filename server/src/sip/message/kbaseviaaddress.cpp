#include "sip/message/kbaseviaaddress.h"

#include "sip/message/sipconstants.h"
#include "sip/message/urigrammar.h"

template<int S>
KBaseViaAddress<S>::KBaseViaAddress(const QString &text)
    : text(text)
{
    valid = parse();
}

template<int S> bool KBaseViaAddress<S>::parse()
{
    UriGrammar::ViaParts parts;
    if (!UriGrammar::matchVia(text, parts))
        return false;
    if (parts.version.compare(SIPVER, Qt::CaseInsensitive) != 0)
        return false;
    SipTransport::Type kind;
    if (parts.transport.compare(QLatin1String("UDP"), Qt::CaseInsensitive) == 0)
        kind = SipTransport::UDP;
    else if (parts.transport.compare(QLatin1String("TCP"), Qt::CaseInsensitive) == 0)
        kind = SipTransport::TCP;
    else
        return false;
    KBaseRequestUri<0> reading(parts.sentBy);
    if (!reading.valid)
        return false;
    transport = kind;
    sentBy = std::move(reading);
    return true;
}

template<int S> QString KBaseViaAddress<S>::toString() const
{
    if (!valid)
        return QString();
    const QString kind = transport == SipTransport::UDP ? QStringLiteral("UDP")
        : transport == SipTransport::TCP                ? QStringLiteral("TCP")
                                                        : QString();
    return QStringLiteral("SIP/%1/%2 %3").arg(SIPVER, kind, sentBy.toString());
}

template class KBaseViaAddress<1>;
