#include "sip/sip.h"

#include "common/codecs/audiocodec.h"
#include "conversation/conversationobject.h"
#include "core/env.h"
#include "core/modulehost.h"
#include "core/timescale.h"
#include "sip/sipobject.h"

#include <QAbstractSocket>
#include <QStringList>
#include <QTimer>

namespace {

const char *const kGroup = "sip";
const int kStopDelayMs = 1500;

// Keys and defaults of the "sip" group that this module reads.
const std::initializer_list<SettingDefault> kDefaults = {
    { "standalone", "true" }, { "codec1", "8" }, { "codec2", "0" },
    { "codec3", "3" },        { "codec4", "9" },
};

} // namespace

Sip::Sip(QObject *parent)
    : AttendedThread(parent)
    , m_SipUsers(Env::configFilePath(QStringLiteral("sip-users")), QSettings::IniFormat, this)
    , m_IsStandalone(true)
{
    qRegisterMetaType<QAbstractSocket::SocketType>("QAbstractSocket::SocketType");
    setObjectName(QStringLiteral("Sip"));
    m_SipUsers.setIniCodec("UTF-8");
}

QVariant Sip::setting(const QString &key, const QVariant &defaultValue) const
{
    return moduleSetting(this, QLatin1String(kGroup), key, defaultValue);
}

void Sip::writeDefaultSettings()
{
    writeModuleDefaults(this, QLatin1String(kGroup), kDefaults);
}

void Sip::init()
{
    logLine(LogParams::Sip, QStringLiteral("Initialization"));
    writeDefaultSettings();
    m_IsStandalone = setting(QStringLiteral("standalone"), true).toBool();

    ConversationObject::m_CallDuration = 0;
    if (setting(QStringLiteral("enable-call-duration"), true).toBool())
        ConversationObject::m_CallDuration
            = qint64(setting(QStringLiteral("call-duration"), 3600).toULongLong());

    QStringList codecs;
    for (const char *key : { "codec1", "codec2", "codec3", "codec4" })
        codecs << setting(QLatin1String(key), QString()).toString();
    AudioCodec::setCodecs(codecs);

    setObject(new SipObject());
}

void Sip::deinit()
{
    emit unloadUsers();
    processEvents();
}

void Sip::stop()
{
    logLine(LogParams::Sip, QStringLiteral("Deinitialization"));
    // Nothing runs that could unregister: a delayed stop would only hit the next start.
    if (!thread.isRunning()) {
        stopParent();
        return;
    }
    QTimer::singleShot(TimeScale::toRealInt(kStopDelayMs), this, &Sip::stopParent);
}

void Sip::stopParent()
{
    AttendedThread::stop();
}
