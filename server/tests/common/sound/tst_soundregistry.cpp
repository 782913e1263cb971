// Sounds by id: the registry, its refusals and no-ops, readers racing removals, and capture
// sounds through a fake sound card.
#include "common/sound/sound_wav/audiostream.h"
#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"
#include "testmain.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QBuffer>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

using namespace SoundTestKit;

namespace {

// A buffer stands in for a sound card: what the test feeds it becomes readable at once.
void feed(QBuffer *microphone, const QByteArray &bytes)
{
    microphone->buffer().append(bytes);
    emit microphone->readyRead();
}

QPointer<QBuffer> g_microphone;
int g_rate = 0;

} // namespace

class TestSoundRegistry : public QObject
{
    Q_OBJECT

    QString m_Wav;
    QString m_Mp3;

private slots:
    void initTestCase()
    {
        startLogCapture();
        SoundWAV::loadPrompts(nullptr);
        m_Wav = tempFile("four.wav", wavBytes(numberedFrames(0x20, 4)));
        m_Mp3 = lameMp3(tempPath("music.mp3"), 22050, 1, { "sine", "440" }, "0.4");
        QVERIFY(QFile::exists(m_Mp3));
        AudioStream::setSourceFactory([](const QString &name, const QAudioFormat &format) {
            if (name != QLatin1String("fake-mic"))
                return static_cast<QIODevice *>(nullptr);
            g_rate = format.sampleRate();
            g_microphone = new QBuffer;
            g_microphone->open(QIODevice::ReadOnly);
            return static_cast<QIODevice *>(g_microphone.data());
        });
    }

    // Must run first: ids are process-wide. A removed id, like any unknown one, makes every
    // operation a no-op.
    void idsStartAtOneMillionAndRefusalsTakeNone()
    {
        takeLog();
        QCOMPARE(SoundWAV::create(SoundWAV::Wav, m_Wav, 0, false, 0), 1000000);
        QCOMPARE(SoundWAV::create(SoundWAV::Wav, m_Wav, -1, false, 0), -1);
        QCOMPARE(SoundWAV::create(SoundWAV::Mp3, m_Mp3, 3, false, 0), -1);
        QCOMPARE(SoundWAV::create(SoundWAV::Mp3, m_Mp3, 0, false, 5), -1);
        QCOMPARE(SoundWAV::create(SoundWAV::Wav, m_Wav, 0, false, 0), 1000001);
        const QString refused = QStringLiteral("Error create sound '%1': unknown %2.");
        QCOMPARE(takeLog(),
                 (QStringList { QStringLiteral("Create sound: '%1'").arg(m_Wav),
                                refused.arg(m_Wav, "frequency type -1 (0,1,2)"),
                                refused.arg(m_Mp3, "frequency type 3 (0,1,2)"),
                                refused.arg(m_Mp3, "converter type 5 (0..4)"),
                                QStringLiteral("Create sound: '%1'").arg(m_Wav) }));
        SoundWAV::remove(1000000);
        QCOMPARE(SoundWAV::create(SoundWAV::Wav, m_Wav, 0, false, 0), 1000002);
        SoundWAV::remove(1000001);
        SoundWAV::remove(1000001); // twice: nothing happens

        const int id = 1000000;
        QCOMPARE(SoundWAV::typeOf(id), -1);
        QVERIFY(!SoundWAV::loadSound(id) && !SoundWAV::openSound(id) && !SoundWAV::closeSound(id));
        QVERIFY(SoundWAV::playlistEntryOf(id, "x", 0).isNull() && SoundWAV::labelOf(id).isNull());
        SoundWAV::rescanSound(id);
        QByteArray frame("keep");
        quint64 position = 77;
        SoundWAV::readFrame(id, frame, position);
        SoundWAV::readFrame16(id, frame, position);
        QString file("f");
        int number = 5;
        qint64 offset = 9;
        SoundWAV::readMp3Frame(id, file, number, offset, frame);
        SoundWAV::readMp3Frame16(id, file, number, offset, frame);
        QVERIFY(frame == "keep" && position == 77 && file == "f" && number == 5 && offset == 9);
        SoundWAV::remove(1000002);
    }

