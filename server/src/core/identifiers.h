#pragma once

#include <QByteArray>
#include <QString>

class QHostAddress;

extern const QString CORVANE_REALM;
extern const QString BRANCH_COOKIE;

// 32 lower-case hex digits from the kernel's random source: tags, Call-IDs, nonces, names.
QString randomHexId();
// A Via branch: the RFC 3261 magic cookie followed by randomHexId().
QString newBranch();
QByteArray randomBinaryId();

QString realmOr(const QString &fallback);
QString realmForAddress(const QHostAddress &address);

// Packs up to four Latin-1 characters, the first in the least significant byte.
quint32 fourCc(const QString &text);
QString dtmfKeyName(int key);

// Frequency types: 0 = 8000 Hz, 1 = 24000 Hz, 2 = 48000 Hz; others give 0.
int frameSamplesForFrequency(const int &type);
int sampleRateForFrequency(const int &type);
