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

const QString kAdmin = QStringLiteral("admin:tallowfin");

QStringList post(const QString &form)
{
    return { QStringLiteral("--data-binary"), form };
}

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
    void refusedSettingsSaveNothing();
    void saveAnswersAfterARestartLongerThanARequestLives();
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

void TestSipPages::formCheck_data()
{
    QTest::addColumn<bool>("standalone");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("field"); // the refused field; empty when the form passes
    const QString bind = QStringLiteral("standalone-bind-address=");
    QTest::newRow("whole form") << true
                                << "standalone-bind-address=127.0.0.1&standalone-bind-port=5060&"
                                   "server-transport=udp&port-range-start=40000&port-range-stop="
                                   "41000&call-duration=3600&codec1=8&codec2=0&codec3=&codec4=9"
                                << "";
    QTest::newRow("every interface") << true << bind + "0.0.0.0"
                                     << "";
    QTest::newRow("first octet 255") << true << bind + "255.1.1.1"
                                     << "standalone-bind-address";
    QTest::newRow("last octet 255") << true << bind + "10.0.0.255"
                                    << "standalone-bind-address";
    QTest::newRow("host name") << true << bind + "pbx.example"
                               << "standalone-bind-address";
    QTest::newRow("port 0") << true << "standalone-bind-port=0"
                            << "standalone-bind-port";
    QTest::newRow("port 65536") << false << "server-port=65536"
                                << "server-port";
    QTest::newRow("port with letters") << true << "port-range-start=4x000"
                                       << "port-range-start";
    QTest::newRow("range reversed") << true << "port-range-start=41000&port-range-stop=40000"
                                    << "port-range-stop";
    QTest::newRow("range of 3 ports") << true << "port-range-start=40000&port-range-stop=40002"
                                      << "port-range-stop";
    QTest::newRow("range against stored stop") << true << "port-range-start=40998"
                                               << "port-range-start";
    QTest::newRow("negative call length") << true << "call-duration=-1"
                                          << "call-duration";
    QTest::newRow("unknown codec") << true << "codec1=101"
                                   << "codec1";
    QTest::newRow("codec twice") << true << "codec1=8&codec2=8"
                                 << "codec2";
    QTest::newRow("no first codec") << true << "codec1="
                                    << "codec1";
    QTest::newRow("transport") << true << "server-transport=sctp"
                               << "server-transport";
    QTest::newRow("mode switch alone") << true << "standalone=false&" + bind + "255.1.1.1"
                                       << "";
    QTest::newRow("mode junk") << true << "standalone=maybe"
                               << "standalone";
    QTest::newRow("no server") << false << "server-address="
                               << "server-address";
    QTest::newRow("server name") << false << "server-address=sip.example.com"
                                 << "";
    QTest::newRow("proxy without address")
        << false << "server-address=a.example&server-proxy-use=true&server-proxy-address="
        << "server-proxy-address";
    QTest::newRow("static without address")
        << false << "type-ext-address=static&ext-address-static="
        << "ext-address-static";
    QTest::newRow("stun port") << false << "ext-address-stun=stun.example:99999"
                               << "ext-address-stun";
    QTest::newRow("external type") << false << "type-ext-address=upnp"
                                   << "type-ext-address";
    QTest::newRow("gateway ignores bind address") << false << bind + "255.1.1.1"
                                                  << "";
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

void TestSipPages::refusedSettingsSaveNothing()
{
    const HttpReply reply = m_fixture->curl(
        kAdmin, QStringLiteral("/sip-settings.htm"),
        post(QStringLiteral("standalone-bind-address=255.1.1.1&standalone-bind-port=5099&"
                            "port-range-start=40000&port-range-stop=41000&codec1=8")));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains("data-error=\"wrong_ip\""));
    QVERIFY(reply.body.contains("style=\"color: red\""));
    QVERIFY(reply.body.contains("value=\"5099\""));
    QVERIFY(!m_fixture->host().settings().contains(QStringLiteral("sip/standalone-bind-port")));
    QCOMPARE(m_fixture->host().restarts, 0);
}

void TestSipPages::saveAnswersAfterARestartLongerThanARequestLives()
{
    TimeScale::setFactor(10);
    m_fixture->host().restartMs = TimeScale::toRealInt(Responder::lifeMs) + 600;
    const HttpReply reply = m_fixture->curl(
        kAdmin, QStringLiteral("/sip-settings.htm"),
        post(QStringLiteral("standalone-bind-address=127.0.0.1&port-range-start=42000&"
                            "port-range-stop=42999&codec1=0")));
    QCOMPARE(reply.status, 302);
    QCOMPARE(reply.headers.value(QStringLiteral("location")), QStringLiteral("/sip-settings.htm"));
    QCOMPARE(m_fixture->host().restarts, 1);
    QCOMPARE(m_sip->setting(SipSetting::PortRangeStart), QStringLiteral("42000"));
    QCOMPARE(m_sip->setting(SipSetting::LogSip), QStringLiteral("false"));
}

