#include "common/codecs/audiocodec.h"
#include "sdptestdata.h"
#include "sip/message/sdpbody.h"

#include <QtTest>

namespace {

struct Audio
{
    bool ok = false;
    uchar payload = 0;
    QHostAddress rtpAddress;
    quint16 rtpPort = 0;
    QHostAddress rtcpAddress;
    quint16 rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Unknown;
    uchar telephoneEvent = 0;
};

Audio readAudio(const QByteArray &body)
{
    Audio a;
    a.ok = parseSdpAudio(body, a.payload, a.rtpAddress, a.rtpPort, a.rtcpAddress, a.rtcpPort,
                         a.direction, a.telephoneEvent);
    return a;
}

struct Video
{
    bool ok = false;
    QString fmtp;
    uchar payload = 0;
    QHostAddress rtpAddress;
    quint16 rtpPort = 0;
    QHostAddress rtcpAddress;
    quint16 rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Unknown;
};

Video readVideo(const QByteArray &body, const QString &rtpmap)
{
    Video v;
    v.ok = parseSdpVideo(body, rtpmap, v.fmtp, v.payload, v.rtpAddress, v.rtpPort, v.rtcpAddress,
                         v.rtcpPort, v.direction);
    return v;
}

QByteArray lines(const QStringList &list)
{
    return (list.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

const QHostAddress kAny(QHostAddress::AnyIPv4);

QByteArray offer()
{
    return buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.5"), 40001,
                    SipSdpAction::SendRecv, 65535, 255, false, 255, QString(), QString(), 0, 0,
                    SipSdpAction::Unknown);
}

} // namespace

class TestSdpBody : public QObject
{
    Q_OBJECT

private slots:
    void init() { AudioCodec::setCodecs({ "8", "0", "3", "9" }); }

    void offerListsEveryEnabledCodecInOrder()
    {
        AudioCodec::setCodecs({ "8", "0" });
        QCOMPARE(offer(),
                 QByteArray("v=0\r\no=- 0 0 IN IP4 10.0.0.5\r\ns=session\r\nc=IN IP4 10.0.0.5\r\n"
                            "t=0 0\r\nm=audio 40000 RTP/AVP 8 0 101\r\n"
                            "a=rtcp:40001 IN IP4 10.0.0.5\r\na=rtpmap:8 PCMA/8000\r\n"
                            "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                            "a=fmtp:101 0-16\r\na=sendrecv\r\n"));

        // Telephone events named early in the settings stay at their place in the list.
        AudioCodec::setCodecs({ "101", "9" });
        const QByteArray early = offer();
        QVERIFY(early.contains("m=audio 40000 RTP/AVP 101 9\r\n"));
        QVERIFY(early.contains("a=fmtp:101 0-16\r\na=rtpmap:9 G722/8000\r\n"));
    }

    void answerAlwaysSays101()
    {
        const QByteArray answer
            = buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.6"), 40001,
                       SipSdpAction::SendRecv, 0, 96, false, 255, QString(), QString(), 0, 0,
                       SipSdpAction::Unknown);
        QCOMPARE(answer,
                 QByteArray("v=0\r\no=- 0 0 IN IP4 10.0.0.5\r\ns=session\r\nc=IN IP4 10.0.0.5\r\n"
                            "t=0 0\r\nm=audio 40000 RTP/AVP 0 101\r\n"
                            "a=rtcp:40001 IN IP4 10.0.0.6\r\na=rtpmap:0 PCMU/8000\r\n"
                            "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-16\r\n"
                            "a=sendrecv\r\n"));
        const QByteArray plain
            = buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.5"), 40001,
                       SipSdpAction::SendOnly, 9, 255, true, 255, QStringLiteral("H264/90000"),
                       QString(), 40002, 40003, SipSdpAction::Unknown);
        QVERIFY(plain.contains("m=audio 40000 RTP/AVP 9\r\na=rtcp:40001 IN IP4 10.0.0.5\r\n"
                               "a=rtpmap:9 G722/8000\r\na=sendonly\r\n"));
        QVERIFY(!plain.contains("telephone-event"));
        QVERIFY2(!plain.contains("m=video"), "video payload 255 writes no video section");

        const QByteArray unknown
            = buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.5"), 40001,
                       SipSdpAction::Type(7), 18, 255, false, 255, QString(), QString(), 0, 0,
                       SipSdpAction::Unknown);
        QVERIFY(unknown.contains("m=audio 40000 RTP/AVP 18\r\n"));
        QVERIFY(!unknown.contains("a=rtpmap"));
        QVERIFY2(unknown.endsWith("a=sendrecv\r\n"), "a direction without text counts as sendrecv");
    }

