#include "velk/velk.h"

#include "core/env.h"
#include "core/modulehost.h"
#include "velk/velkobject.h"

#include <QHostAddress>

namespace {

const char *const kGroup = "velk";

// Keys and defaults of the "velk" group that this module reads.
const std::initializer_list<SettingDefault> kDefaults = {
    { "bind-address", "0.0.0.0" },
    { "bind-port", "5757" },
    { "log-protocol", "false" },
};

} // namespace

Velk::Velk(QObject *parent)
    : AttendedThread(parent)
    , m_Devices(Env::configFilePath(QStringLiteral("velk-devices")), QSettings::IniFormat, this)
{
    m_Devices.setIniCodec("UTF-8");
    qRegisterMetaType<QHostAddress>("QHostAddress");
    setObjectName(QStringLiteral("Velk"));
}

QVariant Velk::setting(const QString &key, const QVariant &defaultValue) const
{
    return moduleSetting(this, QLatin1String(kGroup), key, defaultValue);
}

void Velk::writeDefaults()
{
    writeModuleDefaults(this, QLatin1String(kGroup), kDefaults);
}

void Velk::init()
{
    logLine(LogParams::Velk, QStringLiteral("Initialization"));
    m_Devices.sync();
    writeDefaults();
    auto *worker = new VelkObject(setting(QStringLiteral("bind-address"), QString()).toString(),
                                  quint16(setting(QStringLiteral("bind-port"), 0).toUInt()),
                                  setting(QStringLiteral("log-protocol"), false).toBool());
    setObject(worker);
}

void Velk::deinit()
{
    logLine(LogParams::Velk, QStringLiteral("Deinitialization"));
    m_Devices.sync();
    emit unloadDevices();
    processEvents();
}
