#include "sip/sipusersetting.h"

#include <QObject>

namespace {

struct SettingEntry
{
    const char *name;
    const char *defaultValue;
};

const SettingEntry kSettings[SipUserSetting::Count] = {
    { "display-name", "" },
    { "type-user", "0" },
    { "sip-server-login", "" },
    { "sip-server-password", "" },
    { "sip-server-expires", "60" },
    { "sip-standalone-login", "" },
    { "sip-standalone-password", "" },
    { "sip-standalone-expires", "60" },
    { "sip-rtp-timeout", "10" },
    { "group-list", "" },
    { "velk-device-id", "" },
    { "velk-autoanswer", "true" },
    { "velk-wiretapping", "false" },
    { "velk-priority", "false" },
    { "velk-video-enable", "false" },
    { "velk-video-path", "" },
    { "velk-video-login", "" },
    { "velk-video-password", "" },
};

bool inTable(const SipUserSetting::Type &key)
{
    return key >= 0 && key < SipUserSetting::Count;
}

// The property when it is set and converts to T, else the key's default as T.
template<typename T> T settingAs(const QObject *user, const SipUserSetting::Type &key)
{
    const QVariant value = userSettingProperty(user, key);
    if (value.isValid() && value.canConvert<T>())
        return value.value<T>();
    return userSettingDefault(key).value<T>();
}

} // namespace

QVariant userSettingProperty(const QObject *user, const SipUserSetting::Type &key)
{
    const QString name = userSettingName(key).trimmed().toLower();
    if (user == nullptr || name.isEmpty())
        return QVariant();
    const QVariant value = user->property(name.toUtf8().constData());
    return value.isValid() && !value.isNull() ? value : QVariant();
}

QString userSettingName(const SipUserSetting::Type &key)
{
    return inTable(key) ? QString::fromLatin1(kSettings[key].name) : QString();
}

QVariant userSettingDefault(const SipUserSetting::Type &key)
{
    return inTable(key) ? QVariant(QString::fromLatin1(kSettings[key].defaultValue)) : QVariant();
}

SipUserSetting::Type userSettingFromName(const QString &name)
{
    if (name.isEmpty())
        return SipUserSetting::Unknown;
    for (int i = 0; i < SipUserSetting::Count; ++i) {
        if (name.compare(QLatin1String(kSettings[i].name), Qt::CaseInsensitive) == 0)
            return SipUserSetting::Type(i);
    }
    return SipUserSetting::Unknown;
}

QString userSetting(const QObject *user, const SipUserSetting::Type &key)
{
    return settingAs<QString>(user, key);
}

bool userSettingBool(const QObject *user, const SipUserSetting::Type &key)
{
    return settingAs<bool>(user, key);
}

int userSettingInt(const QObject *user, const SipUserSetting::Type &key)
{
    return settingAs<int>(user, key);
}

quint64 userSettingNumber(const QObject *user, const SipUserSetting::Type &key)
{
    return settingAs<quint64>(user, key);
}

qint64 userSettingSigned(const QObject *user, const SipUserSetting::Type &key)
{
    return settingAs<qint64>(user, key);
}

QStringList groupMemberNames(const QString &list)
{
    QStringList names;
    for (const QString &item : list.split(QLatin1Char(','))) {
        if (const QString name = item.trimmed(); !name.isEmpty())
            names << name;
    }
    return names;
}
