#include "sip/sipuser.h"

#include "core/env.h"
#include "sip/message/sipconstants.h"
#include "sip/sipusersetting.h"
#include "sip/sipvideocontrol.h"
#include "velk/velk.h"

#include <QVariant>

bool SipUser::m_IsStandalone = true;

namespace {

bool settingIs(const SipUser *user, const SipUserSetting::Type &key, const char *word)
{
    return userSetting(user, key).compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
}

// Device numbers are 16-bit; 65535 names no device.
const int kLastDeviceId = 65534;

} // namespace

SipUser::SipUser(const QString &name, const uchar &logRtsp, QObject *parent)
    : CoreObject(parent)
    , m_ContactUser(name)
    , m_ServerAddress(noAddress())
    , m_ClientAddress(noAddress())
    , m_RegisterTimer(this)
    , m_VideoControl(createVideoControl(logRtsp, this))
{
    setObjectName(name);
    m_RegisterTimer.setSingleShot(true);
    connect(&m_RegisterTimer, &QTimer::timeout, this, &SipUser::timeoutRegister,
            Qt::DirectConnection);
    connectVideoControl();
    logLine(LogParams::SipDebug, QStringLiteral("Create sip user '%1'").arg(name));
}

SipUser::~SipUser()
{
    emit stopVideoRtspControl();
    logLine(LogParams::SipDebug, QStringLiteral("Delete sip user '%1'").arg(objectName()));
}

int SipUser::typeUser() const
{
    const QVariant value = userSettingProperty(this, SipUserSetting::TypeUser);
    return value.isValid() && value.canConvert<int>() ? value.toInt() : -1;
}

bool SipUser::isVelkUser() const
{
    return userSettingInt(this, SipUserSetting::TypeUser) == VelkAccount;
}

bool SipUser::isGroup() const
{
    return typeUser() == GroupAccount;
}

QStringList SipUser::groupMembers() const
{
    return groupMemberNames(userSetting(this, SipUserSetting::GroupList));
}

QString SipUser::login() const
{
    return userSetting(
        this, m_IsStandalone ? SipUserSetting::SipStandaloneLogin : SipUserSetting::SipServerLogin);
}

QString SipUser::password() const
{
    return userSetting(this,
                       m_IsStandalone ? SipUserSetting::SipStandalonePassword
                                      : SipUserSetting::SipServerPassword);
}

bool SipUser::isAutoAnswer() const
{
    return userSettingBool(this, SipUserSetting::VelkAutoanswer);
}

bool SipUser::isWiretapping() const
{
    return settingIs(this, SipUserSetting::VelkWiretapping, "true");
}

bool SipUser::isPaging() const
{
    return settingIs(this, SipUserSetting::VelkWiretapping, "paging");
}

bool SipUser::isControl() const
{
    return settingIs(this, SipUserSetting::VelkWiretapping, "control");
}

bool SipUser::isPriority() const
{
    return isVelkUser() && userSettingBool(this, SipUserSetting::VelkPriority);
}

int SipUser::velkDeviceId() const
{
    if (!isVelkUser())
        return -1;
    bool ok = false;
    const int id = userSetting(this, SipUserSetting::VelkDeviceId).trimmed().toInt(&ok, 10);
    // A number beyond the 16-bit range must not wrap onto another device.
    return ok && id >= 0 && id <= kLastDeviceId ? id : -1;
}

QObject *SipUser::velkDevice() const
{
    const int id = velkDeviceId();
    if (id < 0)
        return nullptr;
    // The door-device module is a sibling of the Sip module under the running Core.
    for (const QObject *owner = parent(); owner != nullptr; owner = owner->parent()) {
        const Velk *velk = owner->findChild<Velk *>(QString(), Qt::FindDirectChildrenOnly);
        if (velk != nullptr)
            return velk->findChild<QObject *>(QString::number(id));
    }
    return nullptr;
}

QString SipUser::localAddress() const
{
    const QObject *owner = parent();
    if (owner != nullptr && owner->inherits("Sip")) {
        const QVariant address = owner->property("localAddress");
        if (address.isValid() && !address.toString().isEmpty())
            return address.toString();
    }
    return m_ClientAddress;
}

void SipUser::setConversation(const QString &caller, const QString &conversation)
{
    if (caller.isEmpty() || conversation.isEmpty())
        return;
    m_Conversations.insert(caller, conversation);
}

QString SipUser::conversationCaller(const QString &caller) const
{
    return m_Conversations.value(caller);
}

QString SipUser::takeConversation(const QString &caller)
{
    const QString conversation = m_Conversations.take(caller);
    if (!conversation.isEmpty())
        emit legLeft(caller);
    return conversation;
}

QString SipUser::removeCaller(const QString &conversation)
{
    for (auto it = m_Conversations.begin(); it != m_Conversations.end(); ++it) {
        if (it.value() == conversation) {
            const QString caller = it.key();
            m_Conversations.erase(it);
            emit legLeft(caller);
            return caller;
        }
    }
    return QString();
}
