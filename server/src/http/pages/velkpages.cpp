// The door-device pages: the module with its devices' live state, the global settings and
// dial plan, and the list and form of devices.
#include "core/env.h"
#include "core/settingstext.h"
#include "http/http.h"
#include "http/pagefill.h"
#include "http/pages/listenertrial.h"
#include "http/pages/sipformcheck.h"
#include "http/pages/velkrows.h"
#include "sip/sip.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"

#include <QAudioDeviceInfo>
#include <QMap>
#include <QUuid>

#include <algorithm>

namespace {

const QString kModulePage = QStringLiteral("/velk-module.htm");
const QString kSettingsPage = QStringLiteral("/velk-settings.htm");
const QString kDialplanPage = QStringLiteral("/velk-dialplan.htm");
const QString kListPage = QStringLiteral("/velk-devices.htm");
const QString kDeviceId = QStringLiteral("device-id");
const QString kAction = QStringLiteral("__action__");
const QString kError = QStringLiteral("__error__");
const QString kErrorField = QStringLiteral("__error_field__");

const char *const kStateRow
    = "<tr><td align=\"center\" valign=\"middle\"><img src=\"img/%1.png\">%5</td><td>%2</td>"
      "<td>%3</td><td align=\"center\"><button name=\"unregister_velk\" value=\"%4\" "
      "type=\"submit\">X</button></td></tr>\n";
const char *const kListRow
    = "<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td><button name=\"__edit\" value=\"%1\" "
      "type=\"submit\">Редактировать</button>&nbsp;<button name=\"__delete\" value=\"%1\" "
      "type=\"submit\">Удалить</button></td></tr>\n";
const char *const kDpmEntry
    = "<input type=\"text\" name=\"%1_code\" id=\"%1_code\" value=\"%2\" placeholder=\"Код\"/>\n"
      " -> \n"
      "<input type=\"text\" name=\"%1_value\" id=\"%1_value\" value=\"%3\" "
      "placeholder=\"Вызываемый номер\"/>\n<br/>";

// A device binds one audio port of the range, its stop excluded: the range needs two ports.
const int kMinAudioPorts = 2;

bool isDialplanKey(const QString &key)
{
    return key.startsWith(QLatin1String("dialplan-"));
}

QMap<QString, QString> toMap(const FormFields &fields)
{
    QMap<QString, QString> map;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        map.insert(it.key(), it.value());
    return map;
}

QByteArray musicSources(const QString &current)
{
    QStringList options;
    for (const QAudioDeviceInfo &info : QAudioDeviceInfo::availableDevices(QAudio::AudioInput)) {
        const QString name = htmlEscape(info.deviceName());
        options << (info.deviceName() == current
                        ? QStringLiteral("<option value=\"%1\" selected>%1</option>").arg(name)
                        : QStringLiteral("<option value=\"%1\">%1</option>").arg(name));
    }
    return options.join(QLatin1Char('\n')).toUtf8();
}

// Stored "code>number;..." as input pairs under fresh ids, and the list of those ids.
void fillDpmEntries(PageFill &fill, const QString &stored)
{
    QStringList ids;
    QByteArray html;
    for (const QString &entry : stored.split(QLatin1Char(';'))) {
        const QStringList parts = entry.split(QLatin1Char('>'));
        if (parts.size() != 2)
            continue;
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        if (!ids.isEmpty())
            html += '\n';
        html += QString::fromUtf8(kDpmEntry)
                    .arg(id, htmlEscape(parts[0].trimmed()), htmlEscape(parts[1].trimmed()))
                    .toUtf8();
        ids << id;
    }
    fill.setMarker(QStringLiteral("DPM_MODE_PREDEFINED"), html);
    fill.set(VelkDeviceSettings::keyName(VelkDeviceKey::DpmModeListCode),
             ids.join(QLatin1Char(',')));
}

} // namespace

