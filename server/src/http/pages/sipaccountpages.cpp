// The lists and forms of SIP accounts and groups, and the option lists other forms embed.
#include "core/env.h"
#include "core/settingstext.h"
#include "http/formdata.h"
#include "http/http.h"
#include "http/pagefill.h"
#include "http/pages/sipformcheck.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

#include <QSettings>

#include <algorithm>

// What tells the account pages from the group pages.
struct SipListKind
{
    bool groups;
    const char *path;
    int listStandalone;
    int listServer;
    int formStandalone;
    int formServer;
    const char *marker;
};

namespace {

const SipListKind kAccounts
    = { false, "/sip-accounts.htm", 9, 8, 11, 10, "SIP_ACCOUNTS_TABLE_ROWS" };
const SipListKind kGroups = { true, "/sip-groups.htm", 14, 13, 16, 15, "SIP_GROUPS_TABLE_ROWS" };

const char *const kAccountRow
    = "<tr><td>%1</td><td>%2</td><td>%3</td><td><button name=\"__edit\" value=\"%1\" "
      "type=\"submit\">Редактировать</button>&nbsp;<button name=\"__delete\" value=\"%1\" "
      "type=\"submit\">Удалить</button></td></tr>\n";
const char *const kGroupRow
    = "<tr><td>%1</td><td>%2</td><td><button name=\"__edit\" value=\"%1\" "
      "type=\"submit\">Редактировать</button>&nbsp;<button name=\"__delete\" value=\"%1\" "
      "type=\"submit\">Удалить</button></td></tr>\n";
const char *const kMemberRow
    = "<tr><td><input type=\"checkbox\" id=\"member%1\" name=\"member%1\" value=\"%1\" "
      "%4/>%1</td><td>%2</td><td>%3</td></tr>\n";

const QString kTypeUser = QStringLiteral("type-user");
const QString kGroupList = QStringLiteral("group-list");
const QString kUserId = QStringLiteral("user-id");
const QString kMemberPrefix = QStringLiteral("member");

// Check boxes of the account forms: absent from a post means off.
const SipUserSetting::Type kCheckBoxes[]
    = { SipUserSetting::VelkAutoanswer, SipUserSetting::VelkPriority,
        SipUserSetting::VelkVideoEnable };

QString keyName(int index)
{
    return userSettingName(SipUserSetting::Type(index));
}

QStringList keyNames()
{
    QStringList names;
    for (int i = 0; i < SipUserSetting::Count; ++i)
        names << keyName(i);
    return names;
}

int typeOf(QSettings &file, const QString &name)
{
    file.beginGroup(name);
    const int type = file.value(kTypeUser, userSettingDefault(SipUserSetting::TypeUser)).toInt();
    file.endGroup();
    return type;
}

bool isOfKind(int type, const SipListKind &kind)
{
    return kind.groups ? type == SipUser::GroupAccount : type < SipUser::GroupAccount;
}

// Every key with its default, the posted fields over them.
FormFields defaultsUnder(const FormFields &posted)
{
    FormFields values;
    for (int i = 0; i < SipUserSetting::Count; ++i)
        values.insert(keyName(i), userSettingDefault(SipUserSetting::Type(i)).toString());
    for (const SipUserSetting::Type key : kCheckBoxes)
        values.insert(userSettingName(key), QStringLiteral("false"));
    for (auto it = posted.cbegin(); it != posted.cend(); ++it)
        values.insert(it.key(), it.value());
    return values;
}

bool deviceNumber(const QString &text, quint16 *number)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 0xffff)
        return false;
    *number = quint16(value);
    return true;
}

