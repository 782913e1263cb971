// GSM 06.10 in RTP framing, bit-exact against sox's GSM coder, and the life of codec states.
#include "codectestsupport.h"
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"

#include <QTemporaryDir>
#include <QTest>

namespace {
const int FRAME = 320;
const int GSM_BYTES = 33;
const QStringList RAW8K
    = { "-t", "raw", "-r", "8000", "-c", "1", "-e", "signed", "-b", "16", "-L" };
} // namespace

class TestGsm0610 : public QObject
{
    Q_OBJECT

private slots:
    void encodeMatchesSox_data();
    void encodeMatchesSox();
    void decodeMatchesSox();
    void oddAndShortInput();
    void missingOrForeignState();
    void stateLifecycle();

private:
    QTemporaryDir m_dir;
};

void TestGsm0610::encodeMatchesSox_data()
{
    QTest::addColumn<int>("samples");
    QTest::newRow("whole frames") << 160 * 100;
    // sox pads the last partial frame with silence, as we do.
    QTest::newRow("partial last frame") << 160 * 20 + 77;
}

void TestGsm0610::encodeMatchesSox()
{
    QFETCH(int, samples);
    const QByteArray pcm = toneMix(8000, samples);
    const QString in = m_dir.filePath("in.raw");
    const QString out = m_dir.filePath("sox.gsm");
    QVERIFY(writeFile(in, pcm));
    QString error;
    QVERIFY2(
        runTool("sox", QStringList { "-D" } + RAW8K + QStringList { in, "-t", "gsm", out }, &error),
        qPrintable(error));
    const QByteArray expected = readFile(out);

    // One state for the whole stream, fed 20 ms frames as a conversation does.
    AudioCodecState state(3);
    QByteArray ours;
    for (int offset = 0; offset < pcm.size(); offset += FRAME)
        ours += AudioCodec::encode(3, pcm.mid(offset, FRAME), &state);
    QCOMPARE(ours.size(), (samples + 159) / 160 * GSM_BYTES);
    QCOMPARE(ours.size(), expected.size());
    for (int frame = 0; frame < ours.size() / GSM_BYTES; ++frame)
        QVERIFY2(ours.mid(frame * GSM_BYTES, GSM_BYTES)
                     == expected.mid(frame * GSM_BYTES, GSM_BYTES),
                 qPrintable(QString("frame %1 differs").arg(frame)));

    // Several frames at once give the same stream as one frame at a time.
    AudioCodecState batch(3);
    QCOMPARE(AudioCodec::encode(3, pcm, &batch), ours);
}

void TestGsm0610::decodeMatchesSox()
{
    const QString in = m_dir.filePath("tone.raw");
    const QString gsm = m_dir.filePath("tone.gsm");
    const QString out = m_dir.filePath("tone-decoded.raw");
    QVERIFY(writeFile(in, toneMix(8000, 160 * 100)));
    QString error;
    QVERIFY2(
        runTool("sox", QStringList { "-D" } + RAW8K + QStringList { in, "-t", "gsm", gsm }, &error),
        qPrintable(error));
    QVERIFY2(runTool("sox", QStringList { "-D", "-t", "gsm", gsm } + RAW8K + QStringList { out },
                     &error),
             qPrintable(error));
    const QByteArray payloads = readFile(gsm);
    const QByteArray expected = readFile(out);
    QCOMPARE(payloads.size(), 100 * GSM_BYTES);
    QCOMPARE(expected.size(), 100 * FRAME);

    AudioCodecState state(3);
    for (int frame = 0; frame < 100; ++frame) {
        const QByteArray decoded
            = AudioCodec::decode(3, payloads.mid(frame * GSM_BYTES, GSM_BYTES), &state);
        QVERIFY2(decoded == expected.mid(frame * FRAME, FRAME),
                 qPrintable(QString("frame %1 differs").arg(frame)));
    }
}

