#pragma once

#include "core/attendedthread.h"
#include "http/hostlookup.h"
#include "http/httpconnectionstate.h"
#include "http/qhttpserver/headerhash.h"
#include "http/qhttpserver/qhttprequest.h"
#include "http/qhttpserver/qhttpresponse.h"

#include <QAbstractSocket>
#include <QHash>
#include <QSettings>
#include <QStringList>
#include <QUrl>

#include <functional>

class HttpUser;
class HttpSession;
class PageFill;
class ConversationThread;
class Sip;
class Velk;
struct ListenerSettings;
struct SipFormError;
struct SipListKind;

typedef QHash<QString, QString> FormFields;

// A table holding one header.
HeaderHash makeHeaders(const QString &name, const QString &value);

// The web administration module. Lives in the core thread; its worker HttpObject runs the
// listener and relays every request here, where it is authenticated and answered.
class Http : public AttendedThread
{
    Q_OBJECT
public:
    enum HttpSetting { BindAddress = 0, BindPort, Expires, LogProtocol, SettingCount };
    enum HttpUserSetting { IsAdmin = 0, DisplayName, Password, UserSettingCount };

    explicit Http(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    // Settings: the "admin" group of the main settings.
    void loadSettings();
    static QString settingKey(int key);
    static QString settingDefault(int key);
    QString stringSetting(HttpSetting key) const;
    quint16 portSetting(HttpSetting key) const;
    bool boolSetting(HttpSetting key) const;
    int intSetting(HttpSetting key) const;
    // The value as the settings pages show it.
    QString settingText(HttpSetting key) const;
    void setSetting(HttpSetting key, const QVariant &value);
    void setDefaultSetting(HttpSetting key, const QVariant &value);

    // Pages.
    static QString pagePath(int id);
    static int pageId(const QString &path);
    QString pageRoot() const { return m_PageRoot; }
    QByteArray loadPage(HttpUser *user, const QString &path, bool *found = nullptr) const;
    QByteArray loadPageById(HttpUser *user, int id) const;

    // Users and sessions.
    static QString userKey(int key);
    static QString userDefault(int key);
    HttpUser *checkAuthorization(QHttpRequest::HttpMethod method, const QUrl &url,
                                 const QString &authorization, HttpSession **session,
                                 bool *stale = nullptr);
    void loadUsers();
    HttpUser *loadUser(const QString &name);
    // False when the users file could not be written, the user gone all the same.
    bool removeUser(const QString &name);
    bool userExists(const QString &name) const;
    HttpUser *findUser(const QString &name) const;
    HttpSession *findSession(const QString &nonce) const;
    static bool isAdmin(const HttpUser *user);
    // A stored or posted "is-admin" value read as the login check reads it.
    static bool isAdminValue(const QVariant &value);
    // A refused form shown as it was posted: an unticked check box is not posted, so each of
    // boxes that the form lacks is shown off.
    static FormFields asPosted(FormFields form, const QStringList &boxes);
    // The users whose stored "is-admin" is true.
    QStringList storedAdmins() const;
    // The name is the only administrator stored: without it nobody could administrate.
    bool isLastAdmin(const QString &name) const;
    static QString userValue(const HttpUser *user, HttpUserSetting key);
    QString realm() const;
    // Sessions nobody has logged in with yet, beyond which the oldest is dropped.
    static constexpr int maxUnboundSessions = 256;
    // All sessions; the oldest goes when a new nonce would exceed it.
    static constexpr int maxSessions = 1024;

    int connectionState() const { return m_State; }

signals:
    void unloadUsers();
    void unloadSession();
    void resultRequest(QString responderName, QHttpResponse::StatusCode code, HeaderHash headers,
                       QByteArray body);
    // The request stays open that long before the worker gives up on it: for an answer that
    // waits for a restart of other modules.
    void holdRequest(QString responderName, qint64 ms);

public slots:
    void stop() override;
    void setConnectionState(HttpConnectionState state, QAbstractSocket::SocketError error,
                            QString errorString);
    void onCheckRequest(QString responderName, QString remoteAddress, ushort remotePort,
                        QHttpRequest::HttpMethod method, QUrl url, HeaderHash headers,
                        QByteArray body, QByteArray data);

private:
    void answer(const QString &responderName, int code, const HeaderHash &headers = HeaderHash(),
                const QByteArray &body = QByteArray());
    void redirect(const QString &responderName, const QString &location);
    // After a restart of the SIP and door-device modules, however long, and never inside one.
    void redirectAfterRestart(const QString &responderName, const QString &location);
    void answerPage(const QString &responderName, const QByteArray &page);
    void challenge(const QString &responderName, const QString &remoteAddress, bool stale);
    void dropSurplusSessions();
    void route(int id, HttpUser *user, HttpSession *session, const QString &responderName,
               QHttpRequest::HttpMethod method, const QUrl &url, const FormFields &query,
               const FormFields &form);
    void restartAfterAnswer();
    bool isStandalone() const;
    // Whether a form's listener trial must wait for host names (never once found is given): they
    // are then looked up without holding up this thread, the handler returns, and again runs it
    // anew with what was found and the user who posted. A stop of the module drops the form; a
    // user deleted meanwhile saves nothing and is sent to the start page.
    bool lookUpFirst(const ListenerSettings &wanted, const ListenerSettings &current,
                     const HostAddresses *found, HttpUser *user, const QString &responderName,
                     const std::function<void(HttpUser *, const HostAddresses &)> &again);

    // Administration pages.
    void fillState(PageFill &fill) const;
    // The stored settings, or the posted ones where fields has them.
    void fillSettings(PageFill &fill, const FormFields &fields = FormFields()) const;
    void onGetAdminModule(HttpUser *user, HttpSession *session, const QString &responderName);
    void onPostAdminModule(HttpUser *user, HttpSession *session, const QString &responderName,
                           const FormFields &query, const FormFields &form);
    void onGetAdminSettings(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostAdminSettings(HttpUser *user, const QString &responderName, const FormFields &query,
                             const FormFields &form, const HostAddresses *found = nullptr);
    void onGetAdminUsers(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostAdminUsers(HttpUser *user, const QString &responderName, const FormFields &query,
                          const FormFields &form);
    QByteArray buildAdminModulePage(HttpUser *user, HttpSession *current);
    QByteArray buildAdminSettingsPage(HttpUser *user, const FormFields &fields,
                                      const SipFormError &error);
    QByteArray adminUserRows(HttpUser *user, const QString &error = QString(),
                             const QString &adminId = QString());
    QByteArray userFormPage(HttpUser *user, const FormFields &values);
    // In the file on return: false when it could not be written, the change made all the same.
    bool saveSettings(const FormFields &form);
    bool saveUser(const QString &name, const FormFields &form);

    // SIP pages.
    Sip *sipModule() const;
    QSettings *sipUsersFile() const;
    QString sipDeviceTitle(const QString &deviceId) const;
    void fillSipState(PageFill &fill) const;
    void fillSipSettings(PageFill &fill, const FormFields &fields) const;
    void onGetSipModule(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostSipModule(HttpUser *user, const QString &responderName, const FormFields &query,
                         const FormFields &form);
    void onGetSipSettings(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostSipSettings(HttpUser *user, const QString &responderName, const FormFields &query,
                           const FormFields &form, const HostAddresses *found = nullptr);
    void onGetSipAccounts(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostSipAccounts(HttpUser *user, const QString &responderName, const FormFields &query,
                           const FormFields &form);
    void onGetSipGroups(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostSipGroups(HttpUser *user, const QString &responderName, const FormFields &query,
                         const FormFields &form);
    QByteArray buildSipModulePage(HttpUser *user);
    QByteArray buildSipSettingsPage(HttpUser *user, const FormFields &fields,
                                    const SipFormError &error);
    QByteArray sipListPage(HttpUser *user, const SipListKind &kind,
                           const QString &error = QString(), const QString &userId = QString());
    QByteArray sipFormPage(HttpUser *user, const SipListKind &kind, const FormFields &values,
                           const SipFormError &error);
    QByteArray sipMemberRows(const FormFields &values, const QString &group);
    QStringList sipGroupMembers(const FormFields &form, const QString &group);
    bool isSipEntryOfKind(const QString &name, const SipListKind &kind);
    void onGetSipList(HttpUser *user, const QString &responderName, const FormFields &query,
                      const SipListKind &kind);
    void onPostSipList(HttpUser *user, const QString &responderName, const FormFields &query,
                       const FormFields &form, const SipListKind &kind);
    void velkDeviceOptions(QByteArray &page) const;
    void sipAccountOptions(HttpUser *user, QByteArray &page, int deviceNumber);

    // Door-device pages.
    Velk *velkModule() const;
    void fillVelkState(PageFill &fill) const;
    // The global dial plan into "${def-key}", and "${key}" too when alsoPlain.
    void fillVelkDialplan(PageFill &fill, bool alsoPlain) const;
    void onGetVelkModule(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostVelkModule(HttpUser *user, const QString &responderName, const FormFields &query,
                          const FormFields &form);
    void onGetVelkSettings(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostVelkSettings(HttpUser *user, const QString &responderName, const FormFields &query,
                            const FormFields &form, const HostAddresses *found = nullptr);
    void onGetVelkDialplan(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostVelkDialplan(HttpUser *user, const QString &responderName, const FormFields &query,
                            const FormFields &form);
    void onGetVelkDevices(HttpUser *user, const QString &responderName, const FormFields &query);
    void onPostVelkDevices(HttpUser *user, const QString &responderName, const FormFields &query,
                           const FormFields &form);
    QByteArray buildVelkModulePage(HttpUser *user, const QString &error = QString(),
                                   const QString &deviceId = QString());
    QByteArray buildVelkSettingsPage(HttpUser *user, const FormFields &fields,
                                     const SipFormError &error);
    QByteArray buildVelkDialplanPage(HttpUser *user, const QString &error = QString());
    QByteArray velkDeviceRows(HttpUser *user, const QString &error = QString(),
                              const QString &deviceId = QString());
    // The device form; editedNumber is the stored device shown, -1 for none.
    QByteArray velkDeviceForm(HttpUser *user, const FormFields &values, const QString &error,
                              int editedNumber, const QString &errorField = QString());

    // Start, status and system pages.
    QList<ConversationThread *> conversations() const;
    void statusTables(HttpUser *user, PageFill &fill);
    QByteArray buildStatusPage(HttpUser *user, int id, uint refresh);
    void onGetIndex(HttpUser *user, const QString &responderName, const FormFields &query,
                    HttpSession *session, bool isStatus);
    void onPostIndex(HttpUser *user, const QString &responderName, const FormFields &query,
                     const FormFields &form, bool isStatus);
    void closeCall(const QString &name);
    QByteArray buildSysInfoPage(HttpUser *user);
    void onGetSysInfo(HttpUser *user, const QString &responderName);
    void onPostSysInfo(HttpUser *user, const QString &responderName);

    int m_State = -1;
    int m_SocketError = -1;
    QString m_ErrorString;
    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_Users;
    QString m_PageRoot;
    QString m_DisplayBindAddress;
    quint16 m_DisplayBindPort = 0;
};
