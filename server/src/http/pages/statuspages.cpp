// The start and status pages (devices, accounts and calls with their live state, and the
// administrator's actions on them) and the system information page.
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "core/systeminfo.h"
#include "core/timescale.h"
#include "http/http.h"
#include "http/httpsession.h"
#include "http/pagefill.h"
#include "http/pages/velkrows.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "sip/sipusersetting.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkInterface>
#include <QPointer>
#include <QTimer>

namespace {

const QString kStatusPage = QStringLiteral("/status.htm");
// The refresh interval the status page falls back to.
const uint kDefaultRefresh = 5;
// How long "close_call" waits for the conversation to go.
const int kCloseWaitMs = 3999;

const char *const kDeviceRow
    = "<tr><td align=\"center\" valign=\"middle\"><img src=\"img/%1.png\">%5</td><td>%2</td>"
      "<td>%3</td><td align=\"center\"><button name=\"unregister_velk\" value=\"%4\" "
      "type=\"submit\">X</button></td></tr>\n";
const char *const kDeviceRowPlain
    = "<tr><td align=\"center\" valign=\"middle\"><img src=\"img/%1.png\">%4</td><td>%2</td>"
      "<td>%3</td><td></td></tr>\n";
const char *const kRow
    = "<tr><td align=\"center\"><img src=\"img/%1.png\"></td><td>%2</td><td>%3</td><td "
      "align=\"center\"><button name=\"%5\" value=\"%4\" type=\"submit\">X</button></td></tr>\n";
const char *const kRowPlain
    = "<tr><td align=\"center\"><img src=\"img/%1.png\"></td><td>%2</td><td>%3</td><td></td>"
      "</tr>\n";

// The refresh interval of a status query: whole seconds, at least one.
bool refreshSeconds(const FormFields &query, uint *seconds)
{
    const QString text = query.value(QStringLiteral("timeout"));
    bool ok = !text.isEmpty();
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const uint value = ok ? text.toUInt(&ok) : 0;
    if (!ok || value == 0 || value > 86400)
        return false;
    *seconds = value;
    return true;
}

QString accountIcon(const SipUser *user)
{
    // A standalone group never registers; it is present as soon as it exists.
    const bool present = user->isRegistered() || (SipUser::m_IsStandalone && user->isGroup());
    if (!present)
        return QStringLiteral("status_gray");
    const bool inUse = user->isBusy() || !user->conversations().isEmpty();
    return inUse ? QStringLiteral("status_yellow") : QStringLiteral("status_green");
}

QString callIcon(int type)
{
    if (type >= 1 && type <= 4)
        return QStringLiteral("call_internal");
    if (type >= 5 && type <= 8)
        return QStringLiteral("call_incoming");
    return type == 9 ? QStringLiteral("call_outgoing") : QString();
}

QString participants(const ConversationThread *call)
{
    const QString arrow = QStringLiteral(" \u2192 ");
    QStringList names = call->callerNames();
    if (call->type() != 4 && call->type() != 8) {
        for (QString &name : names)
            name = htmlEscape(name);
        return names.join(arrow);
    }
    // A group call: the master heard by every other leg.
    const QString master = call->master();
    QStringList lines {
        QStringLiteral("<b>%1%2%3</b>").arg(htmlEscape(master), arrow, htmlEscape(call->slave()))
    };
    names.removeOne(master);
    names.sort();
    for (const QString &name : names)
        lines << htmlEscape(master) + arrow + htmlEscape(name);
    return lines.join(QLatin1String("</br>\r\n"));
}

QString row(bool admin, const QString &icon, const QString &second, const QString &third,
            const QString &key, const char *action)
{
    return admin
        ? QString::fromUtf8(kRow).arg(icon, second, third, htmlEscape(key), QLatin1String(action))
        : QString::fromUtf8(kRowPlain).arg(icon, second, third);
}

} // namespace

QList<ConversationThread *> Http::conversations() const
{
    return parent() ? parent()->findChildren<ConversationThread *>()
                    : QList<ConversationThread *>();
}

