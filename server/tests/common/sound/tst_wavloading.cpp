#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"

#include <QtTest>

using namespace SoundTestKit;

namespace {

QStringList fmt(const QString &rate, const QString &channels, const QString &bits,
                const QString &encoding)
{
    return { QStringLiteral("-r"), rate, QStringLiteral("-c"), channels,
             QStringLiteral("-b"), bits, QStringLiteral("-e"), encoding };
}

// Audio whose frames can be told apart: frame i holds bytes 0x10 + i.
QByteArray numberedFrames(int frames, int frameSize = 160)
{
    QByteArray audio;
    for (int i = 0; i < frames; ++i)
        audio.append(QByteArray(frameSize, char(0x10 + i)));
    return audio;
}

} // namespace

class TestWavLoading : public QObject
{
    Q_OBJECT

    QTemporaryDir m_Dir;

    QString path(const QString &name) const { return m_Dir.filePath(name); }

    QString soxFile(const QString &name, const QStringList &format, const QStringList &extra = {})
    {
        const QString file = path(name);
        if (!QFile::exists(file))
            soxSignal(file, extra + format, QStringLiteral("0.5"));
        return file;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_Dir.isValid());
        startLogCapture();
    }

    void checksListEveryReasonInOneLine_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("reasons");

        const QString u = QStringLiteral("unsigned-integer");
        const QString s = QStringLiteral("signed-integer");
        QTest::newRow("sox u8 8 kHz") << soxFile("u8.wav", fmt("8000", "1", "8", u)) << 0 << "";
        QTest::newRow("sox u8 24 kHz as type 1")
            << soxFile("u8-24k.wav", fmt("24000", "1", "8", u)) << 1 << "";
        QTest::newRow("sox u8 48 kHz as type 2")
            << soxFile("u8-48k.wav", fmt("48000", "1", "8", u)) << 2 << "";
        QTest::newRow("sox s16 stereo 44.1 kHz")
            << soxFile("s16-stereo.wav", fmt("44100", "2", "16", s)) << 0
            << "incorrect channels number 2 (1 - mono); incorrect sample rate 44100 (8000); "
               "incorrect byte rate 176400 (8000); incorrect bits per sample 16 (8)";
        QTest::newRow("sox s16 mono 8 kHz")
            << soxFile("s16.wav", fmt("8000", "1", "16", s)) << 0
            << "incorrect byte rate 16000 (8000); incorrect bits per sample 16 (8)";
        QTest::newRow("sox u8 16 kHz")
            << soxFile("u8-16k.wav", fmt("16000", "1", "8", u)) << 0
            << "incorrect sample rate 16000 (8000); incorrect byte rate 16000 (8000)";
        QTest::newRow("sox A-law")
            << soxFile("alaw.wav", fmt("8000", "1", "8", QStringLiteral("a-law"))) << 0
            << "incorrect audio format 6 (1 - PCM)";
        QTest::newRow("unknown frequency type") << soxFile("u8.wav", fmt("8000", "1", "8", u)) << 3
                                                << "unknown frequency type 3 (0,1,2)";
        QTest::newRow("43 bytes") << path("short.wav") << 0 << "invalid file format";
        writeFile(path("short.wav"), wavBytes(QByteArray()).left(43));
        QTest::newRow("not RIFF") << path("text.wav") << 0
                                  << "incorrect format (RIFF,RIFX,WAVE,fmt)";
        writeFile(path("text.wav"), QByteArray(100, 'x'));
        QTest::newRow("missing file") << path("absent.wav") << 0 << "No such file or directory";
    }

    void checksListEveryReasonInOneLine()
    {
        QFETCH(QString, file);
        QFETCH(int, type);
        QFETCH(QString, reasons);
        const QStringList expected = reasons.isEmpty()
            ? QStringList()
            : QStringList { QStringLiteral("Error load sound file '%1': %2.").arg(file, reasons) };
        takeLog();
        QCOMPARE(SoundWAV::loadWavFile(file, quint16(type)), reasons.isEmpty());
        QCOMPARE(takeLog(), expected);
        bool ok = true;
        const QByteArray audio = SoundWAV::loadWav(file, quint16(type), &ok);
        QCOMPARE(ok, reasons.isEmpty());
        QCOMPARE(audio.isEmpty(), !ok);
        QCOMPARE(takeLog(), expected);
    }

    void rifxIsRejected()
    {
        const QString file = soxFile("rifx.wav", fmt("8000", "1", "8", "unsigned-integer"),
                                     { QStringLiteral("-B") });
        QCOMPARE(readFile(file).left(4), QByteArray("RIFX"));
        takeLog();
        QVERIFY(!SoundWAV::loadWavFile(file, 0));
        QVERIFY(takeLog().value(0).contains("incorrect audio format 256 (1 - PCM)"));
    }

    void loadsExactlyTheDataChunk_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("type");
        const QString u = QStringLiteral("unsigned-integer");
        QTest::newRow("sox 8 kHz") << soxFile("u8.wav", fmt("8000", "1", "8", u)) << 8000 << 0;
        QTest::newRow("sox 48 kHz")
            << soxFile("u8-48k.wav", fmt("48000", "1", "8", u)) << 48000 << 2;

        // ffmpeg writes a LIST chunk (encoder name, title) between "fmt " and "data".
        const QString listed = path("ffmpeg-list.wav");
        run(QStringLiteral("ffmpeg"),
            { "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=300:duration=0.77", "-ar",
              "8000", "-ac", "1", "-c:a", "pcm_u8", "-metadata", "title=A long title", listed });
        QTest::newRow("ffmpeg with LIST") << listed << 8000 << 0;
    }

    void loadsExactlyTheDataChunk()
    {
        QFETCH(QString, file);
        QFETCH(int, rate);
        QFETCH(int, type);
        QByteArray reference = ffmpegRaw8(file, rate);
        QVERIFY(!reference.isEmpty());
        const int frameSize = rate / 50;
        reference.truncate(reference.size() - reference.size() % frameSize);
        bool ok = false;
        QCOMPARE(SoundWAV::loadWav(file, quint16(type), &ok), reference);
        QVERIFY(ok);
    }

    void boundsReadsByTheBytesPresent_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("audio");

        const QByteArray audio = numberedFrames(7).left(1000);
        const QByteArray canonical = wavBytes(audio);
        QTest::newRow("1000 bytes give 6 frames") << canonical << 0 << audio.left(960);
        QTest::newRow("24 kHz: 1000 bytes give 2 frames")
            << wavBytes(audio, 24000) << 1 << audio.left(960);

        QByteArray truncated = wavBytes(numberedFrames(100)).left(44 + 1000);
        QTest::newRow("truncated after 1000 bytes") << truncated << 0 << audio.left(960);

        QByteArray riffSmall = canonical;
        riffSmall.replace(4, 4, le32(36));
        QTest::newRow("RIFF size too small") << riffSmall << 0 << audio.left(960);

        QByteArray allHuge = canonical;
        allHuge.replace(4, 4, le32(0xffffffff));
        allHuge.replace(40, 4, le32(0xffffffff));
        QTest::newRow("RIFF and data sizes huge") << allHuge << 0 << audio.left(960);

        const QByteArray fmtChunk = canonical.mid(12, 24);
        const QByteArray list = "LIST" + le32(5) + "INFOx" + '\0'; // odd size, padded
        const QByteArray data = "data" + le32(320) + numberedFrames(2);
        const QByteArray tail = "junk" + le32(4) + "tail";
        const QByteArray body = "WAVE" + fmtChunk + list + data + tail;
        QTest::newRow("LIST before, junk after")
            << "RIFF" + le32(quint32(body.size())) + body << 0 << numberedFrames(2);

        const QByteArray broken = "WAVE" + fmtChunk + "LIST" + le32(0xfffffff0) + "data";
        QTest::newRow("chunk running past the end")
            << "RIFF" + le32(quint32(broken.size())) + broken << 0 << QByteArray();
        QTest::newRow("header only") << wavBytes(QByteArray()) << 0 << QByteArray();
    }

    void boundsReadsByTheBytesPresent()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, type);
        QFETCH(QByteArray, audio);
        const QString file = path(QStringLiteral("crafted.wav"));
        QVERIFY(writeFile(file, bytes));
        bool ok = false;
        QCOMPARE(SoundWAV::loadWav(file, quint16(type), &ok), audio);
        QVERIFY(ok);
        QVERIFY(takeLog().isEmpty());
    }

    void findsTheFrequencyType()
    {
        const QString u = QStringLiteral("unsigned-integer");
        takeLog();
        QCOMPARE(SoundWAV::wavFrequencyType(soxFile("u8-48k.wav", fmt("48000", "1", "8", u))), 2);
        QVERIFY(takeLog().isEmpty());

        const QString odd = soxFile("u8-11k.wav", fmt("11025", "1", "8", u));
        QCOMPARE(SoundWAV::wavFrequencyType(odd), -1);
        QCOMPARE(takeLog(),
                 QStringList { QStringLiteral("Error load sound file '%1': incorrect "
                                              "sample rate 11025.")
                                   .arg(odd) });

        const QString stereo
            = soxFile("s16-stereo.wav", fmt("44100", "2", "16", QStringLiteral("signed-integer")));
        QCOMPARE(SoundWAV::wavFrequencyType(stereo), -1);
        QCOMPARE(
            takeLog(),
            QStringList { QStringLiteral("Error load sound file '%1': incorrect channels "
                                         "number 2 (1 - mono); incorrect bits per sample 16 (8).")
                              .arg(stereo) });

        QByteArray unequal = wavBytes(QByteArray(160, 'a'));
        unequal.replace(28, 4, le32(16000));
        QVERIFY(writeFile(path("unequal.wav"), unequal));
        QCOMPARE(SoundWAV::wavFrequencyType(path("unequal.wav")), -1);
        QVERIFY(takeLog().value(0).endsWith("not equ sample rate 8000 and byte rate 16000."));
    }

    void wavSourceEndsWithOneSilenceFrameOrLoops()
    {
        QVERIFY(writeFile(path("three.wav"), wavBytes(numberedFrames(3))));
        for (const bool loop : { false, true }) {
            SoundWAV sound(SoundWAV::Wav, path("three.wav"), 0, loop, 0);
            QVERIFY(sound.load());
            qint64 position = 0;
            QByteArray frame;
            for (int i = 0; i < 8; ++i) {
                sound.read(frame, position);
                if (i < 3 || loop)
                    QCOMPARE(frame, QByteArray(160, char(0x10 + i % 3)));
                else if (i == 3)
                    QCOMPARE(frame, silence8(160));
                else
                    QVERIFY(frame.isEmpty());
            }
            QCOMPARE(position, loop ? qint64(2 * 160) : qint64(4 * 160));

            position = 480; // exactly at the end: silence or the first frame; beyond: nothing
            sound.read(frame, position);
            QCOMPARE(frame, loop ? QByteArray(160, char(0x10)) : silence8(160));
            for (const qint64 outside : { qint64(481), qint64(-1) }) {
                position = outside;
                sound.read(frame, position);
                QVERIFY(frame.isEmpty());
            }
        }
    }

    void emptyWavPlaysOneSilenceFrameOrNothing()
    {
        QVERIFY(writeFile(path("tiny.wav"), wavBytes(QByteArray(100, 'a'))));
        for (const bool loop : { false, true }) {
            SoundWAV sound(SoundWAV::Wav, path("tiny.wav"), 0, loop, 0);
            QVERIFY(sound.load());
            QVERIFY(sound.data().isEmpty());
            qint64 position = 0;
            QByteArray frame;
            sound.read(frame, position);
            QCOMPARE(frame, loop ? QByteArray() : silence8(160));
            sound.read(frame, position);
            QVERIFY(frame.isEmpty());
        }
    }

    void loadNeedsAWavFileAndKeepsOldDataOnFailure()
    {
        QVERIFY(writeFile(path("good.WAV"), wavBytes(numberedFrames(2))));
        QVERIFY(writeFile(path("song.tar.wav"), wavBytes(numberedFrames(2))));
        QCOMPARE(SoundWAV(SoundWAV::Wav, path("good.WAV"), 0, false, 0).load(), true);
        QCOMPARE(SoundWAV(SoundWAV::Wav, path("song.tar.wav"), 0, false, 0).load(), false);
        QCOMPARE(SoundWAV(SoundWAV::Wav, path("absent.wav"), 0, false, 0).load(), false);

        QVERIFY(writeFile(path("changing.wav"), wavBytes(numberedFrames(2))));
        SoundWAV sound(SoundWAV::Wav, path("changing.wav"), 0, false, 0);
        QVERIFY(sound.load());
        QVERIFY(writeFile(path("changing.wav"), wavBytes(numberedFrames(2), 16000)));
        QVERIFY(!sound.load());
        QCOMPARE(sound.data(), numberedFrames(2));
    }
};

QTEST_GUILESS_MAIN(TestWavLoading)
#include "tst_wavloading.moc"
