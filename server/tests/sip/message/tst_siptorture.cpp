#include "../../toolkit.h"
#include "sip/message/sipmessage.h"
#include "testmain.h"

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

    QByteArray load(const QString &name) { return readFile(m_dir.filePath(name + ".dat")); }

    static SipMessage parse(const QByteArray &bytes)
    {
        return SipMessage(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.10")), 5060,
                          QHostAddress(QStringLiteral("192.0.2.20")), 5060, bytes);
    }

private slots:
    void outcome_data()
    {
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("error");
        for (const char *name :
             { "badaddress",  "badbranch", "baddate",  "baddn",      "badinv01", "bext01",
               "clerr",       "cparam01",  "cparam02", "dblreq",     "escnull",  "inv2543",
               "invut",       "longreq",   "lwsdisp",  "lwsstart",   "mcl01",    "mismatch01",
               "multibody01", "ncl",       "quotbal",  "regaut01",   "regbadct", "regescrt",
               "scalar02",    "sdp01",     "semiuri",  "transports", "unksm2",   "zeromf" })
            QTest::newRow(name) << true << 0 << QString();
        for (const char *name : { "bcast", "noreason", "scalarlg", "unreason" })
            QTest::newRow(name) << true << 1 << QString();
        // Refused, the error quoting the start line, or naming what was wrong in it or in a
        // header (kind 0: the start line was read).
        const auto quoting = [this](const char *name, int kind, const QString &error) {
            const QByteArray bytes = load(QString::fromLatin1(name));
            const QString line = QString::fromUtf8(bytes.left(bytes.indexOf("\r\n")));
            QTest::newRow(name) << false << kind << error + line + ").";
        };
        for (const char *name :
             { "esc02", "intmeth", "ltgtruri", "lwsruri", "novelsc", "test", "trws", "unkscm" })
            quoting(name, -1, QStringLiteral("Unspecified initial line ("));
        quoting("badvers", 0, QStringLiteral("Bad SIP Version ("));
        quoting("bigcode", -1, QStringLiteral("Bad response code ("));
        QTest::newRow("esc01")
            << false << -1
            << QStringLiteral("Bad request uri (sip:sips%3Auser%40example.com@example.net).");
        QTest::newRow("escruri")
            << false << -1
            << QStringLiteral(
                   "Bad request uri (sip:user@example.com?Route=%3Csip:example.com%3E).");
        QTest::newRow("mismatch02")
            << false << -1 << QStringLiteral("Unknown request method (NEWMETHOD).");
        for (const char *name : { "insuf", "multi01" })
            QTest::newRow(name) << false << 0 << QStringLiteral("Multiple header field CallID");
        QTest::newRow("wsinv") << false << 0 << QStringLiteral("Multiple header field From");
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

    void everyMessageHasARow()
    {
        QCOMPARE(m_dir.entryList({ QStringLiteral("*.dat") }, QDir::Files).size(), 50);
    }
};

TARNHALL_TEST_APPLESS_MAIN(TestSipTorture)
#include "tst_siptorture.moc"
