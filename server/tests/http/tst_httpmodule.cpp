#include "core/timescale.h"
#include "http/httpsession.h"
#include "httpfixture.h"
#include "rawclient.h"

#include <QtTest>

namespace {

const QString kAdmin = QStringLiteral("admin:tallowfin");
const QString kAnna = QStringLiteral("anna:anna-pw");
const QString kRealm = QStringLiteral("Tarnhall Server");

QStringList post(const QString &form)
{
    return { QStringLiteral("--data-binary"), form };
}

} // namespace

// The web module with its pages, reached by curl with a digest login.
class TestHttpModule : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void routes_data();
    void routes();
    void digest_data();
    void digest();
    void closingOwnSession();
    void unboundSessionsAreBoundedAndExpire();
    void valuesAreEscapedAndFilledOnce();
    void settingsSaveRestartsOnNewPort();

private:
    HttpFixture *m_fixture = nullptr;
};

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
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("body");

    const QStringList none;
    const QStringList put { QStringLiteral("-X"), QStringLiteral("PUT") };
    auto row = [](const char *name) { return &QTest::newRow(name); };
    *row("start page in capitals") << kAdmin << "/INDEX.HTM" << none << 200 << ""
                                   << "Главная";
    *row("root") << kAdmin << "/" << none << 302 << "/index.htm"
                 << "";
    *row("restart page") << kAdmin << "/wait-restart-http.htm" << none << 302 << "/index.htm"
                         << "";
    *row("401 page without login") << ""
                                   << "/401.htm" << none << 200 << ""
                                   << "data-admin=\"false\"";
    *row("no credentials") << ""
                           << "/index.htm" << none << 401 << ""
                           << "Требуется вход";
    *row("wrong password") << "admin:nope"
                           << "/index.htm" << none << 401 << ""
                           << "";
    *row("user names keep their case") << "Admin:tallowfin"
                                       << "/index.htm" << none << 401 << ""
                                       << "";
    *row("PUT logged in") << kAdmin << "/index.htm" << put << 405 << ""
                          << "";
    *row("PUT without login") << ""
                              << "/index.htm" << put << 401 << ""
                              << "";
    *row("image") << kAdmin << "/img/status_red.png" << none << 200 << ""
                  << "PNG";
    *row("style") << kAnna << "/style.css" << none << 200 << ""
                  << "body";
    *row("script") << kAnna << "/funcs.js" << none << 200 << ""
                   << "getAdminState";
    *row("no such file") << kAdmin << "/nothing.png" << none << 302 << "/index.htm"
                         << "";
    *row("dot-dot") << kAdmin << "/img/../style.css" << none << 302 << "/index.htm"
                    << "";
    *row("encoded dot-dot") << kAdmin << "/img/%2e%2e/style.css" << none << 302 << "/index.htm"
                            << "";
    *row("encoded slash") << kAdmin << "/img/..%2fstyle.css" << none << 302 << "/index.htm"
                          << "";
    *row("backslash") << kAdmin << "/img%5cstatus_red.png" << none << 302 << "/index.htm"
                      << "";
    *row("NUL") << kAdmin << "/img/status_red.png%00" << none << 302 << "/index.htm"
                << "";
    *row("user form, admin") << kAdmin << "/admin-user.htm" << none << 302 << "/admin-users.htm"
                             << "";
    *row("user form, plain user") << kAnna << "/admin-user.htm" << none << 302 << "/index.htm"
                                  << "";
    *row("module page, plain user") << kAnna << "/admin-module.htm" << none << 302 << "/index.htm"
                                    << "";
    *row("settings post, plain user")
        << kAnna << "/admin-settings.htm" << post("expires=1") << 302 << "/index.htm"
        << "";
    *row("users page, plain user") << kAnna << "/admin-users.htm" << none << 302 << "/index.htm"
                                   << "";
    *row("plain user's start page") << kAnna << "/index.htm" << none << 200 << ""
                                    << "data-admin=\"false\"";
    *row("account template") << kAdmin << "/sip-account-server.htm" << none << 302
                             << "/sip-accounts.htm"
                             << "";
    *row("group template") << kAdmin << "/sip-group-standalone.htm" << none << 302
                           << "/sip-groups.htm"
                           << "";
    *row("settings template") << kAdmin << "/sip-settings-server.htm" << none << 302
                              << "/sip-settings.htm"
                              << "";
    *row("device template") << kAdmin << "/velk-device.htm" << none << 302 << "/velk-devices.htm"
                            << "";
    *row("door-device module page") << kAdmin << "/velk-module.htm" << none << 200 << ""
                                    << "Tarnhall — Домофоны";
    *row("module page") << kAdmin << "/admin-module.htm" << none << 200 << ""
                        << "<b>admin*</b>";
    *row("settings page") << kAdmin << "/admin-settings.htm" << none << 200 << ""
                          << "value=\"600\"";
    *row("users list") << kAdmin << "/admin-users.htm" << none << 200 << ""
                       << "<b>admin*</b>";
    *row("new user form") << kAdmin << "/admin-users.htm?new" << none << 200 << ""
                          << "value=\"tallowfin\"";
    *row("edit form") << kAdmin << "/admin-users.htm?edit=anna" << none << 200 << ""
                      << "value=\"anna-pw\"";
    *row("edit of nobody") << kAdmin << "/admin-users.htm?edit=nobody" << none << 302
                           << "/admin-users.htm"
                           << "";
    *row("unknown query") << kAdmin << "/admin-users.htm?x=1" << none << 302 << "/admin-users.htm"
                          << "";
    *row("list: new") << kAdmin << "/admin-users.htm" << post("__new=1") << 302
                      << "/admin-users.htm?new"
                      << "";
    *row("list: edit") << kAdmin << "/admin-users.htm" << post("__edit=anna") << 302
                       << "/admin-users.htm?edit=anna"
                       << "";
    *row("list: edit nobody") << kAdmin << "/admin-users.htm" << post("__edit=nobody") << 200 << ""
                              << "data-error=\"not_found\" data-id=\"nobody\"";
    *row("list: delete nobody") << kAdmin << "/admin-users.htm" << post("__delete=nobody") << 200
                                << ""
                                << "data-error=\"not_found\"";
    *row("form: name taken") << kAdmin << "/admin-users.htm?new"
                             << post("__action__=new&admin-id=admin&display-name=Boss") << 200 << ""
                             << "data-error=\"already_exist\" data-id=\"admin\"";
    *row("form: edit of nobody") << kAdmin << "/admin-users.htm?edit=x"
                                 << post("__action__=edit&admin-id=x") << 200 << ""
                                 << "not_found";
    *row("form: slash in a name") << kAdmin << "/admin-users.htm?new"
                                  << post("__action__=new&admin-id=a/b") << 200 << ""
                                  << "bad_name";
    *row("module: close unknown") << kAdmin << "/admin-module.htm" << post("close_session=00")
                                  << 302 << "/admin-module.htm"
                                  << "";
}

