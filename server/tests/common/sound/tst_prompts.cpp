#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "soundtestkit.h"
#include "testmain.h"

#include <QSettings>
#include <QtTest>

#include <memory>

using namespace SoundTestKit;

namespace {

// The prompts by id, and which of them loop.
const QStringList kFiles = QString("connection-error outgoing-call incoming-call connect-call "
                                   "hold not-available busy error info-error info-accept door-open")
                               .split(' ');
const QList<int> kLooping = { SoundWavParam::OutgoingCall, SoundWavParam::IncomingCall,
                              SoundWavParam::ConnectCall, SoundWavParam::Hold };

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
                + QStringLiteral("/server/resources/wav/velk/") + kFiles[id] + ".wav";
            QByteArray reference = ffmpegRaw8(file, 8000);
            reference.chop(reference.size() % 160); // whole frames only
            QVERIFY2(reference.size() >= 3200, qPrintable(kFiles[id]));
            const QByteArray audio = playById(id, reference.size() / 160 + 5);
            QVERIFY2(audio.startsWith(reference), qPrintable(kFiles[id]));
            const QByteArray tail = kLooping.contains(id) ? reference.left(5 * 160) : silence8();
            QCOMPARE(audio.mid(reference.size()), tail);
        }
    }

    // A user's file replaces a prompt; with a blank, bad or missing one (the last two logged)
    // the compiled-in prompt plays.
    void settingsReplaceDefaults()
    {
        const QString busy = tempPath("my-busy.wav");
        QVERIFY(soxSignal(busy, "-r 8000 -b 8 -e unsigned-integer", "0.1", { "sine", "1000" }));
        const QString wide = tempFile("wide.wav", wavBytes(QByteArray(320, 'a'), 16000));
        const QString absent = tempPath("absent.wav");
        QSettings settings(tempPath("custom.ini"), QSettings::IniFormat);
        settings.setValue("sound/busy.wav", "  " + busy + " ");
        settings.setValue("sound/error.wav", "   ");
        settings.setValue("sound/info-error.wav", wide);
        settings.setValue("sound/door-open.wav", absent);
        takeLog();
        SoundWAV::loadPrompts(&settings);
        const QString userFile = QStringLiteral("Error load user-defined sound file '%1' (%2)");
        QCOMPARE(takeLog().filter("Error"),
                 (QStringList { QStringLiteral("Error load sound file '%1': incorrect sample rate "
                                               "16000 (8000); incorrect byte rate 16000 (8000).")
                                    .arg(wide),
                                userFile.arg("info-error.wav", wide),
                                QStringLiteral("Error load sound file '%1': No such file or "
                                               "directory.")
                                    .arg(absent),
                                userFile.arg("door-open.wav", absent) }));
        QCOMPARE(playById(SoundWavParam::Busy, 100), SoundWAV::loadWav(busy, 0) + silence8());
        for (const int id : { SoundWavParam::Error, SoundWavParam::InfoError })
            QCOMPARE(playById(id, 1000),
                     SoundWAV::loadWav(":/wav/velk/" + kFiles[id] + ".wav", 0) + silence8());

        // Writing the defaults adds the missing keys, empty, and keeps the user's.
        SoundWAV::writeDefaultSettings(&settings);
        SoundWAV::writeDefaultSettings(nullptr);
        settings.beginGroup("sound");
        QCOMPARE(settings.childKeys().size(), SoundWavParam::Count);
        QCOMPARE(settings.value("door-open.wav").toString(), absent);
        QCOMPARE(settings.value("hold.wav", "unset").toString(), QString());
    }

    // A path written by hand in the main settings, unquoted with a comma and a blank after it,
    // is the file that plays.
    void handWrittenPathWithAComma()
    {
        const QString door = tempPath("Tuer, auf.wav");
        QVERIFY(soxSignal(door, "-r 8000 -b 8 -e unsigned-integer", "0.1", { "sine", "700" }));
        QFile file(Env::configFilePath(QCoreApplication::applicationName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[sound]\ndoor-open.wav=" + door.toUtf8() + "\n");
        file.close();
        const std::unique_ptr<QSettings> settings(Env::settings(nullptr));
        takeLog();
        SoundWAV::loadPrompts(settings.get());
        QVERIFY(takeLog().contains(QStringLiteral("Create sound: '%1'").arg(door)));
        QCOMPARE(playById(SoundWavParam::DoorOpen, 100), SoundWAV::loadWav(door, 0) + silence8());
    }
};

TARNHALL_TEST_MAIN(TestPrompts)
#include "tst_prompts.moc"
