// MESSAGE and REFER from phones written by hand, against the local server on loopback.
#include "localserverfixture.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/sip.h"

#include <QtTest>

namespace {

// A request outside a call ($totag empty) or inside one.
const QString kRequest = "$method sip:$to@$server SIP/2.0\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                         "From: <sip:$user@$server>;tag=m1\nTo: <sip:$to@$server>$totag\n"
                         "Call-ID: $callid\nCSeq: $cseq $method\n$extra$auth"
                         "Content-Type: text/plain\nContent-Length: $len\n\n$body";

} // namespace

class TestSipLocalMessage : public QObject
{
    Q_OBJECT

    LocalHost *m_Host = nullptr;
    Sip *m_Sip = nullptr;
    quint16 m_Port = 0;

    // Sends the request, answers the digest challenge and returns the final answer.
    SipMessage authorized(RawPhone &phone, const QString &password, QHash<QString, QString> f)
    {
        f.insert("auth", "");
        phone.send(kRequest, f);
        const SipMessage challenge = phone.next();
        if (statusCode(challenge) != 401)
            return challenge;
        f.insert("auth",
                 phone.answer(challenge, f.value("method"),
                              QString("sip:%1@127.0.0.1:%2").arg(f.value("to")).arg(m_Port),
                              password));
        f.remove("cseq");
        f.remove("branch");
        phone.send(kRequest, f);
        return phone.next();
    }

private slots:
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
    }

    void init()
    {
        m_Host = new LocalHost;
        m_Port = writeLocalServerSettings(*m_Host);
        m_Sip = new Sip(m_Host);
        m_Sip->start();
        QTRY_COMPARE_WITH_TIMEOUT(m_Sip->connectionState(), SipConnected, 10000);
    }

    void cleanup()
    {
        TimeScale::setFactor(50);
        m_Sip->stop();
        QVERIFY(m_Sip->waitSeconds(20));
        TimeScale::setFactor(1);
        delete m_Sip;
        delete m_Host;
    }

    void message_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("status");
        QTest::newRow("registered phone") << "bob" << 200;
        QTest::newRow("no such account") << "nobody" << 404;
        QTest::newRow("not registered") << "carol" << 503;
    }

    void message()
    {
        QFETCH(QString, to);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith("pw-alice"), 200);
        QCOMPARE(bob.registerWith("pw-bob"), 200);
        const SipMessage answer = authorized(alice, "pw-alice",
                                             { { "method", "MESSAGE" },
                                               { "to", to },
                                               { "totag", "" },
                                               { "extra", "" },
                                               { "callid", "msg-1" },
                                               { "body", "hello" } });
        QTEST(statusCode(answer), "status");
        if (to != "bob")
            return;
        const SipMessage relayed = bob.next();
        QCOMPARE(relayed.cseqMethod(), SipMethod::Message);
        QCOMPARE(relayed.from().address.user, QString("alice"));
        QCOMPARE(relayed.body, QByteArray("hello"));
        QCOMPARE(relayed.contentType(), QString("text/plain"));
    }

    void referRefused_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("referTo");
        QTest::addColumn<QString>("toTag");
        QTest::addColumn<int>("status");
        QTest::newRow("transferee missing") << "nobody"
                                            << "bob"
                                            << ";tag=x" << 604;
        QTest::newRow("target missing") << "bob"
                                        << "nobody"
                                        << ";tag=x" << 404;
        QTest::newRow("outside a call") << "bob"
                                        << "bob"
                                        << "" << 481;
        QTest::newRow("no such call") << "bob"
                                      << "bob"
                                      << ";tag=x" << 481;
    }

    void referRefused()
    {
        QFETCH(QString, to);
        QFETCH(QString, referTo);
        QFETCH(QString, toTag);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith("pw-alice"), 200);
        QCOMPARE(bob.registerWith("pw-bob"), 200);
        const QString extra = QString("Refer-To: <sip:%1@127.0.0.1:%2>\n").arg(referTo).arg(m_Port);
        const SipMessage answer = authorized(alice, "pw-alice",
                                             { { "method", "REFER" },
                                               { "to", to },
                                               { "totag", toTag },
                                               { "extra", extra },
                                               { "callid", "refer-1" },
                                               { "body", "" } });
        QTEST(statusCode(answer), "status");
    }
};

QTEST_GUILESS_MAIN(TestSipLocalMessage)
#include "tst_siplocalmessage.moc"
