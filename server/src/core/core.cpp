#include "core/core.h"

#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "core/eventwait.h"
#include "core/settingsfile.h"
#include "core/smdrformat.h"

#include <QFile>
#include <QSettings>
#include <QTextStream>

namespace {

const ulong kModuleWaitSeconds = 16;
const qint64 kCounterWaitMs = 29999;
const qint64 kSettleMs = 999;
// Time the answers held by the web worker get to leave before it stops.
const qint64 kAnswerLeaveMs = 1000;

void appendToFile(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream stream(&file);
    stream << text;
    stream.flush();
    file.close();
}

// Keeps this thread's events flowing until the condition holds or more than limitMs of the
// schedule have passed; sleeps until the next event in between.
void waitFor(qint64 limitMs, const std::function<bool()> &done)
{
    EventWait::until(EventWait::deadlineIn(limitMs + 1), done);
}

} // namespace

Core::Core(QObject *parent)
    : AttendedThreadObject(parent)
    , m_settings(Env::settings(this))
    , m_sip(this)
    , m_velk(this)
    , m_http(this)
{
    qRegisterMetaType<QSmdrAction::Type>("QSmdrAction::Type");
    setObjectName(QStringLiteral("Core"));
    SoundWAV::loadPrompts(m_settings);
    m_velk.setSipServices(&m_sip);
}

Core::~Core()
{
    Env::restoreMessageHandler();
    emit endService();
}

void Core::setValue(const QString &group, const QString &key, const QVariant &value)
{
    if (!m_settings)
        return;
    m_settings->beginGroup(group);
    m_settings->setValue(key, value);
    m_settings->endGroup();
}

void Core::setDefaultValue(const QString &group, const QString &key, const QVariant &value)
{
    if (!m_settings)
        return;
    m_settings->beginGroup(group);
    if (!m_settings->contains(key))
        m_settings->setValue(key, value);
    m_settings->endGroup();
    m_settings->sync();
}

bool Core::syncSettings()
{
    return !m_settings || writeSettingsFile(*m_settings);
}

QVariant Core::value(const QString &group, const QString &key, const QVariant &defaultValue) const
{
    if (!m_settings)
        return defaultValue;
    m_settings->beginGroup(group);
    const QVariant result = m_settings->value(key, defaultValue);
    m_settings->endGroup();
    return result;
}

void Core::run()
{
    logLine(LogParams::Core, QStringLiteral("Start"));
    smdrHeader();

    for (AttendedThread *module :
         { static_cast<AttendedThread *>(&m_http), static_cast<AttendedThread *>(&m_sip),
           static_cast<AttendedThread *>(&m_velk) }) {
        // A stop that arrived before the queued starts (a service stopped as it starts) runs
        // first; a module started after it would keep running past "Stopped".
        connect(
            this, &Core::startAll, module,
            [this, module] {
                if (!m_stopping)
                    module->start();
            },
            Qt::QueuedConnection);
        connect(module, &AttendedThread::started, this, &Core::threadStarted, Qt::QueuedConnection);
        connect(module, &AttendedThread::finished, this, &Core::threadFinished,
                Qt::QueuedConnection);
    }
    emit startAll();
}

void Core::threadStarted()
{
    ++m_threads;
}

void Core::threadFinished()
{
    --m_threads;
}

void Core::stopCore()
{
    // A further SIGTERM, SIGHUP or "terminate" arrives inside our own waits: running the
    // sequence again would delete this object under the first run.
    if (m_stopping)
        return;
    m_stopping = true;

    logLine(LogParams::Core, QStringLiteral("Stopping ..."));
    m_http.stop();
    m_velk.stop();
    m_sip.stop();

    m_http.waitSeconds(kModuleWaitSeconds);
    m_velk.waitSeconds(kModuleWaitSeconds);
    m_sip.waitSeconds(kModuleWaitSeconds);

    if (m_threads != 0)
        waitFor(kCounterWaitMs, [this] { return m_threads == 0; });

    logLine(LogParams::Core, QStringLiteral("Stopped"));
    if (m_busy > 0)
        m_deletePending = true;
    else
        deleteLater();
}

