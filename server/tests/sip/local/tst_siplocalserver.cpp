#include "localserverfixture.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/sip.h"
#include "sip/sipdialog.h"
#include "sip/sipuser.h"

#include <QtTest>

namespace {

const QString kRegister = "REGISTER sip:$server SIP/2.0\n"
                          "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                          "From: <sip:$user@$server>;tag=r1\nTo: <sip:$user@$server>\n"
                          "Call-ID: reg-$user\nCSeq: $cseq REGISTER\n"
                          "Contact: <sip:$user@127.0.0.1:$port>\nExpires: 60\n$auth"
                          "Content-Length: 0\n\n";
const QString kInvite = "INVITE sip:$to@$server SIP/2.0\n"
                        "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                        "From: <sip:$user@$server>;tag=a1\nTo: <sip:$to@$server>\n"
                        "Call-ID: $callid\nCSeq: $cseq INVITE\n"
                        "Contact: <sip:$user@127.0.0.1:$port>\n$auth"
                        "Content-Type: application/sdp\nContent-Length: $len\n\n$body";
const QString kSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                     "m=audio 30000 RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\n"
                     "a=rtpmap:0 PCMU/8000\r\na=sendrecv\r\n";
// A request inside the call of an INVITE: Call-ID and tags as that INVITE left them.
const QString kInCall = "$method sip:$to@$server SIP/2.0\n"
                        "Via: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
                        "From: <sip:$user@$server>;tag=a1\nTo: <sip:$to@$server>;tag=$totag\n"
                        "Call-ID: $callid\nCSeq: $cseq $method\n$extra"
                        "Content-Length: $len\n\n$body";

// Callee behaviours of callOutcome other than a final status.
enum CalleeAnswer { Cancel = -1, CancelThenAnswer = -2, NoAnswer = -3, Retransmit = -4 };

const QString kAck
    = "ACK sip:$to@$server SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:$port;branch=$branch\n"
      "From: <sip:$user@$server>;tag=a1\nTo: <sip:$to@$server>;tag=$totag\n"
      "Call-ID: $callid\nCSeq: $cseq ACK\nContent-Length: 0\n\n";

// The callee's answer to an INVITE it received, with its own tag.
QString reply(const SipMessage &request, int code, const QString &extra = QString(),
              const QString &body = QString())
{
    QString text = QString("SIP/2.0 %1 %2\n")
                       .arg(code)
                       .arg(reasonPhrase(statusFromCode(QString::number(code))));
    for (const QString &via : request.headerValues(SipHeader::Via))
        text += "Via: " + via + "\n";
    text += "From: " + request.headerValue(SipHeader::From) + "\n";
    text += "To: " + request.headerValue(SipHeader::To) + ";tag=b1\n";
    text += "Call-ID: " + request.callId() + "\n";
    text += "CSeq: " + request.headerValue(SipHeader::CSeq) + "\n" + extra;
    text += QString("Content-Length: %1\n\n").arg(body.toUtf8().size()) + body;
    return text;
}

} // namespace

class TestSipLocalServer : public QObject
{
    Q_OBJECT

    LocalHost *m_Host = nullptr;
    Sip *m_Sip = nullptr;
    quint16 m_Port = 0;
    // The fields of the last INVITE placeCall sent, to send it again.
    QHash<QString, QString> m_Invite;

    QString serverUri() const { return QString("sip:127.0.0.1:%1").arg(m_Port); }