    void videoSection()
    {
        const QByteArray body
            = buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.5"), 40001,
                       SipSdpAction::SendRecv, 8, 101, true, 96, QStringLiteral("H264/90000"),
                       QStringLiteral("packetization-mode=1"), 40002, 40003, SipSdpAction::Unknown);
        QVERIFY(body.endsWith("a=sendrecv\r\nm=video 40002 RTP/AVP 96\r\n"
                              "a=rtcp:40003 IN IP4 10.0.0.5\r\na=rtpmap:96 H264/90000\r\n"
                              "a=fmtp:96 packetization-mode=1\r\na=sendrecv\r\n"));
        QCOMPARE(readVideo(body, QStringLiteral("h264/90000")).fmtp,
                 QStringLiteral("packetization-mode=1"));

        // An empty fmtp is still written (ending in a blank), and is read back empty.
        const QByteArray bare
            = buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.5"), 40001,
                       SipSdpAction::SendRecv, 8, 255, true, 96, QStringLiteral("H264/90000"),
                       QString(), 40002, 40003, SipSdpAction::RecvOnly);
        QVERIFY(bare.endsWith("a=fmtp:96 \r\na=recvonly\r\n"));
        const Video b = readVideo(bare, QStringLiteral("H264/90000"));
        QVERIFY(b.ok);
        QCOMPARE(b.fmtp, QString());
        QCOMPARE(b.direction, SipSdpAction::RecvOnly);
    }

    void peerTextsCannotAddLines()
    {
        const QByteArray body = buildSdp(
            QStringLiteral("10.0.0.5\r\nm=audio 1 RTP/AVP 0"), 40000, QStringLiteral("10.0.0.5"),
            40001, SipSdpAction::SendRecv, 8, 255, true, 96,
            QStringLiteral("H264/90000\r\na=inactive"), QStringLiteral("x=1\nm=audio 2 RTP/AVP 0"),
            40002, 40003, SipSdpAction::SendRecv);
        QCOMPARE(body.count("m=audio"), 1);
        QVERIFY(!body.contains("a=inactive"));
        QVERIFY(body.contains("a=fmtp:96 x=1\r\n"));
    }

    // The audio of the SDP examples of RFC 4566 section 5, RFC 3264 section 10 and RFC 4317.
    // Their host names are not resolved: a row with an address replaces the name by it.
    void rfcAudio_data()
    {
        QTest::addColumn<QString>("example");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("enabled");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("payload");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("event");

        const QStringList all { "8", "0", "3", "9" };
        const int sendrecv = SipSdpAction::SendRecv;
        // Multicast address with TTL, session-level recvonly.
        QTest::newRow("4566") << "rfc4566-5-example"
                              << "" << all << true << 0 << 49170 << int(SipSdpAction::RecvOnly)
                              << 255;
        QTest::newRow("3264 offer, name") << "rfc3264-10-1-offer"
                                          << "" << all << false << 0 << 49170 << sendrecv << 255;
        QTest::newRow("3264 answer")
            << "rfc3264-10-1-answer"
            << "192.0.2.20" << all << true << 0 << 49920 << sendrecv << 255;
        // A second audio stream (telephone events, recvonly) must not take over the first.
        QTest::newRow("3264 reoffer")
            << "rfc3264-10-1-reoffer"
            << "192.0.2.20" << all << true << 0 << 65422 << sendrecv << 255;
        QTest::newRow("3264 one of N")
            << "rfc3264-10-2-offer"
            << "192.0.2.10" << all << true << 0 << 62986 << int(SipSdpAction::Inactive) << 255;
        QTest::newRow("3264 one of N, no PCMU")
            << "rfc3264-10-2-offer"
            << "192.0.2.10" << QStringList { "8" } << false << 255 << 62986
            << int(SipSdpAction::Inactive) << 255;
        QTest::newRow("3264 G.723 only")
            << "rfc3264-10-2-reoffer"
            << "192.0.2.10" << all << false << 255 << 62986 << sendrecv << 255;
        QTest::newRow("4317 offer")
            << "rfc4317-audio-video-offer"
            << "192.0.2.101" << all << true << 0 << 49170 << sendrecv << 255;
        // A disabled first codec does not refuse an enabled later one.
        QTest::newRow("4317 offer, PCMA only")
            << "rfc4317-audio-video-offer"
            << "192.0.2.101" << QStringList { "8" } << true << 8 << 49170 << sendrecv << 255;
        QTest::newRow("4317 hold")
            << "rfc4317-hold-offer"
            << "192.0.2.101" << all << true << 0 << 49170 << int(SipSdpAction::SendOnly) << 255;
        QTest::newRow("4317 held")
            << "rfc4317-hold-answer"
            << "192.0.2.201" << all << true << 0 << 49172 << int(SipSdpAction::RecvOnly) << 255;
        QTest::newRow("4317 events")
            << "rfc4317-telephone-event-offer"
            << "192.0.2.101" << all << true << 0 << 49170 << sendrecv << 98;
        // iLBC and telephone events alone give no audio codec.
        QTest::newRow("4317 events answer")
            << "rfc4317-telephone-event-answer"
            << "192.0.2.201" << all << false << 255 << 49172 << sendrecv << 98;
    }

    void rfcAudio()
    {
        QFETCH(QString, example);
        QFETCH(QString, address);
        QFETCH(QStringList, enabled);
        QFETCH(bool, ok);
        QFETCH(int, payload);
        QFETCH(int, port);
        QFETCH(int, direction);
        QFETCH(int, event);
        AudioCodec::setCodecs(enabled);
        QByteArray body = sdpExample(example);
        QVERIFY(!body.isEmpty());
        for (const char *host : { "host.anywhere.com", "host.example.com",
                                  "host.atlanta.example.com", "host.biloxi.example.com" }) {
            if (!address.isEmpty())
                body.replace(host, address.toUtf8());
        }
        const Audio a = readAudio(body);
        QCOMPARE(a.ok, ok);
        QCOMPARE(int(a.payload), payload);
        QCOMPARE(int(a.rtpPort), port);
        QCOMPARE(int(a.rtcpPort), port + 1);
        QCOMPARE(int(a.direction), direction);
        QCOMPARE(int(a.telephoneEvent), event);
        const QHostAddress expected = example.startsWith("rfc4566")
            ? QHostAddress(QStringLiteral("224.2.17.12"))
            : address.isEmpty() ? kAny
                                : QHostAddress(address);
        QCOMPARE(a.rtpAddress, expected);
        QCOMPARE(a.rtcpAddress, expected);
    }

    void rfcVideo()
    {
        const QByteArray seminar = sdpExample(QStringLiteral("rfc4566-5-example"));
        const Video v = readVideo(seminar, QStringLiteral("h263-1998/90000"));
        QCOMPARE(int(v.payload), 99);
        QCOMPARE(v.rtpPort, quint16(51372));
        QCOMPARE(v.direction, SipSdpAction::RecvOnly);
        QVERIFY2(!v.ok, "no fmtp line follows the rtpmap");
        QVERIFY(readVideo(seminar + "a=fmtp:99 profile=0\r\n", "H263-1998/90000").ok);

        // RFC 3264 10.1: the answer rejects the H.261 stream (port 0) and keeps MPV.
        const QByteArray answer = sdpExample(QStringLiteral("rfc3264-10-1-answer"));
        QVERIFY(!readVideo(answer, QStringLiteral("H261/90000")).ok);
        const Video mpv = readVideo(answer, QStringLiteral("MPV/90000"));
        QCOMPARE(int(mpv.payload), 32);
        QCOMPARE(mpv.rtpPort, quint16(53000));
    }

    void codecChoice_data()
    {
        QTest::addColumn<QStringList>("enabled");
        QTest::addColumn<QString>("media");
        QTest::addColumn<int>("payload");
        QTest::addColumn<bool>("ok");

        QTest::newRow("unknown first") << QStringList { "0" } << "18 0 8 101" << 0 << true;
        QTest::newRow("disabled first") << QStringList { "8" } << "18 0 8 101" << 8 << true;
        QTest::newRow("none enabled") << QStringList { "9" } << "18 0 8 101" << 255 << false;
        QTest::newRow("events first") << QStringList { "8", "0" } << "101 8" << 8 << true;
        QTest::newRow("events only") << QStringList { "8", "0" } << "101" << 255 << false;
        QTest::newRow("above 127") << QStringList { "8" } << "264 8" << 8 << true;
        QTest::newRow("not a number") << QStringList { "0" } << "x 8 0" << 0 << true;
        QTest::newRow("empty field") << QStringList { "3" } << " 3" << 3 << true;
    }

    void codecChoice()
    {
        QFETCH(QStringList, enabled);
        QFETCH(QString, media);
        QFETCH(int, payload);
        QFETCH(bool, ok);
        AudioCodec::setCodecs(enabled);
        const Audio a = readAudio(lines(
            { "v=0", "c=IN IP4 192.0.2.1", QStringLiteral("m=audio 5004 RTP/AVP %1").arg(media) }));
        QCOMPARE(int(a.payload), payload);
        QCOMPARE(a.ok, ok);
    }

    void laterStreamsLeaveTheAudioAlone()
    {
        const Audio a
            = readAudio(lines({ "v=0", "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 18",
                                "a=sendonly", "m=video 6000 RTP/AVP 0", "c=IN IP4 192.0.2.9",
                                "a=inactive", "m=audio 7000 RTP/AVP 8" }));
        QCOMPARE(int(a.payload), 255);
        QVERIFY(!a.ok);
        QCOMPARE(a.rtpPort, quint16(5004));
        QCOMPARE(a.rtpAddress, QHostAddress(QStringLiteral("192.0.2.1")));
        QCOMPARE(a.direction, SipSdpAction::SendOnly);

        // The audio stream's own connection line wins over the session's.
        const Audio own = readAudio(
            lines({ "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "c=IN IP4 192.0.2.2" }));
        QVERIFY(own.ok);
        QCOMPARE(own.rtpAddress, QHostAddress(QStringLiteral("192.0.2.2")));
    }

    void rtcpPort()
    {
        const Audio top = readAudio(lines({ "c=IN IP4 192.0.2.1", "m=audio 65535 RTP/AVP 0" }));
        QCOMPARE(top.rtpPort, quint16(65535));
        QCOMPARE(top.rtcpPort, quint16(65535));
        const Video video = readVideo(lines({ "c=IN IP4 192.0.2.1", "m=video 65535 RTP/AVP 96",
                                              "a=rtpmap:96 H264/90000", "a=fmtp:96 x" }),
                                      QStringLiteral("H264/90000"));
        QVERIFY(video.ok);
        QCOMPARE(video.rtcpPort, quint16(65535));

        const Audio shortForm
            = readAudio(lines({ "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "a=rtcp:7000" }));
        QCOMPARE(shortForm.rtcpPort, quint16(5005));
        QCOMPARE(shortForm.rtcpAddress, QHostAddress(QStringLiteral("192.0.2.1")));
        const Audio full = readAudio(lines(
            { "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "a=rtcp:7001 IN IP4 192.0.2.7" }));
        QCOMPARE(full.rtcpPort, quint16(7001));
        QCOMPARE(full.rtcpAddress, QHostAddress(QStringLiteral("192.0.2.7")));
        const Audio bad = readAudio(lines(
            { "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "a=rtcp:70000 IN IP4 192.0.2.7" }));
        QCOMPARE(bad.rtcpPort, quint16(5005));
    }

    void direction_data()
    {
        QTest::addColumn<QStringList>("attributes");
        QTest::addColumn<int>("direction");

        QTest::newRow("none") << QStringList() << int(SipSdpAction::SendRecv);
        QTest::newRow("sendonly then ptime")
            << QStringList { "a=sendonly", "a=ptime:20" } << int(SipSdpAction::SendOnly);
        QTest::newRow("ptime then inactive")
            << QStringList { "a=ptime:20", "a=inactive" } << int(SipSdpAction::Inactive);
        QTest::newRow("last wins")
            << QStringList { "a=sendonly", "a=recvonly" } << int(SipSdpAction::RecvOnly);
        QTest::newRow("upper case") << QStringList { "a=SENDONLY" } << int(SipSdpAction::SendOnly);
        QTest::newRow("rtpmap and fmtp") << QStringList { "a=sendonly", "a=rtpmap:0 PCMU/8000",
                                                          "a=fmtp:101 0-16", "a=maxptime:40" }
                                         << int(SipSdpAction::SendOnly);
    }

    void direction()
    {
        QFETCH(QStringList, attributes);
        QFETCH(int, direction);
        const Audio a = readAudio(
            lines(QStringList { "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0" } + attributes));
        QCOMPARE(int(a.direction), direction);

        // The session level holds for the stream unless the stream says otherwise.
        const Audio session = readAudio(
            lines({ "c=IN IP4 192.0.2.1", "a=sendonly", "m=audio 5004 RTP/AVP 0", "a=ptime:20" }));
        QCOMPARE(session.direction, SipSdpAction::SendOnly);
        const Audio media = readAudio(
            lines({ "a=sendonly", "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "a=recvonly" }));
        QCOMPARE(media.direction, SipSdpAction::RecvOnly);
    }

    void refusedBodies()
    {
        const Audio noConnection = readAudio(lines({ "v=0", "m=audio 5004 RTP/AVP 0" }));
        QVERIFY(!noConnection.ok);
        QCOMPARE(noConnection.rtpAddress, kAny);
        QCOMPARE(noConnection.rtpPort, quint16(5004));
        QVERIFY(!readAudio(lines({ "c=IN IP4 192.0.2.1", "c=IN IP4 192.0.2.2" })).ok);
        QVERIFY(!readAudio(lines({ "c=IN IP6 2001:db8::1", "m=audio 5004 RTP/AVP 0" })).ok);
        QVERIFY(!readAudio(lines({ "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/SAVP 0" })).ok);
    }

    void lineEndsAndNul()
    {
        const QByteArray mixed
            = "v=0\nc=IN IP4 192.0.2.1\r\nm=audio 5004 RTP/AVP 0\na=sendonly\r\n";
        const Audio a = readAudio(mixed);
        QVERIFY(a.ok);
        QCOMPARE(a.direction, SipSdpAction::SendOnly);
        QByteArray cut("c=IN IP4 192.0.2.1\r\nm=audio 5004 RTP/AVP 0\r\n");
        cut += '\0';
        cut += "a=inactive\r\n";
        QCOMPARE(readAudio(cut).direction, SipSdpAction::SendRecv);
    }

    void telephoneEvent()
    {
        const Audio a
            = readAudio(lines({ "c=IN IP4 192.0.2.1", "a=rtpmap:97 telephone-event/8000",
                                "m=audio 5004 RTP/AVP 0 96 97", "a=rtpmap:96 telephone-event/8000",
                                "a=rtpmap:97 telephone-event/8000" }));
        QCOMPARE(int(a.telephoneEvent), 96);
        const Audio bad = readAudio(lines({ "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0",
                                            "a=rtpmap:9x telephone-event/8000" }));
        QCOMPARE(int(bad.telephoneEvent), 255);
    }

    // Shuffled pieces of SDP lines: whatever comes, the readers stay inside the text.
    void arbitraryBodies()
    {
        const QList<QByteArray> pieces { "m=",
                                         "audio",
                                         "video",
                                         " ",
                                         "RTP/AVP",
                                         "65535",
                                         "0",
                                         "101",
                                         "a=",
                                         "rtcp:",
                                         "rtpmap:",
                                         "fmtp:",
                                         "c=",
                                         "IN",
                                         "IP4",
                                         "192.0.2.1",
                                         "/",
                                         "=",
                                         "\r\n",
                                         "\n",
                                         QByteArray(1, '\0'),
                                         "\xff\xfe",
                                         "telephone-event/8000" };
        QRandomGenerator random(4733);
        for (int round = 0; round < 3000; ++round) {
            QByteArray body;
            for (int i = random.bounded(40); i > 0; --i)
                body += pieces.at(random.bounded(pieces.size()));
            const Audio a = readAudio(body);
            QVERIFY(!a.ok || a.payload != 255);
            readVideo(body, QStringLiteral("telephone-event/8000"));
        }
    }

    void videoReader()
    {
        const QByteArray body = lines(
            { "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "c=IN IP4 192.0.2.50", "a=sendonly",
              "m=video 5006 RTP/AVP 96 97", "a=rtpmap:96 VP8/90000", "a=rtpmap:97 H264/90000",
              "a=fmtp:97 profile-level-id=42e01f", "a=inactive", "a=sendonly" });
        const Video v = readVideo(body, QStringLiteral("H264/90000"));
        QVERIFY(v.ok);
        QCOMPARE(int(v.payload), 97);
        QCOMPARE(v.fmtp, QStringLiteral("profile-level-id=42e01f"));
        QCOMPARE(v.rtpAddress, QHostAddress(QStringLiteral("192.0.2.1")));
        QCOMPARE(v.direction, SipSdpAction::Inactive);

        // An fmtp line of another format after a non-matching rtpmap is not taken.
        const Video other = readVideo(body, QStringLiteral("VP8/90000"));
        QCOMPARE(int(other.payload), 96);
        QVERIFY(!other.ok);
        QCOMPARE(other.fmtp, QString());
        QVERIFY(!readVideo(body, QStringLiteral("H263/90000")).ok);
        QVERIFY(!readVideo(lines({ "c=IN IP4 192.0.2.1" }), QStringLiteral("H264/90000")).ok);
    }
};

QTEST_GUILESS_MAIN(TestSdpBody)
#include "tst_sdpbody.moc"
