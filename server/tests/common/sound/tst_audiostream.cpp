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
        m_Buffer += bytes;
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_Buffer.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_Buffer.size());
        memcpy(data, m_Buffer.constData(), size_t(n));
        m_Buffer.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_Buffer;
};

QPointer<FakeMicrophone> g_microphone;
QAudioFormat g_format;

QByteArray numbered(int first, int count, int size = 160)
{
    QByteArray bytes;
    for (int i = first; i < first + count; ++i)
        bytes += QByteArray(size, char(i));
    return bytes;
}

QByteArray readOnce(AudioStream &stream, int size = 160)
{
    QByteArray buffer(size, '\x55');
    const qint64 n = stream.read(buffer.data(), size);
    return buffer.left(int(qMax<qint64>(0, n)));
}

} // namespace

class TestAudioStream : public QObject
{
    Q_OBJECT

    static void openStream(AudioStream &stream)
    {
        QVERIFY(stream.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    }

private slots:
    void initTestCase()
    {
        startLogCapture();
        AudioStream::setSourceFactory([](const QString &name, const QAudioFormat &format) {
            if (name != QLatin1String("fake-mic"))
                return static_cast<QIODevice *>(nullptr);
            g_format = format;
            g_microphone = new FakeMicrophone;
            g_microphone->open(QIODevice::ReadOnly);
            return static_cast<QIODevice *>(g_microphone.data());
        });
    }

    void fillsUpToASecondBeforePlaying()
    {
        AudioStream stream(0);
        openStream(stream);
        for (int i = 1; i <= 51; ++i) {
            stream.write(numbered(i, 1));
            QCOMPARE(readOnce(stream), silence8(160)); // nothing is taken while filling
        }
        stream.write(numbered(52, 1)); // the 52nd frame: ready, the oldest goes
        QCOMPARE(readOnce(stream), numbered(2, 1));
        QCOMPARE(readOnce(stream), numbered(3, 1));

        AudioStream pieces(0);
        openStream(pieces);
        const QByteArray frame = numbered(7, 1);
        pieces.write(frame.left(100));
        pieces.write(frame.mid(100) + numbered(8, 51));
        QCOMPARE(readOnce(pieces), numbered(8, 1)); // frame 7 (in two pieces) was the oldest
    }

    void drainsThenFallsBackToSilence()
    {
        AudioStream stream(0);
        openStream(stream);
        stream.write(numbered(1, 52));
        for (int i = 2; i <= 52; ++i)
            QCOMPARE(readOnce(stream), numbered(i, 1));
        QCOMPARE(readOnce(stream), silence8(160)); // empty: not ready any more
        stream.write(numbered(60, 1));
        QCOMPARE(readOnce(stream), silence8(160)); // and refilling to a second first
        QCOMPARE(readOnce(stream, 100), QByteArray()); // smaller than a frame: nothing
        stream.clear();
        QCOMPARE(readOnce(stream), silence8(160));
    }

    void otherRatesCutTheirOwnFrames()
    {
        AudioStream stream(2);
        openStream(stream);
        stream.write(numbered(1, 52, 960));
        QCOMPARE(readOnce(stream, 960), numbered(2, 1, 960));
        QCOMPARE(readOnce(stream, 480), QByteArray());
    }

    void captureSoundPlaysTheFakeDevice()
    {
        const int id = SoundWAV::create(SoundWAV::Capture, "fake-mic", 0, true, 0);
        QByteArray frame;
        quint64 position = 0;
        SoundWAV::readFrame(id, frame, position);
        QVERIFY(frame.isEmpty()); // not open yet

        QVERIFY(SoundWAV::loadSound(id));
        QVERIFY(g_microphone);
        QCOMPARE(g_format.sampleRate(), 8000);
        QVERIFY(SoundWAV::loadSound(id)); // already open: nothing new
        QPointer<FakeMicrophone> microphone = g_microphone;

        SoundWAV::readFrame(id, frame, position);
        QCOMPARE(frame, silence8(160));
        microphone->feed(numbered(1, 30));
        microphone->feed(numbered(31, 22));
        SoundWAV::readFrame(id, frame, position);
        QCOMPARE(frame, numbered(2, 1));
        QString file;
        int number = 0;
        qint64 offset = 0;
        SoundWAV::readMp3Frame(id, file, number, offset, frame);
        QCOMPARE(frame, numbered(3, 1));
        SoundWAV::readFrame16(id, frame, position);
        QCOMPARE(frame.size(), 320);
        QCOMPARE(position, quint64(0)); // capture reads keep no position

        QVERIFY(!SoundWAV::closeSound(id)); // closing a capture answers false ...
        QVERIFY(!microphone); // ... and releases its device
        SoundWAV::readFrame(id, frame, position);
        QVERIFY(frame.isEmpty());

        QVERIFY(SoundWAV::openSound(id));
        QVERIFY(g_microphone && g_microphone != microphone);
        microphone = g_microphone;
        SoundWAV::remove(id);
        QVERIFY(!microphone);
    }

    void captureIsReadFromAnAudioThread()
    {
        const int id = SoundWAV::create(SoundWAV::Capture, "fake-mic", 0, true, 0);
        QVERIFY(SoundWAV::loadSound(id));
        std::atomic<bool> stop { false };
        std::atomic<int> audio { 0 };
        std::atomic<int> bad { 0 };
        QScopedPointer<QThread> reader(QThread::create([&] {
            while (!stop) {
                QByteArray frame;
                quint64 position = 0;
                SoundWAV::readFrame(id, frame, position);
                if (frame.size() != 160)
                    ++bad;
                else if (frame != silence8(160))
                    ++audio;
                QThread::usleep(200);
            }
        }));
        reader->start();
        for (int i = 0; i < 300; ++i) {
            g_microphone->feed(numbered(1 + i % 100, 1));
            QThread::usleep(100);
        }
        stop = true;
        QVERIFY(reader->wait(10000));
        SoundWAV::remove(id);
        QCOMPARE(bad.load(), 0);
        QVERIFY(audio.load() > 0);
    }

    void missingDeviceIsLoggedNotFatal()
    {
        const QList<QAudioDeviceInfo> devices
            = QAudioDeviceInfo::availableDevices(QAudio::AudioInput);
        for (const QAudioDeviceInfo &device : devices) {
            if (!device.isNull())
                QSKIP("this machine has an audio input device");
        }
        const int id = SoundWAV::create(SoundWAV::Capture, "no-such-card", 0, true, 0);
        takeLog();
        QVERIFY(!SoundWAV::loadSound(id));
        QVERIFY(
            takeLog().contains(QStringLiteral("No audio input device for sound 'no-such-card'.")));
        QByteArray frame;
        quint64 position = 0;
        SoundWAV::readFrame(id, frame, position);
        QVERIFY(frame.isEmpty());
        SoundWAV::remove(id);

        const int unnamed = SoundWAV::create(SoundWAV::Capture, QString(), 0, true, 0);
        QVERIFY(!SoundWAV::openSound(unnamed));
        SoundWAV::remove(unnamed);
    }
};

QTEST_GUILESS_MAIN(TestAudioStream)
#include "tst_audiostream.moc"
