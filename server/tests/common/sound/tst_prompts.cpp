#include "common/sound/sound_wav/soundwav.h"
#include "soundtestkit.h"

#include <QSettings>
#include <QtTest>

using namespace SoundTestKit;

namespace {

struct PromptInfo
{
    const char *file;
    int samples;
    bool loop;
};

const PromptInfo kTable[SoundWavParam::Count] = {
    { "connection-error.wav", 47760, false },
    { "outgoing-call.wav", 200000, true },
    { "incoming-call.wav", 35600, true },
    { "connect-call.wav", 12000, true },
    { "hold.wav", 1736000, true },
    { "not-available.wav", 47760, false },
    { "busy.wav", 40000, false },
    { "error.wav", 20000, false },
    { "info-error.wav", 6000, false },
    { "info-accept.wav", 4000, false },
    { "door-open.wav", 4000, false },
};

// Reads a prompt by id until it ends (or wraps, for a looping one); returns what it played.
QByteArray playPrompt(int id, int maxFrames, bool *wrapped = nullptr)
{
    QByteArray audio;
    QByteArray frame;
    quint64 position = 0;
    for (int i = 0; i < maxFrames; ++i) {
        SoundWAV::readFrame(id, frame, position);
        if (frame.isEmpty())
            break;
        audio += frame;
        if (wrapped && i > 0 && position == 160) {
            *wrapped = true;
            break;
        }
    }
    return audio;
}

} // namespace

class TestPrompts : public QObject
{
    Q_OBJECT

    QTemporaryDir m_Dir;

    QString settingsFile(const QString &name) const { return m_Dir.filePath(name); }

    QString resourceFile(const char *name) const
    {
        return QString::fromLocal8Bit(qgetenv("TARNHALL_SOURCE_DIR"))
            + QStringLiteral("/server/resources/wav/velk/") + QLatin1String(name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_Dir.isValid());
        startLogCapture();
    }

    void compiledInDefaultsWithoutASoundGroup()
    {
        QCOMPARE(SoundWAV::typeOf(SoundWavParam::Hold), -1);
        SoundWAV::loadPrompts(nullptr);
        QCOMPARE(SoundWAV::typeOf(SoundWavParam::Hold), -1);
        QVERIFY(takeLog().isEmpty());

        QSettings settings(settingsFile("empty.ini"), QSettings::IniFormat);
        SoundWAV::loadPrompts(&settings);
        QStringList expected;
        for (const PromptInfo &prompt : kTable)
            expected << QStringLiteral("Create sound: ':/wav/velk/%1'").arg(prompt.file);
        QCOMPARE(takeLog(), expected);
        QCOMPARE(SoundWAV::typeOf(SoundWavParam::Count), -1);
    }

    void promptsPlayTheirLengthAndLoopFlag()
    {
        for (int id = 0; id < SoundWavParam::Count; ++id) {
            const PromptInfo &prompt = kTable[id];
            const int frames = prompt.samples / 160;
            bool wrapped = false;
            const QByteArray audio = playPrompt(id, frames + 5, &wrapped);
            if (prompt.loop) {
                QVERIFY2(wrapped, prompt.file);
                QCOMPARE(audio.size(), (frames + 1) * 160);
                QCOMPARE(audio.right(160), audio.left(160)); // no silence between rounds
            } else {
                QVERIFY2(!wrapped, prompt.file);
                QCOMPARE(audio.size(), (frames + 1) * 160);
                QCOMPARE(audio.right(160), silence8(160));
            }
            // Real audio, not silence: every prompt has something to hear.
            int loud = 0;
            for (const char sample : audio)
                loud += qAbs(quint8(sample) - 128) > 16;
            QVERIFY2(loud > audio.size() / 100, prompt.file);
        }
    }

    void holdPlaysItsDataChunkOnly()
    {
        // The committed hold file carries a LIST chunk ahead of its audio.
        QFile file(resourceFile("hold.wav"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(40).mid(36, 4), QByteArray("LIST"));
        const QByteArray reference = ffmpegRaw8(resourceFile("hold.wav"), 8000);
        QCOMPARE(reference.size(), 1736000);
        QCOMPARE(playPrompt(SoundWavParam::Hold, 50), reference.left(50 * 160));
    }

    void settingsReplaceDefaults()
    {
        const QString busy = m_Dir.filePath("my-busy.wav");
        QVERIFY(soxSignal(busy, { "-r", "8000", "-c", "1", "-b", "8", "-e", "unsigned-integer" },
                          "0.1", { "sine", "1000" }));
        const QString wide = m_Dir.filePath("wide.wav");
        QVERIFY(soxSignal(wide, { "-r", "16000", "-c", "1", "-b", "8", "-e", "unsigned-integer" },
                          "0.1"));
        const QString absent = m_Dir.filePath("absent.wav");

        QSettings settings(settingsFile("custom.ini"), QSettings::IniFormat);
        settings.beginGroup("sound");
        settings.setValue("busy.wav", "  " + busy + " ");
        settings.setValue("error.wav", "   ");
        settings.setValue("info-error.wav", wide);
        settings.setValue("door-open.wav", absent);
        settings.endGroup();
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

        QCOMPARE(playPrompt(SoundWavParam::Busy, 100), SoundWAV::loadWav(busy, 0) + silence8(160));
        QCOMPARE(playPrompt(SoundWavParam::InfoError, 100).size(), (6000 / 160 + 1) * 160);
    }

    void writeDefaultSettingsAddsOnlyMissingKeys()
    {
        QSettings settings(settingsFile("defaults.ini"), QSettings::IniFormat);
        settings.setValue("sound/hold.wav", "/music/hold.wav");
        SoundWAV::writeDefaultSettings(&settings);
        SoundWAV::writeDefaultSettings(nullptr);
        settings.beginGroup("sound");
        QCOMPARE(settings.childKeys().size(), SoundWavParam::Count);
        QCOMPARE(settings.value("hold.wav").toString(), QString("/music/hold.wav"));
        QCOMPARE(settings.value("busy.wav", "unset").toString(), QString());
        settings.endGroup();
    }
};

QTEST_GUILESS_MAIN(TestPrompts)
#include "tst_prompts.moc"
