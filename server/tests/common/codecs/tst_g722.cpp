// G.722 at 64 kbit/s with 8 kHz samples, checked against ffmpeg's wideband G.722 both ways.
// Framing and state edges are tested with GSM's in tst_gsm0610.
#include "codectestsupport.h"
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QTest>

namespace {
const int FRAME = 320;
const int SECONDS = 2;
// The wideband QMF filters delay the signal by 11.5 samples at 16 kHz (both ways), so the
// references come from the same mix made at 32 kHz, at every sample phase.
const int MAX_LAG = 80;
const int SETTLE = 400;
const double MIN_SNR_DB = 30;

// runTool logs why a tool failed.
bool ffmpeg(const QStringList &arguments)
{
    return runTool("ffmpeg", QStringList { "-loglevel", "error", "-nostdin", "-y" } + arguments);
}

// The best SNR in dB of decoded audio against the 32 kHz mix taken at every phase of factor,
// after the delay and gain that fit best; skips the samples where the codec still settles.
double snrAgainstMix(const QByteArray &decoded, int factor)
{
    const QByteArray fine = toneMix(32000, 32000 * SECONDS, false);
    double c = -1;
    for (int phase = 0; phase < factor; ++phase) {
        QByteArray reference;
        for (int i = 2 * phase; i + 1 < fine.size(); i += 2 * factor)
            reference.append(fine.constData() + i, 2);
        c = qMax(c,
                 bestCorrelation(samples16(reference), samples16(decoded), 0, MAX_LAG * 4 / factor,
                                 SETTLE * 4 / factor));
    }
    return -10 * std::log10(qMax(1e-20, 1 - c * c));
}

} // namespace

class TestG722 : public QObject
{
    Q_OBJECT

private slots:
    void ffmpegBothWays()
    {
        // ffmpeg decodes our stream (to 16 kHz).
        const QByteArray pcm = toneMix(8000, 8000 * SECONDS, false);
        AudioCodecState encoder(9);
        QByteArray ours;
        for (int offset = 0; offset < pcm.size(); offset += FRAME)
            ours += AudioCodec::encode(9, pcm.mid(offset, FRAME), &encoder);
        QCOMPARE(ours.size(), 8000 * SECONDS);
        const QString g722 = m_dir.filePath("ours.g722");
        const QString out = m_dir.filePath("ffmpeg-decoded.raw");
        QVERIFY(writeFile(g722, ours));
        QVERIFY(ffmpeg({ "-f", "g722", "-i", g722, "-f", "s16le", out }));
        const double theirs = snrAgainstMix(readFile(out), 2);

        // We decode ffmpeg's stream, made from 16 kHz audio; the tones lie below 4 kHz, so the
        // 8 kHz form of the mix is the reference.
        const QString in = m_dir.filePath("wide.raw");
        QVERIFY(writeFile(in, toneMix(16000, 16000 * SECONDS, false)));
        QVERIFY(ffmpeg({ "-f", "s16le", "-ar", "16000", "-ac", "1", "-i", in, "-c:a", "g722", "-f",
                         "g722", g722 }));
        const QByteArray stream = readFile(g722);
        QCOMPARE(stream.size(), 8000 * SECONDS);
        AudioCodecState decoder(9);
        QByteArray decoded;
        for (int offset = 0; offset < stream.size(); offset += 160)
            decoded += AudioCodec::decode(9, stream.mid(offset, 160), &decoder);
        QCOMPARE(decoded.size(), 2 * 8000 * SECONDS);
        const double mine = snrAgainstMix(decoded, 4);
        qInfo("SNR: ffmpeg decoding ours %.1f dB, ours decoding ffmpeg's %.1f dB", theirs, mine);
        QVERIFY(theirs > MIN_SNR_DB && mine > MIN_SNR_DB);
    }

private:
    QTemporaryDir m_dir;
};

TARNHALL_TEST_MAIN(TestG722)
#include "tst_g722.moc"
