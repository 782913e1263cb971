#include "rtsp/rtspdigest.h"
#include "rtsp/rtspmessage.h"
#include "rtsp/rtspobject.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtTest>

// A cell of the current data row, usable inside an expression (QFETCH declares a variable).
template<typename T> T cell(const char *name)
{
    return *static_cast<T *>(QTest::qData(name, qMetaTypeId<T>()));
}

namespace {

QString md5(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

const QByteArray kSdp = "v=0\r\na=control:*\r\nm=audio 0 RTP/AVP 8\r\na=control:audio\r\n"
                        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                        "a=fmtp:96 packetization-mode=1\r\na=control:stream=0\r\n";
const QByteArray kOk = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";

} // namespace

class TestRtspMessage : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("body");
        // Everything after the first empty line is the body, byte for byte.
        const QByteArray raw("v=0\r\n\r\nm=video\0x\r\n\r\n", 19);
        QTest::newRow("ok") << kOk + "\r\n" << 5 << "" << QByteArray();
        QTest::newRow("raw body") << kOk + "Content-Length: 19\r\n\r\n" + raw << 5 << "" << raw;
        QTest::newRow("short body")
            << kOk + "Content-Length: 10\r\n\r\n123456789" << -2 << "" << QByteArray("123456789");
        QTest::newRow("rtsp code") << QByteArray("rtsp/1.0 454 Session Not Found\ncseq: 7\n\n")
                                   << 40 << "" << QByteArray();
        QTest::newRow("version") << QByteArray("RTSP/1.1 200 OK\r\nCSeq: 1\r\n\r\n") << -2
                                 << "Bad RTSP Version (RTSP/1.1 200 OK)." << QByteArray();
        QTest::newRow("two cseq") << kOk + "cseq: 1\r\n\r\n"
                                  << -2 << "Multiple header field CSeq" << QByteArray();
    }
    void parse()
    {
        const RtspMessage message(cell<QByteArray>("data"));
        const int status = cell<int>("status");
        QCOMPARE(message.valid(), status >= 0);
        QCOMPARE(message.valid() ? int(message.status()) : -2, status);
        QCOMPARE(message.error(), cell<QString>("error"));
        QCOMPARE(message.body(), cell<QByteArray>("body"));
    }

    void sdp_data()
    {
        QTest::addColumn<QByteArray>("sdp");
        QTest::addColumn<int>("codec");
        QTest::addColumn<QString>("control");
        QTest::newRow("camera") << kSdp << 96 << "stream=0";
        QTest::newRow("second video") << kSdp + "m=video 0 RTP/AVP 97\na=control:x\n"
                                      << 96 << "stream=0";
        QTest::newRow("avpf") << QByteArray(kSdp).replace("AVP 96", "AVPF 96") << -255 << "";
        QTest::newRow("no number") << QByteArray(kSdp).replace("AVP 96", "AVP x") << 0 << "";
        // 300 must not become 44.
        QTest::newRow("above 127") << QByteArray(kSdp).replace("96", "300") << -255 << "";
    }
    void sdp()
    {
        uchar codec = 0;
        QString info = QStringLiteral("old"), fmtp, control;
        const bool usable
            = RtspMessage::parseVideoSdp(cell<QByteArray>("sdp"), codec, info, fmtp, control);
        QCOMPARE(usable ? int(codec) : -int(codec), cell<int>("codec"));
        QCOMPARE(info, usable ? QStringLiteral("H264/90000") : QString());
        QCOMPARE(control, cell<QString>("control"));
    }

    void digest_data()
    {
        QTest::addColumn<QString>("challenge");
        QTest::addColumn<QString>("qop");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<QString>("opaque");
        QTest::newRow("auth offered second")
            << "digest Realm=\"cam\", NONCE=\"n1==\", qop=\"auth-int,auth\""
            << "auth"
            << "cam"
            << "";
        QTest::newRow("auth-int") << "Digest realm=\"cam\", nonce=\"n1==\", qop=\"auth-int\""
                                  << "auth-int"
                                  << "cam"
                                  << "";
        QTest::newRow("no qop") << "Digest realm=\"Door Cam, Inc\", nonce=\"n1==\", opaque=\"op\""
                                << ""
                                << "Door Cam, Inc"
                                << "op";
    }
    void digest()
    {
        QFETCH(QString, qop);
        QFETCH(QString, realm);
        quint64 count = 1;
        const QString uri = QStringLiteral("rtsp://cam/door");
        const QString text
            = RtspDigest::answer(cell<QString>("challenge"), "DESCRIBE", uri, "door", "pw", count);
        QHash<QString, QString> f;
        auto it = QRegularExpression("(\\w+)=(\"[^\"]*\"|[^,]*)").globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            f.insert(m.captured(1), m.captured(2).remove('"'));
        }
        QCOMPARE(f.value("realm"), realm);
        QCOMPARE(f.value("nonce"), QStringLiteral("n1=="));
        QCOMPARE(f.value("opaque"), cell<QString>("opaque"));
        QCOMPARE(f.value("qop"), qop);
        const QString ha1 = md5("door:" + realm + ":pw");
        const QString ha2 = md5("DESCRIBE:" + uri + (qop == "auth-int" ? ":" + md5("") : ""));
        const QStringList parts = qop.isEmpty()
            ? QStringList { ha1, "n1==", ha2 }
            : QStringList { ha1, "n1==", "00000001", f.value("cnonce"), qop, ha2 };
        QCOMPARE(f.value("response"), md5(parts.join(':')));
        QCOMPARE(count, qop.isEmpty() ? 1u : 2u);
        QVERIFY(RtspDigest::answer("Basic realm=\"cam\"", "PLAY", uri, "a", "b", count).isEmpty());
    }

    void controlUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("url");
        QTest::newRow("no slash") << "rtsp://cam/door"
                                  << "s=0"
                                  << "rtsp://cam/door/s=0";
        QTest::newRow("both") << "rtsp://cam/door/"
                              << "/s=0"
                              << "rtsp://cam/door/s=0";
        QTest::newRow("absolute") << "rtsp://cam/door/"
                                  << "rtsp://other/x"
                                  << "rtsp://other/x";
        QTest::newRow("aggregate") << "rtsp://cam/door/"
                                   << "*"
                                   << "rtsp://cam/door/";
    }
    void controlUrl()
    {
        QCOMPARE(RtspObject::controlUrl(cell<QString>("base"), cell<QString>("control")),
                 cell<QString>("url"));
    }
};

QTEST_GUILESS_MAIN(TestRtspMessage)
#include "tst_rtspmessage.moc"
