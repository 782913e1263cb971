#include "http/http.h"

#include "core/env.h"
#include "core/modulehost.h"
#include "core/settingstext.h"
#include "http/httpobject.h"
#include "http/httpsession.h"
#include "http/httpuser.h"
#include "http/pagepath.h"
#include "sip/sip.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkInterface>
#include <QStringList>

namespace {

const char *const kGroup = "admin";

const char *const kSettingKeys[Http::SettingCount]
    = { "bind-address", "bind-port", "expires", "log-protocol" };
const char *const kSettingDefaults[Http::SettingCount] = { "0.0.0.0", "8888", "600", "false" };

} // namespace

// The page resources live in this static library; the linker keeps them only when named.
static void initPageResources()
{
    Q_INIT_RESOURCE(httppages);
}

HeaderHash makeHeaders(const QString &name, const QString &value)
{
    HeaderHash headers;
    headers.insert(name, value);
    return headers;
}

Http::Http(QObject *parent)
    : AttendedThread(parent)
    , m_Users(Env::configFilePath(QStringLiteral("admin-users")), QSettings::IniFormat, this)
    , m_PageRoot(QStringLiteral(":/http/lite/ru"))
{
    initPageResources();
    m_Users.setIniCodec("UTF-8");
    keepWrittenText(m_Users);
    setObjectName(QStringLiteral("Http"));
    qRegisterMetaType<QHttpRequest::HttpMethod>("QHttpRequest::HttpMethod");
    qRegisterMetaType<HeaderHash>("HeaderHash");
    if (!QMetaType::hasRegisteredConverterFunction<HeaderHash, QVariantHash>()) {
        QMetaType::registerConverter<HeaderHash, QVariantHash>([](const HeaderHash &headers) {
            QVariantHash out;
            for (auto it = headers.cbegin(); it != headers.cend(); ++it)
                out.insert(it.key(), it.value());
            return out;
        });
    }
    qRegisterMetaType<QHttpResponse::StatusCode>("QHttpResponse::StatusCode");
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<HttpConnectionState>("HttpConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
}

QString Http::settingKey(int key)
{
    return key >= 0 && key < SettingCount ? QLatin1String(kSettingKeys[key]) : QString();
}

QString Http::settingDefault(int key)
{
    return key >= 0 && key < SettingCount ? QLatin1String(kSettingDefaults[key]) : QString();
}

void Http::loadSettings()
{
    for (int key = 0; key < SettingCount; ++key)
        setDefaultSetting(HttpSetting(key), settingDefault(key));
    // The built-in administrator is the way in only for a store without any administrator (a
    // fresh install, a file emptied or demoted by hand): once another one is stored, a deleted
    // "admin" stays deleted and its published password opens nothing. Keys it still has stay.
    if (!storedAdmins().isEmpty())
        return;
    logLine(LogParams::Http, QStringLiteral("No web administrator stored: enable user 'admin'"));
    m_Users.beginGroup(QStringLiteral("admin"));
    m_Users.setValue(userKey(IsAdmin), QStringLiteral("true"));
    const std::pair<int, QString> builtIn[]
        = { { DisplayName, QString() }, { Password, userDefault(Password) } };
    for (const auto &entry : builtIn) {
        if (!m_Users.contains(userKey(entry.first)))
            m_Users.setValue(userKey(entry.first), entry.second);
    }
    m_Users.endGroup();
    m_Users.sync();
}

QString Http::stringSetting(HttpSetting key) const
{
    return moduleSetting(this, QLatin1String(kGroup), settingKey(key), settingDefault(key))
        .toString();
}

quint16 Http::portSetting(HttpSetting key) const
{
    bool ok = false;
    const uint port = stringSetting(key).toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

bool Http::boolSetting(HttpSetting key) const
{
    const QString text = stringSetting(key).trimmed();
    return !(text.isEmpty() || text == QLatin1String("0")
             || text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0);
}

int Http::intSetting(HttpSetting key) const
{
    return stringSetting(key).toInt();
}

QString Http::settingText(HttpSetting key) const
{
    switch (key) {
    case BindPort:
        return QString::number(portSetting(key));
    case Expires:
        return QString::number(intSetting(key));
    case LogProtocol:
        return boolSetting(key) ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return stringSetting(key);
    }
}

void Http::setSetting(HttpSetting key, const QVariant &value)
{
    if (ModuleHost *host = hostOf(this))
        host->setValue(QLatin1String(kGroup), settingKey(key), value);
}

void Http::setDefaultSetting(HttpSetting key, const QVariant &value)
{
    if (ModuleHost *host = hostOf(this))
        host->setDefaultValue(QLatin1String(kGroup), settingKey(key), value);
}

void Http::init()
{
    logLine(LogParams::Http, QStringLiteral("Initialization"));
    loadSettings();
    loadUsers();
    auto *worker = new HttpObject(stringSetting(BindAddress), portSetting(BindPort),
                                  boolSetting(LogProtocol));
    connect(worker, &HttpObject::checkRequest, this, &Http::onCheckRequest, Qt::QueuedConnection);
    connect(worker, &HttpObject::setConnectionState, this, &Http::setConnectionState,
            Qt::QueuedConnection);
    connect(this, &Http::resultRequest, worker, &HttpObject::onResultRequest, Qt::QueuedConnection);
    connect(this, &Http::holdRequest, worker, &HttpObject::onHoldRequest, Qt::QueuedConnection);
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
    // A form still waiting for a host look-up is dropped: its client loses the connection.
    const QList<HostLookup *> lookups
        = findChildren<HostLookup *>(QString(), Qt::FindDirectChildrenOnly);
    for (HostLookup *lookup : lookups)
        lookup->cancel();
    AttendedThread::stop();
    // The worker's thread ends without a word: the module no longer listens.
    setConnectionState(HttpNotRunning, QAbstractSocket::UnknownSocketError, QString());
    emit unloadSession();
    processEvents();
}

void Http::setConnectionState(HttpConnectionState state, QAbstractSocket::SocketError error,
                              QString errorString)
{
    if (int(state) != m_State) {
        m_DisplayBindAddress = stringSetting(BindAddress);
        m_DisplayBindPort = portSetting(BindPort);
        if (state == HttpListening && m_DisplayBindAddress == QLatin1String("0.0.0.0")) {
            QStringList addresses;
            for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
                if (address.protocol() == QAbstractSocket::IPv4Protocol)
                    addresses << address.toString();
            }
            m_DisplayBindAddress = QStringLiteral("%1(%2)").arg(m_DisplayBindAddress,
                                                                addresses.join(QLatin1Char(',')));
        }
        m_State = int(state);
    }
    m_SocketError = int(error);
    m_ErrorString = errorString;
}

void Http::restartAfterAnswer()
{
    // Not from here: the module would stop under the answers it holds for other saves.
    if (ModuleHost *host = hostOf(this))
        host->restartWebAfterAnswers();
}

bool Http::isStandalone() const
{
    const Sip *sip
        = parent() ? parent()->findChild<Sip *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    return sip ? sip->isStandalone() : true;
}

namespace {

const char *const kPages[] = {
    "/",
    "/index.htm",
    "/status.htm",
    "/sip-module.htm",
    "/sip-settings.htm",
    "/sip-settings-server.htm",
    "/sip-settings-standalone.htm",
    "/sip-accounts.htm",
    "/sip-accounts-server.htm",
    "/sip-accounts-standalone.htm",
    "/sip-account-server.htm",
    "/sip-account-standalone.htm",
    "/sip-groups.htm",
    "/sip-groups-server.htm",
    "/sip-groups-standalone.htm",
    "/sip-group-server.htm",
    "/sip-group-standalone.htm",
    "/velk-module.htm",
    "/velk-settings.htm",
    "/velk-dialplan.htm",
    "/velk-devices.htm",
    "/velk-device.htm",
    "/admin-module.htm",
    "/admin-settings.htm",
    "/admin-users.htm",
    "/admin-user.htm",
    "/sys-info.htm",
    "/favicon.ico",
    "/style.css",
    "/funcs.js",
    "/401.htm",
    "/wait-restart-http.htm",
};
const int kPageCount = int(sizeof kPages / sizeof kPages[0]);

} // namespace

QString Http::pagePath(int id)
{
    return id >= 0 && id < kPageCount ? QLatin1String(kPages[id]) : QString();
}

int Http::pageId(const QString &path)
{
    if (path.isEmpty())
        return -1;
    for (int id = 0; id < kPageCount; ++id) {
        if (path.compare(QLatin1String(kPages[id]), Qt::CaseInsensitive) == 0)
            return id;
    }
    return -1;
}

QByteArray Http::loadPage(HttpUser *user, const QString &path, bool *found) const
{
    if (found)
        *found = false;
    if (!isCleanPagePath(path))
        return QByteArray();
    QFile file(QStringLiteral("%1%2").arg(m_PageRoot, path));
    if (!file.exists())
        return QByteArray();
    if (found)
        *found = true;
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray page = file.readAll();
    page.replace("${__is_admin__}", user && isAdmin(user) ? "true" : "false");
    page.replace("${__is_standalone__}", isStandalone() ? "true" : "false");
    page.replace("${__app_version__}", QCoreApplication::applicationVersion().toUtf8());
    return page;
}

QByteArray Http::loadPageById(HttpUser *user, int id) const
{
    return loadPage(user, pagePath(id));
}

FormFields Http::asPosted(FormFields form, const QStringList &boxes)
{
    for (const QString &box : boxes) {
        if (!form.contains(box))
            form.insert(box, QStringLiteral("false"));
    }
    return form;
}