    // alice calls bob, authenticated; bob's phone holds the forwarded INVITE.
    SipMessage placeCall(RawPhone &alice, RawPhone &bob, const QString &callId)
    {
        QHash<QString, QString> f { { "to", "bob" }, { "callid", callId }, { "body", kSdp } };
        f.insert("auth", "");
        f.insert("cseq", "1");
        alice.send(kInvite, f);
        const SipMessage challenge = alice.next();
        if (statusCode(challenge) != 401)
            return SipMessage();
        f.insert("totag", toTagOf(challenge));
        alice.send(kAck, f);
        f.insert("auth",
                 alice.answer(challenge, "INVITE", QString("sip:bob@127.0.0.1:%1").arg(m_Port),
                              "pw-alice"));
        f.insert("cseq", "2");
        f.insert("branch", "z9hG4bK-" + callId);
        m_Invite = f;
        alice.send(kInvite, f);
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

    void registration_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("expires");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("registered");
        QTest::newRow("longer than configured") << "pw-alice"
                                                << "Expires: 3600\n"
                                                << 200 << true;
        QTest::newRow("no expiry gets the configured one") << "pw-alice"
                                                           << "" << 200 << true;
        QTest::newRow("unreadable expiry too") << "pw-alice"
                                               << "Expires: soon\n"
                                               << 200 << true;
        QTest::newRow("explicit zero removes") << "pw-alice"
                                               << "Expires: 0\n"
                                               << 200 << false;
        QTest::newRow("wrong password") << "pw-bob"
                                        << "Expires: 60\n"
                                        << 403 << false;
    }
    void registration()
    {
        QFETCH(QString, password);
        QFETCH(QString, expires);
        QFETCH(int, status);
        QFETCH(bool, registered);
        RawPhone alice("alice", m_Port);
        if (expires.startsWith("Expires: 0"))
            QCOMPARE(alice.registerWith("pw-alice"), 200);
        QCOMPARE(alice.registerWith(password, expires), status);
        QCOMPARE(m_Sip->findUser("alice")->isRegistered(), registered);
    }

    // Credentials count only for this system, for the request they came with, on a nonce it
    // gave out lately and never spent on another request.
    void digestMends_data()
    {
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<bool>("replay");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("stale");
        QTest::newRow("issued nonce") << ""
                                      << ""
                                      << "" << false << 200 << false;
        QTest::newRow("unknown nonce") << "0123"
                                       << ""
                                       << "" << false << 401 << true;
        QTest::newRow("expired nonce") << "expired"
                                       << ""
                                       << "" << false << 401 << true;
        QTest::newRow("other realm") << ""
                                     << "elsewhere"
                                     << "" << false << 403 << false;
        QTest::newRow("other uri") << ""
                                   << ""
                                   << "sip:bob@127.0.0.1" << false << 403 << false;
        QTest::newRow("replayed") << ""
                                  << ""
                                  << "" << true << 401 << true;
    }
    void digestMends()
    {
        QFETCH(QString, nonce);
        QFETCH(QString, realm);
        QFETCH(QString, uri);
        QFETCH(bool, replay);
        QFETCH(int, status);
        QFETCH(bool, stale);
        RawPhone alice("alice", m_Port);
        alice.send(kRegister, { { "auth", "" } });
        SipMessage challenge = alice.next();
        QCOMPARE(statusCode(challenge), 401);
        if (nonce == "expired") {
            TimeScale::setFactor(1000);
            QTest::qWait(100);
        } else if (!nonce.isEmpty()) {
            challenge.setHeader(SipHeader::WWWAuthenticate, "Digest nonce=\"" + nonce + "\"");
        }
        const QString auth = alice.answer(challenge, "REGISTER", uri.isEmpty() ? serverUri() : uri,
                                          "pw-alice", realm);
        alice.send(kRegister, { { "auth", auth } });
        SipMessage answer = alice.next();
        if (replay) {
            QCOMPARE(statusCode(answer), 200);
            alice.send(kRegister, { { "auth", auth } });
            answer = alice.next();
        }
        QCOMPARE(statusCode(answer), status);
        QCOMPARE(answer.headerValue(SipHeader::WWWAuthenticate).contains("stale=true"), stale);
        QVERIFY(m_Sip->nonces().size() <= SipNonceTable::Capacity);
    }

