// The SIP module page (live state of every account) and the SIP settings page.
#include "core/env.h"
#include "core/modulehost.h"
#include "http/formdata.h"
#include "http/http.h"
#include "http/pagefill.h"
#include "http/pages/listenertrial.h"
#include "http/pages/sipformcheck.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"

namespace {

const QString kModulePage = QStringLiteral("/sip-module.htm");
const QString kSettingsPage = QStringLiteral("/sip-settings.htm");

const char *const kStateRow
    = "<tr><td align=\"center\"><img src=\"img/%1.png\"></td><td>%2</td><td>%3</td><td "
      "align=\"center\"><button name=\"unregister_sip\" value=\"%4\" "
      "type=\"submit\">X</button></td></tr>\n";

QStringList settingNames()
{
    QStringList names;
    for (int i = 0; i < SipSetting::Count; ++i)
        names << Sip::settingName(SipSetting::Type(i));
    return names;
}

// What the engine binds in a mode, after its settings: the standalone listener on the named
// transport, or on both for any other text; the gateway's client socket on every interface,
// unless the system chooses its port.
ListenerSettings sipListener(bool standalone, const std::function<QString(SipSetting::Type)> &value)
{
    const SipTransport::Type transport = transportFromString(value(SipSetting::ServerTransport));
    const int named = transport == SipTransport::UDP ? ListenUdp
        : transport == SipTransport::TCP             ? ListenTcp
                                                     : 0;
    if (standalone) {
        return { named ? named : ListenUdp | ListenTcp, value(SipSetting::StandaloneBindAddress),
                 settingTextToPort(value(SipSetting::StandaloneBindPort)) };
    }
    if (settingTextToBool(value(SipSetting::ServerBindRandom)))
        return {};
    return { named, QStringLiteral("0.0.0.0"),
             settingTextToPort(value(SipSetting::ServerBindPort)) };
}

QString stateIcon(const SipUser *user)
{
    // A standalone group never registers; it is ready as soon as it exists.
    const bool ready = user->isRegistered() || (SipUser::m_IsStandalone && user->isGroup());
    if (!ready)
        return QStringLiteral("status_gray");
    const bool inUse = user->isBusy() || !user->conversations().isEmpty();
    return inUse ? QStringLiteral("status_yellow") : QStringLiteral("status_green");
}

} // namespace

Sip *Http::sipModule() const
{
    return parent() ? parent()->findChild<Sip *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void Http::fillSipState(PageFill &fill) const
{
    const Sip *sip = sipModule();
    if (!sip)
        return;
    fill.set(QStringLiteral("state-state"), QString::number(int(sip->connectionState())))
        .set(QStringLiteral("state-type"), QString::number(int(sip->socketType())))
        .set(QStringLiteral("state-socket-error"), QString::number(int(sip->socketError())))
        .set(QStringLiteral("state-socket-error-string"), sip->errorString())
        .set(QStringLiteral("state-bind-address"), sip->connectionAddress())
        .set(QStringLiteral("state-bind-port"), QString::number(sip->connectionPort()));
}

void Http::fillSipSettings(PageFill &fill, const FormFields &fields) const
{
    const Sip *sip = sipModule();
    for (int i = 0; i < SipSetting::Count; ++i) {
        const auto key = SipSetting::Type(i);
        const QString name = Sip::settingName(key);
        fill.set(name,
                 fields.contains(name) ? fields.value(name)
                                       : (sip ? sip->setting(key) : QString()));
    }
}

// --- "/sip-module.htm"

QByteArray Http::buildSipModulePage(HttpUser *user)
{
    QByteArray rows;
    if (Sip *sip = sipModule()) {
        for (const SipUser *account : sip->users()) {
            const QString name = account->objectName();
            const QString label = account->isVelkUser()
                ? QStringLiteral("%1 (device: %2)").arg(name).arg(account->velkDeviceId())
                : name;
            rows += QString::fromLatin1(kStateRow)
                        .arg(stateIcon(account), htmlEscape(label),
                             htmlEscape(userSetting(account, SipUserSetting::DisplayName)),
                             htmlEscape(name))
                        .toUtf8();
        }
    }
    PageFill fill;
    fillSipState(fill);
    fillSipSettings(fill, FormFields());
    fill.setMarker(QStringLiteral("SIP_ACCOUNTS_STATE_TABLE_ROWS"), rows);
    return fill.apply(loadPageById(user, 3));
}

void Http::onGetSipModule(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildSipModulePage(user));
}

void Http::onPostSipModule(HttpUser *user, const QString &responderName, const FormFields &query,
                           const FormFields &form)
{
    Q_UNUSED(user)
    Q_UNUSED(query)
    Sip *sip = sipModule();
    SipUser *account = sip ? sip->findUser(form.value(QStringLiteral("unregister_sip"))) : nullptr;
    if (account) {
        account->setRegistered(false);
        processEvents();
        // In gateway mode a group registers on the outside server again at once.
        if (account->isGroup() && !sip->isStandalone())
            emit account->registerOnServer(account->objectName(), true);
    }
    redirect(responderName, kModulePage);
}

