// The web module inside a real Core: saving the web settings restarts it after the answer,
// and a stop of the whole system that arrives in that window ends everything cleanly.
#include "core/core.h"
#include "core/env.h"
#include "coreharness.h"
#include "httpfixture.h"

#include <QtTest>

class TestHttpCore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void stopInsideTheRestartWindow();

private:
    quint16 m_port = 0;
};

void TestHttpCore::initTestCase()
{
    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    QFile::remove(Env::textLogPath());
    m_port = HttpFixture::freePort();
    QSettings main(Env::configFilePath(QCoreApplication::applicationName()), QSettings::IniFormat);
    main.setValue(QStringLiteral("admin/bind-address"), QStringLiteral("127.0.0.1"));
    main.setValue(QStringLiteral("admin/bind-port"), m_port);
}

void TestHttpCore::stopInsideTheRestartWindow()
{
    CoreHarness harness;
    QVERIFY(harness.startAndWaitForModules());
    auto listening = [&] {
        int state = -2;
        harness.inCoreThread([&] { state = harness.core()->http().connectionState(); });
        return state == HttpListening;
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 30000);

    QProcess curl;
    curl.start(QStringLiteral("curl"),
               { QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                 QStringLiteral("-w"), QStringLiteral("%{http_code}"), QStringLiteral("--digest"),
                 QStringLiteral("-u"), QStringLiteral("admin:tallowfin"),
                 QStringLiteral("--data-binary"),
                 QStringLiteral("bind-address=127.0.0.1&bind-port=%1&expires=600").arg(m_port),
                 QStringLiteral("http://127.0.0.1:%1/admin-settings.htm").arg(m_port) });
    QVERIFY(curl.waitForFinished(30000));
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("200"));
    // The module now waits about a second before its restart: the stop lands inside.
    QVERIFY(harness.stopAndWait());
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[HTTP]: Initialization")), 1);
    QCOMPARE(CoreHarness::logCount(QStringLiteral("[CORE]: Stopped")), 1);
}

QTEST_GUILESS_MAIN(TestHttpCore)
#include "tst_httpcore.moc"
