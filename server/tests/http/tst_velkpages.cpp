// The door-device and status pages through curl: device numbers as forms give them, actions
// that only an administrator may take, and values that must stay text.
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "httpfixture.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"

#include <QtTest>

namespace {

const QString kAdmin = QStringLiteral("admin:tallowfin");
const QString kAnna = QStringLiteral("anna:anna-pw");

QStringList post(const QString &form)
{
    return { QStringLiteral("--data-binary"), form };
}

} // namespace

class TestVelkPages : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void deviceNumbers_data();
    void deviceNumbers();
    void statusActions_data();
    void statusActions();
    void valuesStayText();
    void statusRefresh_data();
    void statusRefresh();

private:
    QStringList groups() { return m_velk->devicesFile().childGroups(); }

    HttpFixture *m_fixture = nullptr;
    Sip *m_sip = nullptr;
    Velk *m_velk = nullptr;
};

void TestVelkPages::init()
{
    QFile::remove(Env::configFilePath(QStringLiteral("sip-users")));
    QFile::remove(Env::configFilePath(QStringLiteral("velk-devices")));
    m_fixture = new HttpFixture;
    m_sip = new Sip(&m_fixture->host());
    m_velk = new Velk(&m_fixture->host());
    QVERIFY(m_fixture->start());
}

void TestVelkPages::cleanup()
{
    delete m_velk;
    delete m_sip;
    delete m_fixture;
}

void TestVelkPages::deviceNumbers_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("stored"); // the group written; empty when refused
    QTest::newRow("plain") << "new"
                           << "7"
                           << "7";
    QTest::newRow("leading zeros stored as the number") << "new"
                                                        << "0012"
                                                        << "12";
    QTest::newRow("zero") << "new"
                          << "0"
                          << "0";
    QTest::newRow("highest") << "new"
                             << "65534"
                             << "65534";
    QTest::newRow("no-device number") << "new"
                                      << "65535"
                                      << "";
    QTest::newRow("beyond 16 bits") << "new"
                                    << "65543"
                                    << "";
    QTest::newRow("sign") << "new"
                          << "%2B7"
                          << "";
    QTest::newRow("negative") << "new"
                              << "-1"
                              << "";
    QTest::newRow("hexadecimal") << "new"
                                 << "0x10"
                                 << "";
    QTest::newRow("inner blank") << "new"
                                 << "1%202"
                                 << "";
    QTest::newRow("empty") << "new"
                           << ""
                           << "";
    QTest::newRow("taken, written otherwise") << "new"
                                              << "05"
                                              << "";
    QTest::newRow("edit found by its number") << "edit=5"
                                              << "005"
                                              << "5";
    QTest::newRow("edit of an unknown number") << "edit=6"
                                               << "6"
                                               << "";
}

void TestVelkPages::deviceNumbers()
{
    QFETCH(QString, query);
    QFETCH(QString, id);
    QFETCH(QString, stored);
    m_velk->saveDevice(5, { { QStringLiteral("description"), QStringLiteral("old") } }, false,
                       false);
    const HttpReply reply
        = m_fixture->curl(kAdmin, QStringLiteral("/velk-devices.htm?") + query,
                          post(QStringLiteral("device-id=%1&description=new").arg(id)));
    QStringList expected { QStringLiteral("5") };
    if (!stored.isEmpty() && !expected.contains(stored))
        expected << stored;
    QStringList actual = groups();
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    QCOMPARE(actual, expected);
    if (stored.isEmpty()) {
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.contains("data-error=\""));
        QCOMPARE(m_velk->devicesFile().value(QStringLiteral("5/description")).toString(),
                 QStringLiteral("old"));
        return;
    }
    QCOMPARE(reply.status, 302);
    QCOMPARE(m_velk->devicesFile().value(stored + QStringLiteral("/description")).toString(),
             QStringLiteral("new"));
    QVERIFY(m_velk->findDeviceByName(stored));
}

void TestVelkPages::statusActions_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<QString>("extra"); // what the request claims beside the action
    QTest::addColumn<bool>("acts");
    QTest::newRow("admin") << kAdmin << "" << true;
    QTest::newRow("plain user") << kAnna << "" << false;
    QTest::newRow("plain user claiming to be admin")
        << kAnna << "&is-admin=true&__http_user_admin=1&__is_admin__=true" << false;
}

