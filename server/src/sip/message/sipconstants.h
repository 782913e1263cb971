#pragma once

#include <QString>

extern const QString ENDL;
extern const QString SIPVER;
extern const QString RTSPVER;
extern const QString ALLOW;
extern const QString MAXFORWARDS;