void TestSipPages::accountForms_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error"); // empty when the account is stored
    QTest::newRow("slash") << "user-id=a%2Fb"
                           << "a/b"
                           << "bad_name";
    QTest::newRow("backslash") << "user-id=a%5Cb"
                               << "a\\b"
                               << "bad_name";
    QTest::newRow("comma") << "user-id=a%2Cb"
                           << "a,b"
                           << "bad_name";
    QTest::newRow("blank") << "user-id=a+b"
                           << "a b"
                           << "bad_name";
    QTest::newRow("at sign") << "user-id=a%40b"
                             << "a@b"
                             << "bad_name";
    QTest::newRow("empty") << "user-id="
                           << ""
                           << "bad_name";
    QTest::newRow("twin in another case") << "user-id=Phone"
                                          << "Phone"
                                          << "already_exist";
    QTest::newRow("expiry 0") << "user-id=p2&sip-standalone-expires=0"
                              << "p2"
                              << "wrong_number";
    QTest::newRow("no such device") << "user-id=p2&velk-device-id=65535"
                                    << "p2"
                                    << "wrong_number";
    QTest::newRow("stored") << "user-id=p2&sip-standalone-expires=120&velk-device-id="
                            << "p2"
                            << "";
}

void TestSipPages::accountForms()
{
    QFETCH(QString, fields);
    QFETCH(QString, name);
    QFETCH(QString, error);
    m_sip->saveUser(QStringLiteral("phone"), { { QStringLiteral("type-user"), "1" } });
    const HttpReply reply = m_fixture->curl(kAdmin, QStringLiteral("/sip-accounts.htm?new"),
                                            post(fields + QStringLiteral("&type-user=1")));
    users().sync();
    if (error.isEmpty()) {
        QCOMPARE(reply.status, 302);
        QVERIFY(users().childGroups().contains(name));
        QVERIFY(m_sip->findUser(name));
        return;
    }
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(QStringLiteral("data-error=\"%1\"").arg(error).toUtf8()));
    QCOMPARE(users().childGroups(), QStringList { QStringLiteral("phone") });
}

void TestSipPages::groupMembersKeepTheirNames_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("members");
    QTest::newRow("on") << "memberdoor1=on"
                        << "Door1";
    QTest::newRow("on in capitals") << "memberdoor1=ON"
                                    << "Door1";
    QTest::newRow("the name itself") << "memberdoor1=Door1"
                                     << "Door1";
    QTest::newRow("digit one") << "memberdoor1=1"
                               << "";
}

void TestSipPages::groupMembersKeepTheirNames()
{
    QFETCH(QString, box);
    QFETCH(QString, members);
    m_sip->saveUser(QStringLiteral("Door1"),
                    { { QStringLiteral("type-user"), "0" },
                      { QStringLiteral("velk-wiretapping"), "paging" },
                      { QStringLiteral("velk-device-id"), "5" } });
    const HttpReply form = m_fixture->curl(kAdmin, QStringLiteral("/sip-groups.htm?new"));
    QVERIFY(form.body.contains("name=\"memberDoor1\" value=\"Door1\""));
    const HttpReply reply = m_fixture->curl(kAdmin, QStringLiteral("/sip-groups.htm?new"),
                                            post(QStringLiteral("user-id=G1&") + box));
    QCOMPARE(reply.status, 302);
    users().sync();
    QCOMPARE(users().value(QStringLiteral("G1/group-list")).toString(), members);
    QCOMPARE(users().value(QStringLiteral("G1/type-user")).toString(), QStringLiteral("2"));
}

void TestSipPages::valuesAreEscaped()
{
    m_sip->saveUser(
        QStringLiteral("a&b=c"),
        { { QStringLiteral("type-user"), "1" }, { QStringLiteral("display-name"), "<b>\"x'&" } });
    const QByteArray escaped("&lt;b&gt;&quot;x&#39;&amp;");
    for (const QString &path :
         { QStringLiteral("/sip-accounts.htm"), QStringLiteral("/sip-accounts.htm?edit=a%26b%3Dc"),
           QStringLiteral("/sip-module.htm") }) {
        const HttpReply reply = m_fixture->curl(kAdmin, path);
        QVERIFY2(reply.body.contains(escaped) && !reply.body.contains("<b>\""), qPrintable(path));
    }
    const HttpReply edit = m_fixture->curl(kAdmin, QStringLiteral("/sip-accounts.htm"),
                                           post(QStringLiteral("__edit=a%26b%3Dc")));
    QCOMPARE(edit.headers.value(QStringLiteral("location")),
             QStringLiteral("/sip-accounts.htm?edit=a%26b%3Dc"));
}

QTEST_GUILESS_MAIN(TestSipPages)
#include "tst_sippages.moc"