Velk *Http::velkModule() const
{
    return parent() ? parent()->findChild<Velk *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void Http::fillVelkState(PageFill &fill) const
{
    const Velk *velk = velkModule();
    if (!velk)
        return;
    fill.set(QStringLiteral("state-state"), QString::number(int(velk->connectionState())))
        .set(QStringLiteral("state-type"), QStringLiteral("1"))
        .set(QStringLiteral("state-socket-error"), QString::number(velk->socketError()))
        .set(QStringLiteral("state-socket-error-string"), velk->errorString())
        .set(QStringLiteral("state-bind-address"), velk->displayAddress())
        .set(QStringLiteral("state-bind-port"), QString::number(velk->displayPort()));
}

void Http::fillVelkDialplan(PageFill &fill, bool alsoPlain) const
{
    const Velk *velk = velkModule();
    for (int i = 0; i < VelkKey::Count; ++i) {
        const QString key = Velk::keyName(i);
        if (!isDialplanKey(key))
            continue;
        const QString value = velk ? velk->stringValue(i) : Velk::defaultValue(i).toString();
        fill.set(QStringLiteral("def-") + key, value);
        if (alsoPlain)
            fill.set(key, value);
    }
}

// --- "/velk-module.htm"

QByteArray Http::buildVelkModulePage(HttpUser *user, const QString &error, const QString &deviceId)
{
    QByteArray rows;
    for (const VelkDevice *device : devicesInOrder(velkModule())) {
        rows += QString::fromUtf8(kStateRow)
                    .arg(deviceIcon(device), htmlEscape(deviceLabel(device)),
                         htmlEscape(
                             VelkDeviceSettings::stringValue(device, VelkDeviceKey::Description)),
                         QString::number(device->number()), deviceNote(device))
                    .toUtf8();
    }
    PageFill fill;
    fillVelkState(fill);
    fill.set(kError, error).set(kDeviceId, deviceId);
    fill.setMarker(QStringLiteral("VELK_USERS_STATE_TABLE_ROWS"), rows);
    return fill.apply(loadPageById(user, 17));
}

void Http::onGetVelkModule(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildVelkModulePage(user));
}

void Http::onPostVelkModule(HttpUser *user, const QString &responderName, const FormFields &query,
                            const FormFields &form)
{
    Q_UNUSED(query)
    Velk *velk = velkModule();
    quint16 number = 0;
    const QString firmware = QStringLiteral("__firmware_upload_required__");
    if (form.value(kAction).compare(QLatin1String("edit"), Qt::CaseInsensitive) == 0
        && form.contains(firmware)) {
        VelkDevice *device = velk && parseDeviceNumber(form.value(firmware), &number)
            ? velk->findDevice(number)
            : nullptr;
        // Only a registered device without a running update starts; the page says why another
        // did not, as the administrator waits for an update that never comes otherwise.
        QString refusal = QStringLiteral("not_found");
        if (device) {
            static const char *const kRefusals[] = { "", "not_registered", "firmware_updating",
                                                     "no_firmware_image", "placeholder_firmware" };
            refusal = QLatin1String(kRefusals[device->startFirmwareUpdate().refusal]);
        }
        if (!refusal.isEmpty()) {
            answerPage(responderName,
                       buildVelkModulePage(
                           user, refusal, device ? QString::number(number) : form.value(firmware)));
            return;
        }
        redirect(responderName, kModulePage);
        return;
    }
    if (velk && parseDeviceNumber(form.value(QStringLiteral("unregister_velk")), &number)) {
        if (VelkDevice *device = velk->findDevice(number))
            device->changeState(VelkDevice::Unregistered);
    }
    redirect(responderName, kModulePage);
}

// --- "/velk-settings.htm" and "/velk-dialplan.htm"

QByteArray Http::buildVelkSettingsPage(HttpUser *user, const FormFields &fields,
                                       const SipFormError &error)
{
    PageFill fill;
    fillVelkState(fill);
    if (const Velk *velk = velkModule()) {
        for (int i = 0; i < VelkKey::Count; ++i) {
            const QString key = Velk::keyName(i);
            fill.set(key, fields.contains(key) ? fields.value(key) : velk->stringValue(i));
        }
    }
    if (!error.isNone())
        fill.set(kError, error.code).set(kErrorField, error.field);
    return fill.apply(loadPageById(user, 18));
}

void Http::onGetVelkSettings(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildVelkSettingsPage(user, FormFields(), SipFormError()));
}

