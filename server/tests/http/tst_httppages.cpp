// The SIP, door-device and status pages through curl: what a form may store and what it
// refuses, the answer to a settings save that waits for the restart of the SIP and door-device
// modules, actions that only an administrator may take, and values that must stay text.
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "core/timescale.h"
#include "http/formdata.h"
#include "http/httpobject.h"
#include "http/pages/sipformcheck.h"
#include "http/responder.h"
#include "httpfixture.h"
#include "rawclient.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkfirmware.h"

#include <QSemaphore>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>

#include <nss.h>

// Queues an action as the next queued call reaches the target: the action runs before anything
// that call starts can answer.
class Behind : public QObject
{
public:
    Behind(QObject *target, std::function<void()> action)
        : m_action(std::move(action))
    {
        target->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MetaCall && m_action)
            QMetaObject::invokeMethod(this, std::exchange(m_action, nullptr), Qt::QueuedConnection);
        return false;
    }

private:
    std::function<void()> m_action;
};

class TestHttpPages : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void formCheck_data();
    void formCheck();
    void settingsSave();
    void moduleSettingsRefused_data();
    void moduleSettingsRefused();
    void listenerTried_data();
    void listenerTried();
    void refusedFormShowsPosted_data();
    void refusedFormShowsPosted();
    void lookalikeNamesIgnored_data();
    void lookalikeNamesIgnored();
    void listenerChangesTried_data();
    void listenerChangesTried();
    void saveAfterLookUp_data();
    void saveAfterLookUp();
    void accountForms_data();
    void accountForms();
    void groupMembersKeepTheirNames_data();
    void groupMembersKeepTheirNames();
    void deviceNumbers_data();
    void deviceNumbers();
    void statusActions_data();
    void statusActions();
    void valuesStayText();
    void firmwareUpdateRefused_data();
    void firmwareUpdateRefused();
    void listValuesKept_data();
    void listValuesKept();
    void deletedDeviceStaysDeleted();
    void savedBeforeTheAnswer_data();
    void savedBeforeTheAnswer();
    void unwrittenSaveTold_data();
    void unwrittenSaveTold();

private:
    QSettings &users() { return *m_sip->findChild<QSettings *>(); }

    HttpFixture *m_fixture = nullptr;
    Sip *m_sip = nullptr;
    Velk *m_velk = nullptr;
};

void TestHttpPages::initTestCase()
{
    // Host names are looked up in the hosts file alone: nothing leaves this host.
    QCOMPARE(__nss_configure_lookup("hosts", "files"), 0);
}

void TestHttpPages::init()
{
    QFile::remove(Env::configFilePath("sip-users"));
    QFile::remove(Env::configFilePath("velk-devices"));
    m_fixture = new HttpFixture;
    m_sip = new Sip(&m_fixture->host());
    m_velk = new Velk(&m_fixture->host());
    QVERIFY(m_fixture->start());
}

void TestHttpPages::cleanup()
{
    delete m_velk;
    delete m_sip;
    delete m_fixture;
    TimeScale::setFactor(1.0);
}

// Mode ("s" standalone, "g" gateway), posted form, the refused field (empty: the form passes).
const char *const kChecks[][4] = {
    { "whole form", "s", "port-range-start=40000&port-range-stop=41000&codec1=8&codec3=", "" },
    { "every interface", "s", "standalone-bind-address=0.0.0.0", "" },
    { "first octet 255", "s", "standalone-bind-address=255.1.1.1", "standalone-bind-address" },
    { "last octet 255", "s", "standalone-bind-address=10.0.0.255", "standalone-bind-address" },
    { "host name", "s", "standalone-bind-address=pbx.example", "standalone-bind-address" },
    { "port 0", "s", "standalone-bind-port=0", "standalone-bind-port" },
    { "port 65536", "g", "server-port=65536", "server-port" },
    { "range reversed", "s", "port-range-start=41000&port-range-stop=40000", "port-range-stop" },
    { "range of 3 ports", "s", "port-range-start=40000&port-range-stop=40002", "port-range-stop" },
    { "range against stored stop", "s", "port-range-start=40998", "port-range-start" },
    { "negative call length", "s", "call-duration=-1", "call-duration" },
    { "unknown codec", "s", "codec1=101", "codec1" },
    { "codec twice", "s", "codec1=8&codec2=8", "codec2" },
    { "mode switch alone", "s", "standalone=false&standalone-bind-address=255.1.1.1", "" },
    { "no server", "g", "server-address=", "server-address" },
    { "proxy without address", "g",
      "server-proxy-use=true&server-proxy-address=", "server-proxy-address" },
    { "gateway ignores bind address", "g", "standalone-bind-address=255.1.1.1", "" },
    { "choice in ASCII case", "g", "type-ext-address=STUN&server-transport=Tcp", "" },
    // A long s would pass for "static" while the address that choice needs went unchecked.
    { "choice with a lookalike letter", "g",
      "type-ext-address=\xc5\xbftatic&ext-address-static=", "type-ext-address" },
};

void TestHttpPages::formCheck_data()
{
    QTest::addColumn<bool>("standalone");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("field");
    for (const auto &row : kChecks)
        QTest::newRow(row[0]) << (row[1][0] == 's') << row[2] << row[3];
}

void TestHttpPages::formCheck()
{
    QFETCH(bool, standalone);
    QFETCH(QString, form);
    QFETCH(QString, field);
    auto stored = [](const QString &key) {
        return Sip::settingDefault(SipSetting::Type(Sip::settingFromName(key))).toString();
    };
    const SipFormError error = checkSipSettings(parseFormData(form.toUtf8()), standalone, stored);
    QCOMPARE(error.field, field);
}