// --- "/sip-settings.htm"

QByteArray Http::buildSipSettingsPage(HttpUser *user, const FormFields &fields,
                                      const SipFormError &error)
{
    const bool standalone = isStandalone();
    PageFill fill;
    fillSipState(fill);
    fillSipSettings(fill, fields);
    SipFormError shown = error;
    // A stored listening address the engine cannot use is pointed out before anything is saved.
    const QString bind = Sip::settingName(SipSetting::StandaloneBindAddress);
    if (shown.isNone() && standalone && sipModule()) {
        const QString address
            = fields.value(bind, sipModule()->setting(SipSetting::StandaloneBindAddress));
        if (!isUsableBindAddress(address))
            shown = { bind, QStringLiteral("wrong_ip") };
    }
    if (!shown.isNone()) {
        fill.set(QStringLiteral("__error__"), shown.code);
        fill.set(QStringLiteral("__error_field__"), shown.field);
    }
    QByteArray page = fill.apply(loadPageById(user, standalone ? 6 : 5));
    if (shown.field == bind)
        page.replace("style=\"color: black\"", "style=\"color: red\"");
    return page;
}

void Http::onGetSipSettings(HttpUser *user, const QString &responderName, const FormFields &query)
{
    Q_UNUSED(query)
    answerPage(responderName, buildSipSettingsPage(user, FormFields(), SipFormError()));
}

void Http::onPostSipSettings(HttpUser *user, const QString &responderName, const FormFields &query,
                             const FormFields &form, const HostAddresses *found)
{
    Q_UNUSED(query)
    Sip *sip = sipModule();
    const auto stored = [sip](const QString &key) {
        const int index = Sip::settingFromName(key);
        return sip && index >= 0 ? sip->setting(SipSetting::Type(index)) : QString();
    };
    const bool standalone = isStandalone();
    const bool modeOnly = form.contains(Sip::settingName(SipSetting::Standalone));
    SipFormError error = checkSipSettings(form, standalone, stored);
    // The saver matches names ignoring case, folding lookalike letters too: it gets only the
    // fields the checks have read.
    FormFields fields = fieldsNamed(form, settingNames());
    // An unticked check box is not posted: absent from a whole form, it is off. The gateway's
    // own boxes are not on the standalone form and keep what they hold.
    if (!modeOnly) {
        for (const SipSetting::Type key :
             { SipSetting::ServerProxyUse, SipSetting::ServerBindRandom, SipSetting::LogSip,
               SipSetting::LogRtsp, SipSetting::EnableCallDuration }) {
            const QString name = Sip::settingName(key);
            const bool gatewayOnly
                = key == SipSetting::ServerProxyUse || key == SipSetting::ServerBindRandom;
            if (standalone && gatewayOnly)
                fields.insert(name, stored(name));
            else if (!fields.contains(name))
                fields.insert(name, QStringLiteral("false"));
        }
    }
    if (error.isNone() && sip) {
        const auto posted = [&](SipSetting::Type key) {
            const QString name = Sip::settingName(key);
            return fields.value(name, stored(name));
        };
        const auto running = [sip](SipSetting::Type key) { return sip->setting(key); };
        // A mode switch saves the mode alone: the restart binds what the new mode's stored
        // settings ask for. The gateway has no address of its own to blame.
        const bool standaloneWanted = settingTextToBool(posted(SipSetting::Standalone));
        const QString port = Sip::settingName(standaloneWanted ? SipSetting::StandaloneBindPort
                                                               : SipSetting::ServerBindPort);
        const ListenerSettings wanted = sipListener(standaloneWanted, posted);
        const ListenerSettings current = sipListener(sip->isStandalone(), running);
        if (lookUpFirst(wanted, current, found, user, responderName,
                        [this, responderName, query, form](HttpUser *poster,
                                                           const HostAddresses &addresses) {
                            onPostSipSettings(poster, responderName, query, form, &addresses);
                        }))
            return;
        error = tryListener(
            wanted, current, sip->connectionState() == SipConnected,
            found ? *found : HostAddresses(),
            standaloneWanted ? Sip::settingName(SipSetting::StandaloneBindAddress) : port, port);
    }
    if (!error.isNone() || !sip) {
        // Nothing is saved: the form comes back as it was posted, to be corrected.
        answerPage(responderName, buildSipSettingsPage(user, fields, error));
        return;
    }
    // Nothing restarts onto settings the file lost.
    if (!sip->saveSettings(fields, modeOnly ? int(SipSetting::Standalone) : -1)) {
        answerPage(responderName, buildSipSettingsPage(user, fields, { QString(), kNotSaved }));
        return;
    }
    redirectAfterRestart(responderName, kSettingsPage);
}
