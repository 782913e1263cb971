// G.722 at 64 kbit/s with 8 kHz samples, checked against ffmpeg's wideband G.722 both ways.
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"
#include "codectestsupport.h"

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
const QStringList FFMPEG = { "-hide_banner", "-loglevel", "error", "-nostdin", "-y" };
} // namespace

class TestG722 : public QObject
{
    Q_OBJECT

private slots:
    void ffmpegDecodesOurStream();
    void weDecodeFfmpegStream();
    void framingAndState();

private:
    QTemporaryDir m_dir;
};

void TestG722::ffmpegDecodesOurStream()
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
    QString error;
    QVERIFY2(runTool("ffmpeg",
                     FFMPEG + QStringList { "-f", "g722", "-i", g722, "-f", "s16le", out }, &error),
             qPrintable(error));
    // ffmpeg decodes to 16 kHz.
    const QByteArray fine = toneMix(32000, 32000 * SECONDS, false);
    const QByteArray decoded = readFile(out);
    double snr = -1000;
    for (int phase = 0; phase < 2; ++phase)
        snr = qMax(snr, bestSnrDb(decimate(fine, 2, phase), decoded, 2 * MAX_LAG, 2 * SETTLE));
    qInfo("ffmpeg decoding our stream: SNR %.1f dB", snr);
    QVERIFY2(snr > MIN_SNR_DB, qPrintable(QString("SNR %1 dB").arg(snr)));
}

void TestG722::weDecodeFfmpegStream()
{
    const QString in = m_dir.filePath("wide.raw");
    const QString g722 = m_dir.filePath("ffmpeg.g722");
    const QByteArray wide = toneMix(16000, 16000 * SECONDS, false);
    QVERIFY(writeFile(in, wide));
    QString error;
    QVERIFY2(runTool("ffmpeg",
                     FFMPEG
                         + QStringList { "-f", "s16le", "-ar", "16000", "-ac", "1", "-i", in,
                                         "-c:a", "g722", "-f", "g722", g722 },
                     &error),
             qPrintable(error));
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
    const QByteArray fine = toneMix(32000, 32000 * SECONDS, false);
    double snr = -1000;
    for (int phase = 0; phase < 4; ++phase)
        snr = qMax(snr, bestSnrDb(decimate(fine, 4, phase), decoded, MAX_LAG, SETTLE));
    qInfo("our decoding of ffmpeg's stream: SNR %.1f dB", snr);
    QVERIFY2(snr > MIN_SNR_DB, qPrintable(QString("SNR %1 dB").arg(snr)));
}

void TestG722::framingAndState()
{
    AudioCodecState state(9);
    // One code byte per 8 kHz sample, a trailing odd byte ignored; unaligned input is fine.
    QCOMPARE(AudioCodec::encode(9, QByteArray(FRAME + 1, '\0'), &state).size(), 160);
    QVERIFY(AudioCodec::encode(9, QByteArray(1, '\0'), &state).isEmpty());
    const QByteArray padded = ' ' + toneMix(8000, 160);
    AudioCodecState aligned(9), unaligned(9);
    QCOMPARE(AudioCodec::encode(9, padded.mid(1), &unaligned),
             AudioCodec::encode(9, toneMix(8000, 160), &aligned));
    QCOMPARE(AudioCodec::decode(9, QByteArray(7, '\x55'), &state).size(), 14);
    QVERIFY(AudioCodec::decode(9, QByteArray(), &state).isEmpty());

    AudioCodecState gsm(3), none;
    for (AudioCodecState *other : { static_cast<AudioCodecState *>(nullptr), &none, &gsm }) {
        QVERIFY(AudioCodec::encode(9, QByteArray(FRAME, '\0'), other).isEmpty());
        QVERIFY(AudioCodec::decode(9, QByteArray(160, '\0'), other).isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestG722)
#include "tst_g722.moc"
