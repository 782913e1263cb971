#include "sip/message/sipmessage.h"

#include <QDir>
#include <QHostAddress>
#include <QtTest>

// The RFC 4475 torture messages, byte-exact, against this parser's own grammar: each one gives
// the outcome below, never a crash, a hang or an unbounded allocation.
class TestSipTorture : public QObject
{
    Q_OBJECT

private:
    QDir m_dir { QStringLiteral(TARNHALL_SOURCE_DIR_TESTS "/data/rfc4475") };

    QByteArray load(const QString &name)
    {
        QFile file(m_dir.filePath(name + QStringLiteral(".dat")));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        return file.readAll();
    }

    static SipMessage parse(const QByteArray &bytes)
    {
        return SipMessage(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.10")), 5060,
                          QHostAddress(QStringLiteral("192.0.2.20")), 5060, bytes);
    }

private slots:
    void everyMessageIsCovered()
    {
        QVERIFY2(m_dir.exists(), qPrintable(m_dir.path()));
        QCOMPARE(m_dir.entryList({ QStringLiteral("*.dat") }, QDir::Files).size(), 50);
    }

    void outcome_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("badaddress") << true << 0 << QStringLiteral("");
        QTest::newRow("badbranch") << true << 0 << QStringLiteral("");
        QTest::newRow("baddate") << true << 0 << QStringLiteral("");
        QTest::newRow("baddn") << true << 0 << QStringLiteral("");
        QTest::newRow("badinv01") << true << 0 << QStringLiteral("");
        QTest::newRow("badvers")
            << false << 0
            << QStringLiteral("Bad SIP Version (OPTIONS sip:t.watson@example.org SIP/7.0).");
        QTest::newRow("bcast") << true << 1 << QStringLiteral("");
        QTest::newRow("bext01") << true << 0 << QStringLiteral("");
        QTest::newRow("bigcode")
            << false << -1
            << QStringLiteral(
                   "Bad response code (SIP/2.0 4294967301 better not break the receiver).");
        QTest::newRow("clerr") << true << 0 << QStringLiteral("");
        QTest::newRow("cparam01") << true << 0 << QStringLiteral("");
        QTest::newRow("cparam02") << true << 0 << QStringLiteral("");
        QTest::newRow("dblreq") << true << 0 << QStringLiteral("");
        QTest::newRow("esc01")
            << false << -1
            << QStringLiteral("Bad request uri (sip:sips%3Auser%40example.com@example.net).");
        QTest::newRow("esc02")
            << false << -1
            << QStringLiteral(
                   "Unspecified initial line (RE%47IST%45R sip:registrar.example.com SIP/2.0).");
        QTest::newRow("escnull") << true << 0 << QStringLiteral("");
        QTest::newRow("escruri")
            << false << -1
            << QStringLiteral(
                   "Bad request uri (sip:user@example.com?Route=%3Csip:example.com%3E).");
        QTest::newRow("insuf") << false << 0 << QStringLiteral("Multiple header field CallID");
        QTest::newRow("intmeth")
            << false << -1
            << QStringLiteral(
                   "Unspecified initial line (!interesting-Method0123456789_*+`.%indeed'~ "
                   "sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/"
                   ";;*:&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com SIP/2.0).");
        QTest::newRow("inv2543") << true << 0 << QStringLiteral("");
        QTest::newRow("invut") << true << 0 << QStringLiteral("");
        QTest::newRow("longreq") << true << 0 << QStringLiteral("");
        QTest::newRow("ltgtruri")
            << false << -1
            << QStringLiteral("Unspecified initial line (INVITE <sip:user@example.com> SIP/2.0).");
        QTest::newRow("lwsdisp") << true << 0 << QStringLiteral("");
        QTest::newRow("lwsruri")
            << false << -1
            << QStringLiteral(
                   "Unspecified initial line (INVITE sip:user@example.com; lr SIP/2.0).");
        QTest::newRow("lwsstart") << true << 0 << QStringLiteral("");
        QTest::newRow("mcl01") << true << 0 << QStringLiteral("");
        QTest::newRow("mismatch01") << true << 0 << QStringLiteral("");
        QTest::newRow("mismatch02")
            << false << -1 << QStringLiteral("Unknown request method (NEWMETHOD).");
        QTest::newRow("multibody01") << true << 0 << QStringLiteral("");
        QTest::newRow("multi01") << false << 0 << QStringLiteral("Multiple header field CallID");
        QTest::newRow("ncl") << true << 0 << QStringLiteral("");
        QTest::newRow("noreason") << false << -1
                                  << QStringLiteral("Unspecified initial line (SIP/2.0 100 ).");
        QTest::newRow("novelsc")
            << false << -1
            << QStringLiteral(
                   "Unspecified initial line (OPTIONS soap.beep://192.0.2.103:3002 SIP/2.0).");
        QTest::newRow("quotbal") << true << 0 << QStringLiteral("");
        QTest::newRow("regaut01") << true << 0 << QStringLiteral("");
        QTest::newRow("regbadct") << true << 0 << QStringLiteral("");
        QTest::newRow("regescrt") << true << 0 << QStringLiteral("");
        QTest::newRow("scalar02") << true << 0 << QStringLiteral("");
        QTest::newRow("scalarlg") << true << 1 << QStringLiteral("");
        QTest::newRow("sdp01") << true << 0 << QStringLiteral("");
        QTest::newRow("semiuri") << true << 0 << QStringLiteral("");
        QTest::newRow("test") << false << -1
                              << QStringLiteral(
                                     "Unspecified initial line (INVITE sip:alan@jasomi.com).");
        QTest::newRow("transports") << true << 0 << QStringLiteral("");
        QTest::newRow("trws")
            << false << -1
            << QStringLiteral(
                   "Unspecified initial line (OPTIONS sip:remote-target@example.com SIP/2.0  ).");
        QTest::newRow("unkscm") << false << -1
                                << QStringLiteral(
                                       "Unspecified initial line (OPTIONS "
                                       "nobodyKnowsThisScheme:totallyopaquecontent SIP/2.0).");
        QTest::newRow("unksm2") << true << 0 << QStringLiteral("");
        QTest::newRow("unreason") << true << 1 << QStringLiteral("");
        QTest::newRow("wsinv") << false << 0 << QStringLiteral("Multiple header field From");
        QTest::newRow("zeromf") << true << 0 << QStringLiteral("");
    }

    void outcome()
    {
        QFETCH(bool, valid);
        QFETCH(int, kind);
        QFETCH(QString, error);
        const QByteArray bytes = load(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(!bytes.isEmpty());
        const SipMessage message = parse(bytes);
        QCOMPARE(message.valid, valid);
        QCOMPARE(message.startLine.kind, kind);
        QCOMPARE(message.parseError, error);
        if (!valid)
            return;
        // What was accepted writes out and reads back to the same start line and headers.
        const SipMessage again = parse(message.toByteArray());
        QVERIFY(again.valid);
        QCOMPARE(again.startLine.kind, message.startLine.kind);
        QCOMPARE(again.startLine.method, message.startLine.method);
        QCOMPARE(again.startLine.status, message.startLine.status);
        QCOMPARE(again.body, message.body);
        for (auto it = message.headers.constBegin(); it != message.headers.constEnd(); ++it) {
            if (it.key() != SipHeader::Unknown && it.key() != SipHeader::ContentLength)
                QCOMPARE(again.headerValues(it.key()), it.value());
        }
    }

    void bodiesStayBytes()
    {
        // Outside the head nothing is decoded, unfolded or cut.
        const SipMessage escnull = parse(load(QStringLiteral("escnull")));
        QVERIFY(escnull.body.isEmpty());
        const QByteArray sdp = load(QStringLiteral("sdp01"));
        const SipMessage withSdp = parse(sdp);
        QCOMPARE(withSdp.body, sdp.mid(sdp.indexOf("\r\n\r\n") + 4));
        const QByteArray clerr = load(QStringLiteral("clerr"));
        const SipMessage longLength = parse(clerr);
        QCOMPARE(longLength.contentLength(), 9999u);
        QCOMPARE(longLength.body, clerr.mid(clerr.indexOf("\r\n\r\n") + 4));
    }
};

QTEST_APPLESS_MAIN(TestSipTorture)
#include "tst_siptorture.moc"
