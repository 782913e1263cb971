// G.711 and PCM conversions against references written elsewhere: sox's decoder and the
// spandsp encoders.
#include "codectestsupport.h"
#include "common/codecs/audiocodec.h"
#include "common/codecs/dtmfevent.h"
#include "common/codecs/g711.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <spandsp/telephony.h>
// telephony.h must come first: g711.h needs its declarations and top_bit().
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

namespace {

QByteArray pcm16(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values) {
        char le[2];
        qToLittleEndian<qint16>(qint16(v), le);
        out.append(le, 2);
    }
    return out;
}

QByteArray allSamples()
{
    QByteArray pcm(2 * 65536, Qt::Uninitialized);
    for (int i = 0; i < 65536; ++i)
        qToLittleEndian<qint16>(qint16(i - 32768), pcm.data() + 2 * i);
    return pcm;
}

QByteArray allCodes()
{
    QByteArray codes(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        codes[i] = char(i);
    return codes;
}

} // namespace

class TestG711 : public QObject
{
    Q_OBJECT

private slots:
    void matchesReferences_data()
    {
        QTest::addColumn<int>("payload");
        QTest::addColumn<QString>("encoding");
        QTest::newRow("PCMA") << 8 << "a-law";
        QTest::newRow("PCMU") << 0 << "mu-law";
    }

    void matchesReferences()
    {
        QFETCH(int, payload);
        QFETCH(QString, encoding);
        const bool alaw = payload == 8;

        // Every code decoded as sox decodes it, by the frame and the single-sample forms.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString codes = dir.filePath("codes.raw");
        const QString pcm = dir.filePath("pcm.raw");
        QVERIFY(writeFile(codes, allCodes()));
        QVERIFY(runTool("sox",
                        QString("-D -t raw -r 8000 -c 1 -e %1 -b 8 %2 -t raw -e signed -b 16 -L %3")
                            .arg(encoding, codes, pcm)
                            .split(' ')));
        const QByteArray expected = readFile(pcm);
        QCOMPARE(expected.size(), 512);
        QCOMPARE(AudioCodec::decode(quint8(payload), allCodes(), nullptr), expected);
        for (int code = 0; code < 256; ++code)
            QCOMPARE(alaw ? alawDecode(quint8(code)) : ulawDecode(quint8(code)),
                     qFromLittleEndian<qint16>(expected.constData() + 2 * code));

        // Every sample encoded as spandsp encodes it. The mu-law encoder shifts before it takes
        // the magnitude, so a negative sample's magnitude is rounded up where spandsp rounds it
        // down: it gives spandsp's code for the sample three steps further from zero.
        QByteArray reference(65536, '\0'), single(65536, '\0');
        int differ = 0;
        for (int i = 0; i < 65536; ++i) {
            const int s = i - 32768;
            reference[i]
                = char(alaw ? linear_to_alaw(s) : linear_to_ulaw(s >= 0 ? s : qMax(s - 3, -32768)));
            single[i] = char(alaw ? alawEncode(qint16(s)) : ulawEncode(qint16(s)));
            differ += quint8(reference[i]) != (alaw ? linear_to_alaw(s) : linear_to_ulaw(s));
        }
        QCOMPARE(AudioCodec::encode(quint8(payload), allSamples(), nullptr), reference);
        QCOMPARE(single, reference);
        // Only negative mu-law samples just above a quantiser step differ, and then by one step.
        QVERIFY(alaw ? differ == 0 : differ > 0 && differ < 32768 / 4);

        // The 8-bit forms: 8-bit samples are multiples of 256, where both encoders agree with
        // spandsp, and they survive a round trip to within the code's resolution.
        const QByteArray codes8 = AudioCodec::pcm8ToG711(quint8(payload), allCodes());
        const QByteArray pcm8 = AudioCodec::g711ToPcm8(quint8(payload), allCodes());
        const QByteArray roundTrip = AudioCodec::g711ToPcm8(quint8(payload), codes8);
        for (int b = 0; b < 256; ++b) {
            const int s = (b - 128) * 256;
            const quint8 code = alaw ? linear_to_alaw(s) : linear_to_ulaw(s);
            QCOMPARE(quint8(codes8.at(b)), code);
            QCOMPARE(alaw ? alawEncode8(quint8(b)) : ulawEncode8(quint8(b)), code);
            const int back
                = ((alaw ? alaw_to_linear(quint8(b)) : ulaw_to_linear(quint8(b))) + 32768) >> 8;
            QCOMPARE(int(quint8(pcm8.at(b))), back);
            QCOMPARE(int(alaw ? alawDecode8(quint8(b)) : ulawDecode8(quint8(b))), back);
            QVERIFY(qAbs(quint8(roundTrip.at(b)) - b) <= 2);
        }
    }

    void pcmWidthMixAndEdges()
    {
        QCOMPARE(AudioCodec::pcm8To16(QByteArray("\x00\x80\xFF", 3)), pcm16({ -32768, 0, 32512 }));
        QCOMPARE(AudioCodec::pcm16To8(pcm16({ -32768, 0, 32767, -1, 255 }) + 'x'),
                 QByteArray("\x00\x80\xFF\x7F\x80", 5));
        const QByteArray all = allSamples();
        QCOMPARE(
            AudioCodec::pcm16To8Raw(reinterpret_cast<const qint16 *>(all.constData()), all.size()),
            AudioCodec::pcm16To8(all));
        QVERIFY(AudioCodec::pcm16To8Raw(nullptr, 4).isEmpty());
        QCOMPARE(AudioCodec::pcm16To8(AudioCodec::pcm8To16(allCodes())), allCodes());

        QCOMPARE(
            AudioCodec::mix16(pcm16({ -3, 32767, -32768, 5 }), pcm16({ 0, 32767, -32768, -4 })),
            pcm16({ -1, 32767, -32768, 0 }));
        QVERIFY(AudioCodec::mix16(QByteArray(), QByteArray()).isEmpty());
        QVERIFY(AudioCodec::mix16(pcm16({ 1, 2 }), pcm16({ 1 })).isEmpty());
        QCOMPARE(AudioCodec::mix16(QByteArray(3, '\0'), QByteArray(3, '\0')).size(), 3);

        // A trailing odd byte is no sample; unknown payloads give nothing, or 8-bit data unchanged.
        QCOMPARE(AudioCodec::encode(8, QByteArray(3, '\0'), nullptr).size(), 1);
        QVERIFY(AudioCodec::encode(1, QByteArray(320, '\0'), nullptr).isEmpty());
        QVERIFY(AudioCodec::decode(101, QByteArray(160, '\0'), nullptr).isEmpty());
        QCOMPARE(AudioCodec::pcm8ToG711(3, allCodes()), allCodes());
        QCOMPARE(AudioCodec::g711ToPcm8(9, allCodes()), allCodes());
    }

    void eventChars()
    {
        for (int code = 0; code < 256; ++code)
            QCOMPARE(dtmfEventChar(quint8(code)), code < 17 ? "0123456789*#abcdf"[code] : '\0');
    }
};

TARNHALL_TEST_MAIN(TestG711)
#include "tst_g711.moc"