// A refused form saves nothing; an accepted one is answered after the restart, however long.
void TestHttpPages::settingsSave()
{
    const HttpReply refused = m_fixture->post(
        kAdmin, "/sip-settings.htm", "standalone-bind-address=255.1.1.1&port-range-start=40500");
    QCOMPARE(refused.status, 200);
    QVERIFY(refused.body.contains("data-error=\"wrong_ip\""));
    QVERIFY(refused.body.contains("style=\"color: red\""));
    QVERIFY(refused.body.contains("value=\"40500\""));
    QVERIFY(!m_fixture->host().settings().contains("sip/port-range-start"));
    QCOMPARE(m_fixture->host().restarts, 0);

    TimeScale::setFactor(10);
    m_fixture->host().restartMs = TimeScale::toRealInt(Responder::lifeMs) + 600;
    m_fixture->host().setValue("sip", "server-bind-random", "true");
    // The new address is tried on the stored port before it is saved: one nobody holds.
    m_fixture->host().setValue("sip", "standalone-bind-port", HttpFixture::freeUdpPort());
    const HttpReply reply = m_fixture->post(kAdmin, "/sip-settings.htm",
                                            "standalone-bind-address=127.0.0.1&port-range-start="
                                            "42000&port-range-stop=42999&codec1=0");
    QCOMPARE(reply.status, 302);
    QCOMPARE(reply.headers.value("location"), QStringLiteral("/sip-settings.htm"));
    QCOMPARE(m_fixture->host().restarts, 1);
    QCOMPARE(m_sip->setting(SipSetting::PortRangeStart), QStringLiteral("42000"));
    QCOMPARE(m_sip->setting(SipSetting::LogSip), QStringLiteral("false"));
    // Not on the standalone form, so not taken for unticked.
    QCOMPARE(m_sip->setting(SipSetting::ServerBindRandom), QStringLiteral("true"));
}

// A listener value its module cannot take, or a device value its panel cannot, comes back with
// its error; nothing is saved.
void TestHttpPages::moduleSettingsRefused_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("error");
    const char *const velk = "/velk-settings.htm";
    const char *const rows[][5] = {
        { "door port not a number", velk, "bind-port=abc", "bind-port", "wrong_port" },
        { "door port beyond 16 bits", velk, "bind-port=70000", "bind-port", "wrong_port" },
        { "audio range reversed", velk, "port-range-start=51000&port-range-stop=50000",
          "port-range-stop", "wrong_range" },
        { "door address unreadable", velk, "bind-address=10.0.0.300", "bind-address", "wrong_ip" },
        { "web port not a number", "/admin-settings.htm", "bind-port=abc", "bind-port",
          "wrong_port" },
        { "no session lifetime", "/admin-settings.htm", "expires=0", "expires", "wrong_number" },
        { "relay value beyond a byte", "/velk-devices.htm?new", "device-id=7&relay1-mode=1%2C256",
          "relay1-mode", "wrong_relay_mode" },
        { "relay value not a number", "/velk-devices.htm?new", "device-id=7&relay3-mode=1%2C-5",
          "relay3-mode", "wrong_relay_mode" },
        { "relay mode a word", "/velk-devices.htm?new", "device-id=7&relay1-mode=x", "relay1-mode",
          "wrong_relay_mode" },
        { "relay mode 1.5", "/velk-devices.htm?new", "device-id=7&relay2-mode=1.5", "relay2-mode",
          "wrong_relay_mode" },
        { "relay mode 3", "/velk-devices.htm?new", "device-id=7&relay2-mode=3", "relay2-mode",
          "wrong_relay_mode" },
        { "relay value without a mode", "/velk-devices.htm?new", "device-id=7&relay3-mode=%2C5",
          "relay3-mode", "wrong_relay_mode" },
        // Device 7 is registered: a refused form neither resets it nor drops its call.
        { "refused form with reset ticked", "/velk-devices.htm?edit=7",
          "device-id=7&reset-device-state=true&relay1-mode=1%2C300", "relay1-mode",
          "wrong_relay_mode" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
}

void TestHttpPages::moduleSettingsRefused()
{
    QFETCH(QString, page);
    QFETCH(QString, form);
    QFETCH(QString, field);
    QFETCH(QString, error);
    const QString key = (page.startsWith("/velk") ? "velk/" : "admin/") + field;
    const QVariant before = m_fixture->host().settings().value(key);
    VelkDevice *device = nullptr;
    if (page.endsWith("edit=7")) {
        m_velk->saveDevice(7, { { field, "1,20" } }, true, false);
        VelkProtocol::PanelReport report;
        report.hardwareBytes = QByteArray("\x02\x01\x00\x00", 4);
        device = m_velk->findDevice(7);
        QVERIFY(device->checkReport(QHostAddress(QHostAddress::LocalHost), 5757, report));
    }
    const QStringList devices = m_velk->devicesFile().childGroups();
    const HttpReply reply = m_fixture->post(kAdmin, page, form);
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(
        QStringLiteral("data-error=\"%1\" data-field=\"%2\"").arg(error, field).toUtf8()));
    QCOMPARE(m_fixture->host().settings().value(key), before);
    QCOMPARE(m_velk->devicesFile().childGroups(), devices);
    QCOMPARE(m_fixture->host().restarts, 0);
    QVERIFY(!device
            || (device->isRegistered() && m_velk->devicesFile().value("7/" + field) == "1,20"));
}

