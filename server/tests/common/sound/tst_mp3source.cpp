#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"
#include "testmain.h"

#include <QtTest>

using namespace SoundTestKit;

namespace {

struct Reader
{
    QString file;
    int frameNumber = 0;
    qint64 position = 0;

    QByteArray read(SoundWAV &sound)
    {
        QByteArray frame;
        sound.readMp3(file, frameNumber, position, frame);
        return frame;
    }
};

// Plays one file of a non-looping source from its opening silence to the empty frame that
// ends it; empty when a frame is amiss.
QByteArray playFile(SoundWAV &sound, Reader &reader)
{
    if (reader.read(sound) != silence8(sound.frameSize()))
        return QByteArray();
    QByteArray audio;
    for (QByteArray frame = reader.read(sound); !frame.isEmpty(); frame = reader.read(sound)) {
        if (frame.size() != sound.frameSize())
            return QByteArray();
        audio += frame;
    }
    return audio;
}

} // namespace

class TestMp3Source : public QObject
{
    Q_OBJECT

    const QString m_Sweep
        = lameMp3(tempPath("sweep.mp3"), 44100, 2, { "sine", "200-3000", "vol", "0.5" });

private slots:
    void initTestCase()
    {
        startLogCapture();
        SoundWAV::loadPrompts(nullptr); // starts the decoder library
    }

