#pragma once

#include <QHash>
#include <QString>

// The parameters of a "Digest ..." challenge (WWW- or Proxy-Authenticate) or of its answer
// (Authorization), names lower-cased, quotes removed, commas inside quotes kept; empty when the
// text is no digest. Shared by the SIP and RTSP clients, the registrar and the web login.
QHash<QString, QString> parseDigestChallenge(const QString &challenge);
