// The web module inside a real Core, as the service runs it. Headless Chromium administers SIP
// (browser.py, role "sip"): settings saves restart the SIP and door-device modules before their
// answer, accounts and groups are managed in both modes, and a baresip phone registers with an
// account made in the browser. Then a stop of the whole system that lands between a saved web
// setting and the restart it asks for ends everything cleanly. And saves of every module's
// settings that arrive during a restart are all answered.
#include "../toolkit.h"
#include "core/core.h"
#include "core/env.h"
#include "coreharness.h"
#include "httpfixture.h"
#include "rawclient.h"
#include "sip/sipuser.h"
#include "testmain.h"

#include <QtTest>

#include <memory>
#include <utility>
#include <vector>

namespace {

bool webListening(CoreHarness &harness)
{
    int state = -2;
    harness.inCoreThread([&] { state = harness.core()->http().connectionState(); });
    return state == HttpListening;
}

} // namespace

class TestSipBrowser : public QObject
{
    Q_OBJECT
private slots:
    void administerSip();
    void savesInsideARestartAllAnswered_data();
    void savesInsideARestartAllAnswered();
};

void TestSipBrowser::administerSip()
{
    if (!QFile::exists("/usr/bin/chromium"))
        QSKIP("chromium is not installed");
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    QFile::remove(Env::textLogPath());
    QFile::remove(Env::configFilePath("sip-users"));
    const quint16 port = HttpFixture::freePort();
    const quint16 sipPort = HttpFixture::freeSipPort();
    QSettings main(Env::configFilePath(QCoreApplication::applicationName()), QSettings::IniFormat);
    main.clear();
    // Gateway mode, once the browser switches to it: a server on loopback that does not answer,
    // reached from a port the system picks.
    HttpFixture::write(main,
                       { { "admin/bind-address", "127.0.0.1" },
                         { "admin/bind-port", port },
                         { "sip/standalone-bind-address", "127.0.0.1" },
                         { "sip/standalone-bind-port", sipPort },
                         { "sip/server-address", "127.0.0.1" },
                         { "sip/server-port", HttpFixture::freeUdpPort() },
                         { "sip/server-bind-random", "true" },
                         { "velk/bind-address", "127.0.0.1" },
                         { "velk/bind-port", HttpFixture::freeUdpPort() } });

    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    QTRY_VERIFY_WITH_TIMEOUT(webListening(harness), 30000);

    QProcess browser;
    browser.setProcessChannelMode(QProcess::MergedChannels);
    browser.start(
        "/usr/bin/python3",
        { QFINDTESTDATA("browser.py"), QString::number(port), "sip", QString::number(sipPort) });
    QVERIFY(browser.waitForFinished(400000));
    const QByteArray output = browser.readAll();
    QVERIFY2(browser.exitStatus() == QProcess::NormalExit && browser.exitCode() == 0,
             output.right(900).constData());

    // Start, settings save and mode switch: three starts of both modules, each answered after.
    QCOMPARE(CoreHarness::logCount("[SIP]: Initialization"), 3);
    QCOMPARE(CoreHarness::logCount("[VELK]: Initialization"), 3);
    QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
    users.setIniCodec("UTF-8");
    QCOMPARE(users.childGroups(), (QStringList { "Door1", "Hall", "Phone1", "gwgroup" }));
    QCOMPARE(users.value("Hall/group-list").toString(), QStringLiteral("Door1"));
    QCOMPARE(users.value("Phone1/display-name").toString(), QStringLiteral("Телефон <1>"));
    QCOMPARE(users.value("Phone1/sip-standalone-login").toString(), QStringLiteral("phone1"));
    QCOMPARE(users.value("gwgroup/type-user").toString(), QStringLiteral("2"));
    // In the store as well, and in gateway mode now.
    bool inStore = false;
    harness.inCoreThread([&] {
        Sip &sip = harness.core()->sip();
        inStore = sip.findUser("Phone1") && sip.findUser("gwgroup") && !sip.findUser("x2acc")
            && !sip.isStandalone();
    });
    QVERIFY(inStore);

    // A saved web setting restarts the module about a second after its answer: the stop of
    // the whole system lands inside that window.
    QByteArray status;
    QVERIFY(
        runTool("curl",
                { "-s", "-w", "%{http_code}", "--digest", "-u", "admin:tallowfin", "--data-binary",
                  QStringLiteral("bind-address=127.0.0.1&bind-port=%1&expires=600").arg(port),
                  QStringLiteral("http://127.0.0.1:%1/admin-settings.htm").arg(port) },
                nullptr, &status, 30000));
    QCOMPARE(status.right(3), QByteArray("200"));
    QVERIFY(harness.stopAndWait());
    QCOMPARE(CoreHarness::logCount("[HTTP]: Initialization"), 1);
    QCOMPARE(CoreHarness::logCount("[CORE]: Stopped"), 1);
}

