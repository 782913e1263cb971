#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"
#include "testmain.h"

#include <QtTest>

using namespace SoundTestKit;

class TestWavLoading : public QObject
{
    Q_OBJECT

    // A half-second sox tone: "rate channels bits encoding", then any other sox options.
    static QString sox(const QString &format, const QString &more = QString())
    {
        const QStringList f = format.split(' ');
        const QString file = tempPath(QString(format + more).replace(' ', '-') + ".wav");
        soxSignal(file, QString("-r %1 -c %2 -b %3 -e %4").arg(f[0], f[1], f[2], f[3]) + more,
                  "0.5");
        return file;
    }

    static QStringList errorLine(const QString &file, const QString &reasons)
    {
        const QString line = QStringLiteral("Error load sound file '%1': %2.").arg(file, reasons);
        return reasons.isEmpty() ? QStringList() : QStringList { line };
    }

private slots:
    void initTestCase() { startLogCapture(); }

    // What loading at a frequency type refuses, and what the file's own type is, each logged
    // with every reason in one line; what is accepted is the data chunk as ffmpeg reads it.
    void checksLoadsAndDetects_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("reasons");
        QTest::addColumn<int>("detected");
        QTest::addColumn<QString>("detectReasons");

        QTest::newRow("sox u8 8 kHz") << sox("8000 1 8 unsigned-integer") << 0 << "" << 0 << "";
        QTest::newRow("sox u8 24 kHz") << sox("24000 1 8 unsigned-integer") << 1 << "" << 1 << "";
        QTest::newRow("sox u8 48 kHz") << sox("48000 1 8 unsigned-integer") << 2 << "" << 2 << "";
        // ffmpeg writes a LIST chunk (encoder name, title) between "fmt " and "data".
        const QString listed = tempPath("ffmpeg-list.wav");
        runTool("ffmpeg",
                { "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=300:duration=0.77",
                  "-ar", "8000", "-ac", "1", "-c:a", "pcm_u8", "-metadata", "title=A title",
                  listed });
        QTest::newRow("ffmpeg with LIST") << listed << 0 << "" << 0 << "";

        QTest::newRow("sox s16 stereo 44.1 kHz")
            << sox("44100 2 16 signed-integer") << 0
            << "incorrect channels number 2 (1 - mono); incorrect sample rate 44100 (8000); "
               "incorrect byte rate 176400 (8000); incorrect bits per sample 16 (8)"
            << -1 << "incorrect channels number 2 (1 - mono); incorrect bits per sample 16 (8)";
        QTest::newRow("sox u8 11.025 kHz")
            << sox("11025 1 8 unsigned-integer") << 0
            << "incorrect sample rate 11025 (8000); incorrect byte rate 11025 (8000)" << -1
            << "incorrect sample rate 11025";
        const QString alaw = QStringLiteral("incorrect audio format 6 (1 - PCM)");
        QTest::newRow("sox A-law") << sox("8000 1 8 a-law") << 0 << alaw << -1 << alaw;
        // Big-endian fields read as little-endian ones.
        QTest::newRow("sox RIFX")
            << sox("8000 1 8 unsigned-integer", " -B") << 0
            << "incorrect audio format 256 (1 - PCM); incorrect channels number 256 (1 - mono); "
               "incorrect sample rate 1075773440 (8000); incorrect byte rate 1075773440 (8000); "
               "incorrect bits per sample 2048 (8)"
            << -1
            << "incorrect audio format 256 (1 - PCM); incorrect channels number 256 (1 - mono); "
               "incorrect bits per sample 2048 (8)";
        QTest::newRow("unknown frequency type") << sox("8000 1 8 unsigned-integer") << 3
                                                << "unknown frequency type 3 (0,1,2)" << 0 << "";

