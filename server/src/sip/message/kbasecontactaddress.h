#pragma once

#include "sip/message/kbaseuri.h"
#include "sip/message/kparamvalue.h"

#include <QString>

// A name-addr header value (From, To, Contact, Refer-To, Diversion): display name, URI and
// the parameters behind the closing ">".
template<int S> class KBaseContactAddress
{
public:
    explicit KBaseContactAddress(const QString &text = QString());
    KBaseContactAddress(const KBaseContactAddress &other) = default;
    KBaseContactAddress &operator=(const KBaseContactAddress &other) = default;
    KBaseContactAddress(KBaseContactAddress &&other) noexcept = default;
    KBaseContactAddress &operator=(KBaseContactAddress &&other) noexcept = default;
    virtual ~KBaseContactAddress() = default;

    // Re-reads the value from text; the other fields are not cleared first.
    bool operator=(const QString &text);

    bool parse();
    virtual QString toString() const;

    bool operator==(const KBaseContactAddress &other) const;
    bool operator!=(const KBaseContactAddress &other) const { return !(*this == other); }

    bool valid = false;
    QString text;
    QString displayName;
    KBaseUri<S> address;
    KParamValue parameters;
};

// What a display name may carry on the wire: no quote, backslash or control character, which
// would end the quoted string or the header line early.
QString sanitizedDisplayName(const QString &name);

// A valid name-addr of a SIP URI built from its parts, without header parameters.
KBaseContactAddress<1> nameAddress(const QString &displayName, const QString &user,
                                   const QString &host, quint16 port);

// Whether KBaseContactAddress<1> reads text as valid, without building its fields.
bool isReadableContactAddress(const QString &text);

extern template class KBaseContactAddress<1>;
