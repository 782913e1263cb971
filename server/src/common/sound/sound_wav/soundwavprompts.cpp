#include "common/sound/sound_wav/soundregistry.h"
#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "core/settingstext.h"

#include <QSettings>

#include <mpg123.h>

// The compiled-in prompts live in a static library: registering them explicitly is what
// links their resource object into the program.
static void registerPromptResources()
{
    Q_INIT_RESOURCE(prompts);
}

namespace {

struct Prompt
{
    const char *file;
    bool loop;
};

const Prompt kPrompts[SoundWavParam::Count] = {
    { "connection-error.wav", false },
    { "outgoing-call.wav", true },
    { "incoming-call.wav", true },
    { "connect-call.wav", true },
    { "hold.wav", true },
    { "not-available.wav", false },
    { "busy.wav", false },
    { "error.wav", false },
    { "info-error.wav", false },
    { "info-accept.wav", false },
    { "door-open.wav", false },
};

} // namespace

void SoundWAV::loadPrompts(QSettings *settings)
{
    mpg123_init();
    registerPromptResources();
    qRegisterMetaType<SoundWavParam::Type>("SoundWavParam::Type");
    if (!settings)
        return;

    settings->beginGroup(QStringLiteral("sound"));
    for (int id = 0; id < SoundWavParam::Count; ++id) {
        const QString name = QString::fromLatin1(kPrompts[id].file);
        // A value QSettings left a list (items written quoted) is tried as its items joined,
        // so that a path that cannot be used is logged rather than passed over.
        const QString value = settingsText(settings->value(name, QString())).trimmed();
        QString path;
        if (!value.isEmpty()) {
            if (loadWavFile(value, 0))
                path = value;
            else
                logLine(LogParams::Core,
                        QStringLiteral("Error load user-defined sound file '%1' (%2)")
                            .arg(name, value));
        }
        if (path.isEmpty()) {
            const QString fallback = QStringLiteral(":/wav/velk/%1").arg(name);
            if (!loadWavFile(fallback, 0)) {
                logLine(
                    LogParams::Core,
                    QStringLiteral("Error load default sound file '%1' (%2)").arg(name, fallback));
                continue;
            }
            path = fallback;
        }
        const SoundRegistry::Pointer sound(
            new SoundWAV(Wav, path, 0, kPrompts[id].loop, 0, nullptr));
        sound->load();
        SoundRegistry::store(id, sound);
    }
    settings->endGroup();
}

void SoundWAV::writeDefaultSettings(QSettings *settings)
{
    if (!settings)
        return;
    settings->beginGroup(QStringLiteral("sound"));
    for (const Prompt &prompt : kPrompts) {
        const QString key = QString::fromLatin1(prompt.file);
        if (!settings->contains(key))
            settings->setValue(key, QString());
    }
    settings->endGroup();
}
