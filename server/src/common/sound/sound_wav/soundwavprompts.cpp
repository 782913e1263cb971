#include "soundwav.h"

#include <QSettings>

#include <mpg123.h>

namespace {

const char *const kPromptFiles[SoundWavParam::Count] = {
    "connection-error.wav",
    "outgoing-call.wav",
    "incoming-call.wav",
    "connect-call.wav",
    "hold.wav",
    "not-available.wav",
    "busy.wav",
    "error.wav",
    "info-error.wav",
    "info-accept.wav",
    "door-open.wav",
};

} // namespace

void SoundWAV::loadPrompts(QSettings *settings)
{
    mpg123_init();
    if (!settings)
        return;
}

void SoundWAV::writeDefaultSettings(QSettings *settings)
{
    if (!settings)
        return;
    settings->beginGroup(QStringLiteral("sound"));
    for (const char *name : kPromptFiles) {
        const QString key = QString::fromLatin1(name);
        if (!settings->contains(key))
            settings->setValue(key, QString());
    }
    settings->endGroup();
}
