#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Fields of a URL-encoded form or query: names trimmed and lower-cased, values with "+" as a
// blank, trimmed and percent-decoded. A later field of the same name wins.
QHash<QString, QString> parseFormData(const QByteArray &text);
