#include "sip/message/kbasecontactaddress.h"
#include "sip/message/kbaserequesturi.h"
#include "sip/message/kbaseuri.h"
#include "sip/message/kbaseviaaddress.h"
#include "testmain.h"

#include <QtTest>

class TestSipUri : public QObject
{
    Q_OBJECT

private slots:
    // Each reader on the texts it is given: whether it takes them and what it writes back,
    // which it reads again to the same text.
    void readAndWrite_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("written");
        const auto row
            = [](const char *reader, const char *text, bool valid, const char *written = nullptr) {
                  QTest::addRow("%s %s", reader, text)
                      << QString::fromLatin1(reader) << QString::fromUtf8(text) << valid
                      << (written ? QString::fromUtf8(written) : QString());
              };
        // RFC 3261 section 19.1.3, as this system's narrower grammar reads them.
        row("uri", "sip:alice@atlanta.com", true, "sip:alice@atlanta.com");
        row("uri", "sip:alice:secretword@atlanta.com;transport=tcp", true,
            "sip:alice:secretword@atlanta.com;transport=tcp");
        row("uri", "sips:alice@atlanta.com?subject=project%20x&priority=urgent", false, "");
        row("uri", "sip:+1-212-555-1212:1234@gateway.com;user=phone", false, "");
        row("uri", "sips:1212@gateway.com", false, "");
        row("uri", "sip:alice@192.0.2.4", true, "sip:alice@192.0.2.4");
        // Without "@" the first word is the user; the header after "?" is not written back.
        row("uri", "sip:atlanta.com;method=REGISTER?to=alice%40atlanta.com", true,
            "sip:atlanta.com;method=REGISTER");
        row("uri", "sip:alice;day=tuesday@atlanta.com", true, "sip:alice;day=tuesday@atlanta.com");
        row("uri", "SIP:Alice@Host.Example", true, "sip:Alice@Host.Example");
        row("uri", "", false);
        row("uri", "alice@host", false);
        row("bare uri", "alice@host", true);
        row("uri", "sip:10.0.0.1:5070", true, "sip:10.0.0.1:5070");
        row("uri", "sip:a@h:99999", true, "sip:a@h");
        row("uri", "sip:a@h:5060", true, "sip:a@h");
        row("uri", "sip:a@h:123456", false);
        row("uri", "sip:a@h;x=1?subject=project%20x;y=%22q%22", true, "sip:a@h;x=1");
        row("request", "sip:user@", true);
        row("request", "sip:", true, "sip:");
        row("bare request", "", true);
        row("request", "sip:a:pw@h", false);
        row("contact", "\"Bob Smith\"  <sip:bob@biloxi.com>;tag=a6c85cf", true,
            "\"Bob Smith\" <sip:bob@biloxi.com>;tag=a6c85cf");
        row("contact", "Bob Smith <sip:bob@biloxi.com>", true,
            "\"Bob Smith\" <sip:bob@biloxi.com>");
        row("contact", "<sip:b@h>", true, "<sip:b@h>");
        row("contact", "\"N\" <sip:10.0.0.1:5070>;tag=1", true, "\"N\" <sip:10.0.0.1:5070>;tag=1");
        row("contact", "\"N\" <sip:user@>;tag=1", true, "<sip:user>");
        row("contact", "sip:a@h;expires=60", true);
        row("contact", "*", false, "");
        row("via", "SIP/2.0/UDP  host", false);
        row("via", "SIP/2.0/TCP\thost", true);
        row("via", "SIP/3.0/UDP host", false);
        row("via", "SIP/2.0/SCTP host", false);
        row("via", "SIP/2.0/UDP h", false);
        row("via", "SIP/2.0/TCP h1:5062", true, "SIP/2.0/TCP h1:5062");
        row("via", "junk", false, "");
    }

    void readAndWrite()
    {
        QFETCH(QString, reader);
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, written);
        const auto read = [&](const QString &input) -> QPair<bool, QString> {
            if (reader == QLatin1String("uri"))
                return { KBaseUri<1>(input).valid, KBaseUri<1>(input).toString() };
            if (reader == QLatin1String("bare uri"))
                return { KBaseUri<0>(input).valid, KBaseUri<0>(input).toString() };
            if (reader == QLatin1String("request"))
                return { KBaseRequestUri<1>(input).valid, KBaseRequestUri<1>(input).toString() };
            if (reader == QLatin1String("bare request"))
                return { KBaseRequestUri<0>(input).valid, KBaseRequestUri<0>(input).toString() };
            if (reader == QLatin1String("contact"))
                return { KBaseContactAddress<1>(input).valid,
                         KBaseContactAddress<1>(input).toString() };
            return { KBaseViaAddress<1>(input).valid, KBaseViaAddress<1>(input).toString() };
        };
        const QPair<bool, QString> once = read(text);
        QCOMPARE(once.first, valid);
        if (!written.isNull())
            QCOMPARE(once.second, written);
        if (valid)
            QCOMPARE(read(once.second).second, once.second);
    }

    void fields()
    {
        const KBaseUri<1> secret(QStringLiteral("sip:alice:secretword@atlanta.com"));
        QCOMPARE(secret.user + "|" + secret.password + "|" + secret.host,
                 QStringLiteral("alice|secretword|atlanta.com"));
        QCOMPARE(KBaseUri<1>(QStringLiteral("sip:atlanta.com;method=REGISTER")).user,
                 QStringLiteral("atlanta.com"));
        // A port without a user reads as a password, and is written back as it came.
        QCOMPARE(KBaseUri<1>(QStringLiteral("sip:10.0.0.1:5070")).password, QStringLiteral("5070"));
        QCOMPARE(KBaseUri<1>(QStringLiteral("sip:a@10.0.0.1:5070;lr")).port, quint16(5070));
        const KBaseUri<1> headers(QStringLiteral("sip:a@h;x=1?subject=project%20x;y=%22q%22"));
        QCOMPARE(headers.headers.param(QStringLiteral("subject")), QStringLiteral("project x"));
        const KBaseUri<1> nul(QStringLiteral("sip:a@h?x=ab%00cd"));
        QCOMPARE(nul.headers.param(QStringLiteral("x")), QStringLiteral("ab"));
        KBaseUri<1> raw;
        raw.valid = true;
        raw.user = QStringLiteral("d\u00f6r 1%");
        raw.host = QStringLiteral("h");
        QCOMPARE(raw.toString(), QStringLiteral("sip:d\u00f6r 1%@h"));

        const KBaseRequestUri<1> noHost(QStringLiteral("sip:user@"));
        QCOMPARE(noHost.user, QStringLiteral("user"));
        QCOMPARE(noHost.host, QString());
        KBaseRequestUri<1> uri(QStringLiteral("sip:a@h"));
        uri.setTransport(SipTransport::TCP);
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h;transport=TCP"));
        uri.setTransport(SipTransport::UDP);
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h"));
        uri.setTransport(SipTransport::Type(7));
        QCOMPARE(uri.toString(), QStringLiteral("sip:a@h;transport"));

        // The request reading of a contact loses name and parameters and defaults the port.
        const KBaseContactAddress<1> taken(QStringLiteral("\"N\" <sip:user@>;tag=1"));
        QVERIFY(taken.parameters.isEmpty());
        QCOMPARE(taken.address.port, quint16(5060));
        // Without brackets the parameters belong to the URI.
        const KBaseContactAddress<1> noBrackets(QStringLiteral("sip:a@h;expires=60"));
        QVERIFY(noBrackets.parameters.isEmpty());
        QCOMPARE(noBrackets.address.parameters.param(QStringLiteral("expires")),
                 QStringLiteral("60"));
        KBaseContactAddress<1> reread;
        QVERIFY(reread = QStringLiteral("<sip:x@y>"));
        QVERIFY(KBaseContactAddress<1>(QStringLiteral("<sip:x@y>;tag=1;a=2"))
                != KBaseContactAddress<1>(QStringLiteral("<sip:x@y>;a=2;tag=1")));

        const KBaseViaAddress<1> lower(
            QStringLiteral("sip/2.0/udp pc33.atlanta.com:5060;branch=z9hG4bK1;rport"));
        QVERIFY(lower.toString().startsWith(QStringLiteral("SIP/2.0/UDP pc33.atlanta.com;")));
        QVERIFY(lower.sentBy.parameters.hasParam(QStringLiteral("rport")));
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
};

TARNHALL_TEST_APPLESS_MAIN(TestSipUri)
#include "tst_sipuri.moc"
