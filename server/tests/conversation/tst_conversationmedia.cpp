#include "conversation/conversationobject.h"
#include "conversationfixture.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// Median SNR in dB of the 20 ms frames (16-bit PCM at 8 kHz) that carry the 1 kHz tone: a frame
// holds twenty whole periods of it, so one DFT bin holds the whole tone.
double medianSnr(const QByteArray &pcm, int *toneFrames)
{
    QList<double> snrs;
    for (int at = 0; at + 320 <= pcm.size(); at += 320) {
        const auto *s = reinterpret_cast<const qint16 *>(pcm.constData() + at);
        double re = 0, im = 0, sum = 0, energy = 0;
        for (int i = 0; i < 160; ++i) {
            re += s[i] * std::cos(M_PI * i / 4);
            im += s[i] * std::sin(M_PI * i / 4);
            sum += s[i];
            energy += double(s[i]) * s[i];
        }
        const double tone = 2 * (re * re + im * im) / 160;
        if (energy / 160 > 1000.0 * 1000.0)
            snrs.append(10 * std::log10(tone / std::max(energy - sum * sum / 160 - tone, 1e-9)));
    }
    *toneFrames = snrs.size();
    std::sort(snrs.begin(), snrs.end());
    return snrs.isEmpty() ? -100 : snrs.at(snrs.size() / 2);
}

} // namespace

