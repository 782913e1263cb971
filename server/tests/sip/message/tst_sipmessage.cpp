#include "sip/message/sipconstants.h"
#include "sip/message/sipmessage.h"
#include "testmain.h"

#include <QHostAddress>
#include <QtTest>

namespace {

SipMessage parse(const QByteArray &text, quint16 senderPort = 6000)
{
    return SipMessage(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.7")), senderPort,
                      QHostAddress(QStringLiteral("192.0.2.1")), 5060, text);
}

const QByteArray kInvite = "INVITE sip:bob@192.0.2.1 SIP/2.0\r\n"
                           "Via: SIP/2.0/UDP 192.0.2.7:6000;branch=z9hG4bKa;rport, SIP/2.0/UDP "
                           "p;branch=z9hG4bKb\r\n"
                           "Via: SIP/2.0/UDP 10.1.1.1;branch=z9hG4bKc\r\n"
                           "Record-Route: <sip:p1;lr>\r\n"
                           "Record-Route: <sip:p2;lr>\r\n"
                           "From: \"Alice\" <sip:alice@atlanta.com>;tag=1928\r\n"
                           "To: <sip:bob@biloxi.com>\r\n"
                           "Call-ID: c1\r\n"
                           "CSeq: 7 INVITE\r\n"
                           "Contact: <sip:alice@192.0.2.7;transport=udp>\r\n"
                           "Content-Length: 0\r\n\r\n";

} // namespace

class TestSipMessage : public QObject
{
    Q_OBJECT

private slots:
    void newMessagesAndHeaderReads()
    {
        QVERIFY(SipMessage().toByteArray().isEmpty());
        const quint32 first = SipMessage::SequenceID;
        const SipMessage invite(SipMethod::Invite, SipTransport::UDP);
        SipMessage ack(SipMethod::Ack, SipTransport::TCP);
        QCOMPARE(invite.cseqNumber(), uint(first));
        QCOMPARE(ack.cseqNumber(), uint(first + 1));
        QCOMPARE(invite.allow(), ALLOW);
        QVERIFY(ack.headerValues(SipHeader::Allow).isEmpty());
        QCOMPARE(SipMessage(QStringLiteral("x")).toByteArray(),
                 QByteArray("Call-ID: x\r\nContent-Length: 0\r\n\r\n"));
        // Copies, also through a QVariant, carry both header tables and the mark.
        SipMessage message = parse(kInvite);
        message.dialogHeaders.insert(SipHeader::Contact, { QStringLiteral("<sip:x@y>") });
        message.synthetic = true;
        const SipMessage copy = QVariant::fromValue(message).value<SipMessage>();
        QCOMPARE(copy.dialogHeaders, message.dialogHeaders);
        QVERIFY(copy.synthetic);

        ack.setCSeq(5, SipMethod::Ack);
        ack.setHeader(SipHeader::CallID, QStringLiteral("x"));
        QCOMPARE(ack.transactionKey(), QStringLiteral("INVITE_5_x"));
        QCOMPARE(ack.transactionKey(SipMethod::Ack), QStringLiteral("ACK_5_x"));
        ack.setCSeq(9, SipMethod::Unknown);
        QCOMPARE(ack.headerValue(SipHeader::CSeq), QStringLiteral("9 "));
        QCOMPARE(ack.cseqNumber(), 0u);
        const SipMessage response = parse("SIP/2.0 200 OK\r\nCall-ID: c\r\nCSeq: 3 BYE\r\n"
                                          "From: <sip:a@b>\r\n\r\n");
        QCOMPARE(response.method(), SipMethod::Bye);
        QCOMPARE(response.startLine.method, SipMethod::Unknown);
        QCOMPARE(response.responseClass(), 2);

        ack.setHeader(SipHeader::ContentType, QStringLiteral("text/plain"));
        ack.setBody(QString(), QByteArray("abc"));
        QCOMPARE(ack.contentLength(), 3u);
        QVERIFY(ack.isContentType("text/plain") && !ack.isContentType("Text/Plain"));
        QCOMPARE(ack.headerValue(SipHeader::ContentType, 1), QString());
        ack.setHeaderValues(SipHeader::CallID, { QStringLiteral("a"), QStringLiteral("b") });
        QCOMPARE(ack.callId(), QString());
        ack.setHeaderValues(SipHeader::MaxForwards, { QStringLiteral(" 12 ") });
        QCOMPARE(ack.maxForwards(), 12u);
        ack.setHeaderValues(SipHeader::MaxForwards, { QStringLiteral("x") });
        QCOMPARE(ack.maxForwards(), 0u);
        ack.setHeaderValues(SipHeader::Authorization, { QStringLiteral("Digest a") });
        QVERIFY(ack.hasAuthorization() && !ack.hasProxyAuthorization());
    }

