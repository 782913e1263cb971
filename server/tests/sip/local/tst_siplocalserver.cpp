#include "localserverfixture.h"

#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"
#include "testmain.h"

#include <QtTest>

namespace {

// Callee behaviours of callOutcome other than a final status.
enum CalleeAnswer { Cancel = -1, CancelThenAnswer = -2, NoAnswer = -3, Retransmit = -4 };

// A request of alice to $to; $totag makes it one inside a call.
const QString kRequest = "$method sip:$to@$server SIP/2.0\n"
                         "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                         "From: <sip:$user@$server>;tag=a1\nTo: <sip:$to@$server>$totag\n"
                         "Call-ID: $callid\nCSeq: $cseq $method\n$auth$extra"
                         "Content-Length: $len\n\n$body";
const QString kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                     "m=audio 30000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=sendrecv\r\n";

// The callee's answer to a request it received, with its own tag.
QString reply(const SipMessage &request, int code, const QString &extra = QString())
{
    const QString number = QString::number(code);
    QString text = "SIP/2.0 " + number + " " + reasonPhrase(statusFromCode(number)) + "\n";
    for (const QString &via : request.headerValues(SipHeader::Via))
        text += "Via: " + via + "\n";
    text += "From: " + request.headerValue(SipHeader::From)
        + "\nTo: " + request.headerValue(SipHeader::To) + ";tag=b1\nCall-ID: " + request.callId()
        + "\nCSeq: " + request.headerValue(SipHeader::CSeq) + "\n" + extra;
    const QString body = code == 200 && request.startLine.method == SipMethod::Invite ? kSdp : "";
    return text + (body.isEmpty() ? "" : "Content-Type: application/sdp\n")
        + QString("Content-Length: %1\n\n").arg(body.size()) + body;
}

} // namespace

class TestSipLocalServer : public QObject
{
    Q_OBJECT

    LocalHost *m_Host = nullptr;
    Sip *m_Sip = nullptr;
    quint16 m_Port = 0;
    // The fields of the last request authorized sent with credentials, to send it again.
    QHash<QString, QString> m_Sent;

    // alice sends the request and answers the digest challenge (an INVITE's with an ACK); the
    // final answer but to an INVITE.
    SipMessage authorized(RawPhone &alice, QHash<QString, QString> f)
    {
        f["cseq"] = "1";
        alice.send(kRequest, f);
        const SipMessage challenge = alice.next();
        if (statusCode(challenge) != 401)
            return challenge;
        QHash<QString, QString> ack { { "method", "ACK" }, { "cseq", "1" }, { "to", f["to"] } };
        ack["callid"] = f["callid"];
        ack["totag"] = ";tag=" + toTagOf(challenge);
        if (f["method"] == "INVITE")
            alice.send(kRequest, ack);
        const QString uri = QString("sip:%1@127.0.0.1:%2").arg(f["to"]).arg(m_Port);
        f["auth"] = alice.answer(challenge, f["method"], uri, "pw-alice");
        f["cseq"] = "2";
        f["branch"] = "z9hG4bK-" + f["callid"];
        m_Sent = f;
        alice.send(kRequest, f);
        return f["method"] == "INVITE" ? SipMessage() : alice.next();
    }

    // alice calls bob with digest; returns the INVITE bob's phone receives.
    SipMessage placeCall(RawPhone &alice, RawPhone &bob)
    {
        authorized(
            alice,
            { { "method", "INVITE" }, { "to", "bob" }, { "callid", "c1" }, { "body", kSdp } });
        return bob.next();
    }

private slots:
    void initTestCase()
    {
        static const QByteArray argv0 = QCoreApplication::applicationFilePath().toLocal8Bit();
        Env::initApplication(argv0.constData());
    }

    void init()
    {
        TimeScale::setFactor(1);
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
        delete m_Sip;
        delete m_Host;
    }

