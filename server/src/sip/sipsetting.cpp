#include "sip/sipsetting.h"

namespace {

struct Entry
{
    const char *name;
    const char *defaultValue;
};

const Entry kSettings[SipSetting::Count] = {
    { "standalone", "true" },
    { "standalone-bind-address", "0.0.0.0" },
    { "standalone-bind-port", "5060" },
    { "standalone-transport", "udp" },
    { "server-proxy-use", "false" },
    { "server-proxy-address", "" },
    { "server-proxy-port", "5060" },
    { "server-address", "" },
    { "server-port", "5060" },
    { "server-transport", "udp" },
    { "server-bind-port", "5061" },
    { "server-bind-random", "false" },
    { "port-range-start", "40000" },
    { "port-range-stop", "41000" },
    { "log-sip", "false" },
    { "log-rtsp", "false" },
    { "enable-call-duration", "true" },
    { "type-ext-address", "auto" },
    { "ext-address-static", "" },
    { "ext-address-stun", "stun.l.google.com:19302" },
    { "codec1", "8" },
    { "codec2", "0" },
    { "codec3", "3" },
    { "codec4", "9" },
    { "call-duration", "3600" },
};

bool inTable(const SipSetting::Type &key)
{
    return key >= 0 && key < SipSetting::Count;
}

} // namespace

QString sipSettingName(const SipSetting::Type &key)
{
    return inTable(key) ? QString::fromLatin1(kSettings[key].name) : QString();
}

QVariant sipSettingDefault(const SipSetting::Type &key)
{
    return inTable(key) ? QVariant(QString::fromLatin1(kSettings[key].defaultValue)) : QVariant();
}

int sipSettingFromName(const QString &name)
{
    if (name.isEmpty())
        return SipSetting::Unknown;
    for (int i = 0; i < SipSetting::Count; ++i) {
        if (name.compare(QLatin1String(kSettings[i].name), Qt::CaseInsensitive) == 0)
            return i;
    }
    return SipSetting::Unknown;
}

SipTransport::Type transportFromString(const QString &text)
{
    if (text.compare(QLatin1String("UDP"), Qt::CaseInsensitive) == 0)
        return SipTransport::UDP;
    if (text.compare(QLatin1String("TCP"), Qt::CaseInsensitive) == 0)
        return SipTransport::TCP;
    return SipTransport::Unset;
}

quint16 settingTextToPort(const QVariant &value)
{
    bool ok = false;
    const uint number = value.toString().toUInt(&ok, 10);
    return ok && number <= 0xFFFF ? quint16(number) : 0;
}

qint64 settingTextToInt64(const QVariant &value)
{
    bool ok = false;
    const qint64 number = value.toString().toLongLong(&ok, 10);
    return ok ? number : 0;
}

bool settingTextToBool(const QVariant &value)
{
    const QString text = value.toString();
    return !(text.isEmpty() || text == QLatin1String("0")
             || text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0);
}
