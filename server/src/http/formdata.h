#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// Fields of a URL-encoded form or query: names trimmed of ASCII blanks with ASCII letters
// lower-cased, and nothing else folded; values with "+" as a blank, trimmed and percent-decoded.
// A later field of the same name wins.
QHash<QString, QString> parseFormData(const QByteArray &text);

// A name as parseFormData hands it over: ASCII letters lower-cased.
QString formFieldName(QString name);

// The fields whose names are among names, letter for letter. Savers that match names ignoring
// case take their form through this, so they store exactly what the checks read.
QHash<QString, QString> fieldsNamed(const QHash<QString, QString> &form, const QStringList &names);