void TestHttpModule::routes()
{
    QFETCH(QString, credentials);
    QFETCH(QString, path);
    QFETCH(QStringList, extra);
    QFETCH(int, status);
    QFETCH(QString, location);
    QFETCH(QString, body);
    const HttpReply reply = m_fixture->curl(credentials, path, extra);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value(QStringLiteral("location")), location);
    QVERIFY2(reply.body.contains(body.toUtf8()), reply.body.left(600).constData());
    if (status == 401) {
        QVERIFY(reply.headers.value(QStringLiteral("www-authenticate"))
                    .contains(QRegularExpression(
                        QStringLiteral("^Digest algorithm=MD5, realm=\"Tarnhall Server\", "
                                       "nonce=\"[0-9a-f]{32}\"$"))));
    }
    if (path.startsWith(QLatin1String("/img/")) && status == 200)
        QVERIFY(!reply.headers.contains(QStringLiteral("content-type")));
}

void TestHttpModule::digest_data()
{
    // A digest over the fresh nonce "N" unless a row names another; "scheme" and "upper" change
    // the header as a client might write it.
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("realm");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("nonce");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("stale");

    const QString page = QStringLiteral("/admin-module.htm");
    QTest::newRow("valid") << "admin" << kRealm << page << "N"
                           << "" << 200 << false;
    QTest::newRow("scheme in capitals") << "admin" << kRealm << page << "N"
                                        << "scheme" << 200 << false;
    QTest::newRow("response in capitals") << "admin" << kRealm << page << "N"
                                          << "upper" << 200 << false;
    QTest::newRow("basic scheme") << "admin" << kRealm << page << "N"
                                  << "basic" << 401 << false;
    QTest::newRow("another realm") << "admin"
                                   << "Other" << page << "N"
                                   << "" << 401 << false;
    QTest::newRow("another page's uri") << "admin" << kRealm << "/style.css"
                                        << "N"
                                        << "" << 401 << false;
    QTest::newRow("unknown nonce, right password")
        << "admin" << kRealm << page << "0123456789abcdef0123456789abcdef"
        << "" << 401 << true;
    QTest::newRow("unknown user") << "nobody" << kRealm << page << "N"
                                  << "" << 401 << false;
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
    if (nonce == QLatin1String("N"))
        nonce = m_fixture->nonce();
    QString value = HttpFixture::digest(user, realm, QStringLiteral("tallowfin"),
                                        QStringLiteral("GET"), uri, nonce);
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
    QCOMPARE(reply.headers.value(QStringLiteral("www-authenticate"))
                 .endsWith(QLatin1String(", stale=true")),
             stale);
}

