#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"

#include <QSettings>
#include <QtTest>

using namespace SoundTestKit;

namespace {

// The prompts by id, and which of them loop.
const char *const kFiles[SoundWavParam::Count] = { "connection-error.wav",
                                                   "outgoing-call.wav",
                                                   "incoming-call.wav",
                                                   "connect-call.wav",
                                                   "hold.wav",
                                                   "not-available.wav",
                                                   "busy.wav",
                                                   "error.wav",
                                                   "info-error.wav",
                                                   "info-accept.wav",
                                                   "door-open.wav" };
const QList<int> kLooping = { SoundWavParam::OutgoingCall, SoundWavParam::IncomingCall,
                              SoundWavParam::ConnectCall, SoundWavParam::Hold };

// Reads a prompt by id for at most maxFrames frames, until it ends.
QByteArray playPrompt(int id, int maxFrames)
{
    QByteArray audio;
    QByteArray frame;
    quint64 position = 0;
    for (int i = 0; i < maxFrames; ++i) {
        SoundWAV::readFrame(id, frame, position);
        if (frame.isEmpty())
            break;
        audio += frame;
    }
    return audio;
}

} // namespace

class TestPrompts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { startLogCapture(); }

    // Without a "sound" group the compiled-in prompts load. Each plays its file's data chunk
    // as ffmpeg reads it (the hold music carries a LIST chunk ahead of it), then one frame of
    // silence, or again from the start.
    void compiledInPromptsPlayTheirFileOnceOrLooping()
    {
        SoundWAV::loadPrompts(nullptr);
        QCOMPARE(SoundWAV::typeOf(SoundWavParam::Hold), -1);
        QSettings settings(tempPath("empty.ini"), QSettings::IniFormat);
        SoundWAV::loadPrompts(&settings);
        QCOMPARE(takeLog().filter("Create sound: ':/wav/velk/").size(), SoundWavParam::Count);
        QCOMPARE(SoundWAV::typeOf(SoundWavParam::Count), -1);
        for (int id = 0; id < SoundWavParam::Count; ++id) {
            const QString file = QString::fromLocal8Bit(qgetenv("TARNHALL_SOURCE_DIR"))
                + QStringLiteral("/server/resources/wav/velk/") + QLatin1String(kFiles[id]);
            QByteArray reference = ffmpegRaw8(file, 8000);
            reference.chop(reference.size() % 160); // whole frames only
            QVERIFY2(reference.size() >= 3200, kFiles[id]);
            const QByteArray audio = playPrompt(id, reference.size() / 160 + 5);
            QVERIFY2(audio.startsWith(reference), kFiles[id]);
            const QByteArray tail = kLooping.contains(id) ? reference.left(5 * 160) : silence8();
            QCOMPARE(audio.mid(reference.size()), tail);
        }
    }

    void settingsReplaceDefaults()
    {
        const QString busy = tempPath("my-busy.wav");
        QVERIFY(
            soxSignal(busy, "-r 8000 -c 1 -b 8 -e unsigned-integer", "0.1", { "sine", "1000" }));
        const QString wide = tempPath("wide.wav");
        QVERIFY(soxSignal(wide, "-r 16000 -c 1 -b 8 -e unsigned-integer", "0.1"));
        const QString absent = tempPath("absent.wav");

        QSettings settings(tempPath("custom.ini"), QSettings::IniFormat);
        settings.setValue("sound/busy.wav", "  " + busy + " ");
        settings.setValue("sound/error.wav", "   ");
        settings.setValue("sound/info-error.wav", wide);
        settings.setValue("sound/door-open.wav", absent);
        takeLog();
        SoundWAV::loadPrompts(&settings);
        const QStringList log = takeLog();

        QCOMPARE(log.filter("Error").size(), 4);
        QVERIFY(log.contains(QStringLiteral("Error load sound file '%1': incorrect sample rate "
                                            "16000 (8000); incorrect byte rate 16000 (8000).")
                                 .arg(wide)));
        QVERIFY(log.contains(
            QStringLiteral("Error load user-defined sound file 'info-error.wav' (%1)").arg(wide)));
        QVERIFY(log.contains(
            QStringLiteral("Error load user-defined sound file 'door-open.wav' (%1)").arg(absent)));
        QVERIFY(log.contains("Create sound: ':/wav/velk/door-open.wav'"));

        QCOMPARE(playPrompt(SoundWavParam::Busy, 100), SoundWAV::loadWav(busy, 0) + silence8());
        QCOMPARE(playPrompt(SoundWavParam::InfoError, 100).size(), (6000 / 160 + 1) * 160);
    }

    void writeDefaultSettingsAddsOnlyMissingKeys()
    {
        QSettings settings(tempPath("defaults.ini"), QSettings::IniFormat);
        settings.setValue("sound/hold.wav", "/music/hold.wav");
        SoundWAV::writeDefaultSettings(&settings);
        SoundWAV::writeDefaultSettings(nullptr);
        settings.beginGroup("sound");
        QCOMPARE(settings.childKeys().size(), SoundWavParam::Count);
        QCOMPARE(settings.value("hold.wav").toString(), QString("/music/hold.wav"));
        QCOMPARE(settings.value("busy.wav", "unset").toString(), QString());
    }
};

QTEST_GUILESS_MAIN(TestPrompts)
#include "tst_prompts.moc"
