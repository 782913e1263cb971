#pragma once

#include <QHash>
#include <QString>

// The Digest (MD5) answer to a camera's challenge: qop "auth", "auth-int" or none.
class RtspDigest
{
public:
    // Challenge parameters by lower-case name, quotes removed; commas inside quotes stay.
    // Empty when the text is not a Digest challenge.
    static QHash<QString, QString> parseChallenge(const QString &challenge);

    // The Authorization value for one request, empty when the challenge is not a Digest one.
    // nonceCount is the worker's counter: written as nc and raised by every answer with qop.
    static QString answer(const QString &challenge, const QString &method, const QString &uri,
                          const QString &login, const QString &password, quint64 &nonceCount);
};
