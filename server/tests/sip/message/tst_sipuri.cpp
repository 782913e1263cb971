#include "sip/message/kbasecontactaddress.h"
#include "sip/message/kbaserequesturi.h"
#include "sip/message/kbaseuri.h"
#include "sip/message/kbaseviaaddress.h"
#include "urigrammarreference.h"

#include <QtTest>

class TestSipUri : public QObject
{
    Q_OBJECT

private slots:
    // RFC 3261 section 19.1.3, as this system's narrower grammar reads them.
    void rfc3261Examples_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("written");
        struct Row
        {
            const char *name, *text;
            bool valid;
            const char *user, *password, *host, *written;
        };
        const Row rows[] = {
            { "plain", "sip:alice@atlanta.com", true, "alice", "", "atlanta.com",
              "sip:alice@atlanta.com" },
            { "password", "sip:alice:secretword@atlanta.com;transport=tcp", true, "alice",
              "secretword", "atlanta.com", "sip:alice:secretword@atlanta.com;transport=tcp" },
            { "sips headers", "sips:alice@atlanta.com?subject=project%20x&priority=urgent", false,
              "", "", "", "" },
            { "telephone user", "sip:+1-212-555-1212:1234@gateway.com;user=phone", false, "", "",
              "", "" },
            { "sips", "sips:1212@gateway.com", false, "", "", "", "" },
            { "address", "sip:alice@192.0.2.4", true, "alice", "", "192.0.2.4",
              "sip:alice@192.0.2.4" },
            // Without "@" the first word is the user; the header after "?" is not written back.
            { "method header", "sip:atlanta.com;method=REGISTER?to=alice%40atlanta.com", true,
              "atlanta.com", "", "", "sip:atlanta.com;method=REGISTER" },
            { "parameter before @", "sip:alice;day=tuesday@atlanta.com", true, "alice", "", "",
              "sip:alice;day=tuesday@atlanta.com" },
        };
        for (const Row &r : rows)
            QTest::newRow(r.name) << r.text << r.valid << r.user << r.password << r.host
                                  << r.written;
    }

    void rfc3261Examples()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, host);
        QFETCH(QString, written);
        const KBaseUri<1> uri(text);
        QCOMPARE(uri.valid, valid);
        QCOMPARE(uri.text, text);
        QCOMPARE(uri.user, user);
        QCOMPARE(uri.password, password);
        QCOMPARE(uri.host, host);
        QCOMPARE(uri.toString(), written);
        if (uri.valid)
            QCOMPARE(KBaseUri<1>(uri.toString()).toString(), uri.toString());
    }

    void uriFields()
    {
        QCOMPARE(KBaseUri<1>(QStringLiteral("SIP:Alice@Host.Example")).toString(),
                 QStringLiteral("sip:Alice@Host.Example"));
        QVERIFY(!KBaseUri<1>(QString()).valid);
        QVERIFY(!KBaseUri<1>(QStringLiteral("alice@host")).valid);
        QVERIFY(KBaseUri<0>(QStringLiteral("alice@host")).valid);

        const KBaseUri<1> bare(QStringLiteral("sip:10.0.0.1:5070"));
        QCOMPARE(bare.password, QStringLiteral("5070"));
        QCOMPARE(bare.toString(), QStringLiteral("sip:10.0.0.1:5070"));

        const KBaseUri<1> full(QStringLiteral("sip:alice@10.0.0.1:5070;transport=tcp;lr"));
        QCOMPARE(full.port, quint16(5070));
        const QString written = full.toString();
        QVERIFY(written == QStringLiteral("sip:alice@10.0.0.1:5070;transport=tcp;lr")
                || written == QStringLiteral("sip:alice@10.0.0.1:5070;lr;transport=tcp"));

        QCOMPARE(KBaseUri<1>(QStringLiteral("sip:a@h:99999")).toString(),
                 QStringLiteral("sip:a@h"));
        QCOMPARE(KBaseUri<1>(QStringLiteral("sip:a@h:5060")).toString(), QStringLiteral("sip:a@h"));
        QVERIFY(!KBaseUri<1>(QStringLiteral("sip:a@h:123456")).valid);

        const KBaseUri<1> headers(QStringLiteral("sip:a@h;x=1?subject=project%20x;y=%22q%22"));
        QCOMPARE(headers.headers.param(QStringLiteral("subject")), QStringLiteral("project x"));
        QCOMPARE(headers.toString(), QStringLiteral("sip:a@h;x=1"));
        const KBaseUri<1> nul(QStringLiteral("sip:a@h?x=ab%00cd"));
        QCOMPARE(nul.headers.param(QStringLiteral("x")), QStringLiteral("ab"));
    }

    void requestUris()
    {
        QCOMPARE(KBaseRequestUri<1>(QStringLiteral("sip:10.0.0.1")).host,
                 QStringLiteral("10.0.0.1"));
        const KBaseRequestUri<1> noHost(QStringLiteral("sip:user@"));
        QVERIFY(noHost.valid);
        QCOMPARE(noHost.user, QStringLiteral("user"));
        QCOMPARE(noHost.host, QString());
        const KBaseRequestUri<1> prefix(QStringLiteral("sip:"));
        QVERIFY(prefix.valid);
        QCOMPARE(prefix.toString(), QStringLiteral("sip:"));
        QVERIFY(KBaseRequestUri<0>(QString()).valid);
        QVERIFY(!KBaseRequestUri<1>(QStringLiteral("sip:a:pw@h")).valid);

        KBaseRequestUri<1> uri(QStringLiteral("sip:a@h"));
        uri.setTransport(SipTransport::TCP);
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h;transport=TCP"));
        uri.setTransport(SipTransport::UDP);
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h"));
        uri.setTransport(SipTransport::Type(7));
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h;transport"));
    }

    void userPartsAreWrittenRaw()
    {
        KBaseUri<1> uri;
        uri.valid = true;
        uri.user = QStringLiteral("d\u00f6r 1%");
        uri.host = QStringLiteral("h");
        QCOMPARE(uri.toString(), QStringLiteral("sip:d\u00f6r 1%@h"));
    }

    void contactAddresses()
    {
        const KBaseContactAddress<1> quoted(
            QStringLiteral("\"Bob Smith\"  <sip:bob@biloxi.com>;tag=a6c85cf"));
        QCOMPARE(quoted.parameters.param(QStringLiteral("tag")), QStringLiteral("a6c85cf"));
        QCOMPARE(quoted.toString(),
                 QStringLiteral("\"Bob Smith\" <sip:bob@biloxi.com>;tag=a6c85cf"));

        QCOMPARE(
            KBaseContactAddress<1>(QStringLiteral("Bob Smith <sip:bob@biloxi.com>")).toString(),
            QStringLiteral("\"Bob Smith\" <sip:bob@biloxi.com>"));
        QCOMPARE(KBaseContactAddress<1>(QStringLiteral("<sip:b@h>")).toString(),
                 QStringLiteral("<sip:b@h>"));

        const KBaseContactAddress<1> bare(QStringLiteral("\"N\" <sip:10.0.0.1:5070>;tag=1"));
        QCOMPARE(bare.address.password, QStringLiteral("5070"));
        QCOMPARE(bare.toString(), QStringLiteral("\"N\" <sip:10.0.0.1:5070>;tag=1"));

        // The request reading takes over: name and parameters are lost, the port becomes 5060.
        const KBaseContactAddress<1> taken(QStringLiteral("\"N\" <sip:user@>;tag=1"));
        QVERIFY(taken.parameters.isEmpty());
        QCOMPARE(taken.address.port, quint16(5060));
        QCOMPARE(taken.toString(), QStringLiteral("<sip:user>"));

        const KBaseContactAddress<1> noBrackets(QStringLiteral("sip:a@h;expires=60"));
        QVERIFY(noBrackets.valid);
        QVERIFY(noBrackets.parameters.isEmpty());
        QCOMPARE(noBrackets.address.parameters.param(QStringLiteral("expires")),
                 QStringLiteral("60"));
        QVERIFY(!KBaseContactAddress<1>(QStringLiteral("*")).valid);
        QCOMPARE(KBaseContactAddress<1>(QStringLiteral("*")).toString(), QString());

        KBaseContactAddress<1> reread;
        QVERIFY(reread = QStringLiteral("<sip:x@y>"));
        QCOMPARE(reread.address.user, QStringLiteral("x"));
        QVERIFY(KBaseContactAddress<1>(QStringLiteral("<sip:x@y>;tag=1;a=2"))
                != KBaseContactAddress<1>(QStringLiteral("<sip:x@y>;a=2;tag=1")));
    }

    void displayNamesCannotBreakTheHeader_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("readBack");
        QTest::newRow("quote") << "Door \"A\""
                               << "Door A";
        QTest::newRow("backslash") << "a\\\" <sip:evil@x>"
                                   << "a <sip:evil@x>";
        QTest::newRow("line break") << "Door\r\nVia: SIP/2.0/UDP evil"
                                    << "DoorVia: SIP/2.0/UDP evil";
        QTest::newRow("control") << QString::fromUtf8("A\x01\x7f"
                                                      "B\t")
                                 << "AB";
        QTest::newRow("only quotes") << "\"\""
                                     << "";
        QTest::newRow("unicode") << QString::fromUtf8("T\xc3\xbcr 1")
                                 << QString::fromUtf8("T\xc3\xbcr 1");
    }

    void displayNamesCannotBreakTheHeader()
    {
        QFETCH(QString, name);
        QFETCH(QString, readBack);
        KBaseContactAddress<1> address;
        address.valid = true;
        address.displayName = name;
        address.address.valid = true;
        address.address.user = QStringLiteral("door");
        address.address.host = QStringLiteral("10.0.0.1");
        address.parameters.setParam(QStringLiteral("tag"), QStringLiteral("t1"));
        const QString written = address.toString();
        for (const QChar c : written)
            QVERIFY(c.category() != QChar::Other_Control);
        const KBaseContactAddress<1> read(written);
        QVERIFY(read.valid);
        QCOMPARE(read.displayName, readBack);
        QCOMPARE(read.address.user, QStringLiteral("door"));
        QCOMPARE(read.parameters.param(QStringLiteral("tag")), QStringLiteral("t1"));
        QCOMPARE(read.toString(), written);
    }

    void viaAddresses()
    {
        const KBaseViaAddress<1> lower(
            QStringLiteral("sip/2.0/udp pc33.atlanta.com:5060;branch=z9hG4bK1;rport"));
        QVERIFY(lower.toString().startsWith(QStringLiteral("SIP/2.0/UDP pc33.atlanta.com;")));
        QVERIFY(lower.sentBy.parameters.hasParam(QStringLiteral("rport")));

        QVERIFY(!KBaseViaAddress<1>(QStringLiteral("SIP/2.0/UDP  host")).valid);
        QVERIFY(KBaseViaAddress<1>(QStringLiteral("SIP/2.0/TCP\thost")).valid);
        QVERIFY(!KBaseViaAddress<1>(QStringLiteral("SIP/3.0/UDP host")).valid);
        QVERIFY(!KBaseViaAddress<1>(QStringLiteral("SIP/2.0/SCTP host")).valid);
        QVERIFY(!KBaseViaAddress<1>(QStringLiteral("SIP/2.0/UDP h")).valid);
        QCOMPARE(KBaseViaAddress<1>(QStringLiteral("SIP/2.0/TCP h1:5062")).toString(),
                 QStringLiteral("SIP/2.0/TCP h1:5062"));
        QCOMPARE(KBaseViaAddress<1>(QStringLiteral("junk")).toString(), QString());
    }
    // The hand-written matchers against QRegExp running the patterns they stand for.
    void matchersAgreeWithTheirPatterns_data()
    {
        QTest::addColumn<QString>("text");
        const char *const texts[] = { "sip:alice@atlanta.com",
                                      "SIP:a:b;c@d",
                                      "sip:a:b:5;x@y",
                                      "sip:a:1@b:5;x",
                                      "sip:a:;@b",
                                      "sip:a@b:123456",
                                      "sip:a@b:12345;",
                                      "sip:a@b:;x",
                                      "sip:a@",
                                      "sip:",
                                      "sip:a@b;",
                                      "a@b:5060;lr",
                                      "a:b@c:d",
                                      "sip:a:b@c@d",
                                      "sip:\xc3\xa9t\xc3\xa9@h\xcc\x81.x",
                                      "sip:a@h:\xd9\xa3",
                                      "sip:a_b@h;p=\"q;r\"",
                                      " sip:a@b",
                                      "sip:a b@c",
                                      "SIP/2.0/UDP h:5060;branch=z9hG4bK1",
                                      "sip/2.0/tcp\th",
                                      "SIP/2.0/UDP  h",
                                      "SIP/2.0/UDP h",
                                      "SIP/\xd9\xa2.0/UDP hh",
                                      "SIP/2.0/UDP\xc2\xa0hh",
                                      "SIP/2.0/U-D.P hh x",
                                      "\"Bob\" <sip:bob@b>;tag=1",
                                      "Bob Smith <sip:b@h>",
                                      "  \"<sip:a@b>",
                                      "a<b> <sip:x>;p",
                                      "<a>;x>",
                                      " \"x\" \" <s>",
                                      "<sip:a@b> ; tag=1",
                                      "<sip:a@b>;",
                                      "<>",
                                      "<x>",
                                      "\"a\"\"b\" <sip:c>",
                                      "\" <sip:a@b>",
                                      "x \"y\" <z>",
                                      "<sip:a> <sip:b>",
                                      "\xe2\x80\xa8<sip:a@b>\xc2\xa0;t=1",
                                      "\"\xc2\x85\" <sip:q>",
                                      "*",
                                      "" };
        for (const char *text : texts)
            QTest::newRow(text) << QString::fromUtf8(text);
    }

    void matchersAgreeWithTheirPatterns()
    {
        QFETCH(QString, text);
        const QString problems = UriGrammarReference::difference(text);
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        QCOMPARE(isReadableContactAddress(text), KBaseContactAddress<1>(text).valid);
    }
};

QTEST_APPLESS_MAIN(TestSipUri)
#include "tst_sipuri.moc"
