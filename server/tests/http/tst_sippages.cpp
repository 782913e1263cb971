// The SIP pages through curl: what a form may store, what it refuses, and the answer to a
// settings save that waits for the restart of the SIP and door-device modules.
#include "core/env.h"
#include "core/timescale.h"
#include "http/formdata.h"
#include "http/pages/sipformcheck.h"
#include "http/responder.h"
#include "httpfixture.h"
#include "sip/sip.h"

#include <QtTest>

namespace {

QString storedDefault(const QString &key)
{
    return Sip::settingDefault(SipSetting::Type(Sip::settingFromName(key))).toString();
}

} // namespace

class TestSipPages : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void formCheck_data();
    void formCheck();
    void settingsSave();
    void accountForms_data();
    void accountForms();
    void groupMembersKeepTheirNames_data();
    void groupMembersKeepTheirNames();
    void valuesAreEscaped();

private:
    QSettings &users() { return *m_sip->findChild<QSettings *>(); }

    HttpFixture *m_fixture = nullptr;
    Sip *m_sip = nullptr;
};

void TestSipPages::init()
{
    QFile::remove(Env::configFilePath(QStringLiteral("sip-users")));
    m_fixture = new HttpFixture;
    m_sip = new Sip(&m_fixture->host());
    QVERIFY(m_fixture->start());
}

void TestSipPages::cleanup()
{
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
};

void TestSipPages::formCheck_data()
{
    QTest::addColumn<bool>("standalone");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("field");
    for (const auto &row : kChecks)
        QTest::newRow(row[0]) << (row[1][0] == 's') << row[2] << row[3];
}

void TestSipPages::formCheck()
{
    QFETCH(bool, standalone);
    QFETCH(QString, form);
    QFETCH(QString, field);
    const SipFormError error
        = checkSipSettings(parseFormData(form.toUtf8()), standalone, storedDefault);
    QCOMPARE(error.field, field);
}

// A refused form saves nothing; an accepted one is answered after the restart, however long.
void TestSipPages::settingsSave()
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

void TestSipPages::accountForms_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");
    for (const auto &row : kAccountForms)
        QTest::newRow(row[0]) << row[1] << row[2] << row[3];
}

void TestSipPages::accountForms()
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

void TestSipPages::groupMembersKeepTheirNames_data()
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

void TestSipPages::groupMembersKeepTheirNames()
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

void TestSipPages::valuesAreEscaped()
{
    m_sip->saveUser("a&b=c", { { "type-user", "1" }, { "display-name", "<b>\"x'&" } });
    for (const char *path :
         { "/sip-accounts.htm", "/sip-accounts.htm?edit=a%26b%3Dc", "/sip-module.htm" }) {
        const QByteArray body = m_fixture->curl(kAdmin, path).body;
        QVERIFY2(body.contains("&lt;b&gt;&quot;x&#39;&amp;") && !body.contains("<b>\""), path);
    }
    QCOMPARE(
        m_fixture->post(kAdmin, "/sip-accounts.htm", "__edit=a%26b%3Dc").headers.value("location"),
        QStringLiteral("/sip-accounts.htm?edit=a%26b%3Dc"));
}

QTEST_GUILESS_MAIN(TestSipPages)
#include "tst_sippages.moc"