void Http::statusTables(HttpUser *user, PageFill &fill)
{
    const bool admin = isAdmin(user);
    QByteArray devices;
    for (const VelkDevice *device : devicesInOrder(velkModule())) {
        const QString label = htmlEscape(deviceLabel(device));
        const QString description
            = htmlEscape(VelkDeviceSettings::stringValue(device, VelkDeviceKey::Description));
        devices += (admin ? QString::fromUtf8(kDeviceRow)
                                .arg(deviceIcon(device), label, description,
                                     QString::number(device->number()), deviceNote(device))
                          : QString::fromUtf8(kDeviceRowPlain)
                                .arg(deviceIcon(device), label, description, deviceNote(device)))
                       .toUtf8();
    }
    QByteArray accounts;
    if (const Sip *sip = sipModule()) {
        for (const SipUser *account : sip->users()) {
            const QString name = account->objectName();
            const QString label = account->isVelkUser()
                ? QStringLiteral("%1 (device: %2)").arg(name).arg(account->velkDeviceId())
                : name;
            accounts += row(admin, accountIcon(account), htmlEscape(label),
                            htmlEscape(userSetting(account, SipUserSetting::DisplayName)), name,
                            "unregister_sip")
                            .toUtf8();
        }
    }
    QByteArray calls;
    for (const ConversationThread *call : conversations()) {
        calls += row(admin, callIcon(call->type()),
                     call->created().toString(QStringLiteral("dd.MM.yy HH:mm:ss")),
                     participants(call), call->objectName(), "close_call")
                     .toUtf8();
    }
    fill.setMarker(QStringLiteral("VELK_USERS_TABLE_ROWS"), devices)
        .setMarker(QStringLiteral("SIP_USERS_TABLE_ROWS"), accounts)
        .setMarker(QStringLiteral("CALLS_TABLE_ROWS"), calls);
}

QByteArray Http::buildStatusPage(HttpUser *user, int id, uint refresh)
{
    PageFill fill;
    statusTables(user, fill);
    fill.setMarker(QStringLiteral("REFRESH_TIMEOUT"), QByteArray::number(refresh));
    return fill.apply(loadPageById(user, id));
}

void Http::onGetIndex(HttpUser *user, const QString &responderName, const FormFields &query,
                      HttpSession *session, bool isStatus)
{
    if (query.contains(QStringLiteral("logout"))) {
        if (session)
            session->deleteLater();
        processEvents();
        redirect(responderName, pagePath(30));
        return;
    }
    if (!isStatus) {
        answerPage(responderName, buildStatusPage(user, 1, kDefaultRefresh));
        return;
    }
    uint refresh = 0;
    if (refreshSeconds(query, &refresh))
        answerPage(responderName, buildStatusPage(user, 2, refresh));
    else
        redirect(responderName,
                 QStringLiteral("%1?timeout=%2").arg(kStatusPage).arg(kDefaultRefresh));
}

void Http::onPostIndex(HttpUser *user, const QString &responderName, const FormFields &query,
                       const FormFields &form, bool isStatus)
{
    // The buttons are an administrator's only; a plain user's post changes nothing, whatever
    // fields it carries.
    if (isAdmin(user)) {
        quint16 number = 0;
        Velk *velk = velkModule();
        if (velk && parseDeviceNumber(form.value(QStringLiteral("unregister_velk")), &number)) {
            if (VelkDevice *device = velk->findDevice(number)) {
                device->changeState(VelkDevice::Unregistered);
                processEvents();
            }
        }
        Sip *sip = sipModule();
        const QString name = form.value(QStringLiteral("unregister_sip"));
        if (SipUser *account = sip && !name.isEmpty() ? sip->findUser(name) : nullptr) {
            account->setRegistered(false);
            processEvents();
            if (account->isGroup() && !sip->isStandalone())
                emit account->registerOnServer(account->objectName(), true);
        }
        closeCall(form.value(QStringLiteral("close_call")));
    }
    if (!isStatus) {
        redirect(responderName, pagePath(1));
        return;
    }
    uint refresh = kDefaultRefresh;
    refreshSeconds(query, &refresh);
    redirect(responderName, QStringLiteral("%1?timeout=%2").arg(kStatusPage).arg(refresh));
}

