#pragma once

#include <QHash>
#include <QString>

// The parameters of a "Digest ..." challenge (WWW- or Proxy-Authenticate), names lower-cased,
// quotes removed; empty when the text is no digest challenge. Shared by the SIP and RTSP clients.
QHash<QString, QString> parseDigestChallenge(const QString &challenge);