// A changed listener is bound and released before it is saved; the pair a module holds itself
// saves. "{held}" is a loopback port the test holds (over TCP in rows marked t), made the
// module's own first in rows marked s, and handed to the module it then starts in rows marked
// m; "{own}" is the web module's port.
const char *const kListeners[][5] = {
    { "web: not on this host", "admin", "t", "bind-address=192.0.2.1", "bind-address wrong_ip" },
    { "web: broadcast", "admin", "t", "bind-address=255.255.255.255", "bind-address wrong_ip" },
    { "web: port held", "admin", "t", "bind-port={held}", "bind-port wrong_port" },
    { "web: own pair again", "admin", "t", "bind-address=127.0.0.1&bind-port={own}&expires=70",
      "" },
    { "door: not on this host", "velk", "s", "bind-address=192.0.2.1", "bind-address wrong_ip" },
    { "door: port held", "velk", "", "bind-address=127.0.0.1&bind-port={held}",
      "bind-port wrong_port" },
    { "door: new address on its own port", "velk", "sm", "bind-address=0.0.0.0", "" },
    { "sip: port held", "sip", "", "standalone-bind-address=127.0.0.1&standalone-bind-port={held}",
      "standalone-bind-port wrong_port" },
    { "sip: TCP port held", "sip", "t",
      "standalone-bind-address=127.0.0.1&standalone-bind-port={held}&server-transport=tcp",
      "standalone-bind-port wrong_port" },
    { "sip: own pair again", "sip", "s",
      "standalone-bind-address=127.0.0.1&standalone-bind-port={held}&call-duration=60", "" },
};

void TestHttpPages::listenerTried_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("marks");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("refusal"); // field and error; empty: saved
    for (const auto &row : kListeners)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
}

void TestHttpPages::listenerTried()
{
    QFETCH(QString, group);
    QFETCH(QString, marks);
    QFETCH(QString, form);
    QFETCH(QString, refusal);
    QTcpServer tcp;
    QUdpSocket udp;
    QVERIFY(marks.contains('t') ? tcp.listen(QHostAddress::LocalHost)
                                : udp.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 held = marks.contains('t') ? tcp.serverPort() : udp.localPort();
    const QString prefix = group == "sip" ? "standalone-" : "";
    if (marks.contains('s')) {
        m_fixture->host().setValue(group, prefix + "bind-address", "127.0.0.1");
        m_fixture->host().setValue(group, prefix + "bind-port", held);
    }
    if (marks.contains('m')) {
        udp.close();
        m_velk->start();
        QTRY_COMPARE_WITH_TIMEOUT(int(m_velk->connectionState()), int(VelkListening), 30000);
    }
    form.replace("{held}", QString::number(held))
        .replace("{own}", QString::number(m_fixture->port()));
    const HttpReply reply = m_fixture->post(kAdmin, "/" + group + "-settings.htm", form);
    const bool saved = refusal.isEmpty();
    QCOMPARE(reply.status, saved && group != "admin" ? 302 : 200);
    const FormFields posted = parseFormData(form.toUtf8());
    for (auto it = posted.cbegin(); it != posted.cend(); ++it) {
        const QString stored
            = m_fixture->host().settings().value(group + "/" + it.key()).toString();
        QCOMPARE(stored == it.value(), saved);
        QVERIFY(saved || reply.body.contains(("value=\"" + it.value() + "\"").toUtf8()));
    }
    const QStringList error = refusal.split(' ');
    QVERIFY(saved
            || reply.body.contains(QStringLiteral("data-error=\"%1\" data-field=\"%2\"")
                                       .arg(error.value(1), error.value(0))
                                       .toUtf8()));
}

// A refused form comes back as posted: a check box left unticked shows unticked, whatever its
// stored value (set to true first) or its default.
const char *const kUnticked[][5] = {
    { "web", "/admin-settings.htm", "admin/log-protocol", "expires=0", "log-protocol" },
    { "door", "/velk-settings.htm", "velk/log-protocol", "bind-port=abc", "log-protocol" },
    { "sip", "/sip-settings.htm", "sip/log-sip", "call-duration=-1", "log-sip" },
    { "device, on by default", "/velk-devices.htm?new", "", "device-id=5", "echo-enable" },
};

void TestHttpPages::refusedFormShowsPosted_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("box");
    for (const auto &row : kUnticked)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
}

void TestHttpPages::refusedFormShowsPosted()
{
    QFETCH(QString, page);
    QFETCH(QString, stored);
    QFETCH(QString, form);
    QFETCH(QString, box);
    m_velk->saveDevice(5, {}, false, false);
    if (!stored.isEmpty())
        m_fixture->host().settings().setValue(stored, "true");
    const HttpReply reply = m_fixture->post(kAdmin, page, form);
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(
        QStringLiteral("name=\"%1\" value=\"true\" data-value=\"false\"").arg(box).toUtf8()));
}