    void decodesLikeFfmpeg_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("format");
        const QString mono8k
            = lameMp3(tempPath("mono8k.mp3"), 8000, 1, { "sine", "200-3000", "vol", "0.5" });
        // A full-scale square wave: the resampler rings past the 16-bit range at every edge.
        const QString square
            = lameMp3(tempPath("square.mp3"), 44100, 1, { "square", "100", "gain", "6" });
        const QString stereoFormat = QStringLiteral("sample rate = 44100, channels = 2");
        QTest::newRow("44.1 kHz stereo to 8 kHz") << m_Sweep << 0 << stereoFormat;
        QTest::newRow("44.1 kHz stereo to 24 kHz") << m_Sweep << 1 << stereoFormat;
        QTest::newRow("44.1 kHz stereo to 48 kHz") << m_Sweep << 2 << stereoFormat;
        QTest::newRow("8 kHz mono to 48 kHz") << mono8k << 2 << "sample rate = 8000, channels = 1";
        QTest::newRow("8 kHz mono to 8 kHz") << mono8k << 0 << "sample rate = 8000, channels = 1";
        QTest::newRow("overshooting square") << square << 2 << "sample rate = 44100, channels = 1";
    }

    void decodesLikeFfmpeg()
    {
        QFETCH(QString, file);
        QFETCH(int, type);
        QFETCH(QString, format);
        const int rate = rateOf(type);
        const QByteArray reference = ffmpegRaw8(file, rate);
        QVERIFY(reference.size() > rate);

        SoundWAV sound(SoundWAV::Mp3, file, quint16(type), false, 0);
        QVERIFY(sound.load());
        QCOMPARE(sound.playlist(), QStringList { file });
        takeLog();
        Reader reader;
        const QByteArray ours = playFile(sound, reader);
        QCOMPARE(takeLog(),
                 (QStringList { QStringLiteral("Open MP3 file '%1'.").arg(file),
                                QStringLiteral("Format MP3 file '%1': %2 -> sample rate = %3, "
                                               "channels = 1.")
                                    .arg(file, format)
                                    .arg(rate),
                                QStringLiteral("Stop conver MP3 file '%1'.").arg(file) }));
        // The last partial frame is dropped at the end of the file.
        QVERIFY2(qAbs(ours.size() - reference.size()) <= 3 * sound.frameSize(),
                 qPrintable(QStringLiteral("%1 vs %2").arg(ours.size()).arg(reference.size())));
        int lag = 0;
        const double c = correlation(ours, reference, rate / 1000, &lag);
        QVERIFY2(c > 0.95, qPrintable(QStringLiteral("correlation %1 at lag %2").arg(c).arg(lag)));
        // Overshoot is clamped, never wrapped round into a spike.
        for (int i = 1; i + 1 < ours.size(); ++i) {
            const int here = quint8(ours[i]);
            QVERIFY(qAbs(here - quint8(ours[i - 1])) <= 128
                    || qAbs(here - quint8(ours[i + 1])) <= 128);
        }
    }

    void loopFillsTheLastFrameWithSilence()
    {
        SoundWAV sound(SoundWAV::Mp3, m_Sweep, 0, true, 0);
        sound.load();
        Reader reader;
        QByteArray last;
        for (int reads = 1; reads < 1000 && last.isEmpty(); ++reads) {
            const QByteArray frame = reader.read(sound);
            QCOMPARE(frame.size(), 160);
            if (reads > 2 && reader.frameNumber == 0 && reader.position == 0)
                last = frame;
        }
        QCOMPARE(last.right(10), silence8(10));
        QVERIFY(last != silence8());
        QCOMPARE(reader.read(sound), silence8()); // the file opens again
        QVERIFY(reader.read(sound) != silence8());
    }

    void readersAtDifferentFramesShareOneSource()
    {
        const QString file
            = lameMp3(tempPath("tune.mp3"), 44100, 2, { "sine", "200-900", "vol", "0.5" });
        SoundWAV shared(SoundWAV::Mp3, file, 0, false, 0);
        shared.load();
        Reader alone, first, second;
        const QByteArray expected = playFile(shared, alone);
        QVERIFY(!expected.isEmpty());
        QByteArray a, b;
        QCOMPARE(first.read(shared), silence8());
        for (int i = 0; i < 40; ++i)
            a += first.read(shared);
        // The late reader starts from the beginning: its opening read is silence again.
        QCOMPARE(second.read(shared), silence8());
        for (bool firstDone = false, secondDone = false; !firstDone || !secondDone;) {
            const QByteArray x = firstDone ? QByteArray() : first.read(shared);
            const QByteArray y = secondDone ? QByteArray() : second.read(shared);
            a += x;
            b += y;
            firstDone = firstDone || x.isEmpty();
            secondDone = secondDone || y.isEmpty();
        }
        // When the first reader's file ended it closed the shared decoder, so the second
        // reader's next read reopened it: one frame of silence, then on where it was.
        const int gap = b.indexOf(silence8());
        QVERIFY(gap >= 0 && gap % 160 == 0);
        b.remove(gap, 160);

        // Each reader hears the whole file, in order, though the decoder jumps between them.
        // A seek restarts the resampler on a grid up to one sample off: close, not equal.
        QCOMPARE(a.size(), expected.size());
        QCOMPARE(b.size(), expected.size());
        QVERIFY(correlation(a, expected, 2) > 0.95);
        QVERIFY(correlation(b, expected, 2) > 0.95);

        // A reader resuming at a saved frame opens the file, keeps its place, then hears that
        // frame; past the end of the open file is its end.
        Reader resumed { file, 40, 0 };
        QCOMPARE(resumed.read(shared), silence8());
        const QByteArray frame = resumed.read(shared);
        QCOMPARE(resumed.frameNumber, 40);
        SoundWAV probe(SoundWAV::Mp3, file, 0, false, 0);
        QVERIFY(probe.openMp3(file));
        int number = 0;
        QByteArray decoded;
        for (int i = 0; i <= 40; ++i)
            decoded = probe.decodeMp3(number);
        QCOMPARE(number, 40);
        QVERIFY(correlation(frame, decoded.left(160), 2) > 0.98);
        Reader beyond { file, 100000, 0 };
        QVERIFY(beyond.read(shared).isEmpty());
        QCOMPARE(beyond.frameNumber, 0);
    }

    void playsADirectoryAsAPlaylist()
    {
        QDir dir(tempPath("music"));
        QVERIFY(dir.mkpath("."));
        const QString tone = lameMp3(tempPath("short.mp3"), 22050, 1, { "sine", "440" }, "0.3");
        const QString a = dir.filePath("a.mp3");
        const QString b = dir.filePath("B.MP3");
        for (const QString &copy : { a, b, dir.filePath("c.tar.mp3") })
            QVERIFY(QFile::copy(tone, copy));
        QVERIFY(QFile::link(a, dir.filePath("d.mp3")));
        QVERIFY(writeFile(dir.filePath("e.mp3"), QByteArray(4000, 'x')));

        SoundWAV sound(SoundWAV::Mp3, dir.path(), 0, false, 0);
        takeLog();
        QVERIFY(sound.load());
        QCOMPARE(sound.playlist(), (QStringList { b, a }));
        const QStringList log = takeLog();
        QVERIFY(log.size() == 2 && log[0] == "Rescan dir: " + dir.path()
                && log[1].contains("e.mp3"));
        QCOMPARE(sound.nextFile(a), b);
        QCOMPARE(sound.nextFile("elsewhere.mp3"), b);
        QCOMPARE(sound.playlistEntry(-1, b), a);
        QCOMPARE(sound.playlistEntry(-1, "elsewhere.mp3"), b);
        QCOMPARE(sound.playlistEntry(2, a), QString());

        Reader reader;
        for (const QString &next : { a, b }) {
            QVERIFY(!playFile(sound, reader).isEmpty());
            QCOMPARE(reader.file, next);
        }

        // A file that vanished is skipped: an empty frame, and the reader moves on.
        QVERIFY(QFile::remove(b));
        QVERIFY(reader.read(sound).isEmpty());
        QCOMPARE(reader.file, a);
        QCOMPARE(reader.read(sound), silence8());

        QVERIFY(!SoundWAV(SoundWAV::Mp3, tempPath("absent.mp3"), 1, false, 0).load());
        SoundWAV empty(SoundWAV::Mp3, tempPath("nothing-here"), 0, false, 0);
        QVERIFY(!empty.load() && empty.playlistEntry(0, QString()).isEmpty());
        QVERIFY(Reader().read(empty).isEmpty());
    }

    void refusedResamplingMovesOn()
    {
        SoundWAV sound(SoundWAV::Mp3, m_Sweep, 0, false, 9); // no such converter
        sound.load();
        takeLog();
        Reader reader;
        QCOMPARE(reader.read(sound), silence8());
        QVERIFY(reader.read(sound).isEmpty());
        QCOMPARE(takeLog().filter("Error resample MP3 file").size(), 1);
    }
};

TARNHALL_TEST_MAIN(TestMp3Source)
#include "tst_mp3source.moc"
