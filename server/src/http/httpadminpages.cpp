// The pages of the web module itself: its state and sessions, its settings, its users.
#include "http/http.h"

#include "core/env.h"
#include "core/modulehost.h"
#include "core/settingsfile.h"
#include "core/settingstext.h"
#include "http/httpsession.h"
#include "http/httpuser.h"
#include "http/pagefill.h"
#include "http/pages/listenertrial.h"
#include "http/pages/sipformcheck.h"

#include <algorithm>
#include <climits>

namespace {

const QString kUsersPage = QStringLiteral("/admin-users.htm");
const QString kModulePage = QStringLiteral("/admin-module.htm");

const char *const kSessionRow
    = "<tr><td>%1</td><td>%2</td><td>%3</td><td align=\"center\"><button "
      "name=\"close_session\" value=\"%4\" type=\"submit\">X</button></td></tr>\n";
const char *const kOwnSessionRow
    = "<tr><td><b>%1*</b></td><td><b>%2</b></td><td><b>%3</b></td><td align=\"center\"><button "
      "name=\"close_session\" value=\"%4\" type=\"submit\"><b>X</b></button></td></tr>\n";
const char *const kUserRow
    = "<tr><td>%1</td><td>%2</td><td><button id=\"control\" name=\"__edit\" value=\"%1\" "
      "type=\"submit\">Редактировать</button>&nbsp;<button id=\"control\" name=\"__delete\" "
      "value=\"%1\" type=\"submit\">Удалить</button></td></tr>\n";
const char *const kOwnUserRow
    = "<tr><td><b>%1*</b></td><td><b>%2</b></td><td><button id=\"control\" name=\"__edit\" "
      "value=\"%1\" type=\"submit\">Редактировать</button>&nbsp;<button id=\"control\" "
      "name=\"__delete\" value=\"%1\" type=\"submit\">Удалить</button></td></tr>\n";

// The form's own limit; a name of that length fits any request head with room to spare.
const int kMaxUserNameLength = 80;

// A name a digest login can present. The login header is read as Latin-1 while the name is
// hashed as UTF-8, so only ASCII matches; a header holds no control character but the tab;
// clients escape a double quote or backslash inside the quoted name, which the digest reader
// does not undo. A slash or backslash would also nest groups of the users file.
bool isUsableUserName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxUserNameLength)
        return false;
    for (const QChar c : name) {
        const bool printable
            = (c.unicode() >= 0x20 && c.unicode() < 0x7f) || c == QLatin1Char('\t');
        if (!printable || c == QLatin1Char('"') || c == QLatin1Char('\\') || c == QLatin1Char('/'))
            return false;
    }
    // The INI file writes every spelling of "general" as its one "[%General]" section, which
    // reads back as "General": any other spelling would come back under another name.
    return name.compare(QLatin1String("general"), Qt::CaseInsensitive) != 0
        || name == QLatin1String("General");
}

