#include "common/sound/sound_wav/soundwav.h"

#include "common/codecs/audiocodec.h"
#include "core/env.h"
#include "core/identifiers.h"

#include <QFileInfo>
#include <QReadLocker>
#include <QWriteLocker>

#include <mpg123.h>
#include <samplerate.h>

SoundWAV::SoundWAV(const int &kind, const QString &path, const quint16 &frequencyType,
                   const bool &loop, const int &converterType, QObject *parent)
    : QObject(parent)
    , m_Kind(kind)
    , m_Path(path)
    , m_Loop(loop)
    , m_FrameSize(frameSamplesForFrequency(frequencyType))
    , m_FrequencyType(frequencyType)
    , m_ConverterType(converterType)
{
    logLine(LogParams::Core, QStringLiteral("Create sound: '%1'").arg(path));
    if (kind == Mp3) {
        int error = MPG123_OK;
        m_Decoder = mpg123_new(nullptr, &error);
        if (!m_Decoder)
            logLine(LogParams::Core,
                    QStringLiteral("Error create MP3 handle: %1.")
                        .arg(QString::fromUtf8(mpg123_plain_strerror(error))));
    }
}

SoundWAV::~SoundWAV()
{
    QWriteLocker locker(&m_Lock);
    if (m_Kind == Capture)
        closeLocked();
    if (m_Kind == Mp3 && m_Decoder) {
        closeMp3Locked();
        mpg123_delete(m_Decoder);
        m_Decoder = nullptr;
    }
    if (m_Resampler)
        src_delete(m_Resampler);
}

QString SoundWAV::label() const
{
    QReadLocker locker(&m_Lock);
    return m_Label;
}

QByteArray SoundWAV::data() const
{
    QReadLocker locker(&m_Lock);
    return m_Data;
}

QStringList SoundWAV::playlist() const
{
    QReadLocker locker(&m_Lock);
    return m_Playlist;
}

QString SoundWAV::currentFile() const
{
    QReadLocker locker(&m_Lock);
    return m_CurrentFile;
}

static bool hasCompleteSuffix(const QFileInfo &info, const char *suffix)
{
    return info.completeSuffix().compare(QLatin1String(suffix), Qt::CaseInsensitive) == 0;
}

bool SoundWAV::load()
{
    QWriteLocker locker(&m_Lock);
    return loadLocked();
}

bool SoundWAV::loadLocked()
{
    const QFileInfo info(m_Path);
    switch (m_Kind) {
    case Wav: {
        if (!info.exists() || !hasCompleteSuffix(info, "wav"))
            return false;
        bool ok = false;
        const QByteArray audio = loadWav(m_Path, m_FrequencyType, &ok);
        if (ok)
            m_Data = audio;
        return ok;
    }
    case Mp3:
        if (!m_Decoder)
            return false;
        m_Playlist.clear();
        closeMp3Locked();
        if (info.isFile() && hasCompleteSuffix(info, "mp3")) {
            m_Playlist.append(m_Path);
            return true;
        }
        if (info.isDir()) {
            rescanDirLocked();
            return true;
        }
        return false;
    case Capture:
        if ((m_CaptureInput || m_CaptureSource) && m_CaptureStream)
            return true;
        return openLocked();
    default:
        return false;
    }
}

void SoundWAV::rescanDir()
{
    QWriteLocker locker(&m_Lock);
    rescanDirLocked();
}

void SoundWAV::read(QByteArray &frame, qint64 &position)
{
    frame.clear();
    if (m_Kind == Capture) {
        QWriteLocker locker(&m_Lock);
        readCaptureLocked(frame);
    } else if (m_Kind == Wav) {
        QReadLocker locker(&m_Lock);
        readWavLocked(frame, position);
    }
}

void SoundWAV::read16(QByteArray &frame, qint64 &position)
{
    read(frame, position);
    frame = AudioCodec::pcm8To16(frame);
}

void SoundWAV::readWavLocked(QByteArray &frame, qint64 &position) const
{
    const qint64 size = m_Data.size();
    const int frameSize = m_FrameSize;
    if (frameSize <= 0 || position < 0 || position > size)
        return;
    const int taken = int(qMin<qint64>(frameSize, size - position));
    frame = m_Data.mid(int(position), taken);
    position += taken;
    if (taken == frameSize)
        return;
    if (m_Loop) {
        // The data is whole frames, so this is a read exactly at the end: start again.
        frame.append(m_Data.left(frameSize - taken));
        if (frame.size() != frameSize) {
            frame.clear();
            return;
        }
        position = frame.size();
    } else {
        const int fill = frameSize - taken;
        frame.append(QByteArray(fill, char(0x80)));
        position += fill;
    }
}

QString SoundWAV::nextFile(const QString &file) const
{
    QReadLocker locker(&m_Lock);
    return nextFileLocked(file);
}

QString SoundWAV::nextFileLocked(const QString &file) const
{
    if (m_Playlist.isEmpty())
        return QString();
    const int index = m_Playlist.indexOf(file);
    if (index >= 0 && index + 1 < m_Playlist.size())
        return m_Playlist.at(index + 1);
    return m_Playlist.first();
}

QString SoundWAV::playlistEntry(const int &step, const QString &file)
{
    QWriteLocker locker(&m_Lock);
    if (m_Playlist.isEmpty())
        return QString();
    switch (step) {
    case 0:
        closeMp3Locked();
        return m_Playlist.first();
    case 1:
        return nextFileLocked(file);
    case -1: {
        const int index = m_Playlist.indexOf(file);
        if (index < 0)
            return m_Playlist.first();
        return index == 0 ? m_Playlist.last() : m_Playlist.at(index - 1);
    }
    default:
        return QString();
    }
}
