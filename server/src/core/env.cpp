#include "core/env.h"

#include "core/settingstext.h"
#include "core/systeminfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSettings>

#include <atomic>
#include <cstdio>

namespace {

const char *const kApplicationName = "tarnhall-server";
const char *const kApplicationVersion = "3.5.24.25";
const char *const kOrganisation = "tarnhall.net";

Env *g_env = nullptr;
QString g_logPath;
std::atomic<bool> g_debug { false };
QtMessageHandler g_previousHandler = nullptr;

QMutex &logMutex()
{
    static QMutex mutex;
    return mutex;
}

// Set while this thread writes a line: a framework message raised inside the locked region
// (file errors, a slot connected to viewLog) must not take the lock again. Such lines wait
// here and are written right after the current one.
thread_local bool t_inLog = false;
thread_local QStringList *t_deferred = nullptr;

// Bounds the lines a single call may trigger, so a logging viewLog slot cannot loop forever.
const int kMaxDeferredLines = 64;

// A text's own line breaks (CR LF, CR or LF) go to the file as a line feed and a tab: only an
// entry's first line starts at the margin with its time and kind, so no logged value can pass
// for an entry of its own, while a multi-line trace still reads line by line.
QByteArray fileLine(const QString &line)
{
    static const QRegularExpression breaks(QStringLiteral("\r\n|[\r\n]"));
    QString text = line;
    if (text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')))
        text.replace(breaks, QStringLiteral("\n\t"));
    return text.toLocal8Bit().append('\n');
}

// Observers get the entry as it is: one signal is one entry, whatever it holds.
void writeLine(const QString &line)
{
    if (!g_logPath.isEmpty()) {
        QFile file(g_logPath);
        if (!file.exists())
            QDir().mkpath(QFileInfo(file).absolutePath());
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            file.write(fileLine(line));
            file.close();
        }
    }
    if (g_env)
        emit g_env->viewLog(line);
}

QString timeStamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("dd.MM.yy hh:mm:ss.zzz"));
}

QString cleanDirectory(const QString &base, const QString &relative)
{
    const QString dir = QDir(QDir::toNativeSeparators(QStringLiteral("%1/%2").arg(base, relative)))
                            .absolutePath();
    QDir().mkpath(dir);
    return dir;
}

} // namespace

Env::Env()
{
    qRegisterMetaType<LogParams::Type>("LogParams::Type");
}

void Env::initApplication(const char *argv0)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganisation));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(kOrganisation));
    if (!g_env)
        g_env = new Env();
    initLog(argv0);
}

void Env::initLog(const char *argv0)
{
    g_logPath = logFilePath(QCoreApplication::applicationName(), argv0);
    QtMessageHandler previous = qInstallMessageHandler(&Env::messageHandler);
    if (previous != &Env::messageHandler)
        g_previousHandler = previous;
}

void Env::restoreMessageHandler()
{
    qInstallMessageHandler(g_previousHandler);
}

QString Env::logFilePath(const QString &name, const char *argv0)
{
    const QString base = argv0 ? QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath()
                               : QCoreApplication::applicationDirPath();
    const QString dir = cleanDirectory(base, QStringLiteral("../log"));
    return QDir::toNativeSeparators(QStringLiteral("%1/%2.log").arg(dir, name));
}

QString Env::configFilePath(const QString &name)
{
    const QString dir
        = cleanDirectory(QCoreApplication::applicationDirPath(), QStringLiteral("../conf"));
    return QDir::toNativeSeparators(
        QStringLiteral("%1/%2.%3").arg(dir, name, QStringLiteral("conf")));
}

QSettings *Env::settings(QObject *parent)
{
    auto *settings = new QSettings(configFilePath(QCoreApplication::applicationName()),
                                   QSettings::IniFormat, parent);
    settings->setIniCodec("UTF-8");
    keepWrittenText(*settings);
    const bool debug = settings->value(QStringLiteral("debug"), QStringLiteral("false")).toBool();
    g_debug = debug;
    settings->setValue(QStringLiteral("debug"), debug);
    settings->sync();
    return settings;
}

void Env::log(const LogParams::Type &type, const QString &text, const QDateTime &when)
{
    if (!g_debug && LogParams::isFilteredDebug(type))
        return;

    const QString line
        = QStringLiteral("[%1] [%2]: %3").arg(timeStamp(when), LogParams::name(type), text);

    if (t_inLog) {
        if (t_deferred && t_deferred->size() < kMaxDeferredLines)
            t_deferred->append(line);
        return;
    }
    QStringList deferred;
    t_inLog = true;
    t_deferred = &deferred;
    {
        QMutexLocker locker(&logMutex());
        writeLine(line);
        for (int i = 0; i < deferred.size(); ++i)
            writeLine(deferred.at(i));
    }
    t_deferred = nullptr;
    t_inLog = false;
}

void Env::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const qint64 tid = currentThreadSysId();
    if (g_previousHandler) {
        const QString console = QStringLiteral("[%1] [%2] %3")
                                    .arg(timeStamp(QDateTime::currentDateTime()))
                                    .arg(tid)
                                    .arg(message);
        g_previousHandler(type, context, console);
    }
    const QString text
        = QStringLiteral("[%1] %2 (%3, %4, %5, %6)")
              .arg(tid)
              .arg(message, QString::fromUtf8(context.category), QString::fromUtf8(context.file),
                   QString::fromUtf8(context.function))
              .arg(context.line);
    int kind = -1;
    switch (type) {
    case QtDebugMsg:
        kind = LogParams::Debug;
        break;
    case QtWarningMsg:
        kind = LogParams::Warning;
        break;
    case QtCriticalMsg:
        kind = LogParams::System;
        break;
    case QtFatalMsg:
        kind = LogParams::Fatal;
        break;
    default:
        break;
    }
    log(LogParams::Type(kind), text, QDateTime::currentDateTime());
}

Env *Env::instance()
{
    return g_env;
}

bool Env::debugEnabled()
{
    return g_debug;
}

void Env::setDebugEnabled(bool enabled)
{
    g_debug = enabled;
}

QString Env::textLogPath()
{
    return g_logPath;
}

void processEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
