// The door-device and status pages through curl: device numbers as forms give them, actions
// that only an administrator may take, and values that must stay text.
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "httpfixture.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "velk/velk.h"

#include <QtTest>

namespace {

struct Row
{
    const char *name;
    const char *a;
    const char *b;
    const char *c;
};

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

private:
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
    QTest::addColumn<QString>("stored"); // the group written beside device 5; empty: refused
    const Row rows[] = {
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
    for (const Row &row : rows)
        QTest::newRow(row.name) << row.a << row.b << row.c;
}

void TestVelkPages::deviceNumbers()
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

void TestVelkPages::statusActions_data()
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

void TestVelkPages::statusActions()
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

void TestVelkPages::valuesStayText()
{
    const QString evil = "<b id=x>\"q'&amp;";
    m_velk->saveDevice(3,
                       { { "description", evil },
                         { "button-account", evil },
                         { "dpm-mode-list-code", "a" },
                         { "a_code", "<q'\"&" },
                         { "a_value", "101" } },
                       false, false);
    QVERIFY(m_sip->saveUser("<i>", { { "type-user", "1" }, { "display-name", evil } }));
    for (const char *path : { "/velk-module.htm", "/velk-devices.htm", "/velk-devices.htm?edit=3",
                              "/index.htm", "/status.htm?timeout=5", "/sys-info.htm" }) {
        const QByteArray body = m_fixture->curl(kAdmin, path).body;
        QVERIFY2(!body.contains("<b id=x>") && !body.contains("<i>"), path);
        QVERIFY2(body.contains("&lt;b id=x&gt;&quot;q&#39;&amp;amp;")
                     || QByteArray(path).startsWith("/sys"),
                 path);
    }
    QVERIFY(m_fixture->curl(kAdmin, "/velk-devices.htm?edit=3")
                .body.contains("value=\"&lt;q&#39;&quot;&amp;\""));
    // The error page shows the posted values as text too.
    const QByteArray error
        = m_fixture
              ->post(kAdmin, "/velk-devices.htm?new", "device-id=3&description=%3Cb%20id%3Dx%3E")
              .body;
    QVERIFY(error.contains("already_exist") && !error.contains("<b id=x>"));
}

QTEST_GUILESS_MAIN(TestVelkPages)
#include "tst_velkpages.moc"