    // WAV and MP3 sounds open at once and stay playable when closed.
    void operationsForwardToTheSound()
    {
        const int wav = SoundWAV::create(SoundWAV::Wav, m_Wav, 0, true, 0);
        const int mp3 = SoundWAV::create(SoundWAV::Mp3, m_Mp3, 1, false, 2);
        for (const int id : { wav, mp3 })
            QVERIFY(SoundWAV::loadSound(id) && SoundWAV::openSound(id) && SoundWAV::closeSound(id));
        QCOMPARE(SoundWAV::typeOf(mp3), int(SoundWAV::Mp3));
        QByteArray frame;
        quint64 position = 0;
        SoundWAV::readFrame16(wav, frame, position);
        QCOMPARE(frame.left(2), QByteArray("\x00\xA0", 2)); // 0x20 as a 16-bit sample
        QVERIFY(frame.size() == 320 && position == 160);
        QString file;
        int number = 0;
        qint64 offset = 0;
        SoundWAV::readMp3Frame(wav, file, number, offset, frame);
        QVERIFY(frame.isEmpty()); // not an MP3 sound
        QCOMPARE(SoundWAV::playlistEntryOf(mp3, m_Mp3, 1), m_Mp3);
        SoundWAV::readMp3Frame16(mp3, file, number, offset, frame);
        QCOMPARE(frame, QByteArray(960, '\0')); // the opening read: 16-bit silence, 480 samples
        SoundWAV::readMp3Frame(mp3, file, number, offset, frame);
        QVERIFY(frame.size() == 480 && file == m_Mp3);
        SoundWAV::remove(wav);
        SoundWAV::remove(mp3);
    }

    // Audio threads read by id while the core thread creates, reloads and removes sounds.
    // Run under AddressSanitizer this proves a removed sound is never read after it is freed.
    void removalWhileOtherThreadsRead()
    {
        std::atomic<int> wavId { -1 }, mp3Id { -1 }, badFrames { 0 };
        std::atomic<bool> stop { false };
        QSemaphore reads;
        QList<QThread *> readers;
        const auto bad
            = [](const QByteArray &frame) { return !frame.isEmpty() && frame.size() != 160; };
        for (int t = 0; t < 4; ++t) {
            readers << QThread::create([&] {
                quint64 position = 0;
                QString file;
                int number = 0;
                qint64 offset = 0;
                while (!stop) {
                    QByteArray wavFrame, mp3Frame;
                    SoundWAV::readFrame(wavId, wavFrame, position);
                    position = wavFrame.isEmpty() ? 0 : position;
                    SoundWAV::readMp3Frame(mp3Id, file, number, offset, mp3Frame);
                    SoundWAV::playlistEntryOf(mp3Id, file, 1);
                    SoundWAV::typeOf(wavId);
                    badFrames += bad(wavFrame) || bad(mp3Frame);
                    reads.release();
                }
            });
            readers.last()->start();
        }
        // Each step waits until the readers have been at it, so the swaps land mid-read.
        const auto letThemRead = [&reads] {
            reads.acquire(reads.available());
            QVERIFY(reads.tryAcquire(8, 30000));
        };
        for (int round = 0; round < 60 && !QTest::currentTestFailed(); ++round) {
            const int wav = SoundWAV::create(SoundWAV::Wav, m_Wav, 0, round % 2 == 0, 0);
            const int mp3 = SoundWAV::create(SoundWAV::Mp3, m_Mp3, 0, true, 2);
            SoundWAV::loadSound(wav);
            SoundWAV::loadSound(mp3);
            const int oldWav = wavId.exchange(wav);
            const int oldMp3 = mp3Id.exchange(mp3);
            letThemRead();
            SoundWAV::loadSound(wav); // reloading replaces the data under the readers
            SoundWAV::rescanSound(mp3);
            SoundWAV::remove(oldWav);
            SoundWAV::remove(oldMp3);
            letThemRead();
        }
        SoundWAV::remove(wavId.exchange(-1));
        SoundWAV::remove(mp3Id.exchange(-1));
        stop = true;
        for (QThread *reader : readers)
            QVERIFY(reader->wait(10000));
        qDeleteAll(readers);
        QCOMPARE(badFrames.load(), 0);
    }

