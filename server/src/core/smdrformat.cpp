#include "core/smdrformat.h"

#include <QTime>

namespace {

const qlonglong kDayMs = 24LL * 60 * 60 * 1000;

QString column(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '), true);
}

} // namespace

QString SmdrFormat::headerBlock(const QDateTime &now)
{
    const QString rule(109, QLatin1Char('-'));
    const QString crlf = QStringLiteral("\r\n");
    return rule + crlf + QStringLiteral("Corvane Tarnhall System ") + now.toString(Qt::TextDate)
        + crlf
        + QStringLiteral("Date       Time     Source                           "
                         "Destination                      Duration  Action   ")
        + crlf + rule + crlf;
}

QString SmdrFormat::durationText(qlonglong durationMs)
{
    // The whole value is checked: taking only its low 32 bits would show a call of
    // 49.7 days and more as a short one.
    if (durationMs < 0 || durationMs >= kDayMs)
        return QString();
    return QTime::fromMSecsSinceStartOfDay(int(durationMs)).toString(QStringLiteral("HH:mm:ss"));
}

QString SmdrFormat::record(const QDateTime &datetime, const QString &src, const QString &dest,
                           qlonglong durationMs, int action, const QString &attr)
{
    const QChar space(QLatin1Char(' '));
    return column(datetime.toString(QStringLiteral("dd.MM.yyyy")), 10) + space
        + column(datetime.toString(QStringLiteral("HH:mm:ss")), 8) + space + column(src, 32) + space
        + column(dest, 32) + space + column(durationText(durationMs), 9) + space
        + column(QSmdrAction::code(action), 3) + space + attr + QStringLiteral("\r\n");
}
