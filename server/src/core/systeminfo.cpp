#include "core/systeminfo.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <memory>

namespace {

bool readUname(utsname &info)
{
    return uname(&info) == 0;
}

} // namespace

qint64 currentThreadSysId()
{
    return qint64(syscall(SYS_gettid));
}

bool findInPath(const QString &program)
{
    const QStringList dirs
        = QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &dir : dirs) {
        const QFileInfo candidate(QStringLiteral("%1/%2").arg(dir, program));
        if (candidate.exists() && candidate.isFile())
            return true;
    }
    return false;
}

QString runProgram(const QString &program, const QStringList &arguments)
{
    if (!findInPath(program))
        return QString();
    auto process = std::make_unique<QProcess>();
    process->setReadChannel(QProcess::StandardOutput);
    process->start(program, arguments, QIODevice::ReadOnly);
    if (!process->waitForFinished(30000) || process->exitStatus() != QProcess::NormalExit
        || process->exitCode() != 0) {
        process->kill();
        process->waitForFinished(1000);
        return QString();
    }
    QByteArray output = process->readAllStandardOutput();
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    return QString::fromUtf8(output);
}

QMap<QString, QString> readMemInfo()
{
    QMap<QString, QString> result;
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.split(':');
        if (parts.size() < 2)
            continue;
        result.insert(QString::fromLatin1(parts.at(0).trimmed()),
                      QString::fromLatin1(parts.at(1).trimmed()));
    }
    return result;
}

QString buildCpuArchitecture()
{
    return QStringLiteral("arm");
}

QString systemArchitecture()
{
    utsname info;
    if (!readUname(info))
        return buildCpuArchitecture();
    const QString machine = QString::fromLatin1(info.machine);
    if (machine == QLatin1String("aarch64"))
        return QStringLiteral("arm64");
    if (machine.startsWith(QLatin1String("armv")))
        return QStringLiteral("arm");
    return machine;
}

QString kernelType()
{
    utsname info;
    return readUname(info) ? QString::fromLatin1(info.sysname).toLower()
                           : QStringLiteral("unknown");
}

QString kernelRelease()
{
    utsname info;
    return readUname(info) ? QString::fromLatin1(info.release) : QString();
}

QString kernelNameAndRelease()
{
    utsname info;
    if (!readUname(info))
        return QStringLiteral("unknown");
    return QStringLiteral("%1 %2").arg(QString::fromLatin1(info.sysname),
                                       QString::fromLatin1(info.release));
}

QString kernelBuildVersion()
{
    utsname info;
    return readUname(info) ? QString::fromLatin1(info.version) : QStringLiteral("unknown");
}
