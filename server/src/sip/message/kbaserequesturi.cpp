#include "sip/message/kbaserequesturi.h"

#include "sip/message/trimmedtext.h"
#include "sip/message/urigrammar.h"

template<int S>
KBaseRequestUri<S>::KBaseRequestUri(const QString &text)
    : KBaseUri<S>(text, typename KBaseUri<S>::NoParse())
{
    // The general reading the base would make is cleared again anyway: go straight to ours.
    // An empty text lacks the "sip:" prefix (every start line begins with such a URI).
    if (S == 0 || !text.isEmpty())
        this->valid = KBaseRequestUri<S>::parse();
}

template<int S> bool KBaseRequestUri<S>::parse()
{
    UriGrammar::UriParts parts;
    if (!UriGrammar::matchUserHost(S, this->text, parts)
        && !UriGrammar::matchHost(S, this->text, parts))
        return false;
    this->user = trimmedText(std::move(parts.user));
    this->host = trimmedText(std::move(parts.host));
    this->port = UriGrammar::portNumber(trimmedText(std::move(parts.port)));
    this->parameters.setValue(trimmedText(std::move(parts.parameters)));
    return true;
}

template class KBaseRequestUri<0>;
template class KBaseRequestUri<1>;