    // The configured expiry is granted for any asked; only an explicit 0 removes.
    void registration_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expires");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("registered");
        // clang-format off
        QTest::newRow("longer than configured") << "pw-alice" << "Expires: 3600\n" << 200 << true;
        QTest::newRow("no expiry") << "pw-alice" << "" << 200 << true;
        QTest::newRow("unreadable expiry") << "pw-alice" << "Expires: soon\n" << 200 << true;
        QTest::newRow("explicit zero") << "pw-alice" << "Expires: 0\n" << 200 << false;
        QTest::newRow("wrong password") << "pw-bob" << "Expires: 60\n" << 403 << false;
        // clang-format on
    }
    void registration()
    {
        QFETCH(QString, password);
        QFETCH(QString, expires);
        RawPhone alice("alice", m_Port);
        if (expires.startsWith("Expires: 0"))
            QCOMPARE(alice.registerWith(), 200);
        QTEST(alice.registerWith(password, expires), "status");
        QTEST(m_Sip->findUser("alice")->isRegistered(), "registered");
    }

    // Credentials count only for this system, for the request they came with, on a nonce it
    // gave out lately and never spent on another request.
    void digestMends_data()
    {
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("stale");
        // clang-format off
        QTest::newRow("issued nonce") << "" << "corvane" << "" << 200 << false;
        QTest::newRow("unknown nonce") << "0123" << "corvane" << "" << 401 << true;
        QTest::newRow("expired nonce") << "expired" << "corvane" << "" << 401 << true;
        QTest::newRow("other realm") << "" << "elsewhere" << "" << 403 << false;
        QTest::newRow("other uri") << "" << "corvane" << "sip:bob@127.0.0.1" << 403 << false;
        QTest::newRow("replayed") << "replay" << "corvane" << "" << 401 << true;
        // clang-format on
    }
    void digestMends()
    {
        QFETCH(QString, nonce);
        QFETCH(QString, realm);
        QFETCH(QString, uri);
        RawPhone alice("alice", m_Port);
        alice.send(RawPhone::kRegister);
        SipMessage challenge = alice.next();
        if (nonce == "expired") {
            TimeScale::setFactor(1000);
            QTest::qWait(100);
        } else if (nonce == "0123") {
            challenge.setHeader(SipHeader::WWWAuthenticate, "Digest nonce=\"0123\"");
        }
        const QString auth = alice.answer(
            challenge, "REGISTER", uri.isEmpty() ? QString("sip:127.0.0.1:%1").arg(m_Port) : uri,
            "pw-alice", realm);
        alice.send(RawPhone::kRegister, { { "auth", auth } });
        SipMessage answer = alice.next();
        if (nonce == "replay") {
            QCOMPARE(statusCode(answer), 200);
            alice.send(RawPhone::kRegister, { { "auth", auth } });
            answer = alice.next();
        }
        QTEST(statusCode(answer), "status");
        QTEST(answer.headerValue(SipHeader::WWWAuthenticate).contains("stale=true"), "stale");
    }

    // The table of nonces given out stays bounded: the oldest is forgotten first.
    void nonceTableBounded()
    {
        RawPhone alice("alice", m_Port);
        alice.send(RawPhone::kRegister);
        const SipMessage oldest = alice.next();
        for (int i = 0; i < SipNonceTable::Capacity; ++i) {
            alice.send(RawPhone::kRegister);
            QCOMPARE(statusCode(alice.next()), 401);
        }
        QCOMPARE(m_Sip->nonces().size(), SipNonceTable::Capacity);
        alice.send(RawPhone::kRegister,
                   { { "auth",
                       alice.answer(oldest, "REGISTER", QString("sip:127.0.0.1:%1").arg(m_Port),
                                    "pw-alice") } });
        QVERIFY(alice.next().headerValue(SipHeader::WWWAuthenticate).contains("stale=true"));
    }

    void outsideCalls_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("status");
        // clang-format off
        QTest::newRow("stray ACK creates nothing") << "ACK" << "alice" << 0;
        QTest::newRow("OPTIONS") << "OPTIONS" << "alice" << 405;
        QTest::newRow("INFO of no account") << "INFO" << "nobody" << 404;
        QTest::newRow("REGISTER of a group") << "REGISTER" << "group" << 404;
        QTest::newRow("BYE of no call") << "BYE" << "alice" << 403;
        // clang-format on
    }
    void outsideCalls()
    {
        QFETCH(QString, method);
        QFETCH(QString, from);
        QFETCH(int, status);
        RawPhone sender(from, m_Port);
        const int before = m_Sip->liveDialogs();
        sender.send(kRequest, { { "method", method }, { "to", "bob" }, { "callid", "o1" } });
        QCOMPARE(statusCode(sender.next(status == 0 ? 300 : 10000)), status);
        if (status == 0)
            QCOMPARE(m_Sip->liveDialogs(), before);
    }

    // In a running call, a request with the call's Call-ID and tags from another address is
    // challenged and ends nothing; the same from the caller's own leg is taken.
    void forgedInCall_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("calleeHears");
        // clang-format off
        QTest::newRow("BYE") << "BYE" << "" << "" << int(SipMethod::Bye);
        QTest::newRow("INFO") << "INFO" << "Content-Type: application/dtmf-relay\n"
                              << "Signal=1\r\nDuration=160\r\n" << int(SipMethod::Info);
        // clang-format on
    }
    void forgedInCall()
    {
        QFETCH(QString, method);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), mallory("alice", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage invite = placeCall(alice, bob);
        bob.send(reply(invite, 200));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        QCOMPARE(bob.next().startLine.method, SipMethod::Ack);
        QFETCH(QString, extra);
        QFETCH(QString, body);
        QHash<QString, QString> f { { "method", method }, { "callid", "c1" }, { "extra", extra } };
        f["to"] = "bob";
        f["totag"] = ";tag=" + toTagOf(ok);
        f["body"] = body;
        mallory.send(kRequest, f);
        QCOMPARE(statusCode(mallory.next()), 401);
        QVERIFY(!bob.next(300).isValid());
        alice.send(kRequest, f);
        QCOMPARE(statusCode(alice.next()), 200);
        const SipMessage heard = bob.next();
        QTEST(int(heard.startLine.method), "calleeHears");
        QCOMPARE(toTagOf(heard), QString("b1"));
    }

    // How the callee's answer, its silence or the caller's CANCEL reach both phones.
    void callOutcome_data()
    {
        QTest::addColumn<int>("calleeAnswer");
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QList<int>>("callerHears");
        QTest::addColumn<QList<int>>("calleeHears");
        const QList<int> ack { SipMethod::Ack }, none;
        const QList<int> cancelled { 200, 487 };
        // clang-format off
        QTest::newRow("busy") << 486 << "" << QList<int> { 486 } << ack;
        QTest::newRow("redirect to the same callee") << 302 << "bob" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to no account") << 302 << "nobody" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to carol") << 302 << "carol" << QList<int> { 180 } << ack;
        QTest::newRow("cancelled") << int(Cancel) << "" << cancelled << QList<int> { SipMethod::Cancel };
        // The callee answered as the CANCEL crossed: its call is ended with a BYE.
        QTest::newRow("answered after the cancel") << int(CancelThenAnswer) << "" << cancelled
            << QList<int> { SipMethod::Cancel, SipMethod::Ack, SipMethod::Bye };
        QTest::newRow("no answer") << int(NoAnswer) << "" << QList<int> { 408 } << none;
        // A repeated INVITE is answered from its transaction and forwarded no second time.
        QTest::newRow("retransmitted") << int(Retransmit) << "" << QList<int> { 180, 180 } << none;
        // clang-format on
    }
    void callOutcome()
    {
        QFETCH(int, calleeAnswer);
        QFETCH(QString, contact);
        QFETCH(QList<int>, callerHears);
        QFETCH(QList<int>, calleeHears);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), carol("carol", m_Port);
        for (RawPhone *phone : { &alice, &bob, &carol })
            QCOMPARE(phone->registerWith(), 200);
        if (calleeAnswer == NoAnswer)
            TimeScale::setFactor(10);
        const SipMessage invite = placeCall(alice, bob);
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        if (calleeAnswer == Cancel || calleeAnswer == CancelThenAnswer) {
            QHash<QString, QString> cancel = m_Sent;
            cancel["method"] = "CANCEL";
            cancel["auth"] = cancel["body"] = "";
            alice.send(kRequest, cancel);
        } else if (calleeAnswer == Retransmit) {
            bob.send(reply(invite, 180));
            alice.send(kRequest, m_Sent);
        } else if (calleeAnswer > 0) {
            bob.send(reply(invite, calleeAnswer,
                           contact.isEmpty() ? "" : "Contact: <sip:" + contact + "@127.0.0.1>\n"));
        }
        for (int code : callerHears)
            QCOMPARE(statusCode(alice.next(30000)), code);
        int previous = SipMethod::Invite;
        for (int method : calleeHears) {
            SipMessage heard = bob.next();
            // The callee's INVITE is repeated until it answers, and so is a CANCEL it leaves
            // unanswered: on a loaded machine a repeat comes before the next request.
            while (heard.startLine.method == SipMethod::Invite
                   || int(heard.startLine.method) == previous)
                heard = bob.next();
            previous = int(heard.startLine.method);
            QCOMPARE(int(heard.startLine.method), method);
            if (calleeAnswer == CancelThenAnswer && method == SipMethod::Cancel)
                bob.send(reply(invite, 200));
        }
        if (contact == "carol")
            QCOMPARE(carol.next().startLine.method, SipMethod::Invite);
        if (calleeAnswer == Retransmit)
            QVERIFY(!bob.next(300).isValid());
    }

    // MESSAGE is relayed to a registered phone only.
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
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const SipMessage answer = authorized(alice,
                                             { { "method", "MESSAGE" },
                                               { "to", to },
                                               { "callid", "msg-1" },
                                               { "extra", "Content-Type: text/plain\n" },
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
        // clang-format off
        QTest::newRow("transferee missing") << "nobody" << "bob" << ";tag=x" << 604;
        QTest::newRow("target missing") << "bob" << "nobody" << ";tag=x" << 404;
        QTest::newRow("outside a call") << "bob" << "bob" << "" << 481;
        QTest::newRow("no such call") << "bob" << "bob" << ";tag=x" << 481;
        // clang-format on
    }
    void referRefused()
    {
        QFETCH(QString, to);
        QFETCH(QString, referTo);
        QFETCH(QString, toTag);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        const QString extra = QString("Refer-To: <sip:%1@127.0.0.1:%2>\n").arg(referTo).arg(m_Port);
        QTEST(statusCode(authorized(alice,
                                    { { "method", "REFER" },
                                      { "to", to },
                                      { "totag", toTag },
                                      { "extra", extra },
                                      { "callid", "refer-1" } })),
              "status");
    }

    // An attended transfer names another call of the referrer's, with both tags; phones put it
    // among the Refer-To URI's headers.
    void attendedReferRefused_data()
    {
        QTest::addColumn<QString>("replaces");
        QTest::addColumn<int>("status");
        QTest::newRow("no from-tag") << "c1%3Bto-tag%3Dx" << 400;
        QTest::newRow("the call itself") << "c1%3Bto-tag%3Dx%3Bfrom-tag%3Dy" << 503;
        QTest::newRow("no such call") << "c9%3Bto-tag%3Dx%3Bfrom-tag%3Dy" << 503;
    }
    void attendedReferRefused()
    {
        QFETCH(QString, replaces);
        RawPhone alice("alice", m_Port), bob("bob", m_Port);
        QCOMPARE(alice.registerWith(), 200);
        QCOMPARE(bob.registerWith(), 200);
        QVERIFY(placeCall(alice, bob).isValid());
        const QString extra
            = QString("Refer-To: <sip:bob@127.0.0.1:%1?Replaces=%2>\n").arg(m_Port).arg(replaces);
        QTEST(statusCode(authorized(alice,
                                    { { "method", "REFER" },
                                      { "to", "bob" },
                                      { "totag", ";tag=b1" },
                                      { "extra", extra },
                                      { "callid", "c1" } })),
              "status");
    }
};

TARNHALL_TEST_MAIN(TestSipLocalServer)
#include "tst_siplocalserver.moc"