void Http::onPostVelkSettings(HttpUser *user, const QString &responderName, const FormFields &query,
                              const FormFields &form, const HostAddresses *found)
{
    Q_UNUSED(query)
    Velk *velk = velkModule();
    // A port or address the module cannot take would leave the panels without a socket to
    // register on: such a form is shown again and nothing is stored.
    const auto stored = [velk](const QString &key) {
        return velk ? velk->stringValue(Velk::keyIndex(key)) : QString();
    };
    SipFormError error = checkListener(form, Velk::keyName(VelkKey::BindAddress),
                                       Velk::keyName(VelkKey::BindPort));
    if (error.isNone())
        error = checkPortRange(form, Velk::keyName(VelkKey::PortRangeStart),
                               Velk::keyName(VelkKey::PortRangeStop), kMinAudioPorts, stored);
    if (error.isNone() && velk) {
        const QString address = Velk::keyName(VelkKey::BindAddress);
        const QString port = Velk::keyName(VelkKey::BindPort);
        const ListenerSettings current { ListenUdp, velk->stringValue(VelkKey::BindAddress),
                                         velk->ushortValue(VelkKey::BindPort) };
        const ListenerSettings wanted = postedListener(current, form, address, port);
        if (lookUpFirst(wanted, current, found, user, responderName,
                        [this, responderName, query, form](HttpUser *poster,
                                                           const HostAddresses &addresses) {
                            onPostVelkSettings(poster, responderName, query, form, &addresses);
                        }))
            return;
        error = tryListener(wanted, current, velk->connectionState() == VelkListening,
                            found ? *found : HostAddresses(), address, port);
    }
    // Nothing restarts onto settings the file lost.
    if (error.isNone() && velk && !velk->saveSettings(toMap(form)))
        error = { QString(), kNotSaved };
    if (!error.isNone()) {
        const FormFields shown = asPosted(form, { Velk::keyName(VelkKey::LogProtocol) });
        answerPage(responderName, buildVelkSettingsPage(user, shown, error));
        return;
    }
    if (velk) {
        redirectAfterRestart(responderName, kSettingsPage);
        return;
    }
    redirect(responderName, kSettingsPage);
}

QByteArray Http::buildVelkDialplanPage(HttpUser *user, const QString &error)
{
    PageFill fill;
    fill.set(kError, error);
    const Velk *velk = velkModule();
    for (int i = 0; i < VelkKey::Count; ++i) {
        const QString key = Velk::keyName(i);
        fill.set(key, velk ? velk->stringValue(i) : Velk::defaultValue(i).toString());
        fill.set(QStringLiteral("def-") + key, Velk::defaultValue(i).toString());
    }
    return fill.apply(loadPageById(user, 19));
}

void Http::onGetVelkDialplan(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildVelkDialplanPage(user));
}

void Http::onPostVelkDialplan(HttpUser *user, const QString &responderName, const FormFields &query,
                              const FormFields &form)
{
    Q_UNUSED(query)
    if (Velk *velk = velkModule()) {
        // Only the codes: the saver turns the trace off for a form without its check box, and
        // this form has none.
        QMap<QString, QString> codes;
        for (int i = 0; i < VelkKey::Count; ++i) {
            const QString key = Velk::keyName(i);
            if (isDialplanKey(key) && form.contains(key))
                codes.insert(key, form.value(key));
        }
        codes.insert(Velk::keyName(VelkKey::LogProtocol), velk->stringValue(VelkKey::LogProtocol));
        if (!velk->saveSettings(codes)) {
            answerPage(responderName, buildVelkDialplanPage(user, kNotSaved));
            return;
        }
    }
    redirect(responderName, kDialplanPage);
}

// --- "/velk-devices.htm"

