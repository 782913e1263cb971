#include "rtsp/rtspdigest.h"
#include "rtsp/rtspmessage.h"
#include "rtsp/rtspobject.h"
#include "rtsp/rtspresponsereader.h"

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

QHash<QString, QString> fields(const QString &answer)
{
    QHash<QString, QString> result;
    QRegularExpressionMatchIterator it
        = QRegularExpression(QStringLiteral("(\\w+)=(\"[^\"]*\"|[^,]*)")).globalMatch(answer);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        result.insert(m.captured(1), m.captured(2).remove(QLatin1Char('"')));
    }
    return result;
}

const QByteArray kSdp = "v=0\r\na=control:*\r\nm=audio 0 RTP/AVP 8\r\na=control:audio\r\n"
                        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                        "a=fmtp:96 packetization-mode=1\r\na=control:stream=0\r\n";

} // namespace

class TestRtspMessage : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("body");
        const QString none;
        QTest::newRow("ok") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n") << true << 5 << "OK"
                            << none << QByteArray();
        QTest::newRow("rtsp code") << QByteArray("rtsp/1.0 454 Session Not Found\ncseq: 7\n\n")
                                   << true << 40 << "Session Not Found" << none << QByteArray();
        QTest::newRow("leading zero") << QByteArray("RTSP/1.0 0200 OK\r\nCSeq: 1\r\n\r\n") << true
                                      << 40 << "OK" << none << QByteArray();
        QTest::newRow("version") << QByteArray("RTSP/1.1 200 OK\r\nCSeq: 1\r\n\r\n") << false << 5
                                 << "OK"
                                 << "Bad RTSP Version (RTSP/1.1 200 OK)." << QByteArray();
        QTest::newRow("zero code")
            << QByteArray("RTSP/1.0 000 Nothing\r\n\r\n") << false << -1 << ""
            << "Bad response code (RTSP/1.0 000 Nothing)." << QByteArray();
        QTest::newRow("short reason")
            << QByteArray("RTSP/1.0 200 K\r\nCSeq: 1\r\n\r\n") << false << -1 << ""
            << "Unspecified initial line (RTSP/1.0 200 K)." << QByteArray();
        QTest::newRow("two cseq") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 1\r\ncseq: 1\r\n\r\n")
                                  << false << 5 << "OK"
                                  << "Multiple header field CSeq" << QByteArray();
        QTest::newRow("cseq method")
            << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 1 PLAY\r\n\r\n") << false << 5 << "OK"
            << "Bad CSeq field (1 PLAY)." << QByteArray();
        QTest::newRow("short body") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 1\r\n"
                                                  "Content-Length: 10\r\n\r\n123456789")
                                    << false << 5 << "OK" << none << QByteArray("123456789");
        // Everything after the first empty line is the body, byte for byte.
        const QByteArray raw("v=0\r\n\r\nm=video\0x\r\n\r\n", 19);
        QTest::newRow("raw body") << QByteArray("RTSP/1.0 200 OK\r\nCSeq: 1\r\n"
                                                "Content-Length: 19\r\n\r\n")
                + raw << true << 5 << "OK"
                                  << none << raw;
    }
    void parse()
    {
        QFETCH(QByteArray, data);
        const RtspMessage message(data);
        QCOMPARE(message.valid(), cell<bool>("valid"));
        QCOMPARE(int(message.status()), cell<int>("status"));
        QCOMPARE(message.reason(), cell<QString>("reason"));
        QCOMPARE(message.error(), cell<QString>("error"));
        QCOMPARE(message.body(), cell<QByteArray>("body"));
    }

    void request()
    {
        RtspMessage first(RtspMessage::Setup, QStringLiteral("rtsp://cam/s"));
        const RtspMessage second(RtspMessage::Options, QStringLiteral("rtsp://cam/s"));
        QCOMPARE(second.cseq(), first.cseq() + 1);
        first.setTransport(50000, 50001);
        first.setHeader(RtspMessage::ContentLength, QStringLiteral("5"));
        const QList<QByteArray> lines = first.toByteArray().split('\n');
        QCOMPARE(lines.at(0), QByteArray("SETUP rtsp://cam/s RTSP/1.0\r"));
        QCOMPARE(lines.at(1), "CSeq: " + QByteArray::number(first.cseq()) + "\r");
        QVERIFY(lines.contains("Transport: RTP/AVP;unicast;client_port=50000-50001\r"));
        QVERIFY(lines.contains("User-Agent: Corvane Tarnhall Server\r"));
        QVERIFY(!first.toByteArray().contains("Content-Length"));
        QVERIFY(first.toByteArray().endsWith("\r\n\r\n"));
        QVERIFY(RtspMessage().toByteArray().isEmpty());
    }

    void sdp_data()
    {
        QTest::addColumn<QByteArray>("sdp");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<int>("codec");
        QTest::addColumn<QString>("info");
        QTest::addColumn<QString>("control");
        QTest::newRow("camera") << kSdp << true << 96 << "H264/90000"
                                << "stream=0";
        QTest::newRow("static") << QByteArray("m=video 0 RTP/AVP 26\na=control:v\n") << false << 26
                                << ""
                                << "v";
        QTest::newRow("avpf") << QByteArray(kSdp).replace("RTP/AVP 96", "RTP/AVPF 96") << false
                              << 255 << ""
                              << "";
        QTest::newRow("small letters")
            << QByteArray(kSdp).replace("RTP/AVP 96", "rtp/avp 96") << true << 96 << "H264/90000"
            << "stream=0";
        QTest::newRow("no number")
            << QByteArray(kSdp).replace("RTP/AVP 96", "RTP/AVP x") << false << 0 << ""
            << "";
        // 300 must not become 44.
        QTest::newRow("above 127") << QByteArray(kSdp).replace("96", "300") << false << 255 << ""
                                   << "";
        QTest::newRow("second video") << kSdp + "m=video 0 RTP/AVP 97\na=control:other\n"
                                      << true << 96 << "H264/90000"
                                      << "stream=0";
    }
    void sdp()
    {
        QFETCH(QByteArray, sdp);
        uchar codec = 0;
        QString info = QStringLiteral("old"), fmtp, control;
        QCOMPARE(RtspMessage::parseVideoSdp(sdp, codec, info, fmtp, control), cell<bool>("usable"));
        QCOMPARE(int(codec), cell<int>("codec"));
        QCOMPARE(info, cell<QString>("info"));
        QCOMPARE(control, cell<QString>("control"));
    }

    void digest_data()
    {
        QTest::addColumn<QString>("challenge");
        QTest::addColumn<QString>("qop");
        QTest::addColumn<QString>("realm");
        QTest::addColumn<QString>("opaque");
        QTest::newRow("auth first") << "Digest realm=\"cam\", nonce=\"n1==\", qop=\"auth,auth-int\""
                                    << "auth"
                                    << "cam"
                                    << "";
        QTest::newRow("auth second")
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
        QFETCH(QString, challenge);
        QFETCH(QString, qop);
        QFETCH(QString, realm);
        quint64 count = 1;
        const QString uri = QStringLiteral("rtsp://cam/door");
        const QString text
            = RtspDigest::answer(challenge, QStringLiteral("DESCRIBE"), uri, "door", "pw", count);
        const QHash<QString, QString> f = fields(text);
        QCOMPARE(f.value("realm"), realm);
        QCOMPARE(f.value("nonce"), QStringLiteral("n1=="));
        QCOMPARE(f.value("opaque"), cell<QString>("opaque"));
        const QString ha1 = md5("door:" + realm + ":pw");
        const QString ha2 = md5("DESCRIBE:" + uri + (qop == "auth-int" ? ":" + md5("") : ""));
        const QString expected = qop.isEmpty()
            ? md5(ha1 + ":n1==:" + ha2)
            : md5(
                QStringList { ha1, "n1==", f.value("nc"), f.value("cnonce"), qop, ha2 }.join(':'));
        QCOMPARE(f.value("response"), expected);
        QCOMPARE(f.value("qop"), qop);
        QCOMPARE(f.value("nc"), qop.isEmpty() ? QString() : QStringLiteral("00000001"));
        QCOMPARE(count, qop.isEmpty() ? 1u : 2u);
        QVERIFY(RtspDigest::answer("Basic realm=\"cam\"", "PLAY", uri, "a", "b", count).isEmpty());
    }

    void reader_data()
    {
        QTest::addColumn<QList<QByteArray>>("segments");
        QTest::addColumn<QList<uint>>("taken");
        QTest::addColumn<bool>("failed");
        const QByteArray a = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 4\r\n\r\nv=0\n";
        const QByteArray b = "RTSP/1.0 200 OK\nCSeq: 2\n\n";
        QTest::newRow("split") << QList<QByteArray> { a.left(9), a.mid(9, 33), a.mid(42) }
                               << QList<uint> { 1 } << false;
        QTest::newRow("two in one") << QList<QByteArray> { a + b } << QList<uint> { 1, 2 } << false;
        QTest::newRow("endless head")
            << QList<QByteArray> { "RTSP/1.0 200 OK\r\n" + QByteArray(70000, 'x') }
            << QList<uint> {} << true;
        QTest::newRow("huge body") << QList<QByteArray> {
            "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 99999999\r\n\r\n"
        } << QList<uint> {} << true;
    }
    void reader()
    {
        QFETCH(QList<QByteArray>, segments);
        RtspResponseReader reader;
        QList<uint> taken;
        bool failed = false;
        for (const QByteArray &segment : segments) {
            reader.append(segment);
            RtspMessage message;
            QString error;
            RtspResponseReader::Result result;
            while ((result = reader.next(&message, &error)) == RtspResponseReader::Complete)
                taken.append(message.cseq());
            failed = failed || result == RtspResponseReader::Failed;
        }
        QCOMPARE(taken, cell<QList<uint>>("taken"));
        QCOMPARE(failed, cell<bool>("failed"));
        QCOMPARE(reader.size(), 0);
    }

    void controlUrl_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("url");
        QTest::newRow("no slash") << "rtsp://cam/door"
                                  << "stream=0"
                                  << "rtsp://cam/door/stream=0";
        QTest::newRow("base slash") << "rtsp://cam/door/"
                                    << "stream=0"
                                    << "rtsp://cam/door/stream=0";
        QTest::newRow("both") << "rtsp://cam/door/"
                              << "/stream=0"
                              << "rtsp://cam/door/stream=0";
        QTest::newRow("absolute") << "rtsp://cam/door/"
                                  << "rtsp://other/x"
                                  << "rtsp://other/x";
        QTest::newRow("aggregate") << "rtsp://cam/door/"
                                   << "*"
                                   << "rtsp://cam/door/";
    }
    void controlUrl()
    {
        QFETCH(QString, base);
        QFETCH(QString, control);
        QCOMPARE(RtspObject::controlUrl(base, control), cell<QString>("url"));
    }
};

QTEST_GUILESS_MAIN(TestRtspMessage)
#include "tst_rtspmessage.moc"
