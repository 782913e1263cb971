#include "core/timescale.h"
#include "http/formdata.h"
#include "http/httpsession.h"
#include "httpfixture.h"
#include "rawclient.h"
#include "testmain.h"

#include <QTcpServer>
#include <QtTest>

#include <nss.h>

const QString kRealm = QStringLiteral("Tarnhall Server");

// The web module with its pages, reached by curl with a digest login. Pages that headless
// Chromium walks (tst_httpbrowser) are left to it; what it cannot reach is tested here.
class TestHttpModule : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void routes_data();
    void routes();
    void digest_data();
    void digest();
    void closingOwnSession();
    void userNames_data();
    void userNames();
    void unboundSessionsAreBoundedAndExpire();
    void lastAdminKeepsItsRights_data();
    void lastAdminKeepsItsRights();
    void lastAdminStaysStored_data();
    void lastAdminStaysStored();
    void deletedAdminStaysDeleted();
    void caseTwinsRefused();
    void hostNameTried_data();
    void hostNameTried();
    void wildcardBesideAnotherListener_data();
    void wildcardBesideAnotherListener();

private:
    QSettings &users() { return *m_fixture->http().findChild<QSettings *>(); }
    int addUser(const QString &name, const QString &isAdmin)
    {
        return m_fixture
            ->post(kAdmin, "/admin-users.htm?new",
                   QStringLiteral("__action__=new&admin-id=%1&password=pw&is-admin=%2")
                       .arg(name, isAdmin))
            .status;
    }
    // Stops and starts the module as a saved web setting does: users are loaded anew.
    bool restart()
    {
        m_fixture->http().stop();
        return m_fixture->http().waitSeconds(16) && m_fixture->start();
    }

    HttpFixture *m_fixture = nullptr;
};

void TestHttpModule::initTestCase()
{
    // Host names are looked up in the hosts file alone: nothing leaves this host.
    QCOMPARE(__nss_configure_lookup("hosts", "files"), 0);
}

void TestHttpModule::init()
{
    m_fixture = new HttpFixture;
    QVERIFY(m_fixture->start());
}

void TestHttpModule::cleanup()
{
    delete m_fixture;
    m_fixture = nullptr;
}