QByteArray Http::velkDeviceRows(HttpUser *user, const QString &error, const QString &deviceId)
{
    Velk *velk = velkModule();
    const Sip *sip = sipModule();
    PageFill fill;
    QByteArray rows;
    if (velk) {
        for (int i = 0; i < VelkKey::Count; ++i)
            fill.set(Velk::keyName(i), velk->stringValue(i));
        QSettings &file = velk->devicesFile();
        QList<quint16> numbers;
        for (const QString &group : file.childGroups()) {
            quint16 number = 0;
            if (parseDeviceNumber(group, &number) && QString::number(number) == group)
                numbers << number;
        }
        std::sort(numbers.begin(), numbers.end());
        for (const quint16 number : numbers) {
            file.beginGroup(QString::number(number));
            auto text = [&file](int key) {
                return settingsText(file.value(VelkDeviceSettings::keyName(key),
                                               VelkDeviceSettings::defaultValue(key)));
            };
            QStringList accounts;
            if (sip) {
                for (const QString &account : sip->userListText(
                         text(VelkDeviceKey::ButtonAccount), text(VelkDeviceKey::Sensor1Account),
                         text(VelkDeviceKey::Sensor2Account)))
                    accounts << htmlEscape(account);
            }
            rows += QString::fromUtf8(kListRow)
                        .arg(QString::number(number), htmlEscape(velk->deviceTypeName()),
                             htmlEscape(text(VelkDeviceKey::Description)),
                             accounts.join(QLatin1String("</br>")))
                        .toUtf8();
            file.endGroup();
        }
    }
    fill.set(kError, error).set(kDeviceId, deviceId);
    fill.setMarker(QStringLiteral("VELK_USERS_TABLE_ROWS"), rows);
    return fill.apply(loadPageById(user, 20));
}

QByteArray Http::velkDeviceForm(HttpUser *user, const FormFields &values, const QString &error,
                                int editedNumber, const QString &errorField)
{
    Velk *velk = velkModule();
    PageFill fill;
    fillVelkDialplan(fill, false);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        fill.set(it.key(), it.value());
    fill.set(kError, error).set(kErrorField, errorField);
    const QString dpmKey = VelkDeviceSettings::keyName(VelkDeviceKey::DpmModeListCode);
    const QString sourceKey = VelkDeviceSettings::keyName(VelkDeviceKey::MusicSource);
    if (error.isEmpty()) {
        if (editedNumber >= 0)
            fillDpmEntries(fill, values.value(dpmKey));
        fill.setMarker(QStringLiteral("MUSIC_SOURCES"), musicSources(values.value(sourceKey)));
    }
    // The live state of the device, for the firmware part of the form.
    const VelkDevice *device = velk && editedNumber >= 0 ? velk->findDevice(editedNumber) : nullptr;
    fill.set(QStringLiteral("info-state"), device ? QString::number(device->status()) : QString())
        .set(QStringLiteral("info-state-total"),
             device ? QString::number(device->firmwareProgress()) : QString())
        .set(QStringLiteral("info-current-firmware"),
             device ? device->firmwareFileVersion() : QString());
    QByteArray page = fill.apply(loadPage(user, pagePath(21)));
    if (editedNumber >= 0 && error.isEmpty())
        sipAccountOptions(user, page, editedNumber);
    return page;
}

// Every device key with its default, the given values over them.
static FormFields deviceDefaultsUnder(const FormFields &values)
{
    FormFields all;
    for (int i = 0; i < VelkDeviceKey::Count; ++i)
        all.insert(VelkDeviceSettings::keyName(i), VelkDeviceSettings::defaultValue(i).toString());
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        all.insert(it.key(), it.value());
    return all;
}

// A refused device form as it was posted: a box that was not ticked is not in the form, so it
// shows unticked rather than with its default.
static FormFields postedDeviceForm(const FormFields &form, bool isNew)
{
    QStringList boxes { QStringLiteral("reset-device-state") };
    for (const int key :
         { VelkDeviceKey::Relay1Emergency, VelkDeviceKey::EchoEnable, VelkDeviceKey::NoiseEnable,
           VelkDeviceKey::Music, VelkDeviceKey::DpmAsteriskUse, VelkDeviceKey::DpmHashUse,
           VelkDeviceKey::DpmDtmf })
        boxes << VelkDeviceSettings::keyName(key);
    FormFields values = deviceDefaultsUnder(Http::asPosted(form, boxes));
    values.insert(kAction, isNew ? QStringLiteral("new") : QStringLiteral("edit"));
    return values;
}

