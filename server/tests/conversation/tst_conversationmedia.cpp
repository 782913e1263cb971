#include "conversation/conversationobject.h"
#include "conversationfixture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>

// Real RTP from ffmpeg and from SIPp's captures through two-leg conversations: a tone survives
// every codec pair, tshark reads back what the conversation sends, telephone events become
// digits, and malformed RTP changes nothing.
class TestConversationMedia : public QObject
{
    Q_OBJECT

    struct Codec
    {
        const char *name; // ffmpeg codec and raw format
        const char *format;
        quint8 payload;
        int rate;
        double minSnr; // the tone's SNR after one encode/decode with this codec
    };
    const QList<Codec> codecs = {
        { "pcm_alaw", "alaw", 8, 8000, 35 },
        { "pcm_mulaw", "mulaw", 0, 8000, 35 },
        { "libgsm", "gsm", 3, 8000, 25 },
        { "g722", "g722", 9, 16000, 28 },
    };

    QTemporaryDir tmp;

    QSet<quint16> handedOut;

    // A free loopback port, never the same twice: the kernel may offer a port again once
    // its probe socket is closed.
    quint16 freeUdpPort()
    {
        for (;;) {
            QUdpSocket s;
            s.bind(QHostAddress(QHostAddress::LocalHost), 0);
            if (!handedOut.contains(s.localPort())) {
                handedOut.insert(s.localPort());
                return s.localPort();
            }
        }
    }

