#include "common/codecs/audiocodec.h"
#include "core/env.h"
#include "common/sound/sound_wav/soundregistry.h"
#include "common/sound/sound_wav/soundwav.h"

namespace {

constexpr int kConverterTypes = 5; // libsamplerate: best, medium, fastest sinc, hold, linear

} // namespace

int SoundWAV::create(const int &kind, const QString &path, const int &frequencyType,
                     const bool &loop, const int &converterType)
{
    // A sound at any other rate would have no frame size: refuse it before it takes an id.
    if (frequencyType < 0 || frequencyType > 2) {
        logLine(LogParams::Core,
                QStringLiteral("Error create sound '%1': unknown frequency type %2 (0,1,2).")
                    .arg(path)
                    .arg(frequencyType));
        return -1;
    }
    if (kind == Mp3 && (converterType < 0 || converterType >= kConverterTypes)) {
        logLine(LogParams::Core,
                QStringLiteral("Error create sound '%1': unknown converter type %2 (0..4).")
                    .arg(path)
                    .arg(converterType));
        return -1;
    }
    const SoundRegistry::Pointer sound(
        new SoundWAV(kind, path, quint16(frequencyType), loop, converterType, nullptr));
    return SoundRegistry::add(sound);
}

void SoundWAV::remove(const int &id)
{
    SoundRegistry::Pointer sound = SoundRegistry::take(id);
    // Readers still holding the sound finish their frame; capture stops now, in this thread.
    if (sound && sound->kind() == Capture)
        sound->close();
}

int SoundWAV::typeOf(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    return sound ? sound->kind() : -1;
}

bool SoundWAV::loadSound(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    return sound && sound->load();
}

bool SoundWAV::openSound(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (!sound)
        return false;
    switch (sound->kind()) {
    case Wav:
    case Mp3:
        return true;
    case Capture:
        return sound->open();
    default:
        return false;
    }
}

bool SoundWAV::closeSound(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (!sound)
        return false;
    switch (sound->kind()) {
    case Wav:
    case Mp3:
        return true;
    case Capture:
        sound->close();
        return false;
    default:
        return false;
    }
}

void SoundWAV::readFrame(const int &id, QByteArray &frame, quint64 &position)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (!sound)
        return;
    qint64 at = qint64(position);
    sound->read(frame, at);
    position = quint64(at);
}

void SoundWAV::readFrame16(const int &id, QByteArray &frame, quint64 &position)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (!sound)
        return;
    qint64 at = qint64(position);
    sound->read16(frame, at);
    position = quint64(at);
}

void SoundWAV::readMp3Frame(const int &id, QString &file, int &frameNumber, qint64 &position,
                            QByteArray &frame)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (sound)
        sound->readMp3(file, frameNumber, position, frame);
}

void SoundWAV::readMp3Frame16(const int &id, QString &file, int &frameNumber, qint64 &position,
                              QByteArray &frame)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (!sound)
        return;
    QByteArray frame8;
    sound->readMp3(file, frameNumber, position, frame8);
    frame = AudioCodec::pcm8To16(frame8);
}

QString SoundWAV::playlistEntryOf(const int &id, const QString &file, const int &step)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    return sound ? sound->playlistEntry(step, file) : QString();
}

void SoundWAV::rescanSound(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    if (sound)
        sound->rescanDir();
}

QString SoundWAV::labelOf(const int &id)
{
    const SoundRegistry::Pointer sound = SoundRegistry::find(id);
    return sound ? sound->label() : QString();
}