// A field whose name only folds to a setting's name (long s, Kelvin sign; raw UTF-8, as a
// hand-made request sends it) is an unknown field: its value is stored nowhere.
void TestHttpPages::lookalikeNamesIgnored_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("key"); // "group/key" of the main settings, or after "users:" or
                                      // "sip-users:" of the web users or the SIP accounts
    QTest::addColumn<QString>("value"); // what the lookalike must not store
    const char *const rows[][5] = {
        { "only administrator demoted", "/admin-users.htm?edit=admin",
          "__action__=edit&admin-id=admin&i\u017F-admin=false", "users:admin/is-admin", "false" },
        { "web address", "/admin-settings.htm", "bind-addre\u017F\u017F=10.255.255.1",
          "admin/bind-address", "10.255.255.1" },
        { "SIP address", "/sip-settings.htm", "standalone-bind-addre\u017F\u017F=10.255.255.1",
          "sip/standalone-bind-address", "10.255.255.1" },
        { "account made a group", "/sip-accounts.htm?new", "user-id=p1&type-u\u017Fer=2",
          "sip-users:p1/type-user", "2" },
        { "Kelvin sign", "/sip-accounts.htm?new", "user-id=p1&vel\u212A-device-id=7",
          "sip-users:p1/velk-device-id", "7" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << row[4];
}

void TestHttpPages::lookalikeNamesIgnored()
{
    QFETCH(QString, page);
    QFETCH(QString, form);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const HttpReply reply = m_fixture->post(kAdmin, page, form);
    QCOMPARE(reply.status, page.startsWith("/admin-settings") ? 200 : 302);
    QSettings *file = &m_fixture->host().settings();
    if (key.startsWith("users:"))
        file = m_fixture->http().findChild<QSettings *>();
    else if (key.startsWith("sip-users:"))
        file = &users();
    file->sync();
    QVERIFY(file->value(key.mid(key.indexOf(':') + 1)).toString() != value);
}

// Not only a new address or port binds anew: so do a new SIP transport, a switch of mode and the
// gateway's own port. Each is tried first, here against the port the web module holds over TCP
// ("{web}"). Rows marked g run a gateway whose port the system chooses, so its form is posted.
void TestHttpPages::listenerChangesTried_data()
{
    QTest::addColumn<bool>("gateway");
    QTest::addColumn<QString>("stored"); // the "sip" settings before the post
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("refused"); // the field, wrong_port; empty: saved
    const char *const rows[][5] = {
        { "transport alone", "",
          "standalone-bind-address=127.0.0.1&standalone-bind-port={web}&server-transport=udp",
          "server-transport=tcp", "standalone-bind-port" },
        { "switch to the gateway", "", "server-transport=tcp&server-bind-port={web}",
          "standalone=false", "server-bind-port" },
        { "gateway's own port", "g", "", "server-transport=tcp&server-bind-port={web}",
          "server-bind-port" },
        { "gateway's port left to the system", "g", "",
          "server-transport=tcp&server-bind-port={web}&server-bind-random=true", "" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << (row[1][0] == 'g') << row[2] << row[3] << row[4];
}

void TestHttpPages::listenerChangesTried()
{
    QFETCH(bool, gateway);
    QFETCH(QString, stored);
    QFETCH(QString, form);
    QFETCH(QString, refused);
    const QString web = QString::number(m_fixture->port());
    const FormFields before = parseFormData(stored.replace("{web}", web).toUtf8());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        m_fixture->host().setValue("sip", it.key(), it.value());
    if (gateway) {
        // Its outside server: a loopback port nobody answers on.
        m_fixture->host().setValue("sip", "standalone", "false");
        m_fixture->host().setValue("sip", "server-address", "127.0.0.1");
        m_fixture->host().setValue("sip", "server-port", HttpFixture::freeUdpPort());
        m_fixture->host().setValue("sip", "server-bind-random", "true");
        m_sip->start();
        QTRY_COMPARE_WITH_TIMEOUT(int(m_sip->connectionState()), int(SipConnected), 30000);
    }
    const HttpReply reply
        = m_fixture->post(kAdmin, "/sip-settings.htm", form.replace("{web}", web));
    QCOMPARE(reply.status, refused.isEmpty() ? 302 : 200);
    QCOMPARE(m_fixture->host().restarts, refused.isEmpty() ? 1 : 0);
    QVERIFY(
        refused.isEmpty()
        || reply.body.contains(
            QStringLiteral("data-error=\"wrong_port\" data-field=\"%1\"").arg(refused).toUtf8()));
    const FormFields posted = parseFormData(form.toUtf8());
    for (auto it = posted.cbegin(); it != posted.cend(); ++it)
        QCOMPARE(m_sip->setting(SipSetting::Type(Sip::settingFromName(it.key()))) == it.value(),
                 refused.isEmpty());
}

// A form whose listener names a host waits for its look-up, while the module goes on with what
// comes meanwhile; the form is then saved only by its user, still there, in the module that
// took it. The running SIP address is a name. The answer's Location; none: the connection closes.
void TestHttpPages::saveAfterLookUp_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<QString>("location");
    const std::pair<const char *, const char *> forms[]
        = { { "velk", "bind-address=localhost&bind-port={port}" },
            { "sip", "standalone-bind-address=127.0.0.1&standalone-bind-port={port}" } };
    const std::pair<const char *, const char *> events[] = { { "nothing", nullptr },
                                                             { "user deleted", "/index.htm" },
                                                             { "web restarted", "" },
                                                             { "web stopped", "" } };
    for (const auto &[group, form] : forms) {
        for (const auto &[meanwhile, location] : events) {
            QTest::addRow("%s, %s", group, meanwhile)
                << group << form << meanwhile
                << (location ? location : QStringLiteral("/%1-settings.htm").arg(group));
        }
    }
}

void TestHttpPages::saveAfterLookUp()
{
    QFETCH(QString, group);
    QFETCH(QString, form);
    QFETCH(QString, meanwhile);
    QFETCH(QString, location);
    Http &http = m_fixture->http();
    const std::map<QString, std::function<void()>> events {
        { "nothing", [] {} },
        { "user deleted", [&] { http.removeUser("anna"); } },
        { "web restarted",
          [&] {
              http.stop();
              http.waitSeconds(16);
              http.start();
          } },
        { "web stopped", [&] { http.stop(); } },
    };
    m_fixture->host().setValue("sip", "standalone-bind-address", "localhost");
    form.replace("{port}", QString::number(HttpFixture::freeUdpPort()));
    const QString page = "/" + group + "-settings.htm";
    const QString auth
        = HttpFixture::digest("anna", http.realm(), "anna-pw", "POST", page, m_fixture->nonce());
    const Behind event(&http, events.at(meanwhile));
    RawClient client(m_fixture->port());
    client.send(
        QStringLiteral("POST %1 HTTP/1.1\r\nAuthorization: %2\r\nContent-Length: %3\r\n\r\n%4")
            .arg(page, auth)
            .arg(form.size())
            .arg(form)
            .toUtf8());
    QVERIFY(client.waitClosed());
    const bool saved = location == page;
    QCOMPARE(HttpFixture::parse(client.buffer()).headers.value("location"), location);
    const FormFields posted = parseFormData(form.toUtf8());
    for (auto it = posted.cbegin(); it != posted.cend(); ++it)
        QCOMPARE(m_fixture->host().settings().value(group + "/" + it.key()).toString()
                     == it.value(),
                 saved);
}

// Posted fields of a new account, its name, the error (empty: the account is stored).
const char *const kAccountForms[][4] = {
    { "slash", "user-id=a%2Fb", "a/b", "bad_name" },
    { "comma", "user-id=a%2Cb", "a,b", "bad_name" },
    { "blank", "user-id=a+b", "a b", "bad_name" },
    { "empty", "user-id=", "", "bad_name" },
    { "twin in another case", "user-id=Phone", "Phone", "already_exist" },
    { "expiry 0", "user-id=p2&sip-standalone-expires=0", "p2", "wrong_number" },
    { "no such device", "user-id=p2&velk-device-id=65535", "p2", "wrong_number" },
    { "stored", "user-id=p2&sip-standalone-expires=120&velk-device-id=", "p2", "" },
};

void TestHttpPages::accountForms_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    for (const auto &row : kAccountForms)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3];
}

