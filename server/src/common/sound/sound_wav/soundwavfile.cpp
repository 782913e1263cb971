#include "common/sound/sound_wav/soundwav.h"

#include "core/env.h"
#include "core/identifiers.h"

#include <QFile>
#include <QtEndian>

namespace {

constexpr int kHeaderSize = 44;

quint32 le32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

quint16 le16(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

struct WavFormat
{
    quint16 audioFormat;
    quint16 channels;
    quint32 sampleRate;
    quint32 byteRate;
    quint16 bitsPerSample;

    explicit WavFormat(const QByteArray &head)
        : audioFormat(le16(head, 20))
        , channels(le16(head, 22))
        , sampleRate(le32(head, 24))
        , byteRate(le32(head, 28))
        , bitsPerSample(le16(head, 34))
    {
    }

    QString audioFormatText() const
    {
        return QStringLiteral("incorrect audio format %1 (1 - PCM)").arg(audioFormat);
    }
    QString channelsText() const
    {
        return QStringLiteral("incorrect channels number %1 (1 - mono)").arg(channels);
    }
    QString bitsText() const
    {
        return QStringLiteral("incorrect bits per sample %1 (8)").arg(bitsPerSample);
    }
};

bool hasWaveMagics(const QByteArray &head)
{
    const QByteArray magic = head.left(4);
    return (magic == "RIFF" || magic == "RIFX") && head.mid(8, 4) == "WAVE"
        && head.mid(12, 4) == "fmt ";
}

// Opens the file and reads the fixed header; false with the reason in errors.
bool readHeader(QFile &file, QByteArray &head, QStringList &errors)
{
    if (!file.open(QIODevice::ReadOnly)) {
        errors.append(file.errorString());
        return false;
    }
    head = file.read(kHeaderSize);
    if (head.size() < kHeaderSize) {
        errors.append(QStringLiteral("invalid file format"));
        return false;
    }
    return true;
}

// The payload of the "data" chunk, found by walking the chunks after the form type and cut
// to what the file really holds: LIST and other chunks are not audio, and neither the RIFF
// size nor the data size may make us read past the end of the file.
QByteArray readDataChunk(QFile &file)
{
    const qint64 fileSize = file.size();
    qint64 offset = 12;
    while (offset + 8 <= fileSize) {
        if (!file.seek(offset))
            break;
        const QByteArray chunk = file.read(8);
        if (chunk.size() < 8)
            break;
        const qint64 size = le32(chunk, 4);
        if (chunk.left(4) == "data") {
            const qint64 present = fileSize - (offset + 8);
            return file.read(qMin(size, present));
        }
        offset += 8 + size + (size & 1);
    }
    return QByteArray();
}

void logErrors(const QString &path, const QStringList &errors)
{
    if (!errors.isEmpty())
        logLine(LogParams::Core,
                QStringLiteral("Error load sound file '%1': %2.")
                    .arg(path, errors.join(QStringLiteral("; "))));
}

// The checks shared by loadWav and loadWavFile; with audio given, also reads the audio.
bool checkWav(const QString &path, const quint16 &frequencyType, QByteArray *audio)
{
    QStringList errors;
    QFile file(path);
    QByteArray head;
    bool ok = false;
    const quint32 rate = quint32(sampleRateForFrequency(frequencyType));
    if (!readHeader(file, head, errors)) {
    } else if (rate == 0) {
        errors.append(QStringLiteral("unknown frequency type %1 (0,1,2)").arg(frequencyType));
    } else if (!hasWaveMagics(head)) {
        errors.append(QStringLiteral("incorrect format (RIFF,RIFX,WAVE,fmt)"));
    } else {
        const WavFormat format(head);
        if (format.audioFormat != 1)
            errors.append(format.audioFormatText());
        if (format.channels != 1)
            errors.append(format.channelsText());
        if (format.sampleRate != rate)
            errors.append(
                QStringLiteral("incorrect sample rate %1 (%2)").arg(format.sampleRate).arg(rate));
        if (format.byteRate != rate)
            errors.append(
                QStringLiteral("incorrect byte rate %1 (%2)").arg(format.byteRate).arg(rate));
        if (format.bitsPerSample != 8)
            errors.append(format.bitsText());
        if (errors.isEmpty()) {
            ok = true;
            if (audio) {
                const int frameSize = frameSamplesForFrequency(frequencyType);
                *audio = readDataChunk(file);
                audio->truncate(audio->size() - audio->size() % frameSize);
            }
        }
    }
    file.close();
    logErrors(path, errors);
    return ok;
}

} // namespace

QByteArray SoundWAV::loadWav(const QString &path, const quint16 &frequencyType, bool *ok)
{
    if (ok)
        *ok = false;
    QByteArray audio;
    const bool loaded = checkWav(path, frequencyType, &audio);
    if (ok)
        *ok = loaded;
    return loaded ? audio : QByteArray();
}

bool SoundWAV::loadWavFile(const QString &path, const quint16 &frequencyType)
{
    return checkWav(path, frequencyType, nullptr);
}

int SoundWAV::wavFrequencyType(const QString &path)
{
    QStringList errors;
    QFile file(path);
    QByteArray head;
    int type = -1;
    if (!readHeader(file, head, errors)) {
    } else if (!hasWaveMagics(head)) {
        errors.append(QStringLiteral("incorrect format (RIFF,RIFX,WAVE,fmt)"));
    } else {
        const WavFormat format(head);
        if (format.audioFormat != 1 || format.channels != 1) {
            if (format.audioFormat != 1)
                errors.append(format.audioFormatText());
            if (format.channels != 1)
                errors.append(format.channelsText());
            if (format.bitsPerSample != 8)
                errors.append(format.bitsText());
        } else if (format.bitsPerSample != 8) {
            errors.append(format.bitsText());
        } else if (format.sampleRate != format.byteRate) {
            errors.append(QStringLiteral("not equ sample rate %1 and byte rate %2")
                              .arg(format.sampleRate)
                              .arg(format.byteRate));
        } else if (format.sampleRate == 8000) {
            type = 0;
        } else if (format.sampleRate == 24000) {
            type = 1;
        } else if (format.sampleRate == 48000) {
            type = 2;
        } else {
            errors.append(QStringLiteral("incorrect sample rate %1").arg(format.sampleRate));
        }
    }
    file.close();
    logErrors(path, errors);
    return type;
}
