#pragma once

#include "sip/message/kbaseuri.h"

// The request-URI reading of a URI: user@host or host, no password, no "?" headers.
template<int S> class KBaseRequestUri : public KBaseUri<S>
{
public:
    explicit KBaseRequestUri(const QString &text = QString());

    bool parse() override;
};

extern template class KBaseRequestUri<0>;
extern template class KBaseRequestUri<1>;