void TestHttpPages::accountForms()
{
    QFETCH(QString, fields);
    QFETCH(QString, name);
    QFETCH(QString, error);
    m_sip->saveUser("phone", { { "type-user", "1" } });
    const HttpReply reply
        = m_fixture->post(kAdmin, "/sip-accounts.htm?new", fields + "&type-user=1");
    users().sync();
    if (error.isEmpty()) {
        QCOMPARE(reply.status, 302);
        QVERIFY(users().childGroups().contains(name));
        QVERIFY(m_sip->findUser(name));
        return;
    }
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(QStringLiteral("data-error=\"%1\"").arg(error).toUtf8()));
    QCOMPARE(users().childGroups(), QStringList { "phone" });
}

void TestHttpPages::groupMembersKeepTheirNames_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("members");
    const char *const rows[][3] = { { "on", "memberdoor1=on", "Door1" },
                                    { "on in capitals", "memberdoor1=ON", "Door1" },
                                    { "the name itself", "memberdoor1=Door1", "Door1" },
                                    { "digit one", "memberdoor1=1", "" } };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2];
}

void TestHttpPages::groupMembersKeepTheirNames()
{
    QFETCH(QString, box);
    QFETCH(QString, members);
    m_sip->saveUser(
        "Door1",
        { { "type-user", "0" }, { "velk-wiretapping", "paging" }, { "velk-device-id", "5" } });
    QVERIFY(m_fixture->curl(kAdmin, "/sip-groups.htm?new")
                .body.contains("name=\"memberDoor1\" value=\"Door1\""));
    QCOMPARE(m_fixture->post(kAdmin, "/sip-groups.htm?new", "user-id=G1&" + box).status, 302);
    users().sync();
    QCOMPARE(users().value("G1/group-list").toString(), members);
    QCOMPARE(users().value("G1/type-user").toString(), QStringLiteral("2"));
}

void TestHttpPages::deviceNumbers_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("stored"); // the group written beside device 5; empty: refused
    const char *const rows[][4] = {
        { "plain", "new", "7", "7" },
        { "leading zeros stored as the number", "new", "0012", "12" },
        { "highest", "new", "65534", "65534" },
        { "no-device number", "new", "65535", "" },
        { "beyond 16 bits", "new", "65543", "" },
        { "sign", "new", "%2B7", "" },
        { "hexadecimal", "new", "0x10", "" },
        { "inner blank", "new", "1%202", "" },
        { "empty", "new", "", "" },
        { "taken, written otherwise", "new", "05", "" },
        { "edit found by its number", "edit=5", "005", "5" },
        { "edit of an unknown number", "edit=6", "6", "" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3];
}

void TestHttpPages::deviceNumbers()
{
    QFETCH(QString, query);
    QFETCH(QString, id);
    QFETCH(QString, stored);
    QSettings &file = m_velk->devicesFile();
    m_velk->saveDevice(5, { { "description", "old" } }, false, false);
    const HttpReply reply = m_fixture->post(kAdmin, "/velk-devices.htm?" + query,
                                            "device-id=" + id + "&description=new");
    QSet<QString> expected { "5" };
    if (!stored.isEmpty())
        expected << stored;
    const QStringList groups = file.childGroups();
    QCOMPARE(QSet<QString>(groups.cbegin(), groups.cend()), expected);
    QCOMPARE(reply.status, stored.isEmpty() ? 200 : 302);
    QCOMPARE(file.value((stored.isEmpty() ? "5" : stored) + "/description").toString(),
             QString(stored.isEmpty() ? "old" : "new"));
}

void TestHttpPages::statusActions_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<QString>("extra"); // what the request claims beside the actions
    QTest::addColumn<bool>("acts");
    QTest::newRow("admin") << kAdmin << "" << true;
    QTest::newRow("plain user") << "anna:anna-pw"
                                << "" << false;
    QTest::newRow("plain user claiming to be admin")
        << "anna:anna-pw"
        << "&is-admin=true&__http_user_admin=1" << false;
}

void TestHttpPages::statusActions()
{
    QFETCH(QString, credentials);
    QFETCH(QString, extra);
    QFETCH(bool, acts);
    QVERIFY(m_sip->saveUser("alice", { { "type-user", "1" } }));
    SipUser *alice = m_sip->findUser("alice");
    alice->setRegistered(true);
    QPointer<ConversationThread> call
        = ConversationThread::create(40000, 41000, 1, false, "c0ffee", &m_fixture->host());
    QVERIFY(call);
    for (const QString page : { "/index.htm", "/status.htm" }) {
        const HttpReply reply = m_fixture->post(credentials, page + "?timeout=7",
                                                "unregister_sip=alice&close_call=c0ffee" + extra);
        QCOMPARE(reply.headers.value("location"),
                 page == "/index.htm" ? page : page + "?timeout=7");
        // The tables offer the buttons to the administrator only.
        QCOMPARE(
            m_fixture->curl(credentials, "/index.htm").body.contains("name=\"unregister_sip\""),
            acts);
    }
    QCOMPARE(alice->isRegistered(), !acts);
    QCOMPARE(call.isNull(), acts);
    if (call) {
        emit call->queryTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(call.isNull(), 30000);
    }
}

