#include "http/http.h"

#include "core/env.h"
#include "http/httpobject.h"
#include "core/modulehost.h"

namespace {

const char *const kGroup = "admin";

const std::initializer_list<SettingDefault> kDefaults = {
    { "bind-address", "0.0.0.0" },
    { "bind-port", "8888" },
    { "expires", "600" },
    { "log-protocol", "false" },
};

} // namespace

Http::Http(QObject *parent)
    : AttendedThread(parent)
    , m_Users(Env::configFilePath(QStringLiteral("admin-users")), QSettings::IniFormat, this)
    , m_PageRoot(QStringLiteral(":/http/lite/ru"))
{
    m_Users.setIniCodec("UTF-8");
    setObjectName(QStringLiteral("Http"));
}

QVariant Http::setting(const QString &key, const QVariant &defaultValue) const
{
    return moduleSetting(this, QLatin1String(kGroup), key, defaultValue);
}

void Http::loadSettings()
{
    writeModuleDefaults(this, QLatin1String(kGroup), kDefaults);
}

void Http::init()
{
    logLine(LogParams::Http, QStringLiteral("Initialization"));
    loadSettings();
    auto *worker = new HttpObject(setting(QStringLiteral("bind-address"), QString()).toString(),
                                  quint16(setting(QStringLiteral("bind-port"), 0).toUInt()),
                                  setting(QStringLiteral("log-protocol"), false).toBool());
    setObject(worker);
}

void Http::deinit()
{
    logLine(LogParams::Http, QStringLiteral("Deinitialization"));
    emit unloadUsers();
    processEvents();
}

void Http::stop()
{
    AttendedThread::stop();
    emit unloadSession();
    processEvents();
}
