#include "core/digestchallenge.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// Splits at commas outside double quotes, so realm="Door Cam, Inc" stays one piece.
QStringList splitOutsideQuotes(const QString &text)
{
    QStringList pieces;
    QString current;
    bool quoted = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (c == QLatin1Char(',') && !quoted) {
            pieces.append(current);
            current.clear();
        } else {
            current.append(c);
        }
    }
    pieces.append(current);
    return pieces;
}

} // namespace

QHash<QString, QString> parseDigestChallenge(const QString &challenge)
{
    static const QRegularExpression digest(
        QStringLiteral("^([Dd][Ii][Gg][Ee][Ss][Tt])\\s+(\\S.+)$"));
    QHash<QString, QString> params;
    const QRegularExpressionMatch match = digest.match(challenge);
    if (!match.hasMatch())
        return params;
    for (const QString &piece : splitOutsideQuotes(match.captured(2))) {
        const int equals = piece.indexOf(QLatin1Char('='));
        if (equals < 0) {
            params.insert(piece.trimmed().toLower(), QString());
            continue;
        }
        QString value = piece.mid(equals + 1).trimmed();
        value.remove(QLatin1Char('"'));
        params.insert(piece.left(equals).trimmed().toLower(), value);
    }
    return params;
}