void TestHttpModule::routes_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("form"); // posted; "PUT" for an empty PUT
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("body");
    struct Row
    {
        const char *name, *login, *path, *form;
        int status;
        const char *location, *body;
    };
    const char *admin = "admin:tallowfin";
    const char *anna = "anna:anna-pw";
    const Row rows[] = {
        { "start page in capitals", admin, "/INDEX.HTM", "", 200, "", "Главная" },
        { "root", admin, "/", "", 302, "/index.htm", "" },
        { "restart page", admin, "/wait-restart-http.htm", "", 302, "/index.htm", "" },
        { "401 page without login", "", "/401.htm", "", 200, "", "data-admin=\"false\"" },
        { "no credentials", "", "/index.htm", "", 401, "", "Требуется вход" },
        { "wrong password", "admin:nope", "/index.htm", "", 401, "", "" },
        { "user names keep their case", "Admin:tallowfin", "/index.htm", "", 401, "", "" },
        { "password with a comma", "carl:c,pw", "/index.htm", "", 200, "", "" },
        { "shipped password for one with a comma", "carl:tallowfin", "/index.htm", "", 401, "",
          "" },
        { "PUT logged in", admin, "/index.htm", "PUT", 405, "", "" },
        { "PUT without login", "", "/index.htm", "PUT", 401, "", "" },
        { "image", admin, "/img/status_red.png", "", 200, "", "PNG" },
        { "no such file", admin, "/nothing.png", "", 302, "/index.htm", "" },
        { "dot-dot", admin, "/img/../style.css", "", 302, "/index.htm", "" },
        { "encoded dot-dot", admin, "/img/%2e%2e/style.css", "", 302, "/index.htm", "" },
        { "encoded slash", admin, "/img/..%2fstyle.css", "", 302, "/index.htm", "" },
        { "backslash", admin, "/img%5cstatus_red.png", "", 302, "/index.htm", "" },
        { "NUL", admin, "/img/status_red.png%00", "", 302, "/index.htm", "" },
        { "user form, admin", admin, "/admin-user.htm", "", 302, "/admin-users.htm", "" },
        { "user form, plain user", anna, "/admin-user.htm", "", 302, "/index.htm", "" },
        { "settings post, plain user", anna, "/admin-settings.htm", "expires=1", 302, "/index.htm",
          "" },
        { "account template", admin, "/sip-account-server.htm", "", 302, "/sip-accounts.htm", "" },
        { "group template", admin, "/sip-group-standalone.htm", "", 302, "/sip-groups.htm", "" },
        { "settings template", admin, "/sip-settings-server.htm", "", 302, "/sip-settings.htm",
          "" },
        { "device template", admin, "/velk-device.htm", "", 302, "/velk-devices.htm", "" },
        { "door-device page without the module", admin, "/velk-module.htm", "", 200, "",
          "Tarnhall — Домофоны" },
        { "edit of nobody", admin, "/admin-users.htm?edit=nobody", "", 302, "/admin-users.htm",
          "" },
        { "unknown query", admin, "/admin-users.htm?x=1", "", 302, "/admin-users.htm", "" },
        { "list: edit nobody", admin, "/admin-users.htm", "__edit=nobody", 200, "",
          "data-error=\"not_found\" data-id=\"nobody\"" },
        { "list: delete nobody", admin, "/admin-users.htm", "__delete=nobody", 200, "",
          "data-error=\"not_found\"" },
        { "form: edit of nobody", admin, "/admin-users.htm?edit=x", "__action__=edit&admin-id=x",
          200, "", "not_found" },
        { "form: slash in a name", admin, "/admin-users.htm?new", "__action__=new&admin-id=a/b",
          200, "", "bad_name" },
        { "module: close unknown", admin, "/admin-module.htm", "close_session=00", 302,
          "/admin-module.htm", "" },
    };
    for (const Row &row : rows)
        QTest::newRow(row.name) << row.login << row.path << row.form << row.status << row.location
                                << row.body;
}

void TestHttpModule::routes()
{
    QFETCH(QString, credentials);
    QFETCH(QString, path);
    QFETCH(QString, form);
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(QString, body);
    const HttpReply reply = form == QLatin1String("PUT")
        ? m_fixture->curl(credentials, path, { "-X", "PUT" })
        : form.isEmpty() ? m_fixture->curl(credentials, path)
                         : m_fixture->post(credentials, path, form);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("location"), location);
    QVERIFY2(reply.body.contains(body.toUtf8()), reply.body.left(600).constData());
    if (status == 401) {
        QVERIFY(reply.headers.value("www-authenticate")
                    .contains(QRegularExpression("^Digest algorithm=MD5, realm=\"Tarnhall "
                                                 "Server\", nonce=\"[0-9a-f]{32}\"$")));
    }
    if (path.startsWith(QLatin1String("/img/")) && status == 200)
        QVERIFY(!reply.headers.contains("content-type"));
}

void TestHttpModule::digest_data()
{
    // A digest over a fresh nonce unless a row names one; "scheme" and "upper" change the header
    // as a client might write it.
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("realm");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("nonce");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("stale");
    struct Row
    {
        const char *name, *user, *realm, *uri, *nonce, *variant;
        int status;
        bool stale;
    };
    const char *page = "/admin-module.htm";
    const char *realm = "Tarnhall Server";
    const Row rows[] = {
        { "valid", "admin", realm, page, "", "", 200, false },
        { "scheme in capitals", "admin", realm, page, "", "scheme", 200, false },
        { "response in capitals", "admin", realm, page, "", "upper", 200, false },
        { "basic scheme", "admin", realm, page, "", "basic", 401, false },
        { "another realm", "admin", "Other", page, "", "", 401, false },
        { "another page's uri", "admin", realm, "/style.css", "", "", 401, false },
        { "unknown nonce, right password", "admin", realm, page, "0123456789abcdef0123456789abcdef",
          "", 401, true },
        { "unknown user", "nobody", realm, page, "", "", 401, false },
    };
    for (const Row &row : rows)
        QTest::newRow(row.name) << row.user << row.realm << row.uri << row.nonce << row.variant
                                << row.status << row.stale;
}

