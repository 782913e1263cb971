#pragma once

#include "core/attendedthreadobject.h"
#include "core/modulehost.h"
#include "core/qsmdraction.h"

#include "http/http.h"
#include "sip/sip.h"
#include "velk/velk.h"

#include <QDateTime>
#include <QVariant>

#include <functional>
#include <vector>

class QSettings;

// The root of the running system: owns the modules, starts, restarts and stops them, and
// writes the SMDR log. Lives in the core thread.
class Core : public AttendedThreadObject, public ModuleHost
{
    Q_OBJECT
public:
    explicit Core(QObject *parent = nullptr);
    ~Core() override;

    Sip &sip() { return m_sip; }
    Velk &velk() { return m_velk; }
    Http &http() { return m_http; }
    QSettings *settings() const { return m_settings; }

    // Main settings: one group per module.
    void setValue(const QString &group, const QString &key, const QVariant &value) override;
    void setDefaultValue(const QString &group, const QString &key, const QVariant &value) override;
    QVariant value(const QString &group, const QString &key,
                   const QVariant &defaultValue) const override;
    bool syncSettings() override;

    bool isStopping() const override { return m_stopping; }

    // Held by core-thread work that waits with its events flowing (restarts): a stop that
    // arrives inside such a wait runs, but Core is deleted only after the outermost holder
    // returns, never under its feet.
    class Busy
    {
    public:
        explicit Busy(Core *core);
        ~Busy();

    private:
        Q_DISABLE_COPY(Busy)
        Core *m_core;
    };

    // Runs from the event loop; asked inside a running restart, it queues one more behind it.
    void restartSipAndVelkThen(const std::function<void(bool)> &done) override;
    // Queued as well: the saves answered before it, and those that come meanwhile, are answered
    // before the web worker goes.
    void restartWebAfterAnswers() override;

    void smdrHeader();
    QString smdrFilePath() const { return m_smdrPath; }

signals:
    void startAll();
    void endService();

public slots:
    void run() override;
    void threadStarted();
    void threadFinished();
    void stopCore();
    // False when asked inside a running restart: the modules restart once more after it.
    bool restartSipAndVelk() override;
    qint64 runningThreads() const { return m_threads; }

    void smdrLog(const QDateTime &datetime, const QString &src, const QString &dest,
                 const qlonglong &duration, const QSmdrAction::Type &action, const QString &attr);
    void smdrLog(const QDateTime &datetime, const QString &src, const QString &dest,
                 const qlonglong &duration, const QSmdrAction::Type &action);

private:
    void queueRestarts();
    void runRestarts();
    bool restartOnce();
    void restartWeb();

    qint64 m_threads = 0;
    QSettings *m_settings;
    Sip m_sip;
    Velk m_velk;
    Http m_http;
    QString m_smdrPath;
    bool m_stopping = false;
    int m_busy = 0;
    bool m_deletePending = false;
    bool m_restarting = false;
    bool m_restartQueued = false;
    bool m_webRestartWanted = false;
    // Those waiting for a restart that has not begun yet.
    std::vector<std::function<void(bool)>> m_restartWaiters;
};
