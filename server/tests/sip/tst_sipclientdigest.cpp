#include "sip/message/sipmessage.h"
#include "sip/sipclientdigest.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QTextCodec>
#include <QtTest>

namespace {

QByteArray md5(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// A message with the headers every SIP message needs before the given ones.
SipMessage parse(const QByteArray &startLine, const QByteArray &headers, const QByteArray &body)
{
    const QByteArray text = startLine
        + "\r\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\r\nFrom: <sip:door@example.org>"
          ";tag=f\r\nTo: <sip:door@example.org>\r\nCall-ID: c\r\nMax-Forwards: 70\r\n"
        + headers + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    return SipMessage(SipTransport::UDP, QHostAddress::LocalHost, 5060, QHostAddress::LocalHost,
                      5061, text);
}

// What a registrar checks: the answer's response from the password it keeps.
bool verifies(const QString &answer, const QByteArray &method, const QByteArray &body,
              const QString &password)
{
    const QHash<QString, QString> a = SipClientDigest::parseChallenge(answer);
    const QByteArray ha1 = md5((a["username"] + ':' + a["realm"] + ':' + password).toUtf8());
    QByteArray a2 = method + ':' + a["uri"].toUtf8();
    if (a["qop"] == "auth-int")
        a2 += ':' + md5(body);
    QByteArray text = ha1 + ':' + a["nonce"].toUtf8() + ':';
    if (!a["qop"].isEmpty())
        text += a["nc"].toUtf8() + ':' + a["cnonce"].toUtf8() + ':' + a["qop"].toUtf8() + ':';
    return md5(text + md5(a2)) == a["response"].toUtf8();
}

} // namespace

class TestSipClientDigest : public QObject
{
    Q_OBJECT

private slots:
    // What kamailio's challenge (qop=auth, a UTF-8 password) does not show.
    void answer_data()
    {
        QTest::addColumn<QByteArray>("challenges");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("qop"); // "-" for no answer at all
        QTest::addColumn<QString>("realm");
        const auto row = [](const char *name, const QByteArray &challenges, const QString &password,
                            const char *qop, const char *realm) {
            QTest::newRow(name) << challenges << password << QString(qop) << QString(realm);
        };
        const QByteArray www = "WWW-Authenticate: ";
        row("no qop", www + "Digest realm=\"r\", nonce=\"n\"", "secret", "", "r");
        row("auth-int only", www + "DiGeSt realm=\"r\",nonce=\"n\",qop=\"auth-int\"", "secret",
            "auth-int", "r");
        row("comma in realm, auth preferred",
            www + "Digest realm=\"Door, Inc\", nonce=\"n\", qop=\"auth-int, auth\", opaque=\"o\"",
            QString::fromUtf8("p\xc3\xa4sswort"), "auth", "Door, Inc");
        row("basic", www + "Basic realm=\"r\"", "secret", "-", "");
        row("two challenges",
            www + "Digest realm=\"r\", nonce=\"n\"\r\n" + www + "Digest realm=\"s\", nonce=\"m\"",
            "secret", "-", "");
    }
    void answer()
    {
        QFETCH(QByteArray, challenges);
        QFETCH(QString, password);
        QFETCH(QString, qop);
        QFETCH(QString, realm);
        // The hashes must not depend on the locale the service happens to run in.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const QByteArray body = "v=0\r\n";
        const SipMessage invite
            = parse("INVITE sip:door@example.org SIP/2.0", "CSeq: 2 INVITE", body);
        const SipMessage challenge
            = parse("SIP/2.0 401 Unauthorized", "CSeq: 1 INVITE\r\n" + challenges, QByteArray());
        QVERIFY2(invite.isValid() && challenge.isValid(),
                 qPrintable(invite.parseError + challenge.parseError));

        quint64 count = 1;
        const QString first = SipClientDigest::authorization(SipHeader::WWWAuthenticate, invite,
                                                             challenge, "door", password, count);
        if (qop == "-") {
            QVERIFY(first.isEmpty());
            return;
        }
        const QString second = SipClientDigest::authorization(SipHeader::WWWAuthenticate, invite,
                                                              challenge, "door", password, count);
        const QHash<QString, QString> a = SipClientDigest::parseChallenge(first);
        const QHash<QString, QString> b = SipClientDigest::parseChallenge(second);
        QCOMPARE(a["qop"], qop);
        QCOMPARE(a["realm"], realm);
        QCOMPARE(a["uri"], QStringLiteral("sip:door@example.org"));
        QVERIFY(verifies(first, "INVITE", body, password));
        QVERIFY(!verifies(first, "INVITE", body, password + "x"));
        QCOMPARE(a.contains("opaque"), challenges.contains("opaque"));
        if (qop.isEmpty()) {
            QVERIFY(first.endsWith("algorithm=MD5"));
            QCOMPARE(count, quint64(1));
        } else {
            QCOMPARE(a["nc"] + b["nc"], QStringLiteral("0000000100000002"));
            QVERIFY(a["cnonce"] != b["cnonce"]);
        }
    }
};

TARNHALL_TEST_MAIN(TestSipClientDigest)
#include "tst_sipclientdigest.moc"
