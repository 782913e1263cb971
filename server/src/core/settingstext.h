#pragma once

#include <QString>
#include <QVariant>

#include <functional>

class QSettings;

// A settings value as text: a list is its items joined with ",". Keys read as lists (a group's
// members, a call rule) stay lists in memory and read through this.
QString settingsText(const QVariant &value);

// Keeps every value of the file that QSettings reads as a list as the text its line holds.
// QSettings splits an unquoted value at its commas and trims the items, so a hand-written
// "Smith, Alice" would read as two items, and the next write of the file, whatever it changes,
// would store the list in its own spelling. Each such value is set again as the text of its
// line, blanks included, which the next write stores quoted. Keys whose name (the last part)
// isList accepts, and lines holding quotes, stay as QSettings read them. Called by the owner of
// the file before anything writes it.
void keepWrittenText(QSettings &file,
                     const std::function<bool(const QString &name)> &isList = nullptr);