    void expiresPrefersTheContactParameter()
    {
        SipMessage message(SipMethod::Register, SipTransport::UDP);
        message.setHeader(SipHeader::Expires, QStringLiteral("3600"));
        message.setHeader(SipHeader::Contact, QStringLiteral("<sip:a@h>;expires=0"));
        QCOMPARE(message.expires(), 0u);
        message.setHeader(SipHeader::Contact, QStringLiteral("<sip:a@h>"));
        QCOMPARE(message.expires(), 3600u);
        message.setHeaderValues(SipHeader::Contact,
                                { "<sip:a@h>;expires=5", "<sip:b@h>;expires=6" });
        QCOMPARE(message.expires(), 3600u);
        QCOMPARE(message.contacts().size(), 2);
        QVERIFY(!message.contact().valid);
    }

    void contactEntries_data()
    {
        QTest::addColumn<QStringList>("lines");
        // Each entry as "user@host:port transport expires", in order.
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("lines of their own")
            << QStringList { "<sip:a@h:5061>;expires=60", "<sip:b@h:46587>;expires=3559" }
            << QStringList { "a@h:5061  60", "b@h:46587  3559" };
        QTest::newRow("one line, comma-separated")
            << QStringList { "<sip:a@h:5061>;expires=60, <sip:b@h:46587>;expires=3559" }
            << QStringList { "a@h:5061  60", "b@h:46587  3559" };
        QTest::newRow("commas quoted and in brackets, URI parameters")
            << QStringList { "\"Desk, hall\" <sip:a@h;transport=TCP;ob>;expires=60;q=0.5 ,"
                             "\"Door, front\" <sip:b@h:5070?subject=x,y>, sip:c@h" }
            << QStringList { "a@h:0 TCP 60", "b@h:5070  ", "c@h:0  " };
        QTest::newRow("empty entries dropped") << QStringList { " ,<sip:a@h>,, ", "<sip:b@h>" }
                                               << QStringList { "a@h:0  ", "b@h:0  " };
    }
    // A registrar lists every binding of the account, on lines of their own or on one line.
    void contactEntries()
    {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, entries);
        SipMessage message(SipMethod::Register, SipTransport::UDP);
        message.setHeaderValues(SipHeader::Contact, lines);
        QStringList read;
        for (const KBaseContactAddress<1> &entry : message.contacts()) {
            QVERIFY(entry.valid);
            read << QStringLiteral("%1@%2:%3 %4 %5")
                        .arg(entry.address.user, entry.address.host)
                        .arg(entry.address.port)
                        .arg(entry.address.parameters.param("transport"),
                             entry.parameters.param("expires"));
        }
        QCOMPARE(read, entries);
        QCOMPARE(message.headerValues(SipHeader::Contact), lines);
    }

    void expiresOf_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("expires"); // the Expires header; none when empty
        QTest::addColumn<uint>("granted");
        const QString own = "<sip:door@192.0.2.1:5061;transport=TCP>";
        const QString foreign = "<sip:door@192.0.2.9:46587>;expires=3559";
        QTest::newRow("another device's first, one line")
            << QStringList { foreign + ", " + own + ";expires=60" } << "3600" << 60u;
        QTest::newRow("another device's first, lines of their own")
            << QStringList { foreign, own + ";expires=60" } << "" << 60u;
        QTest::newRow("matched in any case, with parameters of the server's")
            << QStringList { foreign,
                             "\"Door, front\" <sip:door@192.0.2.1:5061;transport=tcp;ob>;"
                             "expires=30;q=0.5" }
            << "" << 30u;
        QTest::newRow("own without expiry: the Expires header")
            << QStringList { foreign + ", " + own } << "120" << 120u;
        QTest::newRow("none matches: the Expires header")
            << QStringList { foreign, "<sip:door@192.0.2.1:5061>;expires=10" } << "120" << 120u;
        QTest::newRow("none matches, nothing else said")
            << QStringList { foreign, "<sip:door@192.0.2.1:5061>;expires=10" } << "" << 0u;
        QTest::newRow("a lone entry is the binding as the server sees it")
            << QStringList { "<sip:door@198.51.100.4:40001>;expires=90" } << "3600" << 90u;
        QTest::newRow("no Contact") << QStringList() << "45" << 45u;
        QTest::newRow("nothing said") << QStringList() << "" << 0u;
    }
    void expiresOf()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, expires);
        QFETCH(uint, granted);
        SipMessage response(SipMethod::Register, SipTransport::UDP);
        response.setHeaderValues(SipHeader::Contact, lines);
        if (!expires.isEmpty())
            response.setHeader(SipHeader::Expires, expires);
        QCOMPARE(response.expiresOf(KBaseUri<1>("sip:door@192.0.2.1:5061;transport=TCP")), granted);
    }

    // What is parsed once answers for the text it was read from only: every change of a header,
    // also one written into the table directly, shows in the next read, and a copy changed on
    // its own leaves the original as it was.
    void parsedFieldsFollowChanges()
    {
        const SipMessage original = parse(kInvite);
        SipMessage changed = original;
        changed.setFromTag(QStringLiteral("9"));
        changed.setBranch(QStringLiteral("z9hG4bKnew"));
        changed.headers[SipHeader::To].first() = QStringLiteral("<sip:carol@chicago.com>;tag=5");
        changed.headers[SipHeader::Contact].first().replace(QLatin1String("alice"),
                                                            QLatin1String("dave"));
        changed.headers[SipHeader::CSeq] = QStringList { QStringLiteral("8 BYE") };
        changed.startLine.method = SipMethod::Bye;
        QCOMPARE(changed.from().parameters.param(QStringLiteral("tag")), QStringLiteral("9"));
        QCOMPARE(changed.topVia().sentBy.parameters.param(QStringLiteral("branch")),
                 QStringLiteral("z9hG4bKnew"));
        QCOMPARE(changed.to().address.user, QStringLiteral("carol"));
        QCOMPARE(changed.toTag(), QStringLiteral("5"));
        QCOMPARE(changed.contact().address.user, QStringLiteral("dave"));
        QCOMPARE(changed.transactionKey(), QStringLiteral("BYE_8_c1"));
        changed.headers[SipHeader::CallID].first() = QStringLiteral("c2");
        QCOMPARE(changed.transactionKey(), QStringLiteral("BYE_8_c2"));
        changed.headers[SipHeader::From].append(QStringLiteral("<sip:x@y>"));
        QVERIFY(!changed.from().valid);
        QVERIFY(changed.fromTag().isEmpty());

        QCOMPARE(original.fromTag(), QStringLiteral("1928"));
        QVERIFY(original.toTag().isEmpty());
        QCOMPARE(original.contact().address.user, QStringLiteral("alice"));
        QCOMPARE(original.transactionKey(), QStringLiteral("INVITE_7_c1"));
    }

    void addressSetters()
    {
        SipMessage message(SipMethod::Invite, SipTransport::TCP);
        message.setFrom(QStringLiteral("Door \"1\"\r\n"), QStringLiteral("door1"),
                        QStringLiteral("10.0.0.1"), 5060, QStringLiteral("t1"));
        QCOMPARE(message.headerValue(SipHeader::From),
                 QStringLiteral("\"Door 1\" <sip:door1@10.0.0.1>;tag=t1"));
        message.setTo(QString(), QStringLiteral("bob"), QStringLiteral("h"), 5070, QString());
        QCOMPARE(message.headerValue(SipHeader::To), QStringLiteral("<sip:bob@h:5070>"));
        message.setToTag(QStringLiteral("x9"));
        QCOMPARE(message.to().parameters.param(QStringLiteral("tag")), QStringLiteral("x9"));
        message.setFromTag(QString());
        QVERIFY(!message.from().parameters.hasParam(QStringLiteral("tag")));

        // A tag setter on a missing header writes nothing rather than an empty value.
        SipMessage bare(SipMethod::Bye, SipTransport::UDP);
        bare.setToTag(QStringLiteral("t"));
        QVERIFY(bare.headerValues(SipHeader::To).isEmpty());

        message.setContact(QStringLiteral("door1"), QStringLiteral("10.0.0.1"), 5062,
                           SipTransport::TCP);
        QCOMPARE(message.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:door1@10.0.0.1:5062;transport=TCP>"));
        message.copyContact(KBaseContactAddress<1>(QStringLiteral("\"X\" <sip:u@h>;tag=2")));
        QCOMPARE(message.headerValue(SipHeader::Contact),
                 QStringLiteral("<sip:u@h;transport=TCP>"));
        message.setDiversion(KBaseContactAddress<1>(QStringLiteral("\"D\" <sip:d@h:0>")));
        QCOMPARE(message.headerValue(SipHeader::Diversion),
                 QStringLiteral("\"D\" <sip:d@h>;reason=unavailable"));
        message.setWwwAuthenticate(QStringLiteral("corvane"), QStringLiteral("n1"));
        QCOMPARE(message.headerValue(SipHeader::WWWAuthenticate),
                 QStringLiteral("Digest algorithm=MD5, realm=\"corvane\", nonce=\"n1\""));
        message.setRequestUri(QStringLiteral("bob"), QStringLiteral("h"), 5060, SipTransport::TCP);
        QCOMPARE(message.startLine.requestUri.toString(),
                 QStringLiteral("sip:bob@h;transport=TCP"));
    }

    void cancelOfAnInvite()
    {
        SipMessage invite = parse(kInvite);
        invite.receiverPort = 0;
        const quint32 before = SipMessage::SequenceID;
        const SipMessage cancel = invite.makeCancel();
        QCOMPARE(SipMessage::SequenceID, before + 1);
        QCOMPARE(cancel.headerValue(SipHeader::CSeq), QStringLiteral("7 CANCEL"));
        QCOMPARE(cancel.receiverPort, quint16(5060));
        QCOMPARE(cancel.headerValues(SipHeader::Via), invite.headerValues(SipHeader::Via));
        QCOMPARE(cancel.startLine.requestUri.toString(), QStringLiteral("sip:bob@192.0.2.1"));
    }

    void responsesFillReceivedAndRport()
    {
        const SipMessage invite = parse(kInvite);
        const SipMessage ringing(SipStatus::Ringing, invite);
        QCOMPARE(ringing.receiverPort, quint16(6000));
        const QStringList vias = ringing.headerValues(SipHeader::Via);
        QCOMPARE(vias.size(), 2);
        QCOMPARE(vias.at(1), invite.headerValue(SipHeader::Via, 1));
        const QStringList entries = vias.first().split(QLatin1Char(','));
        QCOMPARE(entries.at(1), QStringLiteral(" SIP/2.0/UDP p;branch=z9hG4bKb"));
        const KBaseViaAddress<1> top(entries.first());
        QCOMPARE(top.sentBy.parameters.param(QStringLiteral("received")),
                 QStringLiteral("192.0.2.7"));
        QCOMPARE(top.sentBy.parameters.param(QStringLiteral("rport")), QStringLiteral("6000"));
        QCOMPARE(ringing.headerValues(SipHeader::RecordRoute).size(), 2);

        SipMessage plain = parse(kInvite);
        plain.setHeaderValues(SipHeader::Via,
                              { QStringLiteral("SIP/2.0/UDP 10.9.9.9;branch=z9hG4bKq") });
        const SipMessage busy(SipStatus::BusyHere, plain, QStringLiteral("text/plain"), "x");
        QCOMPARE(busy.headerValues(SipHeader::Via), plain.headerValues(SipHeader::Via));
        QCOMPARE(busy.body, QByteArray("x"));

        const SipMessage bodyless(SipStatus::OK, plain, QString(), "ignored");
        QVERIFY(bodyless.body.isEmpty());
        // The stored length follows the argument, the wire the body actually kept.
        QCOMPARE(bodyless.headerValue(SipHeader::ContentLength), QStringLiteral("7"));
        QVERIFY(bodyless.toByteArray().endsWith("Content-Length: 0\r\n\r\n"));
    }

    void viaBranches()
    {
        SipMessage message = parse(kInvite);
        QCOMPARE(message.branch(), QStringLiteral("z9hG4bKa"));
        QVERIFY(!message.viaWithBranch(QStringLiteral("z9hG4bKb")).valid);
        QCOMPARE(message.viaWithBranch(QStringLiteral("z9hG4bKa")).sentBy.port, quint16(6000));
        const KBaseViaAddress<1> second = message.viaWithBranch(QStringLiteral("z9hG4bKc"));
        QVERIFY(second.valid);
        QCOMPARE(second.sentBy.host, QStringLiteral("10.1.1.1"));
        message.setBranch(QStringLiteral("z9hG4bKnew"));
        QCOMPARE(message.headerValues(SipHeader::Via).size(), 1);
        QCOMPARE(message.branch(), QStringLiteral("z9hG4bKnew"));

        SipMessage none(SipMethod::Bye, SipTransport::UDP);
        QCOMPARE(none.branch(), QString());
        none.setBranch(QStringLiteral("b"));
        QCOMPARE(none.headerValues(SipHeader::Via), QStringList { QString() });

        SipMessage tcp(SipMethod::Bye, SipTransport::TCP);
        tcp.addVia(QStringLiteral("10.0.0.1"), 5060, QString(), SipTransport::Unset);
        const QString first = tcp.branch();
        QVERIFY(tcp.headerValue(SipHeader::Via).startsWith("SIP/2.0/TCP 10.0.0.1;"));
        QVERIFY(first.startsWith("z9hG4bK") && first.size() == 7 + 32);
        QVERIFY(tcp.topVia().sentBy.parameters.hasParam(QStringLiteral("rport")));
        tcp.addVia(QStringLiteral("10.0.0.1"), 5070, QString(), SipTransport::UDP);
        QVERIFY(tcp.branch() != first);
        QVERIFY(tcp.headerValue(SipHeader::Via)
                    .startsWith(QStringLiteral("SIP/2.0/UDP 10.0.0.1:5070;")));
    }

    void routeSets()
    {
        SipMessage invite = parse(kInvite);
        SipMessage bye(SipMethod::Bye, SipTransport::UDP);
        bye.setHeader(SipHeader::Route, QStringLiteral("<sip:old>"));
        invite.setRouteSet(bye, true);
        QCOMPARE(bye.startLine.requestUri.toString(),
                 QStringLiteral("sip:alice@192.0.2.7;transport=udp"));
        QCOMPARE(bye.headerValue(SipHeader::To),
                 QStringLiteral("\"Alice\" <sip:alice@atlanta.com>;tag=1928"));
        QCOMPARE(bye.headerValue(SipHeader::From), QStringLiteral("<sip:bob@biloxi.com>"));
        QCOMPARE(bye.headerValues(SipHeader::Route),
                 (QStringList { "<sip:p1;lr>", "<sip:p2;lr>" }));
        SipMessage plain = parse(kInvite);
        plain.setHeaderValues(SipHeader::RecordRoute, {});
        plain.setHeaderValues(SipHeader::Contact, {});
        plain.setRouteSet(bye, true);
        QVERIFY(bye.headerValues(SipHeader::Route).isEmpty());
        QCOMPARE(bye.startLine.requestUri.toString(), QStringLiteral("sip:bob@192.0.2.1"));

        // From the last response, reversed.
        SipMessage ack(SipMethod::Ack, SipTransport::UDP);
        ack.setFrom(QString(), QStringLiteral("keep"), QStringLiteral("h"), 0, QStringLiteral("f"));
        // Nothing recorded yet: the table is empty and nothing in it may be read.
        invite.setRouteSet(ack, false);
        QCOMPARE(ack.startLine.requestUri.toString(), QStringLiteral("sip:bob@192.0.2.1"));
        QCOMPARE(ack.headerValue(SipHeader::From), QStringLiteral("<sip:keep@h>;tag=f"));
        QVERIFY(ack.headerValues(SipHeader::To).isEmpty());
        QVERIFY(ack.headerValues(SipHeader::Route).isEmpty());

        const SipMessage ok
            = parse("SIP/2.0 200 OK\r\nCall-ID: c1\r\nCSeq: 7 INVITE\r\n"
                    "From: \"Alice\" <sip:alice@atlanta.com>;tag=1928\r\n"
                    "To: <sip:bob@biloxi.com>;tag=b7\r\n"
                    "Contact: <sip:u@192.0.2.4:5062>\r\n"
                    "Record-Route: <sip:r1;lr>\r\nRecord-Route: <sip:r2;lr>\r\n\r\n");
        invite.dialogHeaders = ok.headers;
        invite.setRouteSet(ack, false);
        QCOMPARE(ack.startLine.requestUri.toString(), QStringLiteral("sip:u@192.0.2.4:5062"));
        QCOMPARE(ack.headerValue(SipHeader::From),
                 QStringLiteral("\"Alice\" <sip:alice@atlanta.com>;tag=1928"));
        QCOMPARE(ack.to().parameters.param(QStringLiteral("tag")), QStringLiteral("b7"));
        QCOMPARE(ack.headerValues(SipHeader::Route),
                 (QStringList { "<sip:r2;lr>", "<sip:r1;lr>" }));

        // Lists on one line: the first target, the hops reversed one by one.
        invite.dialogHeaders = parse("SIP/2.0 302 Moved\r\nCall-ID: c1\r\nCSeq: 7 INVITE\r\n"
                                     "Contact: \"U, V\" <sip:u@192.0.2.4>, <sip:v@192.0.2.5>\r\n"
                                     "Record-Route: <sip:r1;lr>, <sip:r2;lr>\r\n"
                                     "Record-Route: <sip:r3;lr>\r\n\r\n")
                                   .headers;
        invite.setRouteSet(ack, false);
        QCOMPARE(ack.startLine.requestUri.toString(), QStringLiteral("sip:u@192.0.2.4"));
        QCOMPARE(ack.headerValues(SipHeader::Route),
                 (QStringList { "<sip:r3;lr>", "<sip:r2;lr>", "<sip:r1;lr>" }));
    }

    void serializerOrder()
    {
        SipMessage invite(SipMethod::Invite, SipTransport::UDP);
        invite.setRequestUri(QStringLiteral("bob"), QStringLiteral("h"), 0, QString());
        invite.setHeader(SipHeader::ContentType, QStringLiteral("text/plain"));
        invite.setHeader(SipHeader::UserAgent, QStringLiteral("ua"));
        invite.addVia(QStringLiteral("10.0.0.1"), 0, QStringLiteral("z9hG4bK1"),
                      SipTransport::Unset);
        invite.setFrom(QString(), QStringLiteral("a"), QStringLiteral("h"), 0, QString());
        invite.setTo(QString(), QStringLiteral("bob"), QStringLiteral("h"), 0, QString());
        invite.setHeader(SipHeader::CallID, QStringLiteral("c"));
        invite.setContact(QStringLiteral("a"), QStringLiteral("10.0.0.1"), 0, SipTransport::UDP);
        invite.setHeaderValues(SipHeader::Unknown, { QStringLiteral("lost name") });
        invite.setHeaderValues(SipHeader::Type(SipHeader::Count), { QStringLiteral("no name") });
        const QString cseq = invite.headerValue(SipHeader::CSeq);
        const QByteArray via = invite.headerValue(SipHeader::Via).toUtf8();
        QCOMPARE(
            invite.toByteArray(),
            "INVITE sip:bob@h SIP/2.0\r\nVia: " + via
                + "\r\nFrom: <sip:a@h>\r\nTo: <sip:bob@h>\r\nCall-ID: c\r\nCSeq: " + cseq.toUtf8()
                + "\r\nContact: <sip:a@10.0.0.1>\r\nMax-Forwards: 70\r\n"
                  "Allow: REGISTER, MESSAGE, INVITE, ACK, CANCEL, BYE, INFO, REFER"
                  "\r\nUser-Agent: ua\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n\r\n");

        // A stored length that disagrees with the body is not written.
        invite.setHeader(SipHeader::ContentLength, QStringLiteral("99"));
        invite.body = QByteArray("a\0b", 3);
        QVERIFY(invite.toByteArray().endsWith(QByteArray("Content-Length: 3\r\n\r\na\0b", 24)));
        QCOMPARE(invite.contentLength(), 99u);

        QCOMPARE(statusLineText(SipStatus::BusyHere), QByteArray("SIP/2.0 486 Busy Here\r\n"));
        SipMessage response(SipStatus::Ringing, parse(kInvite));
        response.valid = false;
        QVERIFY(response.toByteArray().isEmpty());
    }
};

TARNHALL_TEST_MAIN(TestSipMessage)
#include "tst_sipmessage.moc"
