#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Kernel id of the calling thread (gettid).
qint64 currentThreadSysId();

bool findInPath(const QString &program);
QString runProgram(const QString &program, const QStringList &arguments);

QMap<QString, QString> readMemInfo();
QString buildCpuArchitecture();
QString systemArchitecture();
QString kernelType();
QString kernelRelease();
QString kernelNameAndRelease();
QString kernelBuildVersion();
