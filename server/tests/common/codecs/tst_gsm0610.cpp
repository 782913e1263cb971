// GSM 06.10 in RTP framing, bit-exact against sox's GSM coder, and the life and edges of the
// codec states that GSM and G.722 need.
#include "codectestsupport.h"
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"
#include "testmain.h"

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
    void matchesSoxBothWays_data()
    {
        QTest::addColumn<int>("samples");
        QTest::newRow("whole frames") << 160 * 100;
        // sox pads the last partial frame with silence, as we do.
        QTest::newRow("partial last frame") << 160 * 20 + 77;
    }

    void matchesSoxBothWays()
    {
        QFETCH(int, samples);
        const QByteArray pcm = toneMix(8000, samples);
        const QString in = m_dir.filePath("in.raw");
        const QString gsm = m_dir.filePath("sox.gsm");
        const QString out = m_dir.filePath("sox-decoded.raw");
        QVERIFY(writeFile(in, pcm));
        QVERIFY(sox(RAW8K + QStringList { in, "-t", "gsm", gsm }));
        QVERIFY(sox(QStringList { "-t", "gsm", gsm } + RAW8K + QStringList { out }));
        const QByteArray soxCodes = readFile(gsm);
        const QByteArray soxPcm = readFile(out);
        const int frames = (samples + 159) / 160;
        QCOMPARE(soxCodes.size(), frames * GSM_BYTES);
        QCOMPARE(soxPcm.size(), frames * FRAME);

        // One state each way for the whole stream, fed 20 ms frames as a conversation does.
        AudioCodecState encoder(3), decoder(3);
        for (int frame = 0; frame < frames; ++frame) {
            const QByteArray codes = soxCodes.mid(frame * GSM_BYTES, GSM_BYTES);
            QVERIFY2(AudioCodec::encode(3, pcm.mid(frame * FRAME, FRAME), &encoder) == codes,
                     qPrintable(QString("frame %1 encodes differently").arg(frame)));
            QVERIFY2(AudioCodec::decode(3, codes, &decoder) == soxPcm.mid(frame * FRAME, FRAME),
                     qPrintable(QString("frame %1 decodes differently").arg(frame)));
        }
        // Several frames at once give the same stream as one frame at a time.
        AudioCodecState batch(3);
        QCOMPARE(AudioCodec::encode(3, pcm, &batch), soxCodes);
    }

    void stateEdges_data()
    {
        QTest::addColumn<int>("payload");
        QTest::addColumn<int>("foreign");
        QTest::addColumn<int>("codeBytes");
        QTest::newRow("GSM") << 3 << 9 << GSM_BYTES;
        QTest::newRow("G.722") << 9 << 3 << 160;
    }

    void stateEdges()
    {
        QFETCH(int, payload);
        QFETCH(int, foreign);
        QFETCH(int, codeBytes);
        const quint8 p = quint8(payload);
        // Without a state of its own payload (a foreign one holds another library type) a
        // codec gives nothing.
        AudioCodecState none, other { quint8(foreign) };
        for (AudioCodecState *state : { static_cast<AudioCodecState *>(nullptr), &none, &other }) {
            QVERIFY(AudioCodec::encode(p, QByteArray(FRAME, '\0'), state).isEmpty());
            QVERIFY(AudioCodec::decode(p, QByteArray(codeBytes, '\xD0'), state).isEmpty());
        }
        // A trailing odd byte is no sample; unaligned input (cut out of a datagram) is fine.
        AudioCodecState state(p);
        QCOMPARE(AudioCodec::encode(p, QByteArray(FRAME + 1, '\x10'), &state).size(), codeBytes);
        QVERIFY(AudioCodec::encode(p, QByteArray(1, '\x7F'), &state).isEmpty());
        QVERIFY(AudioCodec::decode(p, QByteArray(), &state).isEmpty());
        if (p == 3) {
            // GSM payloads shorter than a frame are refused, longer ones give their first
            // frame only; a short block is padded, never read past.
            QVERIFY(AudioCodec::decode(3, QByteArray(GSM_BYTES - 1, '\x55'), &state).isEmpty());
            const QByteArray two = AudioCodec::encode(3, toneMix(8000, 320), &state);
            AudioCodecState a(3), b(3);
            QCOMPARE(AudioCodec::decode(3, two, &a),
                     AudioCodec::decode(3, two.left(GSM_BYTES), &b));
            QCOMPARE(AudioCodec::decode(3, two.left(GSM_BYTES + 5), &a).size(), FRAME);
            QCOMPARE(AudioCodec::encode(3, QByteArray(3, '\x7F'), &state).size(), GSM_BYTES);
        }
        const QByteArray padded = ' ' + toneMix(8000, 160);
        AudioCodecState aligned(p), unaligned(p);
        QCOMPARE(AudioCodec::encode(p, padded.mid(1), &unaligned),
                 AudioCodec::encode(p, toneMix(8000, 160), &aligned));
    }

    // Run under the leak checker: no state outlives its leg, however often the leg's codec
    // changes (re-INVITEs), and a moved-from state holds nothing.
    void stateLifecycle()
    {
        const quint8 payloads[] = { 3, 9, 8, 0, 101 };
        for (int i = 0; i < 1000; ++i) {
            AudioCodecState leg(i % 2 ? 3 : 9);
            const quint8 next = payloads[i % 5];
            QVERIFY(leg.create(next));
            QCOMPARE(leg.payload(), next == 3 || next == 9 ? next : quint8(255));
        }
        AudioCodecState state(9);
        AudioCodecState moved(std::move(state));
        QVERIFY(!state.encoder() && !state.decoder());
        AudioCodecState other(3);
        other = std::move(moved);
        QCOMPARE(AudioCodec::encode(9, QByteArray(FRAME, '\0'), &other).size(), 160);
        other.release();
        other.release();
        QCOMPARE(other.payload(), quint8(255));
    }

private:
    // runTool logs why a tool failed.
    static bool sox(const QStringList &arguments)
    {
        return runTool("sox", QStringList { "-D" } + arguments);
    }

    QTemporaryDir m_dir;
};

TARNHALL_TEST_MAIN(TestGsm0610)
#include "tst_gsm0610.moc"