void TestVelkPages::statusActions()
{
    QFETCH(QString, credentials);
    QFETCH(QString, extra);
    QFETCH(bool, acts);
    QVERIFY(m_sip->saveUser(QStringLiteral("alice"), { { QStringLiteral("type-user"), "1" } }));
    SipUser *alice = m_sip->findUser(QStringLiteral("alice"));
    QVERIFY(alice);
    alice->setRegistered(true);
    QPointer<ConversationThread> call = ConversationThread::create(
        40000, 41000, 1, false, QStringLiteral("c0ffee"), &m_fixture->host());
    QVERIFY(call);

    for (const QString &page : { QStringLiteral("/index.htm"), QStringLiteral("/status.htm") }) {
        const HttpReply reply = m_fixture->curl(
            credentials, page + QStringLiteral("?timeout=7"),
            post(QStringLiteral("unregister_sip=alice&close_call=c0ffee") + extra));
        QCOMPARE(reply.status, 302);
        QCOMPARE(reply.headers.value(QStringLiteral("location")),
                 page == QLatin1String("/index.htm") ? page : page + QStringLiteral("?timeout=7"));
        // The tables offer the buttons to the administrator only.
        const HttpReply shown = m_fixture->curl(credentials, QStringLiteral("/index.htm"));
        QCOMPARE(shown.body.contains("name=\"unregister_sip\""), acts);
    }
    QCOMPARE(alice->isRegistered(), !acts);
    QCOMPARE(call.isNull(), acts);
    if (call) {
        emit call->queryTerminate();
        QTRY_VERIFY_WITH_TIMEOUT(call.isNull(), 30000);
    }
}

void TestVelkPages::valuesStayText()
{
    const QString evil = QStringLiteral("<b id=x>\"q'&amp;");
    m_velk->saveDevice(3,
                       { { QStringLiteral("description"), evil },
                         { QStringLiteral("button-account"), evil },
                         { QStringLiteral("dpm-mode-list-code"), QStringLiteral("a,b") },
                         { QStringLiteral("a_code"), QStringLiteral("<q'\"&") },
                         { QStringLiteral("a_value"), QStringLiteral("101") } },
                       false, false);
    QVERIFY(m_sip->saveUser(
        QStringLiteral("<i>"),
        { { QStringLiteral("type-user"), "1" }, { QStringLiteral("display-name"), evil } }));
    for (const QString &path :
         { QStringLiteral("/velk-module.htm"), QStringLiteral("/velk-devices.htm"),
           QStringLiteral("/velk-devices.htm?edit=3"), QStringLiteral("/index.htm"),
           QStringLiteral("/status.htm?timeout=5"), QStringLiteral("/sys-info.htm") }) {
        const HttpReply reply = m_fixture->curl(kAdmin, path);
        QCOMPARE(reply.status, 200);
        QVERIFY2(!reply.body.contains("<b id=x>") && !reply.body.contains("<i>"), qPrintable(path));
        if (path != QLatin1String("/sys-info.htm"))
            QVERIFY2(reply.body.contains("&lt;b id=x&gt;&quot;q&#39;&amp;amp;"), qPrintable(path));
    }
    QVERIFY(m_fixture->curl(kAdmin, QStringLiteral("/velk-devices.htm?edit=3"))
                .body.contains("value=\"&lt;q&#39;&quot;&amp;\""));
    // The error page shows the posted values as text too.
    const HttpReply error
        = m_fixture->curl(kAdmin, QStringLiteral("/velk-devices.htm?new"),
                          post(QStringLiteral("device-id=3&description=%3Cb%20id%3Dx%3E")));
    QVERIFY(error.body.contains("already_exist"));
    QVERIFY(!error.body.contains("<b id=x>"));
}

void TestVelkPages::statusRefresh_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shown"); // the interval in the page, or the redirect target
    QTest::newRow("interval") << "?timeout=10" << 200 << "content=\"10\"";
    QTest::newRow("no number") << "?timeout=abc" << 302 << "/status.htm?timeout=5";
    QTest::newRow("zero") << "?timeout=0" << 302 << "/status.htm?timeout=5";
    QTest::newRow("none") << "" << 302 << "/status.htm?timeout=5";
    QTest::newRow("logout") << "?logout" << 302 << "/401.htm";
}

void TestVelkPages::statusRefresh()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(QString, shown);
    const HttpReply reply = m_fixture->curl(kAdmin, QStringLiteral("/status.htm") + query);
    QCOMPARE(reply.status, status);
    if (status == 200)
        QVERIFY(reply.body.contains(shown.toUtf8()));
    else
        QCOMPARE(reply.headers.value(QStringLiteral("location")), shown);
}

QTEST_GUILESS_MAIN(TestVelkPages)
#include "tst_velkpages.moc"