Core::Busy::Busy(Core *core)
    : m_core(core)
{
    ++m_core->m_busy;
}

Core::Busy::~Busy()
{
    if (--m_core->m_busy == 0 && m_core->m_deletePending)
        m_core->deleteLater();
}

bool Core::restartSipAndVelk()
{
    if (m_restarting) {
        m_restartWaiters.push_back([](bool) {});
        return false;
    }
    bool result = false;
    m_restartWaiters.push_back([&result](bool restarted) { result = restarted; });
    runRestarts();
    return result;
}

void Core::restartSipAndVelkThen(const std::function<void(bool)> &done)
{
    m_restartWaiters.push_back(done);
    queueRestarts();
}

void Core::restartWebAfterAnswers()
{
    m_webRestartWanted = true;
    queueRestarts();
}

void Core::queueRestarts()
{
    // From the event loop, not from the caller: a save may be handled inside another one's
    // waits, and all asked before a restart begins share it.
    if (m_restarting || m_restartQueued)
        return;
    m_restartQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_restartQueued = false;
            runRestarts();
        },
        Qt::QueuedConnection);
}

void Core::runRestarts()
{
    // A restart delivered inside the running one's waits would start the modules under it:
    // the running one restarts them once more, for all that came meanwhile, when it is done.
    if (m_restarting)
        return;
    const Busy busy(this);
    m_restarting = true;
    while (!m_restartWaiters.empty() || m_webRestartWanted) {
        if (m_restartWaiters.empty()) {
            // The web worker holds the answers given so far: they leave first. A save that
            // comes meanwhile restarts the other modules and is answered before it goes.
            waitFor(kAnswerLeaveMs, [this] { return m_stopping || !m_restartWaiters.empty(); });
            if (!m_restartWaiters.empty())
                continue;
            m_webRestartWanted = false;
            restartWeb();
            continue;
        }
        const std::vector<std::function<void(bool)>> waiters = std::move(m_restartWaiters);
        m_restartWaiters.clear();
        const bool restarted = restartOnce();
        for (const std::function<void(bool)> &waiter : waiters)
            waiter(restarted);
    }
    m_restarting = false;
}

bool Core::restartOnce()
{
    if (m_stopping)
        return false;
    logLine(LogParams::Core, QStringLiteral("Restarting SIP and VELK moduls ..."));
    m_velk.stop();
    m_sip.stop();

    const bool velkStopped = m_velk.waitSeconds(kModuleWaitSeconds);
    const bool sipStopped = m_sip.waitSeconds(kModuleWaitSeconds);

    // A stop requested meanwhile owns the modules now: starting them would undo it.
    if (sipStopped && !m_stopping)
        m_sip.start();
    if (velkStopped && !m_stopping)
        m_velk.start();

    waitFor(kSettleMs, [this] { return m_stopping; });
    // Cut short by a stop, which ends the modules: nothing was restarted.
    if (m_stopping)
        return false;

    logLine(LogParams::Core, QStringLiteral("SIP and VELK moduls restarted"));
    return sipStopped && velkStopped;
}

void Core::restartWeb()
{
    if (m_stopping)
        return;
    m_http.stop();
    if (m_http.waitSeconds(kModuleWaitSeconds) && !m_stopping)
        m_http.start();
}

void Core::smdrHeader()
{
    m_smdrPath = Env::logFilePath(QStringLiteral("smdr"), nullptr);
    appendToFile(m_smdrPath, SmdrFormat::headerBlock(QDateTime::currentDateTime()));
}

void Core::smdrLog(const QDateTime &datetime, const QString &src, const QString &dest,
                   const qlonglong &duration, const QSmdrAction::Type &action, const QString &attr)
{
    appendToFile(m_smdrPath, SmdrFormat::record(datetime, src, dest, duration, action, attr));
}

void Core::smdrLog(const QDateTime &datetime, const QString &src, const QString &dest,
                   const qlonglong &duration, const QSmdrAction::Type &action)
{
    smdrLog(datetime, src, dest, duration, action, QString());
}
