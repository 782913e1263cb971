// Authentication and routing of every request that the worker relays.
#include "http/http.h"

#include "core/env.h"
#include "core/modulehost.h"
#include "http/formdata.h"
#include "http/httpsession.h"
#include "http/httpuser.h"
#include "http/pages/listenertrial.h"

#include <QPointer>

namespace {

const QString kIndex = QStringLiteral("/index.htm");
const QString kHtml = QStringLiteral("text/html");

} // namespace

void Http::answer(const QString &responderName, int code, const HeaderHash &headers,
                  const QByteArray &body)
{
    emit resultRequest(responderName, QHttpResponse::StatusCode(code), headers, body);
}

void Http::redirect(const QString &responderName, const QString &location)
{
    answer(responderName, 302, makeHeaders(QStringLiteral("Location"), location));
}

void Http::redirectAfterRestart(const QString &responderName, const QString &location)
{
    // Each module gets 16 s to stop, then events settle for a second, and a save may wait
    // behind a restart already running: the answer must still find its request open then.
    const qint64 holdMs = 2 * (2 * 16000 + 1000) + 5000;
    emit holdRequest(responderName, holdMs);
    if (ModuleHost *host = hostOf(this)) {
        host->restartSipAndVelkThen(
            [this, responderName, location](bool) { redirect(responderName, location); });
        return;
    }
    redirect(responderName, location);
}

void Http::answerPage(const QString &responderName, const QByteArray &page)
{
    answer(responderName, 200, makeHeaders(QStringLiteral("Content-Type"), kHtml), page);
}

void Http::challenge(const QString &responderName, const QString &remoteAddress, bool stale)
{
    dropSurplusSessions();
    auto *session = new HttpSession(remoteAddress, intSetting(Expires), this);
    connect(this, &Http::unloadSession, session, &QObject::deleteLater);
    QString value = QStringLiteral("Digest algorithm=MD5, realm=\"%1\", nonce=\"%2\"")
                        .arg(realm(), session->nonce());
    if (stale)
        value += QStringLiteral(", stale=true");
    HeaderHash headers = makeHeaders(QStringLiteral("WWW-Authenticate"), value);
    headers.insert(QStringLiteral("Content-Type"), kHtml);
    answer(responderName, 401, headers, loadPage(nullptr, pagePath(30)));
}

bool Http::lookUpFirst(const ListenerSettings &wanted, const ListenerSettings &current,
                       const HostAddresses *found, HttpUser *user, const QString &responderName,
                       const std::function<void(HttpUser *, const HostAddresses &)> &again)
{
    const QStringList names = found ? QStringList() : listenerNames(wanted, current);
    if (names.isEmpty())
        return false;
    // The look-up is a child: gone with the module, it never calls back.
    const QPointer<HttpUser> poster(user);
    const QString name = user->name();
    new HostLookup(
        names, kListenerLookupMs,
        [this, poster, name, responderName, again](const HostAddresses &addresses) {
            if (!poster || !userExists(name)) {
                logLine(LogParams::Http,
                        QStringLiteral("User '%1' was deleted while the form waited for a host "
                                       "look-up; settings not saved")
                            .arg(name));
                redirect(responderName, kIndex);
                return;
            }
            again(poster, addresses);
        },
        this);
    return true;
}

void Http::onCheckRequest(QString responderName, QString remoteAddress, ushort remotePort,
                          QHttpRequest::HttpMethod method, QUrl url, HeaderHash headers,
                          QByteArray body, QByteArray data)
{
    Q_UNUSED(remotePort)
    Q_UNUSED(body)
    const int id = pageId(url.path(QUrl::FullyDecoded));
    if (id == 30) {
        answerPage(responderName, loadPage(nullptr, pagePath(30)));
        return;
    }
    HttpSession *session = nullptr;
    bool stale = false;
    HttpUser *user = checkAuthorization(method, url, headers.value(QStringLiteral("authorization")),
                                        &session, &stale);
    if (!user) {
        challenge(responderName, remoteAddress, stale);
        return;
    }
    if (method != QHttpRequest::HTTP_GET && method != QHttpRequest::HTTP_POST) {
        answer(responderName, 405);
        return;
    }
    const FormFields query = parseFormData(url.query(QUrl::FullyEncoded).toUtf8());
    const FormFields form = parseFormData(data);
    route(id, user, session, responderName, method, url, query, form);
}

