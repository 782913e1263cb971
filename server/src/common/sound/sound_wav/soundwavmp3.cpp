#include "common/sound/sound_wav/soundwav.h"

#include "common/codecs/audiocodec.h"
#include "core/env.h"
#include "core/identifiers.h"

#include <QDir>
#include <QFileInfo>
#include <QWriteLocker>

#include <mpg123.h>
#include <samplerate.h>

#include <cstdio>
#include <vector>

namespace {

// Upsampling is bounded: 8000 Hz files played at 48000 Hz need 6 output samples per input.
constexpr int kMaxRatio = 8;

QString decoderError(mpg123_handle *decoder)
{
    return QString::fromUtf8(mpg123_strerror(decoder));
}

void logCore(const QString &text)
{
    logLine(LogParams::Core, text);
}

} // namespace

void SoundWAV::readMp3(QString &file, int &frameNumber, qint64 &position, QByteArray &frame)
{
    frame.clear();
    if (m_Kind != Mp3 && m_Kind != Capture)
        return;
    QWriteLocker locker(&m_Lock);
    if (m_Kind == Capture)
        readCaptureLocked(frame);
    else
        readMp3Locked(file, frameNumber, position, frame);
}

void SoundWAV::readMp3Pcm16(QString &file, int &frameNumber, qint64 &position, QByteArray &frame)
{
    readMp3(file, frameNumber, position, frame);
    frame = AudioCodec::pcm8To16(frame);
}

void SoundWAV::readMp3Locked(QString &file, int &frameNumber, qint64 &position, QByteArray &frame)
{
    const int frameSize = m_FrameSize;
    if (!m_Decoder || m_Playlist.isEmpty() || frameSize <= 0)
        return;

    if (file != m_CurrentFile)
        closeMp3Locked();
    if (m_CurrentFile.isEmpty()) {
        m_CachedFrameNumber = -1;
        m_CachedFrame.clear();
        if (file.isEmpty()) {
            file = m_Playlist.first();
            frameNumber = 0;
            position = 0;
        }
        if (openMp3Locked(file)) {
            frame.fill(char(0x80), frameSize);
        } else {
            file = nextFileLocked(file);
            frameNumber = 0;
            position = 0;
        }
        return;
    }

    bool ok = true;
    if (m_CachedFrameNumber != frameNumber) {
        // Readers share the decoder: put it where this reader's frame is, absolutely.
        m_CachedFrameNumber = -1;
        m_CachedFrame.clear();
        ok = seekLocked(frameNumber);
        if (ok) {
            m_CachedFrame = decodeMp3Locked(frameNumber, &ok);
            if (ok)
                m_CachedFrameNumber = frameNumber;
        }
    }

    while (ok) {
        const qint64 missing = frameSize - frame.size();
        const qint64 start = qBound<qint64>(0, position, m_CachedFrame.size());
        const int taken = int(qMin<qint64>(missing, m_CachedFrame.size() - start));
        frame.append(m_CachedFrame.constData() + start, taken);
        if (frame.size() == frameSize) {
            position = start + taken;
            return;
        }
        // This MP3 frame is used up: decode the one after it, from wherever another reader
        // may have left the decoder.
        const int next = frameNumber + 1;
        m_CachedFrameNumber = -1;
        m_CachedFrame.clear();
        int at = next;
        if (m_NextFrame != next && !seekLocked(at))
            break;
        m_CachedFrame = decodeMp3Locked(frameNumber, &ok);
        if (ok) {
            position = 0;
            m_CachedFrameNumber = frameNumber;
        }
    }

    // End of the file or a decoding error: the reader moves on to the next file.
    closeMp3Locked();
    file = nextFileLocked(file);
    frameNumber = 0;
    position = 0;
    if (m_Loop)
        frame.append(QByteArray(frameSize - frame.size(), char(0x80)));
    else
        frame.clear();
}