    // ffmpeg sending a 1 kHz tone as RTP from a port of our choosing.
    QProcess *ffmpegRtp(const Codec &c, quint16 fromPort, quint16 toPort, double seconds)
    {
        auto *p = new QProcess(this);
        const int frame = c.rate / 50;
        p->start("ffmpeg",
                 { "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                   QString("sine=frequency=1000:sample_rate=%1:samples_per_frame=%2")
                       .arg(c.rate)
                       .arg(frame),
                   "-t", QString::number(seconds), "-c:a", c.name, "-f", "rtp",
                   QString("rtp://127.0.0.1:%1?localrtpport=%2&localrtcpport=%3")
                       .arg(toPort)
                       .arg(fromPort)
                       .arg(freeUdpPort()) });
        connect(p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), p, [p](int code) {
            if (code != 0)
                qWarning().noquote() << "ffmpeg failed:" << p->readAllStandardError();
        });
        return p;
    }

    // GSM 06.10 frames encoded by ffmpeg (its RTP muxer has no GSM), sent by us every 20 ms.
    QTimer *gsmFeed(RtpPeer *peer, quint16 toPort, double seconds)
    {
        const QString file = tmp.filePath(QString("tone%1.gsm").arg(peer->port()));
        auto *timer = new QTimer(peer);
        if (!runTool("ffmpeg",
                     { "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                       "sine=frequency=1000:sample_rate=8000", "-t", QString::number(seconds),
                       "-c:a", "libgsm", "-f", "gsm", file }))
            return timer;
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return timer;
        const QByteArray all = f.readAll();
        auto *index = new int(0);
        connect(timer, &QTimer::timeout, peer, [=] {
            if ((*index + 1) * 33 > all.size()) {
                timer->stop();
                delete index;
                return;
            }
            peer->sendRtp(toPort, 3, quint16(1000 + *index), quint32(*index) * 160,
                          all.mid(*index * 33, 33));
            ++*index;
        });
        timer->setTimerType(Qt::PreciseTimer);
        timer->start(20);
        return timer;
    }

    // The received payloads decoded back to 8 kHz 16-bit PCM by ffmpeg.
    QByteArray decodeWithFfmpeg(const Codec &c, const QByteArray &payloads, const QString &tag)
    {
        const QString in = tmp.filePath(tag + ".raw");
        const QString out = tmp.filePath(tag + ".pcm");
        QFile f(in);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(payloads);
        f.close();
        QStringList args = { "-hide_banner", "-loglevel", "error", "-y", "-f", c.format };
        if (QByteArray(c.format) != "g722" && QByteArray(c.format) != "gsm")
            args << "-ar"
                 << "8000"
                 << "-ac"
                 << "1";
        args << "-i" << in << "-f"
             << "s16le"
             << "-ar"
             << "8000"
             << "-ac"
             << "1" << out;
        if (!runTool("ffmpeg", args))
            return {};
        QFile o(out);
        return o.open(QIODevice::ReadOnly) ? o.readAll() : QByteArray();
    }

    // Median per-frame SNR of the frames that carry the tone.
    static double medianSnr(const QByteArray &pcm, int *toneFrames)
    {
        QList<double> snrs;
        for (int at = 0; at + 320 <= pcm.size(); at += 320) {
            const QByteArray frame = pcm.mid(at, 320);
            const auto *s = reinterpret_cast<const qint16 *>(frame.constData());
            double energy = 0;
            for (int i = 0; i < 160; ++i)
                energy += double(s[i]) * s[i];
            if (energy / 160 > 1000.0 * 1000.0)
                snrs.append(toneSnr(frame, 1000));
        }
        *toneFrames = snrs.size();
        if (snrs.isEmpty())
            return -100;
        std::sort(snrs.begin(), snrs.end());
        return snrs.at(snrs.size() / 2);
    }

    // tshark's reading of what the conversation sent: seq, timestamp, marker, type, SSRC.
    QList<QStringList> dissect(const RtpPeer &peer, quint16 from, const QString &tag)
    {
        const QString file = tmp.filePath(tag + ".pcap");
        if (!writePcap(file, peer.packets, from, peer.port()))
            return {};
        QProcess t;
        t.start("tshark",
                { "-r", file, "-d", QString("udp.port==%1,rtp").arg(peer.port()), "-T", "fields",
                  "-e", "rtp.seq", "-e", "rtp.timestamp", "-e", "rtp.marker", "-e", "rtp.p_type",
                  "-e", "rtp.ssrc", "-e", "udp.length" });
        t.waitForFinished(30000);
        QList<QStringList> rows;
        for (const QByteArray &line : t.readAllStandardOutput().split('\n')) {
            if (!line.trimmed().isEmpty())
                rows.append(QString::fromLatin1(line).split('\t'));
        }
        return rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        ConversationObject::m_CallDuration = 0;
        if (QStandardPaths::findExecutable("ffmpeg").isEmpty()
            || QStandardPaths::findExecutable("tshark").isEmpty())
            QSKIP("ffmpeg and tshark are needed");
    }

    void toneSurvivesEveryCodecPair()
    {
        struct Pair
        {
            std::unique_ptr<Conversation> conv;
            std::unique_ptr<RtpPeer> out;
            std::unique_ptr<RtpPeer> in; // GSM only: our own sender
            Codec from, to;
            std::function<bool()> sending;
        };
        std::vector<Pair> pairs;
        const double seconds = 2.5;
        for (const Codec &from : codecs) {
            for (const Codec &to : codecs) {
                Pair p { std::make_unique<Conversation>(
                             1, QString("%1-%2").arg(from.format, to.format)),
                         std::make_unique<RtpPeer>(),
                         nullptr,
                         from,
                         to,
                         nullptr };
                const quint16 source = from.payload == 3 ? 0 : freeUdpPort();
                if (from.payload == 3)
                    p.in = std::make_unique<RtpPeer>();
                const QHostAddress lo(QHostAddress::LocalHost);
                // Nobody's silence may end the call: a sender slow to start under load would
                // otherwise find it gone. The test ends each call once its tone has played.
                emit p.conv->conv->appendCaller(600, "caller", SipMessage("a"), from.payload, lo,
                                                p.in ? p.in->port() : source, lo, 0,
                                                SipSdpAction::SendRecv);
                p.conv->addSip("b", "callee", p.out.get(), to.payload, SipSdpAction::SendRecv, 600);
                emit p.conv->conv->acceptCaller("a");
                emit p.conv->conv->acceptCaller("b");
                if (p.in) {
                    QPointer<QTimer> feed = gsmFeed(p.in.get(), p.conv->rtpPort(), seconds);
                    p.sending = [feed] { return feed && feed->isActive(); };
                } else {
                    QPointer<QProcess> ffmpeg = ffmpegRtp(from, source, p.conv->rtpPort(), seconds);
                    p.sending
                        = [ffmpeg] { return ffmpeg && ffmpeg->state() != QProcess::NotRunning; };
                }
                pairs.push_back(std::move(p));
            }
        }
        for (Pair &p : pairs)
            QTRY_VERIFY_WITH_TIMEOUT(!p.sending(), 60000);
        // Let the last frames leave the jitter buffers (ten frames, 200 ms), then hang up.
        QTest::qWait(600);
        for (Pair &p : pairs) {
            emit p.conv->conv->queryTerminate();
            QVERIFY2(p.conv->ended(15000), qPrintable(p.conv->name));
        }

        for (Pair &p : pairs) {
            const QString tag = QString("%1-%2").arg(p.from.format, p.to.format);
            QCOMPARE(p.conv->bye->size(), 2);
            QCOMPARE(p.conv->smdr->size(), 0);
            // What went out on the wire, as tshark reads it.
            const QList<QStringList> rows = dissect(*p.out, 0, tag);
            QVERIFY2(rows.size() > 100, qPrintable(tag));
            for (int i = 0; i < rows.size(); ++i) {
                const QStringList &r = rows.at(i);
                QCOMPARE(r.value(0).toUInt(), uint(i + 1));
                QCOMPARE(r.value(1).toUInt(), uint(160 * (i + 1)));
                QCOMPARE(r.value(2), QString(i == 0 ? "1" : "0"));
                QCOMPARE(r.value(3).toUInt(), uint(p.to.payload));
                QCOMPARE(r.value(4), rows.first().value(4));
                QCOMPARE(r.value(5).toInt(), 8 + 12 + (p.to.payload == 3 ? 33 : 160));
            }
            int toneFrames = 0;
            const double snr
                = medianSnr(decodeWithFfmpeg(p.to, p.out->payloads(), tag), &toneFrames);
            qInfo().noquote() << tag << "SNR" << snr << "dB over" << toneFrames << "frames";
            QVERIFY2(toneFrames > 60, qPrintable(tag));
            // Each codec costs its own share of SNR; the pair must do no worse than its
            // weaker codec, less a margin for the second encoding.
            QVERIFY2(snr > std::min(p.from.minSnr, p.to.minSnr) - 3, qPrintable(tag));
        }
    }

    void telephoneEventsFromSippCaptures()
    {
        const QString dir = "/usr/share/sip-tester";
        if (!QFile::exists(dir + "/dtmf_2833_5.pcap"))
            QSKIP("sip-tester's captures are not installed");
        Conversation c;
        RtpPeer a, b;
        c.addSip("a", "alice", &a);
        c.addSip("b", "bob", &b);
        emit c.conv->acceptCaller("a");
        emit c.conv->acceptCaller("b");
        QTRY_COMPARE(c.conv->callerNames().size(), 2);
        for (const char *key : { "5", "pound", "0" }) {
            const QList<QByteArray> packets
                = readPcapUdpPayloads(QString("%1/dtmf_2833_%2.pcap").arg(dir, key));
            QCOMPARE(packets.size(), 10); // start, continuations, three end packets
            for (const QByteArray &p : packets) {
                a.sendTo(c.rtpPort(), p);
                QTest::qWait(5);
            }
        }
        // An event code past 16 is no key at all.
        QByteArray bogus = readPcapUdpPayloads(dir + "/dtmf_2833_5.pcap").first();
        bogus[12] = char(17);
        a.sendTo(c.rtpPort(), bogus);
        bogus[13] = char(0x80);
        a.sendTo(c.rtpPort(), bogus);
        QTRY_COMPARE(c.info->size(), 3);
        QTest::qWait(200);
        QCOMPARE(c.info->size(), 3);
        const QList<QVariant> five = c.info->at(0);
        QCOMPARE(five.at(3).toString(), QString("bob"));
        QCOMPARE(five.at(4).value<uchar>(), uchar('5'));
        QCOMPARE(five.at(5).toUInt(), 2240u / 8);
        QCOMPARE(c.info->at(1).at(4).value<uchar>(), uchar('#'));
        QCOMPARE(c.info->at(2).at(4).value<uchar>(), uchar('0'));
    }

    void malformedRtpChangesNothing()
    {
        Conversation c;
        RtpPeer a, b, stranger;
        c.addSip("a", "alice", &a);
        c.addSip("b", "bob", &b);
        emit c.conv->acceptCaller("a");
        emit c.conv->acceptCaller("b");
        QTRY_COMPARE(c.conv->callerNames().size(), 2);
        auto rtp = [](uchar byte0, uchar pt, const QByteArray &rest) {
            QByteArray p(12, '\0');
            p[0] = char(byte0);
            p[1] = char(pt);
            return p + rest;
        };
        const QByteArray loud(160, char(0x2A));
        const QList<QByteArray> bad = {
            QByteArray(),
            QByteArray(11, char(0x80)),
            rtp(0x80, 8, "abc"), // under 16 bytes
            rtp(0x8F, 8, QByteArray(40, char(0x2A))), // 15 CSRCs, 40 bytes
            rtp(0x90, 8, QByteArray("\0\0\xff\xff", 4) + loud), // extension past the end
            rtp(0xA0, 8, loud.left(159) + char(200)), // padding past the header
            rtp(0x80, 8, loud.left(80)), // half a frame
            rtp(0x80, 8, loud + loud.left(80)), // 30 ms
            rtp(0x80, 0, loud), // not the negotiated type
            rtp(0x80, 101, QByteArray("\x05\x80\x01", 3)), // event of 3 bytes
            rtp(0x80, 101, QByteArray("\x05\x80\x01\x00", 4)), // end without a start
        };
        for (int round = 0; round < 40; ++round) {
            for (const QByteArray &p : bad) {
                QByteArray q = p;
                if (q.size() >= 4) {
                    q[2] = char(round >> 8);
                    q[3] = char(round);
                }
                a.sendTo(c.rtpPort(), q);
            }
            stranger.sendRtp(c.rtpPort(), 8, quint16(round), 0, loud);
            QTest::qWait(15);
        }
        QTest::qWait(300);
        QVERIFY(c.alive);
        QCOMPARE(c.info->size(), 0);
        QVERIFY(b.packets.size() > 20);
        for (const RtpPeer::Packet &p : b.packets)
            QCOMPARE(p.data.mid(12), QByteArray(160, char(0xD5))); // silence only
    }
};

QTEST_GUILESS_MAIN(TestConversationMedia)
#include "tst_conversationmedia.moc"