void Http::route(int id, HttpUser *user, HttpSession *session, const QString &responderName,
                 QHttpRequest::HttpMethod method, const QUrl &url, const FormFields &query,
                 const FormFields &form)
{
    const bool get = method == QHttpRequest::HTTP_GET;
    const bool adminPage = id >= 22 && id <= 24;
    if (adminPage && !isAdmin(user)) {
        redirect(responderName, kIndex);
        return;
    }
    switch (id) {
    case -1: {
        bool found = false;
        const QByteArray file = loadPage(user, url.path(QUrl::FullyDecoded), &found);
        if (found)
            answer(responderName, 200, HeaderHash(), file);
        else
            redirect(responderName, kIndex);
        return;
    }
    case 0:
    case 31:
        redirect(responderName, kIndex);
        return;
    case 1:
    case 2:
        if (get)
            onGetIndex(user, responderName, query, session, id == 2);
        else
            onPostIndex(user, responderName, query, form, id == 2);
        return;
    case 26:
        if (get)
            onGetSysInfo(user, responderName);
        else
            onPostSysInfo(user, responderName);
        return;
    case 3:
        if (get)
            onGetSipModule(user, responderName, query);
        else
            onPostSipModule(user, responderName, query, form);
        return;
    case 4:
        if (get)
            onGetSipSettings(user, responderName, query);
        else
            onPostSipSettings(user, responderName, query, form);
        return;
    case 7:
        if (get)
            onGetSipAccounts(user, responderName, query);
        else
            onPostSipAccounts(user, responderName, query, form);
        return;
    case 12:
        if (get)
            onGetSipGroups(user, responderName, query);
        else
            onPostSipGroups(user, responderName, query, form);
        return;
    case 17:
        if (get)
            onGetVelkModule(user, responderName, query);
        else
            onPostVelkModule(user, responderName, query, form);
        return;
    case 18:
        if (get)
            onGetVelkSettings(user, responderName, query);
        else
            onPostVelkSettings(user, responderName, query, form);
        return;
    case 19:
        if (get)
            onGetVelkDialplan(user, responderName, query);
        else
            onPostVelkDialplan(user, responderName, query, form);
        return;
    case 20:
        if (get)
            onGetVelkDevices(user, responderName, query);
        else
            onPostVelkDevices(user, responderName, query, form);
        return;
    case 5:
    case 6:
        redirect(responderName, pagePath(4));
        return;
    case 8:
    case 9:
    case 10:
    case 11:
        redirect(responderName, pagePath(7));
        return;
    case 13:
    case 14:
    case 15:
    case 16:
        redirect(responderName, pagePath(12));
        return;
    case 21:
        redirect(responderName, pagePath(20));
        return;
    case 22:
        if (get)
            onGetAdminModule(user, session, responderName);
        else
            onPostAdminModule(user, session, responderName, query, form);
        return;
    case 23:
        if (get)
            onGetAdminSettings(user, responderName, query);
        else
            onPostAdminSettings(user, responderName, query, form);
        return;
    case 24:
        if (get)
            onGetAdminUsers(user, responderName, query);
        else
            onPostAdminUsers(user, responderName, query, form);
        return;
    case 25:
        redirect(responderName, isAdmin(user) ? pagePath(24) : kIndex);
        return;
    case 27:
        answer(responderName, 200,
               makeHeaders(QStringLiteral("Content-Type"), QStringLiteral("image/x-icon")),
               loadPage(user, pagePath(27)));
        return;
    case 28:
        answer(responderName, 200,
               makeHeaders(QStringLiteral("Content-Type"), QStringLiteral("text/css")),
               loadPage(user, pagePath(28)));
        return;
    case 29:
        answer(responderName, 200,
               makeHeaders(QStringLiteral("Content-Type"), QStringLiteral("text/javascript")),
               loadPage(user, pagePath(29)));
        return;
    default:
        redirect(responderName, kIndex);
        return;
    }
}