// A wrong response ends the session of its nonce, and so does the session table's close
// button: the same credentials on that nonce are then refused.
void TestHttpModule::closingOwnSession()
{
    for (const QString &how : { QStringLiteral("close"), QStringLiteral("wrong response") }) {
        const QString nonce = m_fixture->nonce();
        auto request = [&](const QString &method, const QString &password, const QByteArray &body) {
            const QString auth
                = HttpFixture::digest(QStringLiteral("admin"), kRealm, password, method,
                                      QStringLiteral("/admin-module.htm"), nonce);
            return HttpFixture::parse(RawClient::exchange(
                m_fixture->port(),
                QStringLiteral("%1 /admin-module.htm HTTP/1.1\r\nAuthorization: "
                               "%2\r\nContent-Length: %3\r\n\r\n")
                        .arg(method, auth)
                        .arg(body.size())
                        .toUtf8()
                    + body));
        };
        QCOMPARE(request(QStringLiteral("GET"), QStringLiteral("tallowfin"), QByteArray()).status,
                 200);
        if (how == QLatin1String("close"))
            QCOMPARE(request(QStringLiteral("POST"), QStringLiteral("tallowfin"),
                             "close_session=" + nonce.toLatin1())
                         .status,
                     302);
        else
            QCOMPARE(request(QStringLiteral("GET"), QStringLiteral("wrong"), QByteArray()).status,
                     401);
        QTRY_VERIFY(!m_fixture->http().findSession(nonce));
        const HttpReply after
            = request(QStringLiteral("GET"), QStringLiteral("tallowfin"), QByteArray());
        QCOMPARE(after.status, 401);
        QVERIFY(after.headers.value(QStringLiteral("www-authenticate"))
                    .endsWith(QLatin1String("stale=true")));
    }
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

// A display name that carries markup and a placeholder, and a password with quotes: shown
// as text, never run or expanded, and a save of the unchanged form keeps the password.
void TestHttpModule::valuesAreEscapedAndFilledOnce()
{
    const QString password = QStringLiteral("p\"a'ss<>&1");
    const QString display = QStringLiteral("<script>alert(1)</script>${password}");
    const QString form
        = QStringLiteral("__action__=new&admin-id=eve&is-admin=false&display-name=%1&password=%2")
              .arg(QString::fromLatin1(QUrl::toPercentEncoding(display)),
                   QString::fromLatin1(QUrl::toPercentEncoding(password)));
    QCOMPARE(m_fixture->curl(kAdmin, QStringLiteral("/admin-users.htm?new"), post(form)).status,
             302);

    const HttpReply list = m_fixture->curl(kAdmin, QStringLiteral("/admin-users.htm"));
    QVERIFY(!list.body.contains("<script>alert"));
    QVERIFY(list.body.contains("&lt;script&gt;alert(1)&lt;/script&gt;${password}"));
    const HttpReply edit = m_fixture->curl(kAdmin, QStringLiteral("/admin-users.htm?edit=eve"));
    QVERIFY(edit.body.contains("value=\"p&quot;a&#39;ss&lt;&gt;&amp;1\""));
    QVERIFY(edit.body.contains("value=\"&lt;script&gt;alert(1)&lt;/script&gt;${password}\""));

    // A name that would change the meaning of the Location travels percent-encoded.
    const QString evil = QStringLiteral("a b&c=d");
    QCOMPARE(m_fixture
                 ->curl(kAdmin, QStringLiteral("/admin-users.htm?new"),
                        post(QStringLiteral("__action__=new&admin-id=")
                             + QString::fromLatin1(QUrl::toPercentEncoding(evil))))
                 .status,
             302);
    const HttpReply redirect = m_fixture->curl(
        kAdmin, QStringLiteral("/admin-users.htm"),
        post(QStringLiteral("__edit=") + QString::fromLatin1(QUrl::toPercentEncoding(evil))));
    QVERIFY2(redirect.status == 302, redirect.body.constData());
    QCOMPARE(redirect.headers.value(QStringLiteral("location")),
             QStringLiteral("/admin-users.htm?edit=a%20b%26c%3Dd"));
}

void TestHttpModule::settingsSaveRestartsOnNewPort()
{
    const quint16 newPort = HttpFixture::freePort();
    const HttpReply reply = m_fixture->curl(
        kAdmin, QStringLiteral("/admin-settings.htm"),
        post(QStringLiteral("bind-address=127.0.0.1&bind-port=%1&expires=900").arg(newPort)));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.body.contains(QStringLiteral("data-port=\"%1\"").arg(newPort).toUtf8()));
    QSettings &settings = m_fixture->host().settings();
    QCOMPARE(settings.value(QStringLiteral("admin/log-protocol")).toString(),
             QStringLiteral("false"));
    QCOMPARE(settings.value(QStringLiteral("admin/expires")).toString(), QStringLiteral("900"));
    // The restart follows the answer inside the dispatcher: it has run once curl returns here.
    QTRY_COMPARE_WITH_TIMEOUT(m_fixture->http().connectionState(), int(HttpListening), 30000);
    const QByteArray moved = RawClient::exchange(newPort, "GET /index.htm HTTP/1.1\r\n\r\n");
    QVERIFY2(moved.startsWith("HTTP/1.1 401"), moved.constData());
}

QTEST_GUILESS_MAIN(TestHttpModule)
#include "tst_httpmodule.moc"