void TestHttpModule::digest()
{
    QFETCH(QString, user);
    QFETCH(QString, realm);
    QFETCH(QString, uri);
    QFETCH(QString, nonce);
    QFETCH(QString, variant);
    QFETCH(int, status);
    QFETCH(bool, stale);
    if (nonce.isEmpty())
        nonce = m_fixture->nonce();
    QString value = HttpFixture::digest(user, realm, "tallowfin", "GET", uri, nonce);
    const int at = value.indexOf(QStringLiteral("response=\"")) + 10;
    if (variant == QLatin1String("scheme"))
        value.replace(0, 6, QStringLiteral("DIGEST"));
    else if (variant == QLatin1String("upper"))
        value.replace(at, 32, value.mid(at, 32).toUpper());
    else if (variant == QLatin1String("basic"))
        value = QStringLiteral("Basic YWRtaW46dGFsbG93Zmlu");
    const HttpReply reply = HttpFixture::parse(RawClient::exchange(
        m_fixture->port(),
        QStringLiteral("GET /admin-module.htm HTTP/1.1\r\nAuthorization: %1\r\n\r\n")
            .arg(value)
            .toUtf8()));
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("www-authenticate").endsWith(QLatin1String(", stale=true")),
             stale);
}

// A wrong response ends the session of its nonce, and so does the session table's close
// button: the same credentials on that nonce are then refused.
void TestHttpModule::closingOwnSession()
{
    for (const bool byButton : { true, false }) {
        const QString nonce = m_fixture->nonce();
        auto request = [&](const QString &method, const QString &password, const QByteArray &body) {
            const QString auth = HttpFixture::digest("admin", kRealm, password, method,
                                                     "/admin-module.htm", nonce);
            return HttpFixture::parse(RawClient::exchange(
                m_fixture->port(),
                QStringLiteral("%1 /admin-module.htm HTTP/1.1\r\nAuthorization: %2\r\n"
                               "Content-Length: %3\r\n\r\n")
                        .arg(method, auth)
                        .arg(body.size())
                        .toUtf8()
                    + body));
        };
        QCOMPARE(request("GET", "tallowfin", {}).status, 200);
        if (byButton)
            QCOMPARE(request("POST", "tallowfin", "close_session=" + nonce.toLatin1()).status, 302);
        else
            QCOMPARE(request("GET", "wrong", {}).status, 401);
        QTRY_VERIFY(!m_fixture->http().findSession(nonce));
        const HttpReply after = request("GET", "tallowfin", {});
        QCOMPARE(after.status, 401);
        QVERIFY(after.headers.value("www-authenticate").endsWith(QLatin1String("stale=true")));
    }
}

// A new web user is stored only under a name its digest login can match, and then logs in.
void TestHttpModule::userNames_data()
{
    QTest::addColumn<QString>("name"); // as the form posts it
    QTest::addColumn<bool>("stored");
    QTest::newRow("Cyrillic") << "%D0%B0%D0%B4%D0%BC%D0%B8%D0%BD2" << false;
    QTest::newRow("100,000 characters") << QString(100000, 'a') << false;
    QTest::newRow("81 characters") << QString(81, 'a') << false;
    QTest::newRow("80 characters") << QString(80, 'a') << true;
    QTest::newRow("line break") << "a%0D%0A[01.01.26 00:00:00.000] [HTTP]: b" << false;
    QTest::newRow("double quote") << "a%22b" << false;
    QTest::newRow("tab, blank, comma, equals, percent") << "a%09b+c%2Cd%3De%25" << true;
    // The INI file stores any spelling of "general" as "General".
    QTest::newRow("general") << "general" << false;
    QTest::newRow("General") << "General" << true;
}