// Names differ by more than case, as SIP account names do: twins are easily taken for each
// other, and the INI file merges the spellings of "general" into one section.
bool nameTaken(const QStringList &names, const QString &name)
{
    return std::any_of(names.cbegin(), names.cend(), [&](const QString &other) {
        return other.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

void Http::fillState(PageFill &fill) const
{
    fill.set(QStringLiteral("state-type"), QStringLiteral("0"))
        .set(QStringLiteral("state-state"), QString::number(m_State))
        .set(QStringLiteral("state-socket-error"), QString::number(m_SocketError))
        .set(QStringLiteral("state-socket-error-string"), m_ErrorString)
        .set(QStringLiteral("state-bind-address"), m_DisplayBindAddress)
        .set(QStringLiteral("state-bind-port"), QString::number(m_DisplayBindPort));
}

void Http::fillSettings(PageFill &fill, const FormFields &fields) const
{
    for (int key = 0; key < SettingCount; ++key) {
        const QString name = settingKey(key);
        fill.set(name, fields.contains(name) ? fields.value(name) : settingText(HttpSetting(key)));
    }
}

// --- "/admin-module.htm"

QByteArray Http::buildAdminModulePage(HttpUser *user, HttpSession *current)
{
    QList<HttpSession *> sessions
        = findChildren<HttpSession *>(QString(), Qt::FindDirectChildrenOnly);
    std::stable_sort(sessions.begin(), sessions.end(),
                     [](HttpSession *a, HttpSession *b) { return a->userName() < b->userName(); });
    QByteArray rows;
    for (HttpSession *session : sessions) {
        const QString name
            = session->userName().isEmpty() ? QStringLiteral("?") : session->userName();
        rows += QString::fromUtf8(session == current ? kOwnSessionRow : kSessionRow)
                    .arg(htmlEscape(name), htmlEscape(session->displayName()),
                         htmlEscape(session->remoteAddress()), session->nonce())
                    .toUtf8();
    }
    PageFill fill;
    fillState(fill);
    fill.setMarker(QStringLiteral("ADMIN_USERS_STATE_TABLE_ROWS"), rows);
    return fill.apply(loadPageById(user, 22));
}

void Http::onGetAdminModule(HttpUser *user, HttpSession *session, const QString &responderName)
{
    answerPage(responderName, buildAdminModulePage(user, session));
}

void Http::onPostAdminModule(HttpUser *user, HttpSession *session, const QString &responderName,
                             const FormFields &query, const FormFields &form)
{
    Q_UNUSED(user)
    Q_UNUSED(session)
    Q_UNUSED(query)
    if (HttpSession *closing = findSession(form.value(QStringLiteral("close_session")))) {
        closing->deleteLater();
        processEvents();
    }
    redirect(responderName, kModulePage);
}

// --- "/admin-settings.htm"

QByteArray Http::buildAdminSettingsPage(HttpUser *user, const FormFields &fields,
                                        const SipFormError &error)
{
    PageFill fill;
    fillState(fill);
    fillSettings(fill, fields);
    if (!error.isNone()) {
        fill.set(QStringLiteral("__error__"), error.code)
            .set(QStringLiteral("__error_field__"), error.field);
    }
    return fill.apply(loadPageById(user, 23));
}

void Http::onGetAdminSettings(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildAdminSettingsPage(user, FormFields(), SipFormError()));
}

bool Http::saveSettings(const FormFields &form)
{
    // Names arrive lower-cased: a field is the setting it spells exactly, as the checks read it.
    for (int key = 0; key < SettingCount; ++key) {
        if (form.contains(settingKey(key)))
            setSetting(HttpSetting(key), form.value(settingKey(key)));
    }
    if (!form.contains(settingKey(LogProtocol)))
        setSetting(LogProtocol, false);
    ModuleHost *host = hostOf(this);
    return !host || host->syncSettings();
}

void Http::onPostAdminSettings(HttpUser *user, const QString &responderName,
                               const FormFields &query, const FormFields &form,
                               const HostAddresses *found)
{
    Q_UNUSED(query)
    // The module restarts on what is saved: a port or address it cannot take would lock the
    // administrator out, a lifetime it cannot read would end every session at once.
    SipFormError error = checkListener(form, settingKey(BindAddress), settingKey(BindPort));
    const QString expires = settingKey(Expires);
    if (error.isNone() && form.contains(expires) && !isNumberIn(form.value(expires), 1, INT_MAX))
        error = { expires, QStringLiteral("wrong_number") };
    if (error.isNone()) {
        const QString address = settingKey(BindAddress);
        const QString port = settingKey(BindPort);
        const ListenerSettings current { ListenTcp, stringSetting(BindAddress),
                                         portSetting(BindPort) };
        const ListenerSettings wanted = postedListener(current, form, address, port);
        if (lookUpFirst(wanted, current, found, user, responderName,
                        [this, responderName, query, form](HttpUser *poster,
                                                           const HostAddresses &addresses) {
                            // Its rights are those it has now.
                            if (isAdmin(poster))
                                onPostAdminSettings(poster, responderName, query, form, &addresses);
                            else
                                redirect(responderName, pagePath(1));
                        }))
            return;
        error = tryListener(wanted, current, m_State == HttpListening,
                            found ? *found : HostAddresses(), address, port);
    }
    // Nothing restarts onto settings the file lost.
    if (error.isNone() && !saveSettings(form))
        error = { QString(), kNotSaved };
    if (!error.isNone()) {
        answerPage(
            responderName,
            buildAdminSettingsPage(user, asPosted(form, { settingKey(LogProtocol) }), error));
        return;
    }
    PageFill fill;
    fillSettings(fill);
    answerPage(responderName, fill.apply(loadPageById(user, 31)));
    restartAfterAnswer();
}

// --- "/admin-users.htm" and its form "/admin-user.htm"

QByteArray Http::adminUserRows(HttpUser *user, const QString &error, const QString &adminId)
{
    QByteArray rows;
    const QStringList names = m_Users.childGroups();
    for (const QString &name : names) {
        m_Users.beginGroup(name);
        const QString display = settingsText(m_Users.value(userKey(DisplayName)));
        m_Users.endGroup();
        const bool own = user && user->name() == name;
        rows += QString::fromUtf8(own ? kOwnUserRow : kUserRow)
                    .arg(htmlEscape(name), htmlEscape(display))
                    .toUtf8();
    }
    PageFill fill;
    fillSettings(fill);
    fill.set(QStringLiteral("__error__"), error).set(QStringLiteral("admin-id"), adminId);
    fill.setMarker(QStringLiteral("ADMIN_USERS_TABLE_ROWS"), rows);
    return fill.apply(loadPageById(user, 24));
}

QByteArray Http::userFormPage(HttpUser *user, const FormFields &values)
{
    PageFill fill;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        fill.set(it.key(), it.value());
    // Placeholders the posted form did not bring back stay empty rather than raw.
    for (const QString &name :
         { QStringLiteral("__error__"), QStringLiteral("__action__"), QStringLiteral("admin-id"),
           userKey(IsAdmin), userKey(DisplayName), userKey(Password) }) {
        if (!fill.has(name))
            fill.set(name, QString());
    }
    return fill.apply(loadPageById(user, 25));
}

void Http::onGetAdminUsers(HttpUser *user, const QString &responderName, const FormFields &query)
{
    const QString edit = query.value(QStringLiteral("edit"));
    if (query.contains(QStringLiteral("new"))) {
        FormFields values { { QStringLiteral("__action__"), QStringLiteral("new") } };
        for (int key = 0; key < UserSettingCount; ++key)
            values.insert(userKey(key), userDefault(key));
        answerPage(responderName, userFormPage(user, values));
    } else if (query.contains(QStringLiteral("edit")) && userExists(edit)) {
        FormFields values { { QStringLiteral("__action__"), QStringLiteral("edit") },
                            { QStringLiteral("admin-id"), edit } };
        m_Users.beginGroup(edit);
        for (int key = 0; key < UserSettingCount; ++key)
            values.insert(userKey(key),
                          settingsText(m_Users.value(userKey(key), userDefault(key))));
        m_Users.endGroup();
        answerPage(responderName, userFormPage(user, values));
    } else if (!query.isEmpty()) {
        redirect(responderName, kUsersPage);
    } else {
        answerPage(responderName, adminUserRows(user));
    }
}

void Http::onPostAdminUsers(HttpUser *user, const QString &responderName, const FormFields &query,
                            const FormFields &form)
{
    if (!query.isEmpty()) {
        const QString name = form.value(QStringLiteral("admin-id"));
        const bool isNew = query.contains(QStringLiteral("new"));
        if (!isNew && !query.contains(QStringLiteral("edit"))) {
            redirect(responderName, kUsersPage);
            return;
        }
        QString error;
        const QString isAdminKey = userKey(IsAdmin);
        if (isNew && !isUsableUserName(name))
            error = QStringLiteral("bad_name");
        else if (isNew && nameTaken(m_Users.childGroups(), name))
            error = QStringLiteral("already_exist");
        else if (!isNew && !userExists(name))
            error = QStringLiteral("not_found");
        else if (!isNew && form.contains(isAdminKey) && !isAdminValue(form.value(isAdminKey))
                 && isLastAdmin(name))
            error = QStringLiteral("last_admin");
        if (error.isEmpty()) {
            if (saveUser(name, form))
                redirect(responderName, kUsersPage);
            else
                answerPage(responderName, adminUserRows(user, kNotSaved, name));
            return;
        }
        FormFields values = form;
        values.insert(QStringLiteral("__error__"), error);
        answerPage(responderName, userFormPage(user, values));
        return;
    }

    if (form.contains(QStringLiteral("__new"))) {
        redirect(responderName, kUsersPage + QStringLiteral("?new"));
        return;
    }
    for (const QString &action : { QStringLiteral("__edit"), QStringLiteral("__delete") }) {
        if (!form.contains(action))
            continue;
        const QString name = form.value(action);
        if (!userExists(name)) {
            answerPage(responderName, adminUserRows(user, QStringLiteral("not_found"), name));
        } else if (action == QLatin1String("__delete") && isLastAdmin(name)) {
            answerPage(responderName, adminUserRows(user, QStringLiteral("last_admin"), name));
        } else if (action == QLatin1String("__edit")) {
            // The name travels in the query: encoded, so it cannot end or split the header.
            redirect(responderName,
                     QStringLiteral("%1?edit=%2")
                         .arg(kUsersPage, QString::fromLatin1(QUrl::toPercentEncoding(name))));
        } else if (!removeUser(name)) {
            answerPage(responderName, adminUserRows(user, kNotSaved, name));
        } else {
            redirect(responderName, kUsersPage);
        }
        return;
    }
    redirect(responderName, kUsersPage);
}

bool Http::saveUser(const QString &name, const FormFields &form)
{
    m_Users.beginGroup(name);
    for (int key = 0; key < UserSettingCount; ++key) {
        if (form.contains(userKey(key)))
            m_Users.setValue(userKey(key), form.value(userKey(key)));
    }
    // A form that brought none of the keys still leaves a user behind: INI drops empty groups.
    for (int key = 0; key < UserSettingCount; ++key) {
        if (!m_Users.contains(userKey(key)))
            m_Users.setValue(userKey(key), userDefault(key));
    }
    m_Users.endGroup();
    const bool written = writeSettingsFile(m_Users);

    HttpUser *user = findUser(name);
    if (!user)
        return loadUser(name) && written;
    // Updated in place, so the user's sessions stay valid.
    m_Users.beginGroup(name);
    for (int key = 0; key < UserSettingCount; ++key)
        user->setProperty(userKey(key).toLatin1().constData(),
                          m_Users.value(userKey(key), userDefault(key)));
    m_Users.endGroup();
    return written;
}