// Names, descriptions, passwords and codes with markup, quotes, entities and a placeholder stay
// text on every page, in table cells, form values and error pages alike, never expanded; a name
// that would change the meaning of the Location travels percent-encoded.
void TestHttpPages::valuesStayText()
{
    const QString evil = "<b id=x>\"q'&amp;${password}";
    const QString name = "a%26b%3D%3Ci%3E"; // "a&b=<i>"
    m_velk->saveDevice(3,
                       { { "description", evil },
                         { "button-account", evil },
                         { "dpm-mode-list-code", "a" },
                         { "a_code", "<q'\"&" },
                         { "a_value", "101" } },
                       false, false);
    QVERIFY(m_sip->saveUser("a&b=<i>", { { "type-user", "1" }, { "display-name", evil } }));
    QCOMPARE(m_fixture
                 ->post(kAdmin, "/admin-users.htm?new",
                        "__action__=new&is-admin=false&password=p%22a'ss%3C%3E%261&admin-id=" + name
                            + "&display-name=" + QUrl::toPercentEncoding(evil))
                 .status,
             302);
    for (const QString &path :
         QStringList { "/admin-users.htm", "/admin-users.htm?edit=" + name, "/sip-accounts.htm",
                       "/sip-accounts.htm?edit=" + name, "/sip-module.htm", "/velk-module.htm",
                       "/velk-devices.htm", "/velk-devices.htm?edit=3", "/index.htm",
                       "/status.htm?timeout=5", "/sys-info.htm" }) {
        const QByteArray body = m_fixture->curl(kAdmin, path).body;
        QVERIFY2(!body.contains("<b id=x>") && !body.contains("<i>"), qPrintable(path));
        QVERIFY2(body.contains("&lt;b id=x&gt;&quot;q&#39;&amp;amp;${password}")
                     || path.startsWith("/sys"),
                 qPrintable(path));
    }
    QVERIFY(m_fixture->curl(kAdmin, "/admin-users.htm?edit=" + name)
                .body.contains("value=\"p&quot;a&#39;ss&lt;&gt;&amp;1\""));
    QVERIFY(m_fixture->curl(kAdmin, "/velk-devices.htm?edit=3")
                .body.contains("value=\"&lt;q&#39;&quot;&amp;\""));
    const QByteArray error
        = m_fixture
              ->post(kAdmin, "/velk-devices.htm?new", "device-id=3&description=%3Cb%20id%3Dx%3E")
              .body;
    QVERIFY(error.contains("already_exist") && !error.contains("<b id=x>"));
    for (const QString list : { "/admin-users.htm", "/sip-accounts.htm" }) {
        QCOMPARE(m_fixture->post(kAdmin, list, "__edit=" + name).headers.value("location"),
                 list + "?edit=" + name);
    }
}

// An update that does not start says why on the page, as the log does (a build that holds
// placeholder images refuses one), and the device is left as it was, nothing sent to it.
void TestHttpPages::firmwareUpdateRefused_data()
{
    QTest::addColumn<int>("hardware"); // of the panel reporting as device 7; 0: none reports
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("logged");
    const char *const rows[][5] = {
        { "placeholder image", "2", "7", "placeholder_firmware",
          "Device '7' firmware update refused" },
        { "not registered", "0", "7", "not_registered", "" },
        { "no image for the hardware type", "9", "7", "no_firmware_image",
          "Device '7' has no firmware image for hardware type 9" },
        { "unknown number", "0", "8", "not_found", "" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString(row[1]).toInt() << row[2] << row[3] << row[4];
}

void TestHttpPages::firmwareUpdateRefused()
{
    QFETCH(int, hardware);
    QFETCH(QString, number);
    QFETCH(QString, error);
    QFETCH(QString, logged);
    if (VelkFirmware::versionCode(VelkFirmware::image(2), 2) >> 8 != 255
        && error == "placeholder_firmware")
        QSKIP("real images compiled in");
    m_velk->saveDevice(7, {}, true, false);
    VelkDevice *device = m_velk->findDevice(7);
    VelkProtocol::PanelReport report; // of a panel without a password
    report.hardwareBytes = QByteArray(1, char(hardware)) + QByteArray("\x01\x00\x00", 3);
    QVERIFY(!hardware || device->checkReport(QHostAddress(QHostAddress::LocalHost), 5757, report));
    const int status = device->status();
    QSignalSpy sent(m_velk, &Velk::sendDatagram);
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath())); // the service's log
    QSignalSpy log(Env::instance(), &Env::viewLog);
    const HttpReply reply = m_fixture->post(
        kAdmin, "/velk-module.htm", "__action__=edit&__firmware_upload_required__=" + number);
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(
        QStringLiteral("data-error=\"%1\" data-id=\"%2\"").arg(error, number).toUtf8()));
    QVERIFY(logged.isEmpty()
            || std::any_of(log.cbegin(), log.cend(), [&logged](const QList<QVariant> &line) {
                   return line.first().toString().contains(logged);
               }));
    QVERIFY(!device->isFirmwareUpdating());
    QCOMPARE(device->status(), status);
    QCOMPARE(sent.size(), 0);
}

