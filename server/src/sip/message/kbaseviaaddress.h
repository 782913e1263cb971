#pragma once

#include "sip/message/kbaserequesturi.h"
#include "sip/message/siptransport.h"

#include <QString>

// One Via value: "SIP/2.0/<transport> <sent-by>" with the Via parameters in the sent-by's list.
template<int S> class KBaseViaAddress
{
public:
    explicit KBaseViaAddress(const QString &text = QString());
    KBaseViaAddress(const KBaseViaAddress &other) = default;
    KBaseViaAddress &operator=(const KBaseViaAddress &other) = default;
    KBaseViaAddress(KBaseViaAddress &&other) noexcept = default;
    KBaseViaAddress &operator=(KBaseViaAddress &&other) noexcept = default;
    virtual ~KBaseViaAddress() = default;

    bool parse();
    virtual QString toString() const;

    bool valid = false;
    QString text;
    SipTransport::Type transport = SipTransport::Unset;
    KBaseRequestUri<0> sentBy;
};

extern template class KBaseViaAddress<1>;