void Http::closeCall(const QString &name)
{
    if (name.isEmpty())
        return;
    ConversationThread *found = nullptr;
    for (ConversationThread *call : conversations()) {
        if (call->objectName() == name) {
            found = call;
            break;
        }
    }
    if (!found)
        return;
    QPointer<ConversationThread> call(found);
    QEventLoop loop;
    connect(found, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(TimeScale::toRealInt(kCloseWaitMs), &loop, &QEventLoop::quit);
    emit found->queryTerminate();
    // Requests that arrive meanwhile are served; the answer goes once the call has gone or the
    // wait is over.
    if (call)
        loop.exec();
}

// --- "/sys-info.htm"

QByteArray Http::buildSysInfoPage(HttpUser *user)
{
    QByteArray interfaces;
    for (const QNetworkInterface &nic : QNetworkInterface::allInterfaces()) {
        QStringList flags;
        const QNetworkInterface::InterfaceFlags set = nic.flags();
        const std::pair<QNetworkInterface::InterfaceFlag, const char *> words[]
            = { { QNetworkInterface::IsUp, "up" },
                { QNetworkInterface::IsRunning, "running" },
                { QNetworkInterface::CanBroadcast, "can broadcast" },
                { QNetworkInterface::IsLoopBack, "loopback" },
                { QNetworkInterface::IsPointToPoint, "point to point" } };
        for (const auto &word : words) {
            if (set & word.first)
                flags << QLatin1String(word.second);
        }
        QStringList addresses;
        for (const QNetworkAddressEntry &entry : nic.addressEntries())
            addresses << htmlEscape(
                QStringLiteral("%1/%2").arg(entry.ip().toString(), entry.netmask().toString()));
        interfaces
            += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td><td>%3</td><td>%4</td></tr>")
                   .arg(htmlEscape(nic.humanReadableName()), flags.join(QLatin1String("<br/>")),
                        htmlEscape(nic.hardwareAddress()), addresses.join(QLatin1String("<br/>")))
                   .toUtf8();
    }
    QByteArray memory;
    const QMap<QString, QString> info = readMemInfo();
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        memory += QStringLiteral("<tr><td>%1:</td><td>%2</td></tr>")
                      .arg(htmlEscape(it.key()), htmlEscape(it.value()))
                      .toUtf8();
    PageFill fill;
    fill.setMarker(
            QStringLiteral("COMMON_SYSTEM_INFO_OS"),
            htmlEscape(QStringLiteral("%1 %2 (%3)")
                           .arg(kernelNameAndRelease(), systemArchitecture(), kernelBuildVersion()))
                .toUtf8())
        .setMarker(QStringLiteral("COMMON_SYSTEM_INFO_OS_ADD"), QByteArray())
        .setMarker(QStringLiteral("COMMON_SYSTEM_INFO_SOFT"),
                   htmlEscape(QStringLiteral("%1 %2").arg(QCoreApplication::applicationVersion(),
                                                          buildCpuArchitecture()))
                       .toUtf8())
        .setMarker(QStringLiteral("NETWORK_INTERFACES_TABLE_ROWS"), interfaces)
        .setMarker(QStringLiteral("MEMORY_USAGE_TABLE_ROWS"), memory);
    return fill.apply(loadPageById(user, 26));
}

void Http::onGetSysInfo(HttpUser *user, const QString &responderName)
{
    answerPage(responderName, buildSysInfoPage(user));
}

void Http::onPostSysInfo(HttpUser *user, const QString &responderName)
{
    Q_UNUSED(user)
    redirect(responderName, pagePath(26));
}