    void outsideCalls_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("status");
        const QString head = " sip:bob@$server SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:$port;"
                             "branch=$branch\nFrom: <sip:$user@$server>;tag=x\n"
                             "To: <sip:bob@$server>\nCall-ID: out-$port\nCSeq: 1 ";
        QTest::newRow("stray ACK") << "ACK" + head + "ACK\n\n" << 0;
        QTest::newRow("OPTIONS") << "OPTIONS" + head + "OPTIONS\n\n" << 405;
        QTest::newRow("INFO of no user") << "INFO" + QString(head).replace("$user", "nobody")
                + "INFO\n\n" << 404;
        QTest::newRow("REGISTER of a group") << "REGISTER" + QString(head).replace("$user", "group")
                + "REGISTER\n\n" << 404;
        QTest::newRow("BYE of no call") << "BYE" + head + "BYE\n\n" << 403;
    }
    void outsideCalls()
    {
        QFETCH(QString, request);
        QFETCH(int, status);
        RawPhone alice("alice", m_Port);
        const int before = m_Sip->liveDialogs();
        alice.send(request);
        const SipMessage answer = alice.next(true, status == 0 ? 300 : 10000);
        QCOMPARE(statusCode(answer), status);
        // Nothing is left waiting for an ACK that matched nothing.
        if (status == 0)
            QCOMPARE(m_Sip->liveDialogs(), before);
    }

    // A whole call between two phones; a request forged with the call's Call-ID and tags from
    // another address ends nothing.
    void callBetweenPhones()
    {
        RawPhone alice("alice", m_Port), bob("bob", m_Port), mallory("alice", m_Port);
        QCOMPARE(alice.registerWith("pw-alice"), 200);
        QCOMPARE(bob.registerWith("pw-bob"), 200);
        const SipMessage invite = placeCall(alice, bob, "call-1");
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        QVERIFY(invite.body.contains("m=audio"));

        bob.send(reply(invite, 180));
        QCOMPARE(statusCode(alice.next()), 180);
        bob.send(reply(invite, 200, "Content-Type: application/sdp\n", kSdp));
        const SipMessage ok = alice.next();
        QCOMPARE(statusCode(ok), 200);
        QVERIFY(ok.body.contains("m=audio"));
        QCOMPARE(bob.next().startLine.method, SipMethod::Ack);
        QHash<QString, QString> call;
        call.insert("to", "bob");
        call.insert("callid", "call-1");
        call.insert("totag", toTagOf(ok));
        call.insert("extra", "");
        call.insert("cseq", "2");
        alice.send(kAck, call);
        call.remove("cseq");

        QHash<QString, QString> forged = call;
        forged.insert("method", "BYE");
        mallory.send(kInCall, forged);
        QCOMPARE(statusCode(mallory.next()), 401);
        forged.insert("method", "INFO");
        forged.insert("extra", "Content-Type: application/dtmf-relay\n");
        forged.insert("body", "Signal=1\r\nDuration=160\r\n");
        mallory.send(kInCall, forged);
        QCOMPARE(statusCode(mallory.next()), 401);
        QVERIFY(!bob.next(true, 300).isValid());

        QHash<QString, QString> own = forged;
        alice.send(kInCall, own);
        QCOMPARE(statusCode(alice.next()), 200);
        // The digit goes on to the other phone as its own INFO.
        const SipMessage info = bob.next();
        QCOMPARE(info.startLine.method, SipMethod::Info);
        QVERIFY(info.body.contains("Signal=1"));
        bob.send(reply(info, 200));
        own.insert("method", "BYE");
        own.insert("extra", "");
        own.insert("body", "");
        alice.send(kInCall, own);
        QCOMPARE(statusCode(alice.next()), 200);
        const SipMessage bye = bob.next();
        QCOMPARE(bye.startLine.method, SipMethod::Bye);
        QCOMPARE(toTagOf(bye), QString("b1"));
    }

    // How the callee's answer, its silence or the caller's CANCEL reach both phones.
    void callOutcome_data()
    {
        QTest::addColumn<int>("calleeAnswer");
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QList<int>>("callerHears");
        QTest::addColumn<QList<int>>("calleeHears");
        const QList<int> ack { SipMethod::Ack };
        QTest::newRow("busy") << 486 << "" << QList<int> { 486 } << ack;
        QTest::newRow("declined") << 603 << "" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to the same callee") << 302 << "bob" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to no account") << 302 << "nobody" << QList<int> { 603 } << ack;
        QTest::newRow("redirect to carol") << 302 << "carol" << QList<int> { 180 } << ack;
        QTest::newRow("cancelled")
            << int(Cancel) << "" << QList<int> { 200, 487 } << QList<int> { SipMethod::Cancel };
        // The callee answered as the CANCEL crossed: its call is ended with a BYE.
        QTest::newRow("answered after the cancel")
            << int(CancelThenAnswer) << "" << QList<int> { 200, 487 }
            << QList<int> { SipMethod::Cancel, SipMethod::Ack, SipMethod::Bye };
        QTest::newRow("no answer") << int(NoAnswer) << "" << QList<int> { 408 } << QList<int> {};
        // A repeated INVITE is answered from its transaction and forwarded no second time.
        QTest::newRow("retransmitted")
            << int(Retransmit) << "" << QList<int> { 180, 180 } << QList<int> {};
    }
    void callOutcome()
    {
        QFETCH(int, calleeAnswer);
        QFETCH(QString, contact);
        QFETCH(QList<int>, callerHears);
        QFETCH(QList<int>, calleeHears);
        RawPhone alice("alice", m_Port), bob("bob", m_Port), carol("carol", m_Port);
        QCOMPARE(alice.registerWith("pw-alice"), 200);
        QCOMPARE(bob.registerWith("pw-bob"), 200);
        QCOMPARE(carol.registerWith("pw-carol"), 200);
        if (calleeAnswer == NoAnswer)
            TimeScale::setFactor(10);
        const SipMessage invite = placeCall(alice, bob, "call-2");
        QCOMPARE(invite.startLine.method, SipMethod::Invite);
        switch (calleeAnswer) {
        case Cancel:
        case CancelThenAnswer:
            alice.send("CANCEL sip:bob@$server SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:$port;"
                       "branch=z9hG4bK-call-2\nFrom: <sip:$user@$server>;tag=a1\n"
                       "To: <sip:bob@$server>\nCall-ID: call-2\nCSeq: 2 CANCEL\n\n");
            break;
        case NoAnswer:
            break;
        case Retransmit:
            bob.send(reply(invite, 180));
            alice.send(kInvite, m_Invite);
            break;
        default:
            bob.send(reply(invite, calleeAnswer,
                           contact.isEmpty()
                               ? QString()
                               : QString("Contact: <sip:%1@127.0.0.1:5999>\n").arg(contact)));
        }
        for (int code : callerHears)
            QCOMPARE(statusCode(alice.next(true, 30000)), code);
        for (int method : calleeHears) {
            SipMessage heard = bob.next();
            // The callee's INVITE may be repeated until it answers.
            while (heard.startLine.method == SipMethod::Invite && method != SipMethod::Invite)
                heard = bob.next();
            QCOMPARE(int(heard.startLine.method), method);
            if (calleeAnswer == CancelThenAnswer && method == SipMethod::Cancel)
                bob.send(reply(invite, 200, "Content-Type: application/sdp\n", kSdp));
        }
        if (contact == "carol")
            QCOMPARE(carol.next().startLine.method, SipMethod::Invite);
        if (calleeAnswer == Retransmit)
            QVERIFY(!bob.next(true, 300).isValid());
    }
};

QTEST_GUILESS_MAIN(TestSipLocalServer)
#include "tst_siplocalserver.moc"
