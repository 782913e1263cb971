#pragma once

#include <QString>
#include <QStringRef>

// text.trimmed() without the library call in the usual case, no blank at either end (whatever
// QChar::isSpace calls a blank).
inline QString trimmedText(const QString &text)
{
    if (text.isEmpty() || (!text.front().isSpace() && !text.back().isSpace()))
        return text;
    return text.trimmed();
}

inline QStringRef trimmedText(const QStringRef &text)
{
    if (text.isEmpty() || (!text.front().isSpace() && !text.back().isSpace()))
        return text;
    return text.trimmed();
}
