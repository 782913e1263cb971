// The account store: the "sip-users" file, one group per account, and the SipUser of each.
#include "sip/sip.h"

#include "conversation/conversationthread.h"
#include "core/settingsfile.h"
#include "core/settingstext.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

#include "velk/velkdevice.h"

namespace {

const SipUserSetting::Type kCheckBoxes[]
    = { SipUserSetting::VelkAutoanswer, SipUserSetting::VelkWiretapping,
        SipUserSetting::VelkPriority, SipUserSetting::VelkVideoEnable };

bool hasField(const QHash<QString, QString> &form, const QString &key)
{
    for (auto it = form.cbegin(); it != form.cend(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Every key of the group as a property of the account, its default where the file has none.
void readProperties(SipUser *user, QSettings &file)
{
    for (int i = 0; i < SipUserSetting::Count; ++i) {
        const auto key = SipUserSetting::Type(i);
        const QString name = userSettingName(key).trimmed().toLower();
        QVariant value = file.value(name, userSettingDefault(key));
        if (!value.isValid())
            value = userSettingDefault(key);
        else if (value.type() == QVariant::StringList)
            value = settingsText(value); // a group's members written unquoted, say
        user->setProperty(name.toUtf8().constData(), value);
    }
}

// A new device account learns its device's state as if the device had just reported it.
void tellDeviceState(SipUser *user)
{
    auto *device = qobject_cast<VelkDevice *>(user->velkDevice());
    if (!device)
        return;
    emit device->isRegisteredChanged(device->number(), device->state() >= 0, user->objectName());
    emit device->isBusyChanged(device->number(), device->state() > 1, user->objectName());
}

} // namespace

void Sip::loadUsers()
{
    const QStringList groups = m_SipUsers.childGroups();
    for (const QString &name : groups)
        loadUser(name);
}

SipUser *Sip::loadUser(const QString &name)
{
    delete findUser(name);
    m_SipUsers.beginGroup(name);
    auto *user = new SipUser(name, uchar(settingBool(SipSetting::LogRtsp)), this);
    indexUser(user);
    user->initServerConnection(m_Transport, m_ServerAddress, m_ServerPort, m_ClientAddress,
                               m_ClientPort);
    if (!m_IsStandalone)
        user->m_Transport = m_ServerTransport;
    connect(
        user, &SipUser::excludeCallerFromConversation, this,
        [this, user](QString conversation, QString caller, bool normal) {
            noteEndingLeg(user, conversation, caller);
            onExcludeCallerFromConversation(conversation, caller, normal);
        },
        Qt::DirectConnection);
    connect(this, &Sip::unloadUsers, user, &QObject::deleteLater, Qt::QueuedConnection);
    if (m_IsStandalone)
        connect(user, &SipUser::initTcpSocket, this, &Sip::onUserTcpSocket, Qt::DirectConnection);
    else
        connect(user, &SipUser::registerOnServer, this, &Sip::registerOnServer,
                Qt::DirectConnection);
    readProperties(user, m_SipUsers);
    user->applyVideo();
    m_SipUsers.endGroup();
    return user;
}

bool Sip::saveUser(const QString &name, const QHash<QString, QString> &form)
{
    m_SipUsers.beginGroup(name);
    // Under the key as the table writes it, whatever the case of the posted name.
    for (auto it = form.cbegin(); it != form.cend(); ++it) {
        const SipUserSetting::Type key = userSettingFromName(it.key());
        if (key != SipUserSetting::Unknown)
            m_SipUsers.setValue(userSettingName(key), it.value());
    }
    for (const SipUserSetting::Type key : kCheckBoxes) {
        if (!hasField(form, userSettingName(key)))
            m_SipUsers.setValue(userSettingName(key), false);
    }
    m_SipUsers.endGroup();
    const bool written = writeSettingsFile(m_SipUsers);

    SipUser *user = findUser(name);
    if (!user) {
        user = loadUser(name);
        if (user->typeUser() == SipUser::GroupAccount)
            registerOnServer(name, true);
        else if (user->isVelkUser())
            tellDeviceState(user);
        return written;
    }
    m_SipUsers.beginGroup(name);
    readProperties(user, m_SipUsers);
    refreshAccountBusy(user); // its door may be another one now
    user->applyVideo();
    m_SipUsers.endGroup();
    return written;
}

bool Sip::deleteUser(const QString &name)
{
    bool written = true;
    if (m_SipUsers.childGroups().contains(name)) {
        m_SipUsers.remove(name);
        // As saving does: a deletion lost to a crash would bring the account back.
        written = writeSettingsFile(m_SipUsers);
    }
    if (SipUser *user = findUser(name)) {
        // Its calls end first, from the account as it was; out of reach at once, and gone
        // with the next events or once the last of those calls has been ended.
        if (m_IsStandalone)
            user->setRegistered(false);
        else
            leaveServer(user);
        m_Users.remove(name);
        m_UserList.removeOne(user);
        if (!hasEndingLeg([user](const EndingLeg &leg) { return leg.user == user; }))
            user->deleteLater();
    }
    return written;
}

bool Sip::userExists(const QString &name) const
{
    return m_SipUsers.childGroups().contains(name);
}

SipUser *Sip::findUser(const QString &name) const
{
    return name.isEmpty() ? nullptr : m_Users.value(name);
}

void Sip::indexUser(SipUser *user)
{
    const QString name = user->objectName();
    m_Users.insert(name, user);
    m_UserList.append(user);
    // Compared as the pointer it was, never cast: the account is no SipUser any more.
    connect(user, &QObject::destroyed, this, [this, name, user] {
        m_UserList.removeOne(user);
        if (m_Users.value(name) == user)
            m_Users.remove(name);
    });
    // A door leg leaving a call that goes on frees its account at once, not at the call's end.
    connect(user, &SipUser::legLeft, this, [this, user](const QString &leg) {
        if (m_LegDevices.contains(qMakePair(leg, user->objectName())))
            refreshAccountBusy(user);
    });
}

QStringList Sip::userListText(const QString &first, const QString &second,
                              const QString &third) const
{
    QStringList texts;
    for (const QString &name : { first, second, third }) {
        const SipUser *user = findUser(name);
        if (!user) {
            texts << QStringLiteral("-");
            continue;
        }
        const QString display = userSetting(user, SipUserSetting::DisplayName);
        texts << (display.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, display));
    }
    return texts;
}

ConversationThread *Sip::findConversation(const QString &name) const
{
    return name.isEmpty() ? nullptr : m_Conversations.value(name);
}

void Sip::trackConversation(ConversationThread *conversation)
{
    if (!conversation)
        return;
    const QString name = conversation->objectName();
    m_Conversations.insert(name, conversation);
    connect(conversation, &QObject::destroyed, this, [this, name](QObject *object) {
        if (m_Conversations.value(name) == object)
            m_Conversations.remove(name);
    });
}

QList<SipUser *> Sip::deviceUsers(int device, const QString &dst) const
{
    QList<SipUser *> found;
    if (device < 0)
        return found;
    if (!dst.isEmpty()) {
        SipUser *user = findUser(dst);
        if (user && user->velkDeviceId() == device)
            found << user;
        return found;
    }
    for (SipUser *user : m_UserList) {
        if (user->velkDeviceId() == device)
            found << user;
    }
    return found;
}

bool isUsableUser(const SipUser *user)
{
    if (!user)
        return false;
    return user->isRegistered() || (SipUser::m_IsStandalone && user->isGroup());
}

bool userVideoEnabled(const SipUser *user)
{
    if (!user || !userSettingBool(user, SipUserSetting::VelkVideoEnable))
        return false;
    bool ok = false;
    const int type = userSetting(user, SipUserSetting::TypeUser).toInt(&ok, 10);
    return ok && type == SipUser::VelkAccount;
}

bool userVideoEnabledForResponse(const SipUser *user)
{
    return userVideoEnabled(user) && user->videoCodec() < 255 && !user->videoCodecInfo().isEmpty();
}

QString userOrDefault(const KBaseUri<1> &uri, const QString &fallback)
{
    return uri.user.isEmpty() ? fallback : uri.user;
}

SipTransport::Type contactTransport(const KBaseUri<1> &contact, const SipTransport::Type &fallback)
{
    if (!contact.parameters.hasParam(QStringLiteral("transport")))
        return fallback;
    return transportFromString(contact.parameters.param(QStringLiteral("transport")));
}