bool SoundWAV::seekLocked(int &frameNumber)
{
    // The resampler needs the audio before the frame: decode the previous frame into it, so
    // a reader that seeks hears nearly what one that played through hears.
    resetResamplerLocked();
    const int wanted = qMax(0, frameNumber);
    const off_t offset = mpg123_seek_frame(m_Decoder, off_t(qMax(0, wanted - 1)), SEEK_SET);
    if (offset < 0)
        return false;
    // Gapless decoding may skip frames that hold only encoder delay.
    m_NextFrame = int(offset);
    if (m_NextFrame < wanted) {
        int primed = m_NextFrame;
        bool ok = false;
        decodeMp3Locked(primed, &ok);
        if (!ok)
            return false;
    }
    frameNumber = m_NextFrame;
    return true;
}

void SoundWAV::closeMp3Locked()
{
    if (m_Decoder && !m_CurrentFile.isEmpty())
        mpg123_close(m_Decoder);
    m_CurrentFile.clear();
    m_CachedFrameNumber = -1;
    m_CachedFrame.clear();
    m_NextFrame = -1;
}

bool SoundWAV::openMp3(const QString &file)
{
    QWriteLocker locker(&m_Lock);
    return openMp3Locked(file);
}

bool SoundWAV::openMp3Locked(const QString &file)
{
    if (!m_Decoder)
        return false;
    closeMp3Locked();
    if (mpg123_open(m_Decoder, file.toUtf8().constData()) != MPG123_OK) {
        logCore(QStringLiteral("Error open MP3 file '%1': %2.").arg(file, decoderError(m_Decoder)));
        return false;
    }
    logCore(QStringLiteral("Open MP3 file '%1'.").arg(file));
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(m_Decoder, &rate, &channels, &encoding) != MPG123_OK) {
        mpg123_close(m_Decoder);
        logCore(QStringLiteral("Error get format MP3 file '%1': %2.")
                    .arg(file, decoderError(m_Decoder)));
        return false;
    }
    logCore(
        QStringLiteral("Format MP3 file '%1': sample rate = %2, channels = %3 -> sample rate = %4, "
                       "channels = 1.")
            .arg(file)
            .arg(rate)
            .arg(channels)
            .arg(sampleRateForFrequency(m_FrequencyType)));
    m_FileChannels = channels;
    m_FileSampleRate = int(rate);
    m_CurrentFile = file;
    m_NextFrame = 0;
    resetResamplerLocked();
    return true;
}

QByteArray SoundWAV::decodeMp3(int &frameNumber, bool *ok)
{
    QWriteLocker locker(&m_Lock);
    return decodeMp3Locked(frameNumber, ok);
}

QByteArray SoundWAV::decodeMp3Locked(int &frameNumber, bool *ok)
{
    if (ok)
        *ok = false;
    if (!m_Decoder || m_CurrentFile.isEmpty())
        return QByteArray();

    off_t number = 0;
    unsigned char *audio = nullptr;
    size_t bytes = 0;
    const int result = mpg123_decode_frame(m_Decoder, &number, &audio, &bytes);
    frameNumber = int(number);
    m_NextFrame = frameNumber + 1;
    switch (result) {
    case MPG123_OK: {
        if (bytes == 0 || !audio)
            return QByteArray();
        float *mono = nullptr;
        int sampleCount = 0;
        if (!toMonoFloat(reinterpret_cast<const qint16 *>(audio), bytes, m_FileChannels, mono,
                         sampleCount))
            return QByteArray();
        const QByteArray result8 = resampleLocked(mono, sampleCount, ok);
        delete[] mono;
        return result8;
    }
    case MPG123_NEW_FORMAT:
        return QByteArray();
    case MPG123_DONE:
        logCore(QStringLiteral("Stop conver MP3 file '%1'.").arg(m_CurrentFile));
        closeMp3Locked();
        return QByteArray();
    default:
        logCore(QStringLiteral("Error decode frame MP3 file '%1': %2.")
                    .arg(m_CurrentFile, decoderError(m_Decoder)));
        closeMp3Locked();
        return QByteArray();
    }
}

void SoundWAV::logResampleError(int error) const
{
    logCore(QStringLiteral("Error resample MP3 file '%1': %2.")
                .arg(m_CurrentFile, QString::fromUtf8(src_strerror(error))));
}

void SoundWAV::resetResamplerLocked()
{
    if (m_Resampler)
        src_reset(m_Resampler);
}