// The first page's save is posted, the others as its restart begins: all are answered, and
// the web module restarts after the others' answers.
void TestSipBrowser::savesInsideARestartAllAnswered_data()
{
    QTest::addColumn<QStringList>("pages");
    const QString door = "/velk-settings.htm", sip = "/sip-settings.htm",
                  web = "/admin-settings.htm";
    QTest::newRow("web in a door save's") << QStringList { door, web };
    QTest::newRow("web in a SIP save's") << QStringList { sip, web };
    QTest::newRow("door, web and SIP in a door save's") << QStringList { door, door, web, sip };
}

void TestSipBrowser::savesInsideARestartAllAnswered()
{
    QFETCH(QStringList, pages);
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    QFile::remove(Env::textLogPath());
    const quint16 port = HttpFixture::freePort();
    QSettings main(Env::configFilePath(QCoreApplication::applicationName()), QSettings::IniFormat);
    main.clear();
    HttpFixture::write(main,
                       { { "admin/bind-address", "127.0.0.1" }, { "admin/bind-port", port } });
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    QTRY_VERIFY_WITH_TIMEOUT(webListening(harness), 30000);

    const QMap<QString, QString> forms { { "/velk-settings.htm", "log-protocol=false" },
                                         { "/sip-settings.htm", "log-sip=false" },
                                         { "/admin-settings.htm", "expires=600" } };
    std::vector<std::unique_ptr<RawClient>> clients;
    QByteArrayList requests;
    for (const QString &page : pages) {
        const QString auth
            = HttpFixture::digest("admin", harness.core()->http().realm(), "tallowfin", "POST",
                                  page, HttpFixture::nonce(port));
        requests << QStringLiteral("POST %1 HTTP/1.1\r\nAuthorization: %2\r\nContent-Length: "
                                   "%3\r\n\r\n%4")
                        .arg(page, auth, QString::number(forms[page].size()), forms[page])
                        .toUtf8();
        clients.emplace_back(new RawClient(port));
        QVERIFY(clients.back()->waitConnected());
    }
    QObject context;
    QObject::connect(Env::instance(), &Env::viewLog, &context, [&](const QString &line) {
        for (int i = 1; i < pages.size() && line.contains("[CORE]: Restarting SIP"); ++i)
            clients[i]->send(std::exchange(requests[i], QByteArray()));
    });
    clients[0]->send(requests[0]);
    for (int i = 0; i < pages.size(); ++i) {
        QVERIFY(clients[i]->waitClosed(120000));
        const HttpReply reply = HttpFixture::parse(clients[i]->buffer());
        const bool web = pages[i] == "/admin-settings.htm";
        QCOMPARE(reply.status, web ? 200 : 302);
        QCOMPARE(reply.headers.value("location"), web ? QString() : pages[i]);
    }
    QTRY_VERIFY_WITH_TIMEOUT(CoreHarness::logCount("[HTTP]: Initialization") == 2, 30000);
    const QString log = CoreHarness::textLog();
    QVERIFY(log.indexOf("[HTTP]: Deinit") > log.lastIndexOf("SIP and VELK moduls restarted"));
    QTRY_VERIFY_WITH_TIMEOUT(webListening(harness), 30000);
    QVERIFY(harness.stopAndWait());
}

TARNHALL_TEST_MAIN(TestSipBrowser)
#include "tst_sipbrowser.moc"
