#include "../../toolkit.h"
#include "common/codecs/audiocodec.h"
#include "sip/message/sdpbody.h"
#include "testmain.h"

#include <QtTest>

namespace {

// What a reader found, in one line: taken or not, payload, RTP and RTCP addresses, direction,
// and the telephone-event payload (audio) or the fmtp text (video).
QString audio(const QByteArray &body)
{
    uchar payload, event;
    QHostAddress rtp, rtcp;
    quint16 rtpPort, rtcpPort;
    SipSdpAction::Type direction;
    const bool ok = parseSdpAudio(body, payload, rtp, rtpPort, rtcp, rtcpPort, direction, event);
    return QStringLiteral("%1 %2 %3:%4 %5:%6 %7 %8")
        .arg(QLatin1String(ok ? "ok" : "no"))
        .arg(payload)
        .arg(rtp.toString())
        .arg(rtpPort)
        .arg(rtcp.toString())
        .arg(rtcpPort)
        .arg(sdpActionName(direction))
        .arg(event);
}

QString video(const QByteArray &body, const QString &rtpmap)
{
    QString fmtp;
    uchar payload;
    QHostAddress rtp, rtcp;
    quint16 rtpPort, rtcpPort;
    SipSdpAction::Type direction;
    const bool ok
        = parseSdpVideo(body, rtpmap, fmtp, payload, rtp, rtpPort, rtcp, rtcpPort, direction);
    return QStringLiteral("%1 %2 %3:%4 %5:%6 %7 [%8]")
        .arg(QLatin1String(ok ? "ok" : "no"))
        .arg(payload)
        .arg(rtp.toString())
        .arg(rtpPort)
        .arg(rtcp.toString())
        .arg(rtcpPort)
        .arg(sdpActionName(direction), fmtp);
}

QByteArray lines(const QStringList &list)
{
    return (list.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

// An SDP example of the data/sdp folder, its LF line ends turned into CR LF.
QByteArray example(const QString &name)
{
    return readFile(QStringLiteral(TARNHALL_SOURCE_DIR_TESTS "/data/sdp/%1.sdp").arg(name))
        .replace("\n", "\r\n");
}

// Audio at 10.0.0.5:40000 (RTCP 10.0.0.6:40001), video at 40002 when an rtpmap is given.
QByteArray build(SipSdpAction::Type direction, quint16 payload, uchar event,
                 uchar videoPayload = 255, const QString &rtpmap = QString(),
                 const QString &fmtp = QString(),
                 SipSdpAction::Type videoDirection = SipSdpAction::Unknown)
{
    return buildSdp(QStringLiteral("10.0.0.5"), 40000, QStringLiteral("10.0.0.6"), 40001, direction,
                    payload, event, !rtpmap.isEmpty(), videoPayload, rtpmap, fmtp, 40002, 40003,
                    videoDirection);
}

const QByteArray kHead = "v=0\r\no=- 0 0 IN IP4 10.0.0.5\r\ns=session\r\nc=IN IP4 10.0.0.5\r\n"
                         "t=0 0\r\n";

} // namespace

class TestSdpBody : public QObject
{
    Q_OBJECT

private slots:
    void init() { AudioCodec::setCodecs({ "8", "0", "3", "9" }); }

    void writer()
    {
        AudioCodec::setCodecs({ "8", "0" });
        QCOMPARE(build(SipSdpAction::SendRecv, 65535, 255),
                 kHead
                     + "m=audio 40000 RTP/AVP 8 0 101\r\na=rtcp:40001 IN IP4 10.0.0.6\r\n"
                       "a=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n"
                       "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-16\r\na=sendrecv\r\n");
        // Telephone events named early in the settings stay at their place in the list.
        AudioCodec::setCodecs({ "101", "9" });
        const QByteArray early = build(SipSdpAction::SendRecv, 65535, 255);
        QVERIFY(early.contains("m=audio 40000 RTP/AVP 101 9\r\n"));
        QVERIFY(early.contains("a=fmtp:101 0-16\r\na=rtpmap:9 G722/8000\r\n"));

        // An answer names the events 101 whatever payload the offer gave them.
        QCOMPARE(build(SipSdpAction::SendRecv, 0, 96),
                 kHead
                     + "m=audio 40000 RTP/AVP 0 101\r\na=rtcp:40001 IN IP4 10.0.0.6\r\n"
                       "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                       "a=fmtp:101 0-16\r\na=sendrecv\r\n");
        const QByteArray plain = build(SipSdpAction::SendOnly, 9, 255, 255, "H264/90000");
        QVERIFY(plain.endsWith("m=audio 40000 RTP/AVP 9\r\na=rtcp:40001 IN IP4 10.0.0.6\r\n"
                               "a=rtpmap:9 G722/8000\r\na=sendonly\r\n"));
        // A payload without rtpmap text writes none; a direction without text is sendrecv.
        QVERIFY(build(SipSdpAction::Type(7), 18, 255)
                    .endsWith("m=audio 40000 RTP/AVP 18\r\na=rtcp:40001 IN IP4 10.0.0.6\r\n"
                              "a=sendrecv\r\n"));

        const QByteArray withVideo
            = build(SipSdpAction::SendRecv, 8, 101, 96, "H264/90000", "packetization-mode=1");
        QVERIFY(withVideo.endsWith("a=sendrecv\r\nm=video 40002 RTP/AVP 96\r\n"
                                   "a=rtcp:40003 IN IP4 10.0.0.6\r\na=rtpmap:96 H264/90000\r\n"
                                   "a=fmtp:96 packetization-mode=1\r\na=sendrecv\r\n"));
        // An empty fmtp is still written (ending in a blank), and is read back empty.
        const QByteArray bare = build(SipSdpAction::SendRecv, 8, 255, 96, "H264/90000", QString(),
                                      SipSdpAction::RecvOnly);
        QVERIFY(bare.endsWith("a=fmtp:96 \r\na=recvonly\r\n"));
        QCOMPARE(video(bare, "h264/90000"), "ok 96 10.0.0.5:40002 10.0.0.5:40003 recvonly []");
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

    void audioReader_data()
    {
        QTest::addColumn<QStringList>("codecs");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("read");
        const QStringList all { "8", "0", "3", "9" };
        // The examples of RFC 4566 section 5, RFC 3264 section 10 and RFC 4317. Host names are
        // not resolved: an address given replaces them.
        const auto rfc = [&](const char *name, const char *file, const char *address,
                             const char *read, const QStringList &codecs) {
            QByteArray body = example(QString::fromLatin1(file));
            for (const char *host : { "host.anywhere.com", "host.example.com",
                                      "host.atlanta.example.com", "host.biloxi.example.com" }) {
                if (*address)
                    body.replace(host, address);
            }
            QTest::newRow(name) << codecs << body << QString::fromLatin1(read);
        };
        // Multicast address with TTL, session-level recvonly.
        rfc("4566", "rfc4566-5-example", "",
            "ok 0 224.2.17.12:49170 224.2.17.12:49171 recvonly 255", all);
        rfc("3264 offer, name", "rfc3264-10-1-offer", "",
            "no 0 0.0.0.0:49170 0.0.0.0:49171 sendrecv 255", all);
        rfc("3264 answer", "rfc3264-10-1-answer", "192.0.2.20",
            "ok 0 192.0.2.20:49920 192.0.2.20:49921 sendrecv 255", all);
        // A second audio stream (telephone events, recvonly) must not take over the first.
        rfc("3264 reoffer", "rfc3264-10-1-reoffer", "192.0.2.20",
            "ok 0 192.0.2.20:65422 192.0.2.20:65423 sendrecv 255", all);
        rfc("3264 one of N", "rfc3264-10-2-offer", "192.0.2.10",
            "ok 0 192.0.2.10:62986 192.0.2.10:62987 inactive 255", all);
        rfc("3264 one of N, no PCMU", "rfc3264-10-2-offer", "192.0.2.10",
            "no 255 192.0.2.10:62986 192.0.2.10:62987 inactive 255", { "8" });
        rfc("3264 G.723 only", "rfc3264-10-2-reoffer", "192.0.2.10",
            "no 255 192.0.2.10:62986 192.0.2.10:62987 sendrecv 255", all);
        rfc("4317 offer", "rfc4317-audio-video-offer", "192.0.2.101",
            "ok 0 192.0.2.101:49170 192.0.2.101:49171 sendrecv 255", all);
        // A disabled first codec does not refuse an enabled later one.
        rfc("4317 offer, PCMA only", "rfc4317-audio-video-offer", "192.0.2.101",
            "ok 8 192.0.2.101:49170 192.0.2.101:49171 sendrecv 255", { "8" });
        rfc("4317 hold", "rfc4317-hold-offer", "192.0.2.101",
            "ok 0 192.0.2.101:49170 192.0.2.101:49171 sendonly 255", all);
        rfc("4317 held", "rfc4317-hold-answer", "192.0.2.201",
            "ok 0 192.0.2.201:49172 192.0.2.201:49173 recvonly 255", all);
        rfc("4317 events", "rfc4317-telephone-event-offer", "192.0.2.101",
            "ok 0 192.0.2.101:49170 192.0.2.101:49171 sendrecv 98", all);
        // iLBC and telephone events alone give no audio codec.
        rfc("4317 events answer", "rfc4317-telephone-event-answer", "192.0.2.201",
            "no 255 192.0.2.201:49172 192.0.2.201:49173 sendrecv 98", all);

        const QString c = QStringLiteral("c=IN IP4 192.0.2.1");
        const QString m = QStringLiteral("m=audio 5004 RTP/AVP 0");
        const QString plain = QStringLiteral("ok 0 192.0.2.1:5004 192.0.2.1:5005 %1 255");
        const auto row = [&](const char *name, const QStringList &body, const QString &read,
                             const QStringList &codecs = { "8", "0", "3", "9" }) {
            QTest::newRow(name) << codecs << lines(body) << read;
        };
        // The first enabled codec of the list.
        const auto choice = [&](const char *name, const QStringList &codecs, const char *formats,
                                const char *read) {
            row(name, { "v=0", c, QStringLiteral("m=audio 5004 RTP/AVP ") + formats },
                QStringLiteral("%1 192.0.2.1:5004 192.0.2.1:5005 sendrecv 255").arg(read), codecs);
        };
        choice("unknown first", { "0" }, "18 0 8 101", "ok 0");
        choice("disabled first", { "8" }, "18 0 8 101", "ok 8");
        choice("none enabled", { "9" }, "18 0 8 101", "no 255");
        choice("events first", { "8", "0" }, "101 8", "ok 8");
        choice("events only", { "8", "0" }, "101", "no 255");
        choice("above 127", { "8" }, "264 8", "ok 8");
        choice("not a number", { "0" }, "x 8 0", "ok 0");
        choice("empty field", { "3" }, " 3", "ok 3");

        row("later streams",
            { "v=0", c, "m=audio 5004 RTP/AVP 18", "a=sendonly", "m=video 6000 RTP/AVP 0",
              "c=IN IP4 192.0.2.9", "a=inactive", "m=audio 7000 RTP/AVP 8" },
            "no 255 192.0.2.1:5004 192.0.2.1:5005 sendonly 255");
        row("own connection", { c, m, "c=IN IP4 192.0.2.2" },
            "ok 0 192.0.2.2:5004 192.0.2.2:5005 sendrecv 255");
        row("top port", { c, "m=audio 65535 RTP/AVP 0" },
            "ok 0 192.0.2.1:65535 192.0.2.1:65535 sendrecv 255");
        // Neither the short form nor a port out of range replaces the RTCP port.
        row("ignored rtcp", { c, m, "a=rtcp:7000", "a=rtcp:70000 IN IP4 192.0.2.7" },
            plain.arg("sendrecv"));
        row("full rtcp", { c, m, "a=rtcp:7001 IN IP4 192.0.2.7" },
            "ok 0 192.0.2.1:5004 192.0.2.7:7001 sendrecv 255");
        // The last direction line wins, in any case; other attributes leave it.
        row("directions",
            { c, m, "a=inactive", "a=ptime:20", "a=SENDONLY", "a=rtpmap:0 PCMU/8000",
              "a=fmtp:101 0-16" },
            plain.arg("sendonly"));
        // The session level holds for the stream unless the stream says otherwise.
        row("session direction", { c, "a=sendonly", m, "a=ptime:20" }, plain.arg("sendonly"));
        row("stream direction", { "a=sendonly", c, m, "a=recvonly" }, plain.arg("recvonly"));
        row("no connection", { "v=0", m }, "no 0 0.0.0.0:5004 0.0.0.0:5005 sendrecv 255");
        row("no media", { c, "c=IN IP4 192.0.2.2" }, "no 255 192.0.2.2:0 192.0.2.2:0 sendrecv 255");
        row("IPv6", { "c=IN IP6 2001:db8::1", m }, "no 0 0.0.0.0:5004 0.0.0.0:5005 sendrecv 255");
        row("SAVP", { c, "m=audio 5004 RTP/SAVP 0" },
            "no 255 192.0.2.1:0 192.0.2.1:0 sendrecv 255");
        row("first events",
            { c, "a=rtpmap:97 telephone-event/8000", "m=audio 5004 RTP/AVP 0 96 97",
              "a=rtpmap:96 telephone-event/8000", "a=rtpmap:97 telephone-event/8000" },
            "ok 0 192.0.2.1:5004 192.0.2.1:5005 sendrecv 96");
        row("bad events", { c, m, "a=rtpmap:9x telephone-event/8000" }, plain.arg("sendrecv"));
        QTest::newRow("mixed line ends")
            << all
            << QByteArray("v=0\nc=IN IP4 192.0.2.1\r\nm=audio 5004 RTP/AVP 0\na=sendonly\r\n")
            << plain.arg("sendonly");
        QTest::newRow("NUL ends") << all << lines({ c, m }) + QByteArray("\0a=inactive\r\n", 13)
                                  << plain.arg("sendrecv");
    }

    void audioReader()
    {
        QFETCH(QStringList, codecs);
        QFETCH(QByteArray, body);
        QFETCH(QString, read);
        QVERIFY(!body.isEmpty());
        AudioCodec::setCodecs(codecs);
        QCOMPARE(audio(body), read);
    }

    void videoReader_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("rtpmap");
        QTest::addColumn<QString>("read");
        const QByteArray seminar = example(QStringLiteral("rfc4566-5-example"));
        const QString at = QStringLiteral("224.2.17.12:51372 224.2.17.12:51373 recvonly");
        QTest::newRow("4566, no fmtp") << seminar << "h263-1998/90000"
                                       << "no 99 " + at + " []";
        QTest::newRow("4566") << seminar + "a=fmtp:99 profile=0\r\n"
                              << "H263-1998/90000"
                              << "ok 99 " + at + " [profile=0]";
        // RFC 3264 10.1: the answer rejects the H.261 stream (port 0) and keeps MPV.
        const QByteArray answer = example(QStringLiteral("rfc3264-10-1-answer"))
                                      .replace("host.example.com", "192.0.2.20");
        QTest::newRow("3264 rejected") << answer << "H261/90000"
                                       << "no 255 192.0.2.20:53000 192.0.2.20:53001 sendrecv []";
        QTest::newRow("3264 MPV") << answer + "a=fmtp:32 x\r\n"
                                  << "MPV/90000"
                                  << "ok 32 192.0.2.20:53000 192.0.2.20:53001 sendrecv [x]";

        const QByteArray body = lines(
            { "c=IN IP4 192.0.2.1", "m=audio 5004 RTP/AVP 0", "c=IN IP4 192.0.2.50", "a=sendonly",
              "m=video 5006 RTP/AVP 96 97", "a=rtpmap:96 VP8/90000", "a=rtpmap:97 H264/90000",
              "a=fmtp:97 profile-level-id=42e01f", "a=inactive", "a=sendonly" });
        QTest::newRow("H.264") << body << "H264/90000"
                               << "ok 97 192.0.2.1:5006 192.0.2.1:5007 inactive "
                                  "[profile-level-id=42e01f]";
        // An fmtp line of another format after a non-matching rtpmap is not taken.
        QTest::newRow("VP8") << body << "VP8/90000"
                             << "no 96 192.0.2.1:5006 192.0.2.1:5007 inactive []";
        QTest::newRow("absent") << body << "H263/90000"
                                << "no 255 192.0.2.1:5006 192.0.2.1:5007 inactive []";
        QTest::newRow("top port") << lines({ "c=IN IP4 192.0.2.1", "m=video 65535 RTP/AVP 96",
                                             "a=rtpmap:96 H264/90000", "a=fmtp:96 x" })
                                  << "H264/90000"
                                  << "ok 96 192.0.2.1:65535 192.0.2.1:65535 sendrecv [x]";
    }

    void videoReader()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, rtpmap);
        QFETCH(QString, read);
        QCOMPARE(video(body, rtpmap), read);
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
            QVERIFY(!audio(body).startsWith("ok 255"));
            video(body, QStringLiteral("telephone-event/8000"));
        }
    }
};

TARNHALL_TEST_MAIN(TestSdpBody)
#include "tst_sdpbody.moc"
