#pragma once

#include <QHash>
#include <QMetaType>
#include <QString>

// Header name -> value. Request headers arrive with lower-case names.
typedef QHash<QString, QString> HeaderHash;

Q_DECLARE_METATYPE(HeaderHash)
