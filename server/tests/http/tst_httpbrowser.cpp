#include "httpfixture.h"

#include <QtTest>

// Headless Chromium logs in, walks every page and submits the forms (browser.py).
class TestHttpBrowser : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void roles_data();
    void roles();

private:
    QString m_script;
};

void TestHttpBrowser::initTestCase()
{
    if (!QFile::exists(QStringLiteral("/usr/bin/chromium")))
        QSKIP("chromium is not installed");
    m_script = QFINDTESTDATA("browser.py");
    QVERIFY(!m_script.isEmpty());
}

void TestHttpBrowser::roles_data()
{
    QTest::addColumn<QString>("role");
    QTest::newRow("admin") << "admin";
    QTest::newRow("plain user") << "user";
}

void TestHttpBrowser::roles()
{
    QFETCH(QString, role);
    HttpFixture fixture;
    QVERIFY(fixture.start());
    QProcess browser;
    browser.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args { m_script, QString::number(fixture.port()), role };
    const QString shot = qEnvironmentVariable("TARNHALL_SCREENSHOT");
    if (!shot.isEmpty())
        args << shot;
    browser.start(QStringLiteral("/usr/bin/python3"), args);
    // The module answers from this thread's event loop while the browser works.
    QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QProcess::NotRunning, 240000);
    const QByteArray output = browser.readAll();
    QVERIFY2(browser.exitStatus() == QProcess::NormalExit && browser.exitCode() == 0,
             output.constData());
    if (role != QLatin1String("admin"))
        return;

    QSettings users(HttpFixture::usersFile(), QSettings::IniFormat);
    users.setIniCodec("UTF-8");
    QCOMPARE(users.value(QStringLiteral("bob/password")).toString(), QStringLiteral("q\"uo'te<&>"));
    QCOMPARE(users.value(QStringLiteral("bob/display-name")).toString(), QStringLiteral("Боб <b>"));
    QCOMPARE(users.value(QStringLiteral("bob/is-admin")).toString(), QStringLiteral("false"));
    QSettings &settings = fixture.host().settings();
    QCOMPARE(settings.value(QStringLiteral("admin/expires")).toString(), QStringLiteral("700"));
    QCOMPARE(settings.value(QStringLiteral("admin/log-protocol")).toString(),
             QStringLiteral("false"));
    QCOMPARE(settings.value(QStringLiteral("admin/bind-port")).toInt(), int(fixture.port()));
}

QTEST_GUILESS_MAIN(TestHttpBrowser)
#include "tst_httpbrowser.moc"