void Http::onGetVelkDevices(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Velk *velk = velkModule();
    quint16 number = 0;
    if (velk && query.contains(QStringLiteral("new"))) {
        FormFields values = deviceDefaultsUnder(FormFields());
        // A new device starts with the global dial plan.
        for (int i = 0; i < VelkKey::Count; ++i) {
            if (isDialplanKey(Velk::keyName(i)))
                values.insert(Velk::keyName(i), velk->stringValue(i));
        }
        values.insert(kAction, QStringLiteral("new"));
        values.insert(kDeviceId, QStringLiteral("0"));
        values.insert(VelkDeviceSettings::keyName(VelkDeviceKey::MusicSource),
                      settingsText(velk->devicesFile().value(
                          VelkDeviceSettings::keyName(VelkDeviceKey::MusicSource))));
        answerPage(responderName, velkDeviceForm(user, values, QString(), -1));
        return;
    }
    if (velk && parseDeviceNumber(query.value(QStringLiteral("edit")), &number)
        && velk->deviceExists(number)) {
        QSettings &file = velk->devicesFile();
        FormFields values;
        file.beginGroup(QString::number(number));
        for (int i = 0; i < VelkDeviceKey::Count; ++i) {
            const QString key = VelkDeviceSettings::keyName(i);
            values.insert(key, settingsText(file.value(key, VelkDeviceSettings::defaultValue(i))));
        }
        file.endGroup();
        values.insert(kAction, QStringLiteral("edit"));
        values.insert(kDeviceId, QString::number(number));
        answerPage(responderName, velkDeviceForm(user, values, QString(), number));
        return;
    }
    answerPage(responderName, velkDeviceRows(user));
}

void Http::onPostVelkDevices(HttpUser *user, const QString &responderName, const FormFields &query,
                             const FormFields &form)
{
    Velk *velk = velkModule();
    if (!velk) {
        redirect(responderName, kListPage);
        return;
    }
    quint16 number = 0;
    if (!query.isEmpty()) {
        // The form posts back to its own address: "?new" or "?edit=number".
        const bool isNew = query.contains(QStringLiteral("new"));
        if (!isNew && !query.contains(QStringLiteral("edit"))) {
            redirect(responderName, kListPage);
            return;
        }
        // The number is checked and stored in one canonical text.
        QString error;
        if (!parseDeviceNumber(form.value(kDeviceId), &number))
            error = QStringLiteral("wrong_number");
        else if (isNew && velk->deviceExists(number))
            error = QStringLiteral("already_exist");
        else if (!isNew && !velk->deviceExists(number))
            error = QStringLiteral("not_found");
        if (!error.isEmpty()) {
            answerPage(responderName,
                       velkDeviceForm(user, postedDeviceForm(form, isNew), error, -1, kDeviceId));
            return;
        }
        // A refused form changes nothing: checked before the reset drops the device's call.
        const QMap<QString, QString> values = toMap(form);
        const QString refused = velk->refusedDeviceKey(number, values);
        if (!refused.isEmpty()) {
            const bool list
                = refused == VelkDeviceSettings::keyName(VelkDeviceKey::DpmModeListCode);
            answerPage(responderName,
                       velkDeviceForm(user, postedDeviceForm(form, isNew),
                                      list ? QStringLiteral("wrong_value")
                                           : QStringLiteral("wrong_relay_mode"),
                                      -1, refused));
            return;
        }
        // Reset, stored and applied in one go: a request that came meanwhile, a delete of the
        // device above all, runs after this one rather than inside it.
        if (!isNew && form.contains(QStringLiteral("reset-device-state"))) {
            if (VelkDevice *device = velk->findDevice(number))
                device->changeState(VelkDevice::Unregistered);
        }
        const bool written = velk->saveDevice(number, values, false, true);
        if (!isNew)
            velk->applyDeviceMusic(number);
        if (!written) {
            answerPage(responderName, velkDeviceRows(user, kNotSaved, QString::number(number)));
            return;
        }
        redirect(responderName, kListPage);
        return;
    }

    if (form.contains(QStringLiteral("__new"))) {
        redirect(responderName, kListPage + QStringLiteral("?new"));
        return;
    }
    for (const QString &action : { QStringLiteral("__edit"), QStringLiteral("__delete") }) {
        if (!form.contains(action))
            continue;
        const QString text = form.value(action);
        if (!parseDeviceNumber(text, &number) || !velk->deviceExists(number)) {
            answerPage(responderName, velkDeviceRows(user, QStringLiteral("not_found"), text));
        } else if (action == QLatin1String("__edit")) {
            redirect(responderName, QStringLiteral("%1?edit=%2").arg(kListPage).arg(number));
        } else if (!velk->removeDevice(number)) {
            answerPage(responderName, velkDeviceRows(user, kNotSaved, text));
        } else {
            redirect(responderName, kListPage);
        }
        return;
    }
    redirect(responderName, kListPage);
}