QByteArray SoundWAV::resampleLocked(const float *samples, int sampleCount, bool *ok)
{
    const int rate = sampleRateForFrequency(m_FrequencyType);
    if (rate <= 0 || m_FileSampleRate <= 0 || sampleCount <= 0)
        return QByteArray();
    if (!m_Resampler) {
        int error = 0;
        m_Resampler = src_new(m_ConverterType, 1, &error);
        if (!m_Resampler) {
            logResampleError(error);
            return QByteArray();
        }
    }

    // The converter also releases input it held back from the previous frame, so the output
    // may exceed this frame's share: convert in rounds until all input is taken.
    const int chunk = sampleCount * kMaxRatio;
    std::vector<float> resampled;
    SRC_DATA data {};
    data.data_in = samples;
    data.input_frames = sampleCount;
    data.src_ratio = double(rate) / double(m_FileSampleRate);
    data.end_of_input = 0;
    while (data.input_frames > 0) {
        const size_t done = resampled.size();
        resampled.resize(done + size_t(chunk));
        data.data_out = resampled.data() + done;
        data.output_frames = chunk;
        const int error = src_process(m_Resampler, &data);
        if (error != 0) {
            logResampleError(error);
            return QByteArray();
        }
        resampled.resize(done + size_t(qBound<long>(0, data.output_frames_gen, chunk)));
        if (data.input_frames_used <= 0 && data.output_frames_gen <= 0)
            break;
        data.data_in += data.input_frames_used;
        data.input_frames -= data.input_frames_used;
    }

    std::vector<qint16> pcm(resampled.size());
    for (size_t i = 0; i < resampled.size(); ++i) {
        // The sinc converters overshoot near full scale: clamp rather than wrap around.
        pcm[i] = qint16(qBound(-32768.0f, resampled[i], 32767.0f));
    }
    if (ok)
        *ok = true;
    return AudioCodec::pcm16To8Raw(pcm.data(), int(pcm.size() * 2));
}

bool SoundWAV::toMonoFloat(const qint16 *samples, const size_t &byteCount, const int &channelFlags,
                           float *&out, int &sampleCount)
{
    if (!samples || byteCount == 0)
        return false;
    if (channelFlags & MPG123_MONO) {
        sampleCount = int(byteCount / 2);
        out = new float[size_t(sampleCount)];
        for (int i = 0; i < sampleCount; ++i)
            out[i] = float(samples[i]);
        return true;
    }
    if (channelFlags & MPG123_STEREO) {
        sampleCount = int(byteCount / 4);
        out = new float[size_t(sampleCount)];
        for (int i = 0; i < sampleCount; ++i)
            out[i] = (float(samples[2 * i]) + float(samples[2 * i + 1])) * 0.5f;
        return true;
    }
    return false;
}

bool SoundWAV::checkMp3File(const QString &file)
{
    int error = MPG123_OK;
    mpg123_handle *probe = mpg123_new(nullptr, &error);
    if (!probe) {
        logCore(QStringLiteral("Error create MP3 handle '%1': %2.")
                    .arg(file, QString::fromUtf8(mpg123_plain_strerror(error))));
        return false;
    }
    bool ok = false;
    if (mpg123_open(probe, file.toUtf8().constData()) != MPG123_OK) {
        logCore(QStringLiteral("Error open MP3 file '%1': %2.").arg(file, decoderError(probe)));
    } else {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        ok = mpg123_getformat(probe, &rate, &channels, &encoding) == MPG123_OK;
        if (!ok)
            logCore(QStringLiteral("Error get format MP3 file '%1': %2.")
                        .arg(file, decoderError(probe)));
        mpg123_close(probe);
    }
    mpg123_delete(probe);
    return ok;
}

void SoundWAV::rescanDirLocked()
{
    const QFileInfo info(m_Path);
    if (m_Kind != Mp3 || !info.isDir())
        return;
    logCore(QStringLiteral("Rescan dir: %1").arg(m_Path));
    m_Playlist.clear();
    const QFileInfoList entries = QDir(m_Path).entryInfoList(
        QDir::Files | QDir::NoSymLinks | QDir::Readable | QDir::Hidden, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile()
            && entry.completeSuffix().compare(QLatin1String("mp3"), Qt::CaseInsensitive) == 0
            && checkMp3File(entry.absoluteFilePath()))
            m_Playlist.append(entry.absoluteFilePath());
    }
    m_Playlist.sort(Qt::CaseSensitive);
}
