#pragma once

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// What several suites share: running a reference tool (sox, ffmpeg, lame, ...) and small
// file helpers.

// Runs a program to its end; false on failure, with the reason in error (or the test log).
inline bool runTool(const QString &program, const QStringList &arguments, QString *error = nullptr,
                    QByteArray *output = nullptr, int timeoutMs = 120000)
{
    QProcess process;
    process.start(program, arguments);
    QString problem;
    if (!process.waitForFinished(timeoutMs)) {
        problem = program + QStringLiteral(": ") + process.errorString();
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        problem = program + QStringLiteral(" failed: ")
            + QString::fromLocal8Bit(process.readAllStandardError());
    } else if (output) {
        *output = process.readAllStandardOutput();
    }
    if (!problem.isEmpty() && error)
        *error = problem;
    else if (!problem.isEmpty())
        qWarning().noquote() << problem << arguments.join(QLatin1Char(' '));
    return problem.isEmpty();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
