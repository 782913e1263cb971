#include "common/sound/sound_wav/audiostream.h"
#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QPointer>
#include <QThread>
#include <QtTest>

#include <atomic>

using namespace SoundTestKit;

namespace {

// Stands in for a sound card: whatever the test feeds it becomes readable at once.
class FakeMicrophone : public QIODevice
{
public:
    void feed(const QByteArray &bytes)
    {
        m_Pending += bytes;
        emit readyRead();
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const int n = int(qMin<qint64>(maxSize, m_Pending.size()));
        memcpy(data, m_Pending.constData(), size_t(n));
        m_Pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_Pending;
};

QPointer<FakeMicrophone> g_microphone;
int g_rate = 0;

QByteArray readOnce(QIODevice &stream, int size)
{
    QByteArray buffer(size, '\x55');
    return buffer.left(int(qMax<qint64>(0, stream.read(buffer.data(), size))));
}

// Reads one frame of a sound by id (a capture keeps no position).
QByteArray readFrame(int id)
{
    QByteArray frame;
    quint64 position = 0;
    SoundWAV::readFrame(id, frame, position);
    return frame;
}

} // namespace

class TestAudioStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        startLogCapture();
        AudioStream::setSourceFactory([](const QString &name, const QAudioFormat &format) {
            if (name != QLatin1String("fake-mic"))
                return static_cast<QIODevice *>(nullptr);
            g_rate = format.sampleRate();
            g_microphone = new FakeMicrophone;
            g_microphone->open(QIODevice::ReadOnly);
            return static_cast<QIODevice *>(g_microphone.data());
        });
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
            QCOMPARE(readOnce(stream, size), silence8(size)); // nothing is taken while filling
            const QByteArray frame = numberedFrames(i, 1, size);
            stream.write(frame.left(100)); // frames may come in pieces
            stream.write(frame.mid(100));
        }
        for (int i = 2; i <= 52; ++i)
            QCOMPARE(readOnce(stream, size), numberedFrames(i, 1, size));
        QCOMPARE(readOnce(stream, size), silence8(size)); // empty: not ready any more
        stream.write(numberedFrames(60, 1, size));
        QCOMPARE(readOnce(stream, size), silence8(size)); // and refilling to a second first
        QVERIFY(readOnce(stream, size - 1).isEmpty()); // smaller than a frame: nothing
        stream.write(numberedFrames(1, 52, size));
        stream.clear();
        QCOMPARE(readOnce(stream, size), silence8(size));
    }

    void captureSoundPlaysTheFakeDeviceToAnyThread()
    {
        const int id = SoundWAV::create(SoundWAV::Capture, "fake-mic", 0, true, 0);
        QVERIFY(readFrame(id).isEmpty()); // not open yet
        QVERIFY(SoundWAV::loadSound(id));
        QCOMPARE(g_rate, 8000);
        QPointer<FakeMicrophone> microphone = g_microphone;
        QVERIFY(SoundWAV::loadSound(id)); // already open: nothing new
        QCOMPARE(g_microphone, microphone);

        QCOMPARE(readFrame(id), silence8());
        microphone->feed(numberedFrames(1, 30));
        microphone->feed(numberedFrames(31, 22));
        QCOMPARE(readFrame(id), numberedFrames(2, 1));
        QString file;
        int number = 0;
        qint64 offset = 0;
        QByteArray frame;
        SoundWAV::readMp3Frame(id, file, number, offset, frame);
        QCOMPARE(frame, numberedFrames(3, 1));
        quint64 position = 0;
        SoundWAV::readFrame16(id, frame, position);
        QCOMPARE(frame.size(), 320);
        QCOMPARE(position, quint64(0));

        QVERIFY(!SoundWAV::closeSound(id)); // closing a capture answers false ...
        QVERIFY(!microphone); // ... and releases its device
        QVERIFY(readFrame(id).isEmpty());
        QVERIFY(SoundWAV::openSound(id));
        QVERIFY(g_microphone && g_microphone != microphone);
        microphone = g_microphone;

        // The device delivers in this (the core) thread while an audio thread reads.
        std::atomic<bool> stop { false };
        std::atomic<int> audio { 0 };
        std::atomic<int> bad { 0 };
        QScopedPointer<QThread> reader(QThread::create([&] {
            while (!stop) {
                const QByteArray frame = readFrame(id);
                bad += frame.size() != 160;
                audio += frame.size() == 160 && frame != silence8();
            }
        }));
        reader->start();
        for (int i = 0; i < 300; ++i)
            microphone->feed(numberedFrames(1 + i % 100, 1));
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
        QVERIFY(readFrame(id).isEmpty());
        SoundWAV::remove(id);
        const int unnamed = SoundWAV::create(SoundWAV::Capture, QString(), 0, true, 0);
        QVERIFY(!SoundWAV::openSound(unnamed));
        SoundWAV::remove(unnamed);
    }
};

QTEST_GUILESS_MAIN(TestAudioStream)
#include "tst_audiostream.moc"