void TestHttpModule::userNames()
{
    QFETCH(QString, name);
    QFETCH(bool, stored);
    const HttpReply reply = m_fixture->post(kAdmin, "/admin-users.htm?new",
                                            "__action__=new&password=pw&admin-id=" + name);
    name = parseFormData("n=" + name.toUtf8()).value("n");
    QCOMPARE(m_fixture->http().userExists(name), stored);
    QCOMPARE(reply.status, stored ? 302 : 200);
    QCOMPARE(reply.body.contains("data-error=\"bad_name\""), !stored);
    if (stored)
        QCOMPARE(m_fixture->curl(name + ":pw", "/index.htm").status, 200);
}

void TestHttpModule::unboundSessionsAreBoundedAndExpire()
{
    auto unbound = [this] {
        int count = 0;
        for (HttpSession *s : m_fixture->http().findChildren<HttpSession *>())
            count += s->isBound() ? 0 : 1;
        return count;
    };
    for (int i = 0; i < Http::maxUnboundSessions + 20; ++i)
        QVERIFY(!m_fixture->nonce().isEmpty());
    QCOMPARE(unbound(), Http::maxUnboundSessions);
    TimeScale::setFactor(100);
    QVERIFY(!m_fixture->nonce().isEmpty());
    const int before = unbound();
    // Only the one issued under the fast clock is due within this wait.
    QTRY_COMPARE_WITH_TIMEOUT(unbound(), before - 1, 20000);
    TimeScale::setFactor(1);
}

// No post leaves the system without an administrator; the refused one saves nothing.
void TestHttpModule::lastAdminKeepsItsRights_data()
{
    QTest::addColumn<QString>("isAdmin"); // as posted
    QTest::addColumn<bool>("otherAdmin");
    QTest::newRow("false") << "false" << false;
    QTest::newRow("capitals and blanks") << "+FALSE+" << false;
    QTest::newRow("NUL ends the value") << "false%00true" << false;
    QTest::newRow("another admin left") << "false" << true;
}

void TestHttpModule::lastAdminKeepsItsRights()
{
    QFETCH(QString, isAdmin);
    QFETCH(bool, otherAdmin);
    if (otherAdmin)
        QCOMPARE(addUser("boss", "true"), 302);
    const HttpReply reply = m_fixture->post(kAdmin, "/admin-users.htm?edit=admin",
                                            "__action__=edit&admin-id=admin&is-admin=" + isAdmin);
    QCOMPARE(reply.status, otherAdmin ? 302 : 200);
    QCOMPARE(reply.body.contains("data-error=\"last_admin\" data-id=\"admin\""), !otherAdmin);
    QCOMPARE(users().value("admin/is-admin").toString(), QString(otherAdmin ? "false" : "true"));
    QCOMPARE(m_fixture->curl(kAdmin, "/admin-module.htm").status, otherAdmin ? 302 : 200);
}

void TestHttpModule::lastAdminStaysStored_data()
{
    QTest::addColumn<QString>("name"); // as posted
    QTest::addColumn<bool>("otherAdmin");
    QTest::newRow("admin") << "admin" << false;
    QTest::newRow("NUL ends the value") << "admin%00" << false;
    QTest::newRow("another admin left") << "admin" << true;
}

void TestHttpModule::lastAdminStaysStored()
{
    QFETCH(QString, name);
    QFETCH(bool, otherAdmin);
    if (otherAdmin)
        QCOMPARE(addUser("boss", "true"), 302);
    const HttpReply reply = m_fixture->post(kAdmin, "/admin-users.htm", "__delete=" + name);
    QCOMPARE(reply.status, otherAdmin ? 302 : 200);
    QCOMPARE(reply.body.contains("data-error=\"last_admin\" data-id=\"admin\""), !otherAdmin);
    QCOMPARE(users().childGroups().contains("admin"), !otherAdmin);
    QCOMPARE(m_fixture->curl(kAdmin, "/admin-module.htm").status, otherAdmin ? 401 : 200);
}