        QByteArray unequal = wavBytes(QByteArray(160, 'a'));
        unequal.replace(28, 4, le32(16000));
        QTest::newRow("byte rate unlike sample rate")
            << tempFile("unequal.wav", unequal) << 0 << "incorrect byte rate 16000 (8000)" << -1
            << "not equ sample rate 8000 and byte rate 16000";
        const QString notRiff = QStringLiteral("incorrect format (RIFF,RIFX,WAVE,fmt)");
        const QString missing = QStringLiteral("No such file or directory");
        QTest::newRow("43 bytes") << tempFile("short.wav", wavBytes(QByteArray()).left(43)) << 0
                                  << "invalid file format" << -1 << "invalid file format";
        QTest::newRow("not RIFF") << tempFile("text.wav", QByteArray(100, 'x')) << 0 << notRiff
                                  << -1 << notRiff;
        QTest::newRow("missing file") << tempPath("absent.wav") << 0 << missing << -1 << missing;
    }

    void checksLoadsAndDetects()
    {
        QFETCH(QString, file);
        QFETCH(int, type);
        QFETCH(QString, reasons);
        QFETCH(int, detected);
        QFETCH(QString, detectReasons);
        takeLog();
        QCOMPARE(SoundWAV::loadWavFile(file, quint16(type)), reasons.isEmpty());
        QCOMPARE(takeLog(), errorLine(file, reasons));
        bool ok = !reasons.isEmpty();
        const QByteArray audio = SoundWAV::loadWav(file, quint16(type), &ok);
        QCOMPARE(ok, reasons.isEmpty());
        QCOMPARE(takeLog(), errorLine(file, reasons));
        QCOMPARE(SoundWAV::wavFrequencyType(file), detected);
        QCOMPARE(takeLog(), errorLine(file, detectReasons));
        QByteArray reference = ok ? ffmpegRaw8(file, rateOf(type)) : QByteArray();
        reference.chop(reference.size() % (rateOf(type) / 50)); // whole frames only
        QCOMPARE(audio, reference);
        QCOMPARE(audio.isEmpty(), !ok);
    }

    void boundsReadsByTheBytesPresent_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("audio");

        const QByteArray audio = numberedFrames(0x10, 7).left(1000);
        const QByteArray canonical = wavBytes(audio);
        QTest::newRow("1000 bytes give 6 frames") << canonical << audio.left(960);
        QTest::newRow("truncated after 1000 bytes")
            << wavBytes(numberedFrames(0x10, 100)).left(44 + 1000) << audio.left(960);
        QTest::newRow("RIFF size too small")
            << QByteArray(canonical).replace(4, 4, le32(36)) << audio.left(960);
        QTest::newRow("RIFF and data sizes huge")
            << QByteArray(canonical).replace(4, 4, le32(~0u)).replace(40, 4, le32(~0u))
            << audio.left(960);

        const QByteArray fmtChunk = canonical.mid(12, 24);
        const QByteArray list = "LIST" + le32(5) + "INFOx" + '\0'; // odd size, padded
        const QByteArray data = "data" + le32(320) + numberedFrames(0x10, 2);
        const QByteArray body = "WAVE" + fmtChunk + list + data + "junk" + le32(4) + "tail";
        QTest::newRow("LIST before, junk after")
            << "RIFF" + le32(quint32(body.size())) + body << numberedFrames(0x10, 2);
        const QByteArray broken = "WAVE" + fmtChunk + "LIST" + le32(0xfffffff0) + "data";
        QTest::newRow("chunk running past the end")
            << "RIFF" + le32(quint32(broken.size())) + broken << QByteArray();
        QTest::newRow("header only") << wavBytes(QByteArray()) << QByteArray();
    }

    void boundsReadsByTheBytesPresent()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, audio);
        bool ok = false;
        QCOMPARE(SoundWAV::loadWav(tempFile("crafted.wav", bytes), 0, &ok), audio);
        QVERIFY(ok);
        QVERIFY(takeLog().isEmpty());
    }

    // A WAV source plays its frames, then one frame of silence and nothing more, or loops
    // without a gap; a file of less than a frame is silence, or nothing when looping.
    void playsThenEndsWithSilenceOrLoops_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("loop");
        QTest::newRow("three frames") << 3 << false;
        QTest::newRow("three frames, looping") << 3 << true;
        QTest::newRow("less than a frame") << 0 << false;
        QTest::newRow("less than a frame, looping") << 0 << true;
    }

    void playsThenEndsWithSilenceOrLoops()
    {
        QFETCH(int, frames);
        QFETCH(bool, loop);
        const QByteArray audio = numberedFrames(0x10, frames);
        SoundWAV sound(SoundWAV::Wav, tempFile("play.wav", wavBytes(audio + "tail")), 0, loop, 0);
        QVERIFY(sound.load());
        QCOMPARE(sound.data(), audio);
        qint64 position = 0;
        QByteArray frame;
        for (int i = 0; i < 8; ++i) {
            sound.read(frame, position);
            if (frames > 0 && (i < frames || loop))
                QCOMPARE(frame, audio.mid(i % frames * 160, 160));
            else
                QCOMPARE(frame, i == frames && !loop ? silence8() : QByteArray());
        }
        // Exactly at the end: silence or the first frame; beyond it: nothing.
        for (const qint64 at : { qint64(audio.size()), qint64(audio.size() + 1), qint64(-1) }) {
            position = at;
            sound.read(frame, position);
            const QByteArray atEnd = loop ? audio.left(160) : silence8();
            QCOMPARE(frame, at == audio.size() ? atEnd : QByteArray());
        }
    }

    void loadNeedsAWavFileAndKeepsOldDataOnFailure()
    {
        const QByteArray two = wavBytes(numberedFrames(0x10, 2));
        QVERIFY(!SoundWAV(SoundWAV::Wav, tempFile("song.tar.wav", two), 0, false, 0).load());
        QVERIFY(!SoundWAV(SoundWAV::Wav, tempPath("absent.wav"), 0, false, 0).load());
        SoundWAV sound(SoundWAV::Wav, tempFile("good.WAV", two), 0, false, 0);
        QVERIFY(sound.load());
        tempFile("good.WAV", wavBytes(numberedFrames(0x10, 2), 16000));
        QVERIFY(!sound.load());
        QCOMPARE(sound.data(), numberedFrames(0x10, 2));
    }
};

TARNHALL_TEST_MAIN(TestWavLoading)
#include "tst_wavloading.moc"
