#pragma once

#include "sip/message/sipheader.h"

#include <QHash>
#include <QString>

class SipMessage;

// The answer of a gateway account to the outside server's Digest challenge (RFC 2617, MD5):
// the value of the Authorization (to a 401) or Proxy-Authorization (to a 407) header of the
// repeated request. Texts are hashed as UTF-8, as the local registrar checks them.
class SipClientDigest
{
public:
    // Challenge parameters by lower-case name, quotes removed; a comma inside quotes (a realm
    // such as "Door, Inc" or a qop list) does not split. Empty when not a Digest challenge.
    static QHash<QString, QString> parseChallenge(const QString &challenge);

    // challengeHeader names where the response carries the challenge; request is the request
    // that will carry the answer. Empty unless the response has exactly one such header holding
    // a Digest challenge. nonceCount is written as nc and raised by every answer with qop.
    static QString authorization(const SipHeader::Type &challengeHeader, const SipMessage &request,
                                 const SipMessage &response, const QString &login,
                                 const QString &password, quint64 &nonceCount);
};
