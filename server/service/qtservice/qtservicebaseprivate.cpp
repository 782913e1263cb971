#include "service/qtservice/qtservicebaseprivate.h"

#include "service/qtservice/qtservicebase.h"
#include "service/qtservice/qtservicestarter.h"
#include "service/qtservice/qtservicesysprivate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

QtServiceBasePrivate::QtServiceBasePrivate(QtServiceBase *owner, const QString &name, int argc,
                                           char **argv)
    : q_ptr(owner)
    , controller(name)
{
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
}

QtServiceBasePrivate::~QtServiceBasePrivate()
{
    delete sysd;
    pidFile.close();
}

bool QtServiceBasePrivate::claimPidFile()
{
    const QString dir = QStringLiteral("/var/run/%1").arg(QCoreApplication::applicationName());
    QDir(QStringLiteral("/var/run")).mkdir(QCoreApplication::applicationName());

    pidFile.setFileName(QStringLiteral("%1/pid").arg(dir));
    if (!pidFile.open(QIODevice::ReadWrite))
        return false;
    if (!pidFile.lock(QtLockedFile::WriteLock, false))
        return false;
    // Cut only now that the lock is ours: a refused second start must not wipe the pid.
    pidFile.resize(0);
    pidFile.seek(0);
    pidFile.write(QByteArray::number(qint64(::getpid())) + '\n');
    pidFile.flush();
    return true;
}

int QtServiceBasePrivate::run(const QStringList &arguments)
{
    if (!claimPidFile())
        return 1;

    if (controller.isRunning()) {
        std::fprintf(stderr, "The service %s already running.\n",
                     controller.serviceName().toLocal8Bit().constData());
        return 1;
    }

    {
        QSettings registry(QtServiceController::registryFilePath(), QSettings::IniFormat);
        registry.setIniCodec("UTF-8");
        registry.setValue(
            QStringLiteral("last-start"),
            QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz")));
        registry.sync();
        if (registry.status() != QSettings::NoError)
            return 1;
    }

    appArgStorage.clear();
    appArgv.clear();
    for (const QString &argument : arguments)
        appArgStorage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : appArgStorage)
        appArgv.push_back(argument.data());
    appArgv.push_back(nullptr);
    appArgc = int(appArgStorage.size());

    sysd = new QtServiceSysPrivate(q_ptr);
    sysd->setServiceFlags(serviceFlags);
    ::umask(027);

    q_ptr->createApplication(appArgc, appArgv.data());
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        delete sysd;
        sysd = nullptr;
        return -1;
    }

    // We hold the pid lock, so no live service owns a socket file left at this path: it is
    // what a killed service left behind, and listening would fail on it.
    const QString socketPath = QtServiceController::socketPath(controller.serviceName());
    QLocalServer::removeServer(socketPath);
    sysd->listen(socketPath);

    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    const int result = q_ptr->executeApplication();
    delete app;

    sysd->close();
    delete sysd;
    sysd = nullptr;
    return result;
}

bool QtServiceBasePrivate::install()
{
    QSettings registry(QtServiceController::registryFilePath(), QSettings::IniFormat);
    registry.setIniCodec("UTF-8");
    registry.setValue(QStringLiteral("path"), filePath());
    registry.setValue(QStringLiteral("description"), serviceDescription);
    registry.sync();
    if (registry.status() == QSettings::AccessError)
        std::fprintf(stderr, "Cannot register \"%s\". Cannot write to: %s. Check permissions.\n",
                     controller.serviceName().toLocal8Bit().constData(),
                     registry.fileName().toLocal8Bit().constData());
    return registry.status() == QSettings::NoError;
}

QString QtServiceBasePrivate::filePath() const
{
    if (args.isEmpty())
        return QString();
    const QString a = args.at(0);
    const int slash = a.lastIndexOf(QLatin1Char('/'));
    const QString fileName = a.mid(slash + 1);
    QString dir;
    if (a.startsWith(QLatin1Char('/'))) {
        dir = QFileInfo(a).absolutePath();
    } else if (slash < 0) {
        const QStringList entries = QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(':'));
        for (const QString &entry : entries) {
            // An empty entry stands for the current directory, as the shell reads it.
            const QString base = entry.isEmpty() ? QDir::currentPath() : entry;
            if (qEnvironmentVariableIsSet("PATH")
                && QFileInfo::exists(base + QLatin1Char('/') + a)) {
                dir = QDir(base).absolutePath();
                break;
            }
        }
    } else {
        dir = QDir(QDir::current().absoluteFilePath(a.left(slash))).absolutePath();
    }
    if (dir.isEmpty())
        dir = QDir::currentPath();
    return QDir(dir).absoluteFilePath(fileName);
}

bool QtServiceBasePrivate::startInBackground()
{
    if (controller.isRunning()) {
        std::fprintf(stderr, "The service %s already running.\n",
                     controller.serviceName().toLocal8Bit().constData());
        return false;
    }
    ::setenv("QTSERVICE_RUN", "1", 1);
    return QProcess::startDetached(filePath(), QStringList());
}