    // Playing starts once a second is queued (the oldest frame goes when capture runs
    // ahead), runs until the queue is empty and then waits for a second again.
    void queuesASecondBeforePlaying_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("8 kHz") << 0;
        QTest::newRow("48 kHz") << 2;
    }

    void queuesASecondBeforePlaying()
    {
        QFETCH(int, type);
        const int size = rateOf(type) / 50;
        AudioStream stream(type);
        QVERIFY(stream.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        for (int i = 1; i <= 52; ++i) {
            QCOMPARE(stream.read(size), silence8(size)); // nothing is taken while filling
            const QByteArray frame = numberedFrames(i, 1, size);
            stream.write(frame.left(100)); // frames may come in pieces
            stream.write(frame.mid(100));
        }
        for (int i = 2; i <= 52; ++i)
            QCOMPARE(stream.read(size), numberedFrames(i, 1, size));
        QCOMPARE(stream.read(size), silence8(size)); // empty: not ready any more
        stream.write(numberedFrames(60, 1, size));
        QCOMPARE(stream.read(size), silence8(size)); // and refilling to a second first
        QVERIFY(stream.read(size - 1).isEmpty()); // smaller than a frame: nothing
        stream.write(numberedFrames(1, 52, size));
        stream.clear();
        QCOMPARE(stream.read(size), silence8(size));
    }

    void captureSoundPlaysTheFakeDeviceToAnyThread()
    {
        const int id = SoundWAV::create(SoundWAV::Capture, "fake-mic", 0, true, 0);
        QVERIFY(playById(id, 1).isEmpty()); // not open yet
        QVERIFY(SoundWAV::loadSound(id));
        QCOMPARE(g_rate, 8000);
        QPointer<QBuffer> microphone = g_microphone;
        QVERIFY(SoundWAV::loadSound(id)); // already open: nothing new
        QCOMPARE(g_microphone, microphone);

        QCOMPARE(playById(id, 1), silence8());
        feed(microphone, numberedFrames(1, 30));
        feed(microphone, numberedFrames(31, 22));
        QCOMPARE(playById(id, 1), numberedFrames(2, 1));
        QString file;
        int number = 0;
        qint64 offset = 0;
        QByteArray frame;
        SoundWAV::readMp3Frame(id, file, number, offset, frame);
        QCOMPARE(frame, numberedFrames(3, 1));

        QVERIFY(!SoundWAV::closeSound(id)); // closing a capture answers false ...
        QVERIFY(!microphone); // ... and releases its device
        QVERIFY(playById(id, 1).isEmpty());
        QVERIFY(SoundWAV::openSound(id));
        QVERIFY(g_microphone && g_microphone != microphone);
        microphone = g_microphone;

        // The device delivers in this (the core) thread while an audio thread reads.
        std::atomic<bool> stop { false };
        std::atomic<int> audio { 0 }, bad { 0 };
        QScopedPointer<QThread> reader(QThread::create([&] {
            while (!stop) {
                const QByteArray frame = playById(id, 1);
                bad += frame.size() != 160;
                audio += frame.size() == 160 && frame != silence8();
            }
        }));
        reader->start();
        for (int i = 0; i < 300; ++i)
            feed(microphone, numberedFrames(1 + i % 100, 1));
        QTRY_VERIFY_WITH_TIMEOUT(audio > 0, 30000);
        stop = true;
        QVERIFY(reader->wait(10000));
        QCOMPARE(bad.load(), 0);
        SoundWAV::remove(id);
        QVERIFY(!microphone);
    }

    void missingDeviceIsLoggedNotFatal()
    {
        for (const QAudioDeviceInfo &device :
             QAudioDeviceInfo::availableDevices(QAudio::AudioInput)) {
            if (!device.isNull())
                QSKIP("this machine has an audio input device");
        }
        const int id = SoundWAV::create(SoundWAV::Capture, "no-such-card", 0, true, 0);
        takeLog();
        QVERIFY(!SoundWAV::loadSound(id));
        QVERIFY(takeLog().contains("No audio input device for sound 'no-such-card'."));
        QVERIFY(playById(id, 1).isEmpty());
        SoundWAV::remove(id);
        const int unnamed = SoundWAV::create(SoundWAV::Capture, QString(), 0, true, 0);
        QVERIFY(!SoundWAV::openSound(unnamed));
        SoundWAV::remove(unnamed);
    }
};

TARNHALL_TEST_MAIN(TestSoundRegistry)
#include "tst_soundregistry.moc"