// A value written unquoted with commas reads from the file as a list. A line written by hand
// is the text it holds, blanks after the commas included: each page shows it, a login takes it,
// and a save of the form as shown stores it as the same text. A list set by the code, or read as
// a list (a group's members, a call rule), shows its items as the file holds them.
void TestHttpPages::listValuesKept_data()
{
    QTest::addColumn<QString>("file"); // empty: the main settings
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("byHand"); // the line written by hand before its module reads the file
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("form"); // the form as shown; empty: not posted
    QTest::addColumn<QString>("login"); // web credentials let in before and after the save
    QTest::addColumn<QString>("saved"); // what the key holds after the save; empty: stored
    const char *const rows[][10] = {
        { "door call rule", "velk-devices", "7/button-call-rule", "alice,bob", "",
          "/velk-devices.htm?edit=7", "value=\"alice,bob\"",
          "device-id=7&button-call-rule=alice%2Cbob", "" },
        { "door in the list", "velk-devices", "7/description", "hall,left", "", "/velk-devices.htm",
          "<td>hall,left</td>", "", "" },
        { "account name", "sip-users", "alice/display-name", "Hall,left", "",
          "/sip-accounts.htm?edit=alice", "value=\"Hall,left\"",
          "user-id=alice&type-user=1&display-name=Hall%2Cleft", "" },
        { "group members", "sip-users", "G1/group-list", "Door1,Door2", "",
          "/sip-groups.htm?edit=G1", "value=\"Door2\" checked", "", "" },
        { "web user name", "admin-users", "anna/display-name", "Anna,K", "",
          "/admin-users.htm?edit=anna", "value=\"Anna,K\"", "", "" },
        { "door module", "", "velk/bind-address", "127.0.0.1,127.0.0.2", "", "/velk-settings.htm",
          "value=\"127.0.0.1,127.0.0.2\"", "", "" },
        { "door description by hand", "velk-devices", "7/description", "Tür Nord, Eingang", "y",
          "/velk-devices.htm?edit=7", "value=\"Tür Nord, Eingang\"",
          "device-id=7&description=T%C3%BCr%20Nord%2C%20Eingang", "" },
        { "door call rule by hand", "velk-devices", "7/button-call-rule", "alice, bob", "y",
          "/velk-devices.htm?edit=7", "value=\"alice,bob\"", "", "" },
        { "account name by hand", "sip-users", "alice/display-name", "Smith, Alice", "y",
          "/sip-accounts.htm?edit=alice", "value=\"Smith, Alice\"",
          "user-id=alice&type-user=1&display-name=Smith%2C%20Alice", "" },
        { "SIP password by hand", "sip-users", "alice/sip-standalone-password", "sec, ret", "y",
          "/sip-accounts.htm?edit=alice", "value=\"sec, ret\"",
          "user-id=alice&type-user=1&sip-standalone-password=sec%2C%20ret", "" },
        // The fixture's users file holds this line.
        { "web password by hand", "admin-users", "dora/password", "b o, ss", "y",
          "/admin-users.htm?edit=dora", "value=\"b o, ss\"",
          "__action__=edit&admin-id=dora&is-admin=false&password=b%20o%2C%20ss", "dora:b o, ss" },
        // A member is its name without the blanks around it, in the form and in its save.
        { "group members quoted by hand", "sip-users", "G1/group-list", "\"Door1 , Door2\"", "y",
          "/sip-groups.htm?edit=G1", "value=\"Door2\" checked",
          "user-id=G1&memberdoor1=Door1&memberdoor2=Door2", "", "Door1,Door2" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << QString(row[3]) << (*row[4] != 0) << row[5]
                              << QString(row[6]) << row[7] << row[8] << QString(row[9]);
}

void TestHttpPages::listValuesKept()
{
    QFETCH(QString, file);
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QFETCH(bool, byHand);
    QFETCH(QString, page);
    QFETCH(QString, shown);
    QFETCH(QString, form);
    QFETCH(QString, login);
    QFETCH(QString, saved);
    m_velk->saveDevice(7, {}, false, false);
    for (const char *door : { "Door1", "Door2" })
        m_sip->saveUser(door, { { "velk-wiretapping", "paging" }, { "velk-device-id", "7" } });
    m_sip->saveUser("alice", { { "type-user", "1" } });
    m_sip->saveUser("G1", { { "type-user", "2" } });
    QSettings other(Env::configFilePath(file), QSettings::IniFormat);
    other.setIniCodec("UTF-8");
    QSettings &settings = file.isEmpty() ? m_fixture->host().settings() : other;
    if (!byHand) {
        settings.setValue(key, stored.split(','));
    } else if (file != "admin-users") {
        settings.sync();
        QFile text(settings.fileName());
        QVERIFY(text.open(QIODevice::Append));
        text.write(QStringLiteral("[%1]\n%2=%3\n")
                       .arg(key.section('/', 0, 0), key.section('/', 1), stored)
                       .toUtf8());
        text.close();
        // Its module reads the file anew, as at a start.
        if (file == "velk-devices") {
            delete m_velk;
            m_velk = new Velk(&m_fixture->host());
        } else {
            delete m_sip;
            m_sip = new Sip(&m_fixture->host());
        }
    }
    QVERIFY(m_fixture->curl(kAdmin, page).body.contains(shown.toUtf8()));
    QVERIFY(login.isEmpty() || m_fixture->curl(login, "/index.htm").status == 200);
    if (!form.isEmpty()) {
        QCOMPARE(m_fixture->post(kAdmin, page, form).status, 302);
        settings.sync();
        QCOMPARE(settings.value(key).toString(), saved.isEmpty() ? stored : saved);
        QVERIFY(login.isEmpty() || m_fixture->curl(login, "/index.htm").status == 200);
    }
}

// A device's form saved with its reset ticked while a delete of the device is posted: the delete
// reaches the module as the edit is handled, and the device stays deleted.
void TestHttpPages::deletedDeviceStaysDeleted()
{
    m_velk->saveDevice(9, { { "description", "door" } }, false, false);
    Http &http = m_fixture->http();
    auto post = [&](const QString &path, const QString &form) {
        const QString auth = HttpFixture::digest("admin", http.realm(), "tallowfin", "POST", path,
                                                 m_fixture->nonce());
        return QStringLiteral(
                   "POST %1 HTTP/1.1\r\nAuthorization: %2\r\nContent-Length: %3\r\n\r\n%4")
            .arg(path, auth)
            .arg(form.size())
            .arg(form)
            .toUtf8();
    };
    const QByteArray edit = post("/velk-devices.htm?edit=9",
                                 "device-id=9&description=renamed&reset-device-state=true");
    const QByteArray removal = post("/velk-devices.htm", "__delete=9");
    QTcpSocket deleting;
    deleting.connectToHost(QHostAddress::LocalHost, m_fixture->port());
    QVERIFY(deleting.waitForConnected(30000));
    QSemaphore passedOn; // requests the worker has handed to the module
    const QObject guard;
    QObject::connect(
        qobject_cast<HttpObject *>(http.worker()), &HttpObject::checkRequest, &guard,
        [&passedOn] { passedOn.release(); }, Qt::DirectConnection);
    const Behind meanwhile(&http, [&] {
        deleting.write(removal);
        QVERIFY(deleting.waitForBytesWritten(30000));
        QVERIFY(passedOn.tryAcquire(2, 30000));
    });
    RawClient editing(m_fixture->port());
    editing.send(edit);
    QVERIFY(editing.waitClosed());
    QTRY_VERIFY_WITH_TIMEOUT(deleting.state() == QAbstractSocket::UnconnectedState, 30000);
    QCOMPARE(HttpFixture::parse(editing.buffer()).status, 302);
    QCOMPARE(HttpFixture::parse(deleting.readAll()).status, 302);
    QVERIFY(!m_velk->devicesFile().childGroups().contains("9"));
    QVERIFY(!m_velk->findDevice(9));
}

// Each save and delete of a page is in its file the moment the page answers: a power cut right
// after the answer loses nothing. Device 9, account p1 and group G1 are stored beforehand.
void TestHttpPages::savedBeforeTheAnswer_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("kept"); // whether the file holds the line; a delete drops it
    const char *const rows[][6] = {
        { "device deleted", "/velk-devices.htm", "__delete=9", "velk-devices", "[9]", "" },
        { "device added", "/velk-devices.htm?new", "device-id=8", "velk-devices", "[8]", "y" },
        { "device edited", "/velk-devices.htm?edit=9", "device-id=9&description=hall",
          "velk-devices", "description=hall", "y" },
        { "dial plan", "/velk-dialplan.htm", "dialplan-music=7", "main-test", "dialplan-music=7",
          "y" },
        { "door settings", "/velk-settings.htm", "dialplan-music=6", "main-test",
          "dialplan-music=6", "y" },
        { "account added", "/sip-accounts.htm?new", "user-id=p2&type-user=1", "sip-users", "[p2]",
          "y" },
        { "account deleted", "/sip-accounts.htm", "__delete=p1", "sip-users", "[p1]", "" },
        { "group added", "/sip-groups.htm?new", "user-id=G2", "sip-users", "[G2]", "y" },
        { "group deleted", "/sip-groups.htm", "__delete=G1", "sip-users", "[G1]", "" },
        { "SIP settings", "/sip-settings.htm", "call-duration=60", "main-test", "call-duration=60",
          "y" },
        { "web user added", "/admin-users.htm?new", "admin-id=bob&password=pw", "admin-users",
          "[bob]", "y" },
        { "web user deleted", "/admin-users.htm", "__delete=anna", "admin-users", "[anna]", "" },
        { "web settings", "/admin-settings.htm", "expires=70", "main-test", "expires=70", "y" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3] << QByteArray(row[4]) << (*row[5] != 0);
}

void TestHttpPages::savedBeforeTheAnswer()
{
    QFETCH(QString, page);
    QFETCH(QString, form);
    QFETCH(QString, file);
    QFETCH(QByteArray, line);
    QFETCH(bool, kept);
    m_velk->saveDevice(9, {}, false, false);
    m_sip->saveUser("p1", { { "type-user", "1" } });
    m_sip->saveUser("G1", { { "type-user", "2" } });
    QFile stored(Env::configFilePath(file));
    QByteArray atAnswer; // the last answer's: curl's first request only gets the challenge
    const QObject guard;
    connect(
        &m_fixture->http(), &Http::resultRequest, &guard,
        [&] {
            QVERIFY(stored.open(QIODevice::ReadOnly));
            atAnswer = stored.readAll();
            stored.close();
        },
        Qt::DirectConnection);
    const HttpReply reply = m_fixture->post(kAdmin, page, form);
    QCOMPARE(reply.status, page == "/admin-settings.htm" ? 200 : 302);
    QCOMPARE(atAnswer.contains(line), kept);
}

// A save or delete whose file cannot be written is told on its page and in the log rather than
// answered as done, and restarts nothing.
void TestHttpPages::unwrittenSaveTold_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("file");
    const char *const rows[][4] = {
        { "device deleted", "/velk-devices.htm", "__delete=9", "velk-devices" },
        { "account added", "/sip-accounts.htm?new", "user-id=p2&type-user=1", "sip-users" },
        { "web user deleted", "/admin-users.htm", "__delete=anna", "admin-users" },
        { "dial plan", "/velk-dialplan.htm", "dialplan-music=7", "main-test" },
        { "door settings", "/velk-settings.htm", "dialplan-music=6", "main-test" },
        { "web settings", "/admin-settings.htm", "expires=70", "main-test" },
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3];
}

void TestHttpPages::unwrittenSaveTold()
{
    QFETCH(QString, page);
    QFETCH(QString, form);
    QFETCH(QString, file);
    m_velk->saveDevice(9, {}, false, false);
    // A folder in the file's place: nothing can be written over it. What QSettings would read of
    // it is nothing, so the file is read before, not again until the save.
    QCoreApplication::sendPostedEvents();
    const QString path = Env::configFilePath(file);
    QFile::remove(path);
    QVERIFY(QDir().mkdir(path));
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath())); // the service's log
    QSignalSpy log(Env::instance(), &Env::viewLog);
    const HttpReply reply = m_fixture->post(kAdmin, page, form);
    QVERIFY(QDir().rmdir(path));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains("data-error=\"not_saved\""));
    QVERIFY(std::any_of(log.cbegin(), log.cend(), [&path](const QList<QVariant> &line) {
        return line.first().toString().contains(
            QStringLiteral("Settings file '%1' could not be written").arg(path));
    }));
    QCOMPARE(m_fixture->host().restarts, 0);
}

TARNHALL_TEST_MAIN(TestHttpPages)
#include "tst_httppages.moc"
