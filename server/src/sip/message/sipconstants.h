#pragma once

#include <QString>

extern const QString ENDL;
extern const QString SIPVER;
extern const QString RTSPVER;
extern const QString ALLOW;
extern const QString MAXFORWARDS;

// The one-character text that stands for "no address" in messages and accounts.
inline QString noAddress()
{
    // Shared: every message starts with two of them.
    static const QString text(QChar(0x0006));
    return text;
}
