#include "sip/message/kbasecontactaddress.h"

#include "sip/message/kbaserequesturi.h"
#include "sip/message/trimmedtext.h"
#include "sip/message/urigrammar.h"

namespace {

// A reading without display name or header parameters: only user, host, port and the URI
// parameters carry over.
template<int S, int R> void takeOver(KBaseContactAddress<S> &contact, const KBaseUri<R> &reading)
{
    contact.displayName.clear();
    contact.parameters.clear();
    contact.address.clear();
    contact.address.user = reading.user;
    contact.address.host = reading.host;
    contact.address.port = reading.port == 0 ? 5060 : reading.port;
    contact.address.parameters = reading.parameters;
    contact.address.valid = true;
}

} // namespace

QString sanitizedDisplayName(const QString &name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            continue;
        out += c;
    }
    return out.trimmed();
}

namespace {

// The validity of KBaseUri<S>(text): its grammar on the text before the first "?".
bool uriReads(int scheme, const QString &text)
{
    const int question = text.indexOf(QLatin1Char('?'));
    UriGrammar::UriParts parts;
    return UriGrammar::matchUri(scheme, question < 0 ? text : text.left(question), parts);
}

// The validity of KBaseRequestUri<S>(text).
bool requestUriReads(int scheme, const QString &text)
{
    UriGrammar::UriParts parts;
    return UriGrammar::matchUserHost(scheme, text, parts)
        || UriGrammar::matchHost(scheme, text, parts);
}

} // namespace

bool isReadableContactAddress(const QString &text)
{
    UriGrammar::NameAddrParts parts;
    if (UriGrammar::matchNameAddr(text, parts)) {
        const QString uri = trimmedText(std::move(parts.uri));
        if (uriReads(1, uri) || requestUriReads(1, uri) || uriReads(0, uri))
            return true;
    }
    return uriReads(1, text) || uriReads(0, text) || requestUriReads(1, text);
}

template<int S>
KBaseContactAddress<S>::KBaseContactAddress(const QString &text)
    : text(text)
    , parameters(QString(), QStringLiteral(";"))
{
    valid = parse();
}

template<int S> bool KBaseContactAddress<S>::operator=(const QString &text)
{
    this->text = text;
    valid = parse();
    return valid;
}

template<int S> bool KBaseContactAddress<S>::parse()
{
    UriGrammar::NameAddrParts parts;
    if (UriGrammar::matchNameAddr(text, parts)) {
        const QString uri = trimmedText(std::move(parts.uri));
        address = KBaseUri<S>(uri);
        if (address.valid) {
            displayName = trimmedText(std::move(parts.displayName));
            parameters = KParamValue(trimmedText(std::move(parts.parameters)), QStringLiteral(";"));
            return true;
        }
        const KBaseRequestUri<S> request(uri);
        if (request.valid) {
            takeOver(*this, request);
            return true;
        }
        const KBaseUri<0> bare(uri);
        if (bare.valid) {
            takeOver(*this, bare);
            return true;
        }
    }
    KBaseUri<S> general(text);
    if (general.valid) {
        displayName.clear();
        parameters.clear();
        address = std::move(general);
        return true;
    }
    const KBaseUri<0> bare(text);
    if (bare.valid) {
        takeOver(*this, bare);
        return true;
    }
    const KBaseRequestUri<S> request(text);
    if (request.valid) {
        takeOver(*this, request);
        return true;
    }
    return false;
}

template<int S> QString KBaseContactAddress<S>::toString() const
{
    if (!valid)
        return QString();
    QString out;
    const QString name = sanitizedDisplayName(displayName);
    if (!name.isEmpty())
        out = QStringLiteral("\"%1\" ").arg(name);
    out += QLatin1Char('<');
    out += address.toString();
    out += QLatin1Char('>');
    if (!parameters.isEmpty()) {
        out += QLatin1Char(';');
        out += parameters.toString(QStringLiteral(";"));
    }
    return out;
}

template<int S> bool KBaseContactAddress<S>::operator==(const KBaseContactAddress &other) const
{
    return valid == other.valid && text == other.text && displayName == other.displayName
        && address == other.address && parameters == other.parameters;
}

KBaseContactAddress<1> nameAddress(const QString &displayName, const QString &user,
                                   const QString &host, quint16 port)
{
    KBaseContactAddress<1> address;
    address.valid = true;
    address.displayName = displayName;
    address.address.valid = true;
    address.address.user = user;
    address.address.host = host;
    address.address.port = port;
    return address;
}

template class KBaseContactAddress<1>;
