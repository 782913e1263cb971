#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

class QObject;

// The per-user keys of the "sip-users" file; each is a dynamic property of its SipUser.
namespace SipUserSetting {
enum Type {
    Unknown = -1,
    DisplayName = 0,
    TypeUser,
    SipServerLogin,
    SipServerPassword,
    SipServerExpires,
    SipStandaloneLogin,
    SipStandalonePassword,
    SipStandaloneExpires,
    SipRtpTimeout,
    GroupList,
    VelkDeviceId,
    VelkAutoanswer,
    VelkWiretapping,
    VelkPriority,
    VelkVideoEnable,
    VelkVideoPath,
    VelkVideoLogin,
    VelkVideoPassword,
};
constexpr int Count = 18;
} // namespace SipUserSetting

// Key text and default of an index; empty for an index outside the table.
QString userSettingName(const SipUserSetting::Type &key);
QVariant userSettingDefault(const SipUserSetting::Type &key);
// Compared without regard to case; -1 for an empty or unknown text.
SipUserSetting::Type userSettingFromName(const QString &name);

// The user's property of that key when it is set and converts, else the key's default.
QString userSetting(const QObject *user, const SipUserSetting::Type &key);
// A text is false when empty, "0" or "false" in any case, true otherwise.
bool userSettingBool(const QObject *user, const SipUserSetting::Type &key);
// The same as a number; a present value that is no number gives 0.
int userSettingInt(const QObject *user, const SipUserSetting::Type &key);
quint64 userSettingNumber(const QObject *user, const SipUserSetting::Type &key);
qint64 userSettingSigned(const QObject *user, const SipUserSetting::Type &key);
// The property of that key as it is set, without the default: invalid when absent or null.
QVariant userSettingProperty(const QObject *user, const SipUserSetting::Type &key);

// The accounts a "group-list" names: split at its commas, each name trimmed of the blanks around
// it, as a person writes the list; empty names left out.
QStringList groupMemberNames(const QString &list);