// The built-in administrator comes back only to a store without any administrator.
void TestHttpModule::deletedAdminStaysDeleted()
{
    QCOMPARE(addUser("boss", "true"), 302);
    QCOMPARE(m_fixture->post("boss:pw", "/admin-users.htm", "__delete=admin").status, 302);
    QVERIFY(restart());
    QVERIFY(!users().childGroups().contains("admin"));
    QCOMPARE(m_fixture->curl(kAdmin, "/index.htm").status, 401);
    QCOMPARE(m_fixture->curl("boss:pw", "/admin-module.htm").status, 200);

    // Demoted by hand, "admin" included: it gets its rights back, and the missing password.
    HttpFixture::write(users(), { { "boss/is-admin", "false" }, { "admin/is-admin", "false" } });
    QVERIFY(restart());
    QCOMPARE(m_fixture->curl(kAdmin, "/admin-module.htm").status, 200);
    QCOMPARE(m_fixture->curl("boss:pw", "/admin-module.htm").status, 302);
}

// A new name may not differ only in case from a stored one; twins stored earlier stay apart.
void TestHttpModule::caseTwinsRefused()
{
    QCOMPARE(addUser("General", "false"), 302);
    const std::pair<QString, QByteArray> refused[]
        = { { "ANNA", "already_exist" }, { "general", "bad_name" } };
    for (const auto &[name, error] : refused) {
        const HttpReply reply = m_fixture->post(kAdmin, "/admin-users.htm?new",
                                                "__action__=new&password=x&admin-id=" + name);
        QCOMPARE(reply.status, 200);
        QVERIFY2(reply.body.contains("data-error=\"" + error + '"'), qPrintable(name));
        QVERIFY(!users().childGroups().contains(name));
    }
    QCOMPARE(m_fixture->curl("General:pw", "/index.htm").status, 200);

    HttpFixture::write(users(), { { "Bob/password", "pw1" }, { "bob/password", "pw2" } });
    QVERIFY(restart());
    QCOMPARE(m_fixture->curl("Bob:pw1", "/index.htm").status, 200);
    QCOMPARE(m_fixture->curl("bob:pw2", "/index.htm").status, 200);
    QVERIFY(m_fixture->curl(kAdmin, "/admin-users.htm?edit=bob").body.contains("value=\"pw2\""));
}

// A host name as the web's address is looked up and tried as its address would be.
void TestHttpModule::hostNameTried_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("saved");
    QTest::newRow("no such host") << "nosuchhost.invalid" << false;
    QTest::newRow("localhost") << "localhost" << true;
}

void TestHttpModule::hostNameTried()
{
    QFETCH(QString, name);
    QFETCH(bool, saved);
    const HttpReply reply = m_fixture->post(kAdmin, "/admin-settings.htm", "bind-address=" + name);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body.contains("data-error=\"wrong_ip\" data-field=\"bind-address\""), !saved);
    QCOMPARE(m_fixture->host().settings().value("admin/bind-address").toString(),
             saved ? name : QStringLiteral("127.0.0.1"));
    QCOMPARE(m_fixture->curl(kAdmin, "/index.htm").status, 200);
}

// The web on 127.0.0.1 may move to every interface on its port only while no other socket
// holds that port: its own socket is not all that is in the way.
void TestHttpModule::wildcardBesideAnotherListener_data()
{
    QTest::addColumn<bool>("other"); // a listener on 127.0.0.2 and the web's port
    QTest::newRow("another listener") << true;
    QTest::newRow("none") << false;
}

void TestHttpModule::wildcardBesideAnotherListener()
{
    QFETCH(bool, other);
    QTcpServer listener;
    QVERIFY(!other || listener.listen(QHostAddress("127.0.0.2"), m_fixture->port()));
    const HttpReply reply = m_fixture->post(kAdmin, "/admin-settings.htm", "bind-address=0.0.0.0");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body.contains("data-error=\"wrong_port\" data-field=\"bind-port\""), other);
    QCOMPARE(m_fixture->host().settings().value("admin/bind-address").toString(),
             other ? QStringLiteral("127.0.0.1") : QStringLiteral("0.0.0.0"));
    QCOMPARE(m_fixture->curl(kAdmin, "/index.htm").status, 200);
}

TARNHALL_TEST_MAIN(TestHttpModule)
#include "tst_httpmodule.moc"
