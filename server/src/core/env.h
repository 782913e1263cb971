#pragma once

#include "core/logparams.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class QSettings;

// The application's surroundings: identity, directories, the main settings and the one logger.
class Env : public QObject
{
    Q_OBJECT
public:
    static void initApplication(const char *argv0);
    static void initLog(const char *argv0);
    static void restoreMessageHandler();

    static QString logFilePath(const QString &name, const char *argv0);
    static QString configFilePath(const QString &name);
    static QSettings *settings(QObject *parent);

    static void log(const LogParams::Type &type, const QString &text, const QDateTime &when);
    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message);

    static Env *instance();
    static bool debugEnabled();
    static void setDebugEnabled(bool enabled);
    static QString textLogPath();

signals:
    void viewLog(QString message);

private:
    Env();
};

// Delivers the calling thread's pending events at once: a flush, never a wait (see EventWait).
void processEvents();

// Shorthand used throughout: one line of the given kind, stamped now.
inline void logLine(LogParams::Type type, const QString &text)
{
    Env::log(type, text, QDateTime::currentDateTime());
}
