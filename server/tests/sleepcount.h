#pragma once

#include <QDir>
#include <QFile>

// Times the thread of taskDir (/proc/self/task/<tid>), or every thread under it
// (/proc/<pid>/task), went to sleep so far.
inline qint64 voluntarySwitches(const QString &taskDir)
{
    QFile status(taskDir + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        qint64 sum = 0;
        for (const QString &task : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            sum += voluntarySwitches(taskDir + QLatin1Char('/') + task);
        return sum;
    }
    const QByteArray key("voluntary_ctxt_switches:");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().toLongLong();
    }
    return 0;
}