// Real RTP from ffmpeg and from SIPp's captures (as hex in dtmf2833.txt) through two-leg
// conversations: a tone survives every codec pair in one well-formed stream, telephone events
// become digits, and malformed RTP changes nothing.
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

    // A free loopback port for ffmpeg, never the same twice, below the kernel's ephemeral range
    // so that none of our own bind(0) sockets takes it before ffmpeg binds it.
    quint16 freeUdpPort()
    {
        for (;;) {
            const auto port = quint16(10000 + QRandomGenerator::global()->bounded(22000));
            QUdpSocket s;
            if (!handedOut.contains(port)
                && s.bind(QHostAddress::LocalHost, port, QUdpSocket::DontShareAddress)) {
                handedOut.insert(port);
                return port;
            }
        }
    }

    // ffmpeg sending a 1 kHz tone as RTP from a port of our choosing; true while it sends.
    std::function<bool()> ffmpegRtp(const Codec &c, quint16 fromPort, quint16 toPort,
                                    double seconds)
    {
        QPointer<QProcess> p = new QProcess(this);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel); // its failures, if any
        p->start("ffmpeg",
                 { "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                   QString::asprintf("sine=frequency=1000:sample_rate=%d:samples_per_frame=%d",
                                     c.rate, c.rate / 50),
                   "-t", QString::number(seconds), "-c:a", c.name, "-f", "rtp",
                   QString::asprintf("rtp://127.0.0.1:%d?localrtpport=%d&localrtcpport=%d", toPort,
                                     fromPort, freeUdpPort()) });
        return [p] { return p && p->state() != QProcess::NotRunning; };
    }

    // GSM 06.10 frames sent by peer every 20 ms (ffmpeg's RTP muxer has no GSM); true while
    // it sends.
    static std::function<bool()> gsmFeed(RtpPeer *peer, quint16 toPort, const QByteArray &frames)
    {
        auto *timer = new QTimer(peer);
        auto sent = std::make_shared<int>(0);
        connect(timer, &QTimer::timeout, peer, [=] {
            if ((*sent + 1) * 33 > frames.size())
                return timer->stop();
            peer->sendRtp(toPort, 3, quint16(1000 + *sent), quint32(*sent) * 160,
                          frames.mid(*sent * 33, 33));
            ++*sent;
        });
        timer->setTimerType(Qt::PreciseTimer);
        timer->start(20);
        return [timer] { return timer->isActive(); };
    }

    // The received payloads decoded back to 8 kHz 16-bit PCM by ffmpeg.
    QByteArray decode(const Codec &c, const QByteArray &payloads, const QString &tag)
    {
        const QString in = tmp.filePath(tag + ".raw"), out = tmp.filePath(tag + ".pcm");
        // Raw A-law and mu-law carry no rate; GSM and G.722 imply theirs.
        QStringList args { "-hide_banner", "-loglevel", "error", "-y", "-f", c.format };
        if (c.payload == 0 || c.payload == 8)
            args += QStringList { "-ar", "8000", "-ac", "1" };
        args += QStringList { "-i", in, "-f", "s16le", "-ar", "8000", "-ac", "1", out };
        return writeFile(in, payloads) && runTool("ffmpeg", args) ? readFile(out) : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        ConversationObject::m_CallDuration = 0;
        if (QStandardPaths::findExecutable("ffmpeg").isEmpty())
            QSKIP("ffmpeg is needed");
    }

    void toneSurvivesEveryCodecPair()
    {
        const double seconds = 2.5;
        const QString gsmFile = tmp.filePath("tone.gsm");
        QVERIFY(runTool("ffmpeg",
                        { "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          "sine=frequency=1000:sample_rate=8000", "-t", QString::number(seconds),
                          "-c:a", "libgsm", "-f", "gsm", gsmFile }));
        struct Pair
        {
            std::unique_ptr<Conversation> conv;
            std::unique_ptr<RtpPeer> in, out; // in: the GSM sender
            Codec from, to;
            std::function<bool()> sending;
        };
        std::vector<Pair> pairs;
        for (const Codec &from : codecs) {
            for (const Codec &to : codecs) {
                Pair p { std::make_unique<Conversation>(
                             1, QString("%1-%2").arg(from.format, to.format)),
                         std::make_unique<RtpPeer>(),
                         std::make_unique<RtpPeer>(),
                         from,
                         to,
                         nullptr };
                const quint16 source = from.payload == 3 ? p.in->port() : freeUdpPort();
                // Nobody's silence may end the call: a sender slow to start under load would
                // otherwise find it gone. The test ends each call once its tone has played.
                p.conv->addSip("a", "caller", source, from.payload, SipSdpAction::SendRecv, 600);
                p.conv->addSip("b", "callee", p.out->port(), to.payload, SipSdpAction::SendRecv,
                               600);
                emit p.conv->conv->acceptCaller("a");
                emit p.conv->conv->acceptCaller("b");
                const quint16 port = p.conv->rtpPort();
                p.sending = from.payload == 3 ? gsmFeed(p.in.get(), port, readFile(gsmFile))
                                              : ffmpegRtp(from, source, port, seconds);
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
            const QString &tag = p.conv->name;
            // One stream: sequence numbers from 1, timestamps from 160, a marker on the first
            // packet only, one SSRC, one frame a packet.
            const QList<RtpPeer::Packet> &out = p.out->packets;
            QVERIFY2(out.size() > 100, qPrintable(tag));
            QByteArray payloads;
            for (int i = 0; i < out.size(); ++i) {
                const QByteArray &d = out.at(i).data;
                QCOMPARE(d.size(), 12 + (p.to.payload == 3 ? 33 : 160));
                QCOMPARE(qFromBigEndian<quint16>(d.constData() + 2), quint16(i + 1));
                QCOMPARE(qFromBigEndian<quint32>(d.constData() + 4), quint32(160 * (i + 1)));
                QCOMPARE(uchar(d[1]), uchar((i == 0 ? 0x80 : 0) | p.to.payload));
                QCOMPARE(d.mid(8, 4), out.first().data.mid(8, 4));
                payloads += d.mid(12);
            }
            int toneFrames = 0;
            const double snr = medianSnr(decode(p.to, payloads, tag), &toneFrames);
            qInfo().noquote() << tag << "SNR" << snr << "dB over" << toneFrames << "frames";
            QVERIFY2(toneFrames > 60, qPrintable(tag));
            // Each codec costs its own share of SNR; the pair must do no worse than its
            // weaker codec, less a margin for the second encoding.
            QVERIFY2(snr > std::min(p.from.minSnr, p.to.minSnr) - 3, qPrintable(tag));
        }
    }

    // Each row of dtmf2833.txt: its packets, and the digits they give as key and milliseconds.
    void telephoneEventsGiveOneDigitEach_data()
    {
        QTest::addColumn<QList<QByteArray>>("packets");
        QTest::addColumn<QString>("digits");
        struct Row
        {
            QByteArray name;
            QString digits;
            QList<QByteArray> packets;
        };
        QList<Row> rows;
        for (const QByteArray &line : readFile(QFINDTESTDATA("dtmf2833.txt")).split('\n')) {
            const int colon = line.indexOf(':');
            if (line.startsWith('='))
                rows.append(
                    { line.mid(1, colon - 1).trimmed(), line.mid(colon + 1).trimmed(), {} });
            else if (!rows.isEmpty() && !line.startsWith('#') && !line.isEmpty())
                rows.last().packets.append(QByteArray::fromHex(line));
        }
        QCOMPARE(rows.size(), 9);
        for (const Row &row : rows)
            QTest::newRow(row.name.constData()) << row.packets << row.digits;
    }
    void telephoneEventsGiveOneDigitEach()
    {
        QFETCH(QList<QByteArray>, packets);
        QFETCH(QString, digits);
        Conversation c;
        RtpPeer a, b;
        QVERIFY(c.talking(&a, &b));
        for (const QByteArray &p : packets) {
            a.sendTo(c.rtpPort(), p);
            QTest::qWait(5);
        }
        // An event code past 16 is no key at all.
        QByteArray bogus = packets.first();
        bogus[12] = char(17);
        a.sendTo(c.rtpPort(), bogus);
        bogus[13] = char(0x80);
        a.sendTo(c.rtpPort(), bogus);
        const int count = digits.count(' ') + 1;
        QTRY_COMPARE(c.info->size(), count);
        // Bob takes telephone events now, so a key by INFO is not relayed to him as well.
        emit c.conv->appendSipInfo(DtmfType::SipInfo, "a", "alice", '2', 100);
        QTest::qWait(200);
        QCOMPARE(c.info->size(), count);
        QStringList got;
        for (const QList<QVariant> &info : qAsConst(*c.info)) {
            QCOMPARE(info.at(3).toString(), QString("bob"));
            got << QString("%1:%2").arg(QChar(info.at(4).value<uchar>())).arg(info.at(5).toUInt());
        }
        QCOMPARE(got.join(' '), digits);
    }

    void malformedRtpChangesNothing()
    {
        Conversation c;
        RtpPeer a, b, stranger;
        QVERIFY(c.talking(&a, &b));
        const auto rtp = [](uchar byte0, uchar pt, const QByteArray &rest) {
            return QByteArray(1, char(byte0)) + char(pt) + QByteArray(10, '\0') + rest;
        };
        const QByteArray loud(160, char(0x2A));
        const QList<QByteArray> bad = {
            QByteArray(),
            QByteArray(11, char(0x80)),
            rtp(0x80, 8, "abc"), // under 16 bytes
            rtp(0x8F, 8, QByteArray(40, char(0x2A))), // 15 CSRCs, 40 bytes
            rtp(0x90, 8, QByteArray("\0\0\xff\xff", 4) + loud), // extension past the end
            rtp(0xA0, 8, loud.left(159) + char(200)), // padding past the header
            rtp(0xA0, 8, loud.left(159) + char(0)), // padding of no bytes
            rtp(0x80, 8, loud.left(80)), // half a frame
            rtp(0x80, 8, loud + loud.left(80)), // 30 ms
            rtp(0x80, 0, loud), // not the negotiated type
            rtp(0x80, 101, QByteArray("\x05\x80\x01", 3)), // event of 3 bytes
            rtp(0x80, 101, QByteArray("\x05\x80\x01\x00", 4)), // end without a start
        };
        for (int round = 0; round < 40; ++round) {
            for (QByteArray q : bad) {
                if (q.size() >= 4)
                    qToBigEndian(quint16(round), q.data() + 2);
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

TARNHALL_TEST_MAIN(TestConversationMedia)
#include "tst_conversationmedia.moc"
