#include "service/qtservice/qtservicecontroller.h"

#include "core/timescale.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QSettings>

#include <cstdio>

class QtServiceControllerPrivate
{
public:
    QString serviceName;
    QtServiceController *q_ptr = nullptr;
};

namespace {

QString settingsValue(const QString &key)
{
    QSettings settings(QtServiceController::registryFilePath(), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    return settings.value(key).toString();
}

// One request per connection: the word and CR LF out, "true" or "false" back.
bool sendRequest(const QString &serviceName, const QString &word)
{
    QLocalSocket socket;
    socket.connectToServer(QtServiceController::socketPath(serviceName), QIODevice::ReadWrite);
    if (!socket.waitForConnected(TimeScale::toRealInt(QtServiceController::ConnectTimeout)))
        return false;
    socket.write(QString(word + QStringLiteral("\r\n")).toLatin1());
    socket.flush();

    // A wedged service must not hang the command line: the answer's wait is bounded.
    QDeadlineTimer deadline(TimeScale::toReal(QtServiceController::AnswerTimeout));
    QByteArray answer;
    while (!deadline.hasExpired() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
        answer += socket.readAll();
        // The answer carries no terminator: stop once it can no longer grow into "true".
        if (answer.contains('\0') || answer.size() >= 4 || !QByteArray("true").startsWith(answer))
            break;
    }
    const int nul = answer.indexOf('\0');
    if (nul >= 0)
        answer.truncate(nul);
    socket.close();
    return QString::fromUtf8(answer) == QLatin1String("true");
}

} // namespace

QtServiceController::QtServiceController(const QString &name)
    : d_ptr(new QtServiceControllerPrivate)
{
    d_ptr->serviceName = name;
    d_ptr->q_ptr = this;
}

QtServiceController::~QtServiceController()
{
    delete d_ptr;
}

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName;
}

QString QtServiceController::registryFilePath()
{
    return QStringLiteral("/etc/%1/service.conf").arg(QCoreApplication::applicationName());
}

QString QtServiceController::socketPath(const QString &serviceName)
{
    return QStringLiteral("/var/run/%1/sock").arg(serviceName);
}

bool QtServiceController::isInstalled() const
{
    QSettings settings(registryFilePath(), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    return !settings.value(QStringLiteral("path")).isNull();
}

QString QtServiceController::serviceFilePath() const
{
    return settingsValue(QStringLiteral("path"));
}

QString QtServiceController::serviceDescription() const
{
    return settingsValue(QStringLiteral("description"));
}

int QtServiceController::startupType() const
{
    return settingsValue(QStringLiteral("startupType")).toInt();
}

bool QtServiceController::uninstall()
{
    QSettings settings(registryFilePath(), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    settings.clear();
    settings.sync();
    const QSettings::Status status = settings.status();
    QFile::remove(settings.fileName());
    if (status == QSettings::AccessError)
        std::fprintf(
            stderr, "Cannot unregistered \"%s\". Cannot write to: %s. Check permissions.\n",
            serviceName().toLocal8Bit().constData(), settings.fileName().toLocal8Bit().constData());
    return status == QSettings::NoError;
}

bool QtServiceController::isRunning() const
{
    return sendRequest(serviceName(), QStringLiteral("alive"));
}

bool QtServiceController::stop()
{
    return sendRequest(serviceName(), QStringLiteral("terminate"));
}

bool QtServiceController::pause()
{
    return sendRequest(serviceName(), QStringLiteral("pause"));
}

bool QtServiceController::resume()
{
    return sendRequest(serviceName(), QStringLiteral("resume"));
}

bool QtServiceController::sendCommand(int code)
{
    return sendRequest(serviceName(), QStringLiteral("num:%1").arg(code));
}
