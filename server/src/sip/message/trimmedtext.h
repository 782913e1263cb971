#pragma once

#include <QString>
#include <QStringRef>

#include <utility>

// text.trimmed() without the library call in the usual case, no blank at either end (whatever
// QChar::isSpace calls a blank).
inline QString trimmedText(const QString &text)
{
    if (text.isEmpty() || (!text.front().isSpace() && !text.back().isSpace()))
        return text;
    return text.trimmed();
}

// The same for a text that is not needed any more: no copy when nothing is to trim.
inline QString trimmedText(QString &&text)
{
    if (text.isEmpty() || (!text.front().isSpace() && !text.back().isSpace()))
        return std::move(text);
    return text.trimmed();
}

inline QStringRef trimmedText(const QStringRef &text)
{
    if (text.isEmpty() || (!text.front().isSpace() && !text.back().isSpace()))
        return text;
    return text.trimmed();
}
