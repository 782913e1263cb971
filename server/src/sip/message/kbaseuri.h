#pragma once

#include "sip/message/kparamvalue.h"
#include "sip/message/kurischemes.h"
#include "sip/message/siptransport.h"

#include <QString>

// A SIP URI (scheme 1) or a scheme-less user@host/host text (scheme 0), parsed once on
// construction; fields are then read and written directly and written back by toString.
template<int S> class KBaseUri
{
public:
    explicit KBaseUri(const QString &text = QString());
    KBaseUri(const KBaseUri &other) = default;
    KBaseUri &operator=(const KBaseUri &other) = default;
    KBaseUri(KBaseUri &&other) noexcept = default;
    KBaseUri &operator=(KBaseUri &&other) noexcept = default;
    virtual ~KBaseUri() = default;

    virtual bool parse();
    virtual QString toString() const;

    void clear();
    // UDP and -1 remove the "transport" parameter, TCP sets it to "TCP".
    void setTransport(const SipTransport::Type &transport);

    bool operator==(const KBaseUri &other) const;
    bool operator!=(const KBaseUri &other) const { return !(*this == other); }

    bool valid = false;
    QString text;
    QString user;
    QString password;
    QString host;
    quint16 port = 0;
    KParamValue parameters;
    KParamValue headers;

protected:
    struct NoParse
    {
    };
    KBaseUri(const QString &text, NoParse);
};

extern template class KBaseUri<0>;
extern template class KBaseUri<1>;
