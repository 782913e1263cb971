// G.711 and PCM conversions against references written elsewhere: sox's decoder and the
// spandsp encoders.
#include "common/codecs/audiocodec.h"
#include "codectestsupport.h"
#include "common/codecs/dtmfevent.h"
#include "common/codecs/g711.h"
#include "common/codecs/reversebits.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <spandsp/telephony.h>
// telephony.h must come first: g711.h needs its declarations and top_bit().
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

namespace {

QByteArray samples16(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values) {
        char le[2];
        qToLittleEndian<qint16>(qint16(v), le);
        out.append(le, 2);
    }
    return out;
}

qint16 sampleAt(const QByteArray &pcm, int i)
{
    return qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
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
    void decodeMatchesSox_data();
    void decodeMatchesSox();
    void alawEncodeMatchesSpandsp();
    void ulawEncodeAgainstSpandsp();
    void knownCodes();
    void eightBitForms();
    void pcmWidthAndMix();
    void eventCharsAndBitOrder();
};

void TestG711::decodeMatchesSox_data()
{
    QTest::addColumn<int>("payload");
    QTest::addColumn<QString>("encoding");
    QTest::newRow("PCMA") << 8 << "a-law";
    QTest::newRow("PCMU") << 0 << "mu-law";
}

void TestG711::decodeMatchesSox()
{
    QFETCH(int, payload);
    QFETCH(QString, encoding);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString codes = dir.filePath("codes.raw");
    const QString pcm = dir.filePath("pcm.raw");
    QVERIFY(writeFile(codes, allCodes()));
    QString error;
    QVERIFY2(runTool("sox",
                     { "-D", "-t",  "raw", "-r",  "8000", "-c",     "1",  "-e", encoding, "-b",
                       "8",  codes, "-t",  "raw", "-e",   "signed", "-b", "16", "-L",     pcm },
                     &error),
             qPrintable(error));
    const QByteArray expected = readFile(pcm);
    QCOMPARE(expected.size(), 512);

    const QByteArray decoded = AudioCodec::decode(quint8(payload), allCodes(), nullptr);
    QCOMPARE(decoded.size(), 512);
    for (int code = 0; code < 256; ++code) {
        QCOMPARE(sampleAt(decoded, code), sampleAt(expected, code));
        const qint16 single = payload == 8 ? alawDecode(quint8(code)) : ulawDecode(quint8(code));
        QCOMPARE(single, sampleAt(expected, code));
    }
}

void TestG711::alawEncodeMatchesSpandsp()
{
    const QByteArray encoded = AudioCodec::encode(8, allSamples(), nullptr);
    QCOMPARE(encoded.size(), 65536);
    for (int i = 0; i < 65536; ++i) {
        const int s = i - 32768;
        // The frame path uses tables; the single-sample encoder must agree with both.
        if (quint8(encoded.at(i)) != linear_to_alaw(s)
            || alawEncode(qint16(s)) != linear_to_alaw(s))
            QFAIL(qPrintable(QString("sample %1 gives %2, spandsp %3")
                                 .arg(s)
                                 .arg(quint8(encoded.at(i)))
                                 .arg(linear_to_alaw(s))));
    }
}

// The mu-law encoder shifts before it takes the magnitude, so a negative sample's magnitude
// is rounded up where spandsp rounds it down: it equals spandsp exactly for every sample
// >= 0 and spandsp's code for the sample three steps further from zero when negative.
void TestG711::ulawEncodeAgainstSpandsp()
{
    const QByteArray encoded = AudioCodec::encode(0, allSamples(), nullptr);
    QCOMPARE(encoded.size(), 65536);
    int differ = 0;
    for (int i = 0; i < 65536; ++i) {
        const int s = i - 32768;
        const quint8 ours = quint8(encoded.at(i));
        const quint8 expected = linear_to_ulaw(s >= 0 ? s : qMax(s - 3, -32768));
        if (ours != expected)
            QFAIL(qPrintable(
                QString("sample %1 gives %2, expected %3").arg(s).arg(ours).arg(expected)));
        QCOMPARE(ulawEncode(qint16(s)), ours);
        differ += ours != linear_to_ulaw(s);
    }
    // Only negative samples just above a quantiser step differ, and then by one step.
    QVERIFY(differ > 0 && differ < 32768 / 4);
}

void TestG711::knownCodes()
{
    // Every code and sample is compared with the references above; these are the frame forms.
    const QByteArray silence(320, '\0');
    QCOMPARE(AudioCodec::encode(8, silence, nullptr), QByteArray(160, char(0xD5)));
    QCOMPARE(AudioCodec::encode(0, silence, nullptr), QByteArray(160, char(0xFF)));
    // A trailing odd byte is no sample; unknown payloads give nothing.
    QCOMPARE(AudioCodec::encode(8, QByteArray(3, '\0'), nullptr).size(), 1);
    QVERIFY(AudioCodec::encode(1, silence, nullptr).isEmpty());
    QVERIFY(AudioCodec::decode(101, QByteArray(160, '\0'), nullptr).isEmpty());
}

