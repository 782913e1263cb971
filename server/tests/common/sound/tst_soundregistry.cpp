#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"

#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

using namespace SoundTestKit;

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

    void operationsForwardToTheSound()
    {
        const int wav = SoundWAV::create(SoundWAV::Wav, m_Wav, 0, true, 0);
        QCOMPARE(SoundWAV::typeOf(wav), int(SoundWAV::Wav));
        QVERIFY(SoundWAV::loadSound(wav) && SoundWAV::openSound(wav));
        QVERIFY(SoundWAV::closeSound(wav)); // a WAV sound stays playable
        QByteArray frame;
        quint64 position = 0;
        SoundWAV::readFrame16(wav, frame, position);
        QVERIFY(frame.size() == 320 && frame.startsWith(QByteArray("\x00\xA0", 2))); // 0x20
        QCOMPARE(position, quint64(160));
        position = quint64(-1); // far beyond the end
        SoundWAV::readFrame(wav, frame, position);
        QVERIFY(frame.isEmpty());
        QString file;
        int number = 0;
        qint64 offset = 0;
        SoundWAV::readMp3Frame(wav, file, number, offset, frame);
        QVERIFY(frame.isEmpty()); // not an MP3 sound

        const int mp3 = SoundWAV::create(SoundWAV::Mp3, m_Mp3, 1, false, 2);
        QVERIFY(SoundWAV::loadSound(mp3) && SoundWAV::openSound(mp3) && SoundWAV::closeSound(mp3));
        QCOMPARE(SoundWAV::playlistEntryOf(mp3, m_Mp3, 1), m_Mp3);
        SoundWAV::readMp3Frame16(mp3, file, number, offset, frame);
        QCOMPARE(frame, QByteArray(960, '\0')); // the opening read: 16-bit silence, 480 samples
        SoundWAV::readMp3Frame(mp3, file, number, offset, frame);
        QCOMPARE(frame.size(), 480);
        QCOMPARE(file, m_Mp3);
        SoundWAV::remove(wav);
        SoundWAV::remove(mp3);
    }

    // Audio threads read by id while the core thread creates, reloads and removes sounds.
    // Run under AddressSanitizer this proves a removed sound is never read after it is freed.
    void removalWhileOtherThreadsRead()
    {
        std::atomic<int> wavId { -1 };
        std::atomic<int> mp3Id { -1 };
        std::atomic<bool> stop { false };
        std::atomic<int> badFrames { 0 };
        QSemaphore reads;

        std::vector<std::unique_ptr<QThread>> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back(QThread::create([&, t] {
                quint64 position = 0;
                QString file;
                int number = 0;
                qint64 offset = 0;
                while (!stop) {
                    QByteArray frame;
                    if (t % 2 == 0) {
                        SoundWAV::readFrame(wavId, frame, position);
                        if (frame.isEmpty())
                            position = 0;
                    } else {
                        SoundWAV::readMp3Frame(mp3Id, file, number, offset, frame);
                        SoundWAV::playlistEntryOf(mp3Id, file, 1);
                    }
                    badFrames += !frame.isEmpty() && frame.size() != 160;
                    SoundWAV::typeOf(t % 2 ? mp3Id : wavId);
                    reads.release();
                }
            }));
            readers.back()->start();
        }

        // Each step waits until the readers have been at it, so the swaps land mid-read.
        const auto letThemRead = [&reads] {
            reads.acquire(reads.available());
            QVERIFY(reads.tryAcquire(8, 30000));
        };
        for (int round = 0; round < 60; ++round) {
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
            if (QTest::currentTestFailed())
                break;
        }
        SoundWAV::remove(wavId.exchange(-1));
        SoundWAV::remove(mp3Id.exchange(-1));
        stop = true;
        for (auto &reader : readers)
            QVERIFY(reader->wait(10000));
        QCOMPARE(badFrames.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSoundRegistry)
#include "tst_soundregistry.moc"
