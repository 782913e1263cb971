#pragma once

#include "core/qsmdraction.h"

#include <QDateTime>
#include <QString>

// The fixed-width layout of the SMDR log; every line ends with CR LF.
namespace SmdrFormat {

// Separator, title with the start time, column titles, separator.
QString headerBlock(const QDateTime &now);

// One record; src and dest are cut or filled to 32 columns, attr is written whole.
QString record(const QDateTime &datetime, const QString &src, const QString &dest,
               qlonglong durationMs, int action, const QString &attr);

// "HH:mm:ss" of a duration below one day; empty for negative or longer ones.
QString durationText(qlonglong durationMs);

} // namespace SmdrFormat