QString encoded(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

// The door devices are the numbered children of the door-device module beside this one.
QList<QObject *> velkDevices(const QObject *http)
{
    QList<QObject *> devices;
    const QObject *velk = http->parent()
        ? http->parent()->findChild<QObject *>(QStringLiteral("Velk"), Qt::FindDirectChildrenOnly)
        : nullptr;
    if (!velk)
        return devices;
    for (QObject *child : velk->findChildren<QObject *>()) {
        quint16 number = 0;
        if (deviceNumber(child->objectName(), &number))
            devices << child;
    }
    std::sort(devices.begin(), devices.end(), [](QObject *a, QObject *b) {
        return a->objectName().toUInt() < b->objectName().toUInt();
    });
    return devices;
}

QString deviceTitleOf(const QObject *device)
{
    const QString description = device->property("description").toString();
    return description.isEmpty() ? device->objectName()
                                 : QStringLiteral("%1 (%2)").arg(device->objectName(), description);
}

// Names differ by more than case: a member check box names its account in lower case.
bool nameTaken(QSettings *file, const QString &name)
{
    const QStringList names = file ? file->childGroups() : QStringList();
    return std::any_of(names.cbegin(), names.cend(), [&](const QString &other) {
        return other.compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

QSettings *Http::sipUsersFile() const
{
    const Sip *sip = sipModule();
    return sip ? sip->findChild<QSettings *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

// --- Door devices, as far as the SIP forms show them

QString Http::sipDeviceTitle(const QString &deviceId) const
{
    quint16 number = 0;
    if (!deviceNumber(deviceId, &number))
        return QStringLiteral("-");
    for (const QObject *device : velkDevices(this)) {
        if (device->objectName() == QString::number(number))
            return deviceTitleOf(device);
    }
    return QStringLiteral("-");
}

void Http::velkDeviceOptions(QByteArray &page) const
{
    QByteArray options;
    for (const QObject *device : velkDevices(this)) {
        options += QStringLiteral("<option value=\"%1\">%2</option>\n")
                       .arg(htmlEscape(device->objectName()), htmlEscape(deviceTitleOf(device)))
                       .toUtf8();
    }
    page.replace("<!--__COMBOBOX_LIST_VELK_DEVICES__-->", options);
}

void Http::sipAccountOptions(HttpUser *user, QByteArray &page, int deviceNumber)
{
    Q_UNUSED(user)
    QByteArray options;
    if (const Sip *sip = sipModule()) {
        for (const SipUser *account : sip->users()) {
            if (!account->isVelkUser() || account->velkDeviceId() != deviceNumber)
                continue;
            const QString name = htmlEscape(account->objectName());
            const QString display = htmlEscape(userSetting(account, SipUserSetting::DisplayName));
            options += (display.isEmpty()
                            ? QStringLiteral("<option value=\"%1\">%1</option>\n").arg(name)
                            : QStringLiteral("<option value=\"%1\">%1 (%2)</option>\n")
                                  .arg(name, display))
                           .toUtf8();
        }
    }
    page.replace("<!--__COMBOBOX_LIST_SIP_ACCOUNTS__-->", options);
}

// --- Lists

bool Http::isSipEntryOfKind(const QString &name, const SipListKind &kind)
{
    QSettings *file = sipUsersFile();
    if (!file || !file->childGroups().contains(name))
        return false;
    return isOfKind(typeOf(*file, name), kind);
}

QByteArray Http::sipListPage(HttpUser *user, const SipListKind &kind, const QString &error,
                             const QString &userId)
{
    QByteArray rows;
    if (QSettings *file = sipUsersFile()) {
        for (const QString &name : file->childGroups()) {
            if (!isOfKind(typeOf(*file, name), kind))
                continue;
            file->beginGroup(name);
            const QString display = settingsText(file->value(keyName(SipUserSetting::DisplayName)));
            const QString device = settingsText(file->value(keyName(SipUserSetting::VelkDeviceId)));
            file->endGroup();
            const QString row = kind.groups
                ? QString::fromUtf8(kGroupRow).arg(htmlEscape(name), htmlEscape(display))
                : QString::fromUtf8(kAccountRow)
                      .arg(htmlEscape(name), htmlEscape(display),
                           htmlEscape(sipDeviceTitle(device)));
            rows += row.toUtf8();
        }
    }
    PageFill fill;
    fillSipSettings(fill, FormFields());
    fill.set(QStringLiteral("__error__"), error).set(kUserId, userId);
    fill.setMarker(QLatin1String(kind.marker), rows);
    return fill.apply(loadPageById(user, isStandalone() ? kind.listStandalone : kind.listServer));
}

// --- Forms

QByteArray Http::sipMemberRows(const FormFields &values, const QString &group)
{
    const QStringList members = groupMemberNames(values.value(kGroupList));
    QByteArray rows;
    QSettings *file = sipUsersFile();
    if (!file)
        return rows;
    // Candidates: device accounts that take paging calls and have a device label.
    for (const QString &name : file->childGroups()) {
        if (name == group || typeOf(*file, name) != SipUser::VelkAccount)
            continue;
        file->beginGroup(name);
        const bool paging = settingsText(file->value(keyName(SipUserSetting::VelkWiretapping)))
                                .compare(QLatin1String("paging"), Qt::CaseInsensitive)
            == 0;
        const QString device = settingsText(file->value(keyName(SipUserSetting::VelkDeviceId)));
        const QString display = settingsText(file->value(keyName(SipUserSetting::DisplayName)));
        file->endGroup();
        const QString label = sipDeviceTitle(device);
        if (!paging || label.isEmpty())
            continue;
        rows += QString::fromUtf8(kMemberRow)
                    .arg(htmlEscape(name), htmlEscape(label), htmlEscape(display),
                         members.contains(name) ? QStringLiteral("checked") : QString())
                    .toUtf8();
    }
    return rows;
}

// Field names arrive lower-cased, so a ticked box names its account by its value; a box that
// only says "on" is matched to the one account whose name it spells in any case.
QStringList Http::sipGroupMembers(const FormFields &form, const QString &group)
{
    // Accounts only: a group is no member of another.
    QStringList names;
    if (QSettings *file = sipUsersFile()) {
        for (const QString &name : file->childGroups()) {
            if (name != group && typeOf(*file, name) < SipUser::GroupAccount)
                names << name;
        }
    }
    QStringList members;
    for (const QString &name : names) {
        const QString field = formFieldName(kMemberPrefix + name);
        if (!form.contains(field))
            continue;
        const QString value = form.value(field);
        bool ticked = value == name;
        if (value.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0) {
            ticked = std::count_if(names.cbegin(), names.cend(),
                                   [&](const QString &other) {
                                       return other.compare(name, Qt::CaseInsensitive) == 0;
                                   })
                == 1;
        }
        if (ticked)
            members << name;
    }
    return members;
}

QByteArray Http::sipFormPage(HttpUser *user, const SipListKind &kind, const FormFields &values,
                             const SipFormError &error)
{
    PageFill fill;
    for (int i = 0; i < SipUserSetting::Count; ++i)
        fill.set(keyName(i), values.value(keyName(i)));
    fill.set(QStringLiteral("__action__"), values.value(QStringLiteral("__action__")))
        .set(kUserId, values.value(kUserId))
        .set(QStringLiteral("__error__"), error.code)
        .set(QStringLiteral("__error_field__"), error.field);
    if (kind.groups)
        fill.setMarker(QStringLiteral("SIP_MEMBERS_TABLE_ROWS"),
                       sipMemberRows(values, values.value(kUserId)));
    QByteArray page = fill.apply(
        loadPage(user, pagePath(isStandalone() ? kind.formStandalone : kind.formServer)));
    velkDeviceOptions(page);
    return page;
}

// --- Handlers

void Http::onGetSipList(HttpUser *user, const QString &responderName, const FormFields &query,
                        const SipListKind &kind)
{
    const QString name = query.value(QStringLiteral("edit"));
    if (query.contains(QStringLiteral("new"))) {
        FormFields values = defaultsUnder(FormFields());
        // A new account starts with the defaults of the engine, check boxes included.
        for (const SipUserSetting::Type key : kCheckBoxes)
            values.insert(userSettingName(key), userSettingDefault(key).toString());
        values.insert(QStringLiteral("__action__"), QStringLiteral("new"));
        answerPage(responderName, sipFormPage(user, kind, values, SipFormError()));
    } else if (query.contains(QStringLiteral("edit")) && isSipEntryOfKind(name, kind)) {
        FormFields values { { QStringLiteral("__action__"), QStringLiteral("edit") },
                            { kUserId, name } };
        QSettings *file = sipUsersFile();
        file->beginGroup(name);
        for (int i = 0; i < SipUserSetting::Count; ++i)
            values.insert(
                keyName(i),
                settingsText(file->value(keyName(i), userSettingDefault(SipUserSetting::Type(i)))));
        file->endGroup();
        answerPage(responderName, sipFormPage(user, kind, values, SipFormError()));
    } else {
        answerPage(responderName, sipListPage(user, kind));
    }
}

void Http::onPostSipList(HttpUser *user, const QString &responderName, const FormFields &query,
                         const FormFields &form, const SipListKind &kind)
{
    const QString listPath = QLatin1String(kind.path);
    Sip *sip = sipModule();
    if (!sip) {
        redirect(responderName, listPath);
        return;
    }
    if (!query.isEmpty()) {
        // The form page posts back to its own address: "?new" or "?edit=name".
        const bool isNew = query.contains(QStringLiteral("new"));
        if (!isNew && !query.contains(QStringLiteral("edit"))) {
            redirect(responderName, listPath);
            return;
        }
        const QString id = form.value(kUserId);
        SipFormError error;
        if (isNew && !isUsableAccountName(id))
            error = { kUserId, QStringLiteral("bad_name") };
        else if (isNew && nameTaken(sipUsersFile(), id))
            error = { kUserId, QStringLiteral("already_exist") };
        else if (!isNew && !isSipEntryOfKind(id, kind))
            error = { kUserId, QStringLiteral("not_found") };
        else
            error = checkSipAccount(form);
        FormFields fields = form;
        if (kind.groups) {
            fields.insert(kTypeUser, QString::number(SipUser::GroupAccount));
            fields.insert(kGroupList, sipGroupMembers(form, id).join(QLatin1Char(',')));
        }
        if (error.isNone()) {
            // The store matches names ignoring case, folding lookalike letters too: it gets only
            // the fields the checks have read.
            const bool written = sip->saveUser(id, fieldsNamed(fields, keyNames()));
            processEvents();
            if (written)
                redirect(responderName, listPath);
            else
                answerPage(responderName, sipListPage(user, kind, kNotSaved, id));
            return;
        }
        FormFields values = defaultsUnder(fields);
        values.insert(QStringLiteral("__action__"),
                      isNew ? QStringLiteral("new") : QStringLiteral("edit"));
        answerPage(responderName, sipFormPage(user, kind, values, error));
        return;
    }

    if (form.contains(QStringLiteral("__new"))) {
        redirect(responderName, listPath + QStringLiteral("?new"));
        return;
    }
    for (const QString &action : { QStringLiteral("__edit"), QStringLiteral("__delete") }) {
        if (!form.contains(action))
            continue;
        const QString name = form.value(action);
        if (!isSipEntryOfKind(name, kind)) {
            answerPage(responderName, sipListPage(user, kind, QStringLiteral("not_found"), name));
        } else if (action == QLatin1String("__edit")) {
            // Encoded, so the name can neither end nor split the header.
            redirect(responderName, QStringLiteral("%1?edit=%2").arg(listPath, encoded(name)));
        } else {
            const bool written = sip->deleteUser(name);
            processEvents();
            if (written)
                redirect(responderName, listPath);
            else
                answerPage(responderName, sipListPage(user, kind, kNotSaved, name));
        }
        return;
    }
    redirect(responderName, listPath);
}

void Http::onGetSipAccounts(HttpUser *user, const QString &responderName, const FormFields &query)
{
    onGetSipList(user, responderName, query, kAccounts);
}

void Http::onPostSipAccounts(HttpUser *user, const QString &responderName, const FormFields &query,
                             const FormFields &form)
{
    onPostSipList(user, responderName, query, form, kAccounts);
}

void Http::onGetSipGroups(HttpUser *user, const QString &responderName, const FormFields &query)
{
    onGetSipList(user, responderName, query, kGroups);
}

void Http::onPostSipGroups(HttpUser *user, const QString &responderName, const FormFields &query,
                           const FormFields &form)
{
    onPostSipList(user, responderName, query, form, kGroups);
}
