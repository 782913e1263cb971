// The web module inside a real Core, as the service runs it. Headless Chromium administers SIP
// (browser.py, role "sip"): settings saves restart the SIP and door-device modules before their
// answer, accounts and groups are managed in both modes, and a baresip phone registers with an
// account made in the browser. Then a stop of the whole system that lands between a saved web
// setting and the restart it asks for ends everything cleanly.
#include "../toolkit.h"
#include "core/core.h"
#include "core/env.h"
#include "coreharness.h"
#include "httpfixture.h"
#include "sip/sipuser.h"
#include "testmain.h"

#include <QtTest>

class TestSipBrowser : public QObject
{
    Q_OBJECT
private slots:
    void administerSip();
};

void TestSipBrowser::administerSip()
{
    if (!QFile::exists("/usr/bin/chromium"))
        QSKIP("chromium is not installed");
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    QFile::remove(Env::textLogPath());
    QFile::remove(Env::configFilePath("sip-users"));
    const quint16 port = HttpFixture::freePort();
    const quint16 sipPort = HttpFixture::freeUdpPort();
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
    auto listening = [&] {
        int state = -2;
        harness.inCoreThread([&] { state = harness.core()->http().connectionState(); });
        return state == HttpListening;
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 30000);

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

TARNHALL_TEST_MAIN(TestSipBrowser)
#include "tst_sipbrowser.moc"
