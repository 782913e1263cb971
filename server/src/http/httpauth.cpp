// Web users, sessions and the digest check of every request.
#include "http/http.h"

#include "core/digestchallenge.h"
#include "core/env.h"
#include "core/settingsfile.h"
#include "core/settingstext.h"
#include "http/httpsession.h"
#include "http/httpuser.h"
#include "http/qhttpserver/qhttpconnection.h"

#include <QCryptographicHash>

namespace {

const char *const kUserKeys[Http::UserSettingCount] = { "is-admin", "display-name", "password" };
const char *const kUserDefaults[Http::UserSettingCount] = { "false", "", "tallowfin" };

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

bool textIsTrue(const QVariant &value)
{
    if (!value.isValid() || value.isNull() || !value.canConvert<QString>())
        return false;
    const QString text = value.toString().trimmed();
    return !(text.isEmpty() || text == QLatin1String("0")
             || text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0);
}

} // namespace

QString Http::userKey(int key)
{
    return key >= 0 && key < UserSettingCount ? QLatin1String(kUserKeys[key]) : QString();
}

QString Http::userDefault(int key)
{
    return key >= 0 && key < UserSettingCount ? QLatin1String(kUserDefaults[key]) : QString();
}

QString Http::realm() const
{
    return tr("Tarnhall Server");
}

HttpUser *Http::checkAuthorization(QHttpRequest::HttpMethod method, const QUrl &url,
                                   const QString &authorization, HttpSession **session, bool *stale)
{
    if (session)
        *session = nullptr;
    if (stale)
        *stale = false;
    if (authorization.isEmpty())
        return nullptr;
    const QHash<QString, QString> params = parseDigestChallenge(authorization);
    if (params.isEmpty())
        return nullptr;

    HttpUser *user = findUser(params.value(QStringLiteral("username")));
    if (!user)
        return nullptr;
    // Credentials count only for this system and for the very request they came with: a
    // digest taken from another realm or another page must not open this one.
    const QString uri = params.value(QStringLiteral("uri"));
    if (params.value(QStringLiteral("realm")) != realm()
        || QHttpConnection::createUrl(uri.toUtf8(), method == QHttpRequest::HTTP_CONNECT) != url)
        return nullptr;

    const QString nonce = params.value(QStringLiteral("nonce"));
    const QString ha1
        = md5Hex(QStringLiteral("%1:%2:%3").arg(user->name(), realm(), userValue(user, Password)));
    const QString ha2 = md5Hex(QStringLiteral("%1:%2").arg(
        QHttpRequest::MethodToString(method).remove(QStringLiteral("HTTP_")), uri));
    const QString expected = md5Hex(QStringLiteral("%1:%2:%3").arg(ha1, nonce, ha2));
    const bool matches = params.value(QStringLiteral("response")).toLower() == expected;

    HttpSession *found = findSession(nonce);
    if (!found) {
        // Right password, nonce gone: the browser may retry on a fresh nonce without asking.
        if (stale && matches)
            *stale = true;
        return nullptr;
    }
    found->touch();
    if (!matches) {
        found->deleteLater();
        return nullptr;
    }
    if (!found->isBound()) {
        found->bind(user->name(), userValue(user, DisplayName));
        logLine(LogParams::Http,
                QStringLiteral("Accept http session for '%1@%2'")
                    .arg(user->name(), found->remoteAddress()));
    }
    if (session)
        *session = found;
    return user;
}

void Http::loadUsers()
{
    const QStringList groups = m_Users.childGroups();
    for (const QString &name : groups)
        loadUser(name);
}

HttpUser *Http::loadUser(const QString &name)
{
    if (HttpUser *old = findUser(name)) {
        logLine(LogParams::Http, QStringLiteral("Users load - Duplicate user %1").arg(name));
        delete old;
    }
    m_Users.beginGroup(name);
    auto *user = new HttpUser(name, this);
    connect(this, &Http::unloadUsers, user, &QObject::deleteLater);
    for (int key = 0; key < UserSettingCount; ++key)
        user->setProperty(kUserKeys[key], m_Users.value(userKey(key), userDefault(key)));
    m_Users.endGroup();
    return user;
}

bool Http::removeUser(const QString &name)
{
    bool written = true;
    if (userExists(name)) {
        m_Users.remove(name);
        written = writeSettingsFile(m_Users);
    }
    if (HttpUser *user = findUser(name))
        user->deleteLater();
    return written;
}

bool Http::userExists(const QString &name) const
{
    return !name.isEmpty() && m_Users.childGroups().contains(name);
}

HttpUser *Http::findUser(const QString &name) const
{
    if (name.isEmpty())
        return nullptr;
    return findChild<HttpUser *>(HttpUser::objectNameFor(name), Qt::FindDirectChildrenOnly);
}

HttpSession *Http::findSession(const QString &nonce) const
{
    if (nonce.isEmpty())
        return nullptr;
    return findChild<HttpSession *>(HttpSession::objectNameFor(nonce), Qt::FindDirectChildrenOnly);
}

bool Http::isAdmin(const HttpUser *user)
{
    return user && isAdminValue(user->property("is-admin"));
}

bool Http::isAdminValue(const QVariant &value)
{
    return textIsTrue(value);
}

QStringList Http::storedAdmins() const
{
    QStringList admins;
    const QStringList names = m_Users.childGroups();
    for (const QString &name : names) {
        const QString key = QStringLiteral("%1/%2").arg(name, userKey(IsAdmin));
        if (isAdminValue(m_Users.value(key, userDefault(IsAdmin))))
            admins << name;
    }
    return admins;
}

bool Http::isLastAdmin(const QString &name) const
{
    const QStringList admins = storedAdmins();
    return admins.size() == 1 && admins.first() == name;
}

QString Http::userValue(const HttpUser *user, HttpUserSetting key)
{
    const QVariant value = user ? user->property(kUserKeys[key]) : QVariant();
    // A hand-written value with a comma, a password above all, reads as a list: its text is
    // what the file holds, never the default.
    if (value.type() == QVariant::StringList)
        return settingsText(value);
    if (!value.isValid() || value.isNull() || !value.canConvert<QString>())
        return userDefault(key);
    return value.toString();
}

void Http::dropSurplusSessions()
{
    // Children come in creation order: the first ones are the oldest. Room is made for one
    // more: among the unbound sessions first, then among all.
    QList<HttpSession *> all;
    QList<HttpSession *> unbound;
    for (HttpSession *session :
         findChildren<HttpSession *>(QString(), Qt::FindDirectChildrenOnly)) {
        all << session;
        if (!session->isBound())
            unbound << session;
    }
    for (int i = 0; i + maxUnboundSessions <= unbound.size(); ++i) {
        all.removeOne(unbound.at(i));
        delete unbound.at(i);
    }
    for (int i = 0; i + maxSessions <= all.size(); ++i)
        delete all.at(i);
}