void TestG711::eightBitForms()
{
    // The array forms follow the single-sample ones; other payloads pass the data through.
    QByteArray ramp = allCodes();
    const QByteArray alaw = AudioCodec::pcm8ToG711(8, ramp);
    const QByteArray ulaw = AudioCodec::pcm8ToG711(0, ramp);
    for (int b = 0; b < 256; ++b) {
        // 8-bit samples are multiples of 256, where both encoders agree with spandsp.
        const int s = (b - 128) * 256;
        QCOMPARE(quint8(alaw.at(b)), linear_to_alaw(s));
        QCOMPARE(quint8(ulaw.at(b)), linear_to_ulaw(s));
        QCOMPARE(alawEncode8(quint8(b)), linear_to_alaw(s));
        QCOMPARE(ulawEncode8(quint8(b)), linear_to_ulaw(s));
        // 8 bits survive a G.711 round trip to within one step of the code's resolution.
        const int alawPcm8 = (alaw_to_linear(quint8(b)) + 32768) >> 8;
        const int ulawPcm8 = (ulaw_to_linear(quint8(b)) + 32768) >> 8;
        QCOMPARE(int(quint8(AudioCodec::g711ToPcm8(8, ramp).at(b))), alawPcm8);
        QCOMPARE(int(quint8(AudioCodec::g711ToPcm8(0, ramp).at(b))), ulawPcm8);
        QCOMPARE(int(alawDecode8(quint8(b))), alawPcm8);
        QCOMPARE(int(ulawDecode8(quint8(b))), ulawPcm8);
        QVERIFY(qAbs(quint8(AudioCodec::g711ToPcm8(8, alaw).at(b)) - b) <= 2);
        QVERIFY(qAbs(quint8(AudioCodec::g711ToPcm8(0, ulaw).at(b)) - b) <= 2);
    }
    QCOMPARE(AudioCodec::pcm8ToG711(3, ramp), ramp);
    QCOMPARE(AudioCodec::g711ToPcm8(9, ramp), ramp);
}

void TestG711::pcmWidthAndMix()
{
    QCOMPARE(AudioCodec::pcm8To16(QByteArray("\x00\x80\xFF", 3)), samples16({ -32768, 0, 32512 }));
    QCOMPARE(AudioCodec::pcm16To8(samples16({ -32768, 0, 32767, -1, 255 })),
             QByteArray("\x00\x80\xFF\x7F\x80", 5));
    QCOMPARE(AudioCodec::pcm16To8(samples16({ 0 }) + 'x'), QByteArray("\x80"));
    const QByteArray all = allSamples();
    QCOMPARE(AudioCodec::pcm16To8Raw(reinterpret_cast<const qint16 *>(all.constData()), all.size()),
             AudioCodec::pcm16To8(all));
    QVERIFY(AudioCodec::pcm16To8Raw(nullptr, 4).isEmpty());
    // Every byte survives 8 -> 16 -> 8 bits.
    QCOMPARE(AudioCodec::pcm16To8(AudioCodec::pcm8To16(allCodes())), allCodes());

    QCOMPARE(
        AudioCodec::mix16(samples16({ -3, 32767, -32768, 5 }), samples16({ 0, 32767, -32768, -4 })),
        samples16({ -1, 32767, -32768, 0 }));
    QVERIFY(AudioCodec::mix16(QByteArray(), QByteArray()).isEmpty());
    QVERIFY(AudioCodec::mix16(samples16({ 1, 2 }), samples16({ 1 })).isEmpty());
    QCOMPARE(AudioCodec::mix16(QByteArray(3, '\0'), QByteArray(3, '\0')).size(), 3);
}

void TestG711::eventCharsAndBitOrder()
{
    const QByteArray expected = "0123456789*#abcdf";
    for (int code = 0; code < 256; ++code)
        QCOMPARE(dtmfEventChar(quint8(code)), code < 17 ? expected.at(code) : '\0');

    QCOMPARE(reverseBits(QByteArray("\x01\xF0\xA5", 3)), QByteArray("\x80\x0F\xA5", 3));
    QCOMPARE(reverseBits(QByteArray("\x01\x01", 2), 1).at(0), '\x80');
    QCOMPARE(reverseBits(QByteArray("\x01\x01", 2), 1).size(), 2);
    QCOMPARE(reverseBits(QByteArray("\x01\x01", 2), 0).size(), 2);
    QVERIFY(reverseBits(QByteArray()).isEmpty());
    QVERIFY(reverseBits(QByteArray("\x01"), -2).isEmpty());
    QVERIFY(reverseBits(QByteArray("\x01"), 2).isEmpty());
    // Mirroring twice gives the input back.
    QCOMPARE(reverseBits(reverseBits(allCodes())), allCodes());
}

QTEST_GUILESS_MAIN(TestG711)
#include "tst_g711.moc"
