// G.722 at 64 kbit/s with 8 kHz samples, checked against ffmpeg's wideband G.722 both ways.
// Framing and state edges are tested with GSM's in tst_gsm0610.
#include "codectestsupport.h"
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"

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

qint16 sampleAt(const QByteArray &pcm, int i)
{
    return qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
}

// Signal-to-noise ratio in dB of test against reference, after finding the delay (0..maxLag
// samples, test lagging) and gain that fit best. Skips the first samples, where a codec is
// still settling.
double bestSnrDb(const QByteArray &reference, const QByteArray &test, int maxLag, int skip)
{
    double best = -1000;
    for (int lag = 0; lag <= maxLag; ++lag) {
        const int n = qMin(reference.size() / 2, test.size() / 2 - lag);
        double rr = 0, rt = 0, tt = 0;
        for (int i = skip; i < n; ++i) {
            const double r = sampleAt(reference, i);
            const double t = sampleAt(test, i + lag);
            rr += r * r;
            rt += r * t;
            tt += t * t;
        }
        if (tt <= 0 || rr <= 0)
            continue;
        // Least-squares gain g = rt / tt; the remaining error is rr - rt^2 / tt.
        const double error = rr - rt * rt / tt;
        best = qMax(best, error <= 0 ? 200 : 10 * std::log10(rr / error));
    }
    return best;
}

// The best SNR of decoded audio against the 32 kHz mix taken at every phase of factor.
double snrAgainstMix(const QByteArray &decoded, int factor)
{
    const QByteArray fine = toneMix(32000, 32000 * SECONDS, false);
    double snr = -1000;
    for (int phase = 0; phase < factor; ++phase) {
        QByteArray reference;
        for (int i = 2 * phase; i + 1 < fine.size(); i += 2 * factor)
            reference.append(fine.constData() + i, 2);
        snr = qMax(snr, bestSnrDb(reference, decoded, MAX_LAG * 4 / factor, SETTLE * 4 / factor));
    }
    return snr;
}

} // namespace

class TestG722 : public QObject
{
    Q_OBJECT

private slots:
    void ffmpegDecodesOurStream()
    {
        const QByteArray pcm = toneMix(8000, 8000 * SECONDS, false);
        AudioCodecState state(9);
        QByteArray stream;
        for (int offset = 0; offset < pcm.size(); offset += FRAME) {
            const QByteArray payload = AudioCodec::encode(9, pcm.mid(offset, FRAME), &state);
            QCOMPARE(payload.size(), 160);
            stream += payload;
        }
        const QString g722 = m_dir.filePath("ours.g722");
        const QString out = m_dir.filePath("ffmpeg-decoded.raw");
        QVERIFY(writeFile(g722, stream));
        QVERIFY(ffmpeg({ "-f", "g722", "-i", g722, "-f", "s16le", out }));
        // ffmpeg decodes to 16 kHz.
        const double snr = snrAgainstMix(readFile(out), 2);
        qInfo("ffmpeg decoding our stream: SNR %.1f dB", snr);
        QVERIFY2(snr > MIN_SNR_DB, qPrintable(QString("SNR %1 dB").arg(snr)));
    }

    void weDecodeFfmpegStream()
    {
        const QString in = m_dir.filePath("wide.raw");
        const QString g722 = m_dir.filePath("ffmpeg.g722");
        QVERIFY(writeFile(in, toneMix(16000, 16000 * SECONDS, false)));
        QVERIFY(ffmpeg({ "-f", "s16le", "-ar", "16000", "-ac", "1", "-i", in, "-c:a", "g722", "-f",
                         "g722", g722 }));
        const QByteArray stream = readFile(g722);
        QCOMPARE(stream.size(), 8000 * SECONDS);

        AudioCodecState state(9);
        QByteArray decoded;
        for (int offset = 0; offset < stream.size(); offset += 160) {
            const QByteArray frame = AudioCodec::decode(9, stream.mid(offset, 160), &state);
            QCOMPARE(frame.size(), FRAME);
            decoded += frame;
        }
        // The tones lie below 4 kHz, so the 8 kHz form of the mix is the reference.
        const double snr = snrAgainstMix(decoded, 4);
        qInfo("our decoding of ffmpeg's stream: SNR %.1f dB", snr);
        QVERIFY2(snr > MIN_SNR_DB, qPrintable(QString("SNR %1 dB").arg(snr)));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestG722)
#include "tst_g722.moc"