void TestGsm0610::oddAndShortInput()
{
    AudioCodecState state(3);
    // Payloads shorter than one frame are refused, longer ones give only their first frame.
    QVERIFY(AudioCodec::decode(3, QByteArray(32, '\x55'), &state).isEmpty());
    QVERIFY(AudioCodec::decode(3, QByteArray(), &state).isEmpty());
    AudioCodecState fresh(3);
    const QByteArray two = AudioCodec::encode(3, toneMix(8000, 320), &fresh);
    QCOMPARE(two.size(), 2 * GSM_BYTES);
    AudioCodecState a(3), b(3);
    QCOMPARE(AudioCodec::decode(3, two, &a), AudioCodec::decode(3, two.left(GSM_BYTES), &b));
    QCOMPARE(AudioCodec::decode(3, two.left(GSM_BYTES + 5), &a).size(), FRAME);

    // Encoding never reads past the input: short, odd-sized and unaligned frames.
    QVERIFY(AudioCodec::encode(3, QByteArray(), &state).isEmpty());
    QVERIFY(AudioCodec::encode(3, QByteArray(1, '\x7F'), &state).isEmpty());
    QCOMPARE(AudioCodec::encode(3, QByteArray(3, '\x7F'), &state).size(), GSM_BYTES);
    QCOMPARE(AudioCodec::encode(3, QByteArray(FRAME + 1, '\x10'), &state).size(), GSM_BYTES);
    const QByteArray padded = ' ' + toneMix(8000, 160);
    AudioCodecState aligned(3), unaligned(3);
    QCOMPARE(AudioCodec::encode(3, padded.mid(1), &unaligned),
             AudioCodec::encode(3, toneMix(8000, 160), &aligned));
}

void TestGsm0610::missingOrForeignState()
{
    const QByteArray frame = toneMix(8000, 160);
    AudioCodecState none;
    AudioCodecState g722(9);
    for (AudioCodecState *state : { static_cast<AudioCodecState *>(nullptr), &none, &g722 }) {
        QVERIFY(AudioCodec::encode(3, frame, state).isEmpty());
        QVERIFY(AudioCodec::decode(3, QByteArray(GSM_BYTES, '\xD0'), state).isEmpty());
    }
    AudioCodecState gsm(3);
    QVERIFY(AudioCodec::encode(9, frame, &gsm).isEmpty());
    for (quint8 payload : { 1, 2, 101 })
        QVERIFY(AudioCodec::decode(payload, QByteArray(GSM_BYTES, '\xD0'), &gsm).isEmpty());
}

// Run under the leak checker, this also shows that no state outlives its leg.
void TestGsm0610::stateLifecycle()
{
    AudioCodecState state;
    QCOMPARE(state.payload(), quint8(255));
    QVERIFY(!state.encoder() && !state.decoder());
    for (quint8 payload : { 3, 9, 3, 8, 0, 9, 101 }) {
        QVERIFY(state.create(payload));
        const bool needsState = payload == 3 || payload == 9;
        QCOMPARE(state.encoder() != nullptr, needsState);
        QCOMPARE(state.decoder() != nullptr, needsState);
        QCOMPARE(state.payload(), needsState ? payload : quint8(255));
    }
    state.create(9);
    AudioCodecState moved(std::move(state));
    QVERIFY(!state.encoder() && !state.decoder());
    AudioCodecState other(3);
    other = std::move(moved);
    QCOMPARE(AudioCodec::encode(9, QByteArray(FRAME, '\0'), &other).size(), 160);
    other.release();
    other.release();
    QCOMPARE(other.payload(), quint8(255));

    // Many legs and re-INVITEs: each creates and drops its states.
    for (int i = 0; i < 1000; ++i) {
        AudioCodecState leg(i % 2 ? 3 : 9);
        leg.create(i % 3 ? 9 : 3);
    }
}

QTEST_GUILESS_MAIN(TestGsm0610)
#include "tst_gsm0610.moc"
