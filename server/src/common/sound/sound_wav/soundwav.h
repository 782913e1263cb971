#pragma once

#include "common/sound/sound_wav/soundwavparam.h"

#include <QByteArray>
#include <QObject>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>

class QAudioInput;
class QIODevice;
class QSettings;
class AudioStream;
struct mpg123_handle_struct;
struct SRC_STATE_tag;

// One sound source: a WAV file held in memory (kind 0), MP3 files decoded on demand (kind 1,
// one file or a directory played as a playlist) or a live capture device (kind 2). Audio comes
// out in 20 ms frames of 8-bit unsigned mono PCM. Readers keep their own position and pass it
// in on every read, so several readers can play one source at different points.
//
// Threading: every member operation may be called from any thread. WAV reads share a read
// lock; MP3 and capture reads, load, rescan, open and close serialise on the source's own
// lock. The registry (static operations by id) hands readers a shared reference, so a source
// removed by the core thread stays alive until the last reader in flight has finished.
// A capture source is opened, closed and removed from a thread with an event loop (the core
// thread): its audio input lives and delivers there.
class SoundWAV : public QObject
{
    Q_OBJECT
public:
    enum Kind : int { Wav = 0, Mp3 = 1, Capture = 2 };

    SoundWAV(const int &kind, const QString &path, const quint16 &frequencyType, const bool &loop,
             const int &converterType, QObject *parent = nullptr);
    ~SoundWAV() override;

    int kind() const { return m_Kind; }
    QString path() const { return m_Path; }
    bool loop() const { return m_Loop; }
    int frameSize() const { return m_FrameSize; }
    QString label() const;
    quint16 frequencyType() const { return m_FrequencyType; }
    int converterType() const { return m_ConverterType; }
    QByteArray data() const;
    QStringList playlist() const;
    QString currentFile() const;

    bool load();
    void rescanDir();

    // An empty frame means nothing (more) to play; otherwise the frame is exactly one frame.
    void read(QByteArray &frame, qint64 &position);
    void read16(QByteArray &frame, qint64 &position);
    void readMp3(QString &file, int &frameNumber, qint64 &position, QByteArray &frame);
    void readMp3Pcm16(QString &file, int &frameNumber, qint64 &position, QByteArray &frame);

    QString nextFile(const QString &file) const;
    QString playlistEntry(const int &step, const QString &file);

    bool open();
    void close();

    // WAV files: only 8-bit unsigned mono PCM at the frequency type's rate is accepted.
    static QByteArray loadWav(const QString &path, const quint16 &frequencyType,
                              bool *ok = nullptr);
    static bool loadWavFile(const QString &path, const quint16 &frequencyType);
    static int wavFrequencyType(const QString &path);

    // MP3 decoding in this source's decoder.
    bool openMp3(const QString &file);
    QByteArray decodeMp3(int &frameNumber, bool *ok = nullptr);
    static bool toMonoFloat(const qint16 *samples, const size_t &byteCount, const int &channelFlags,
                            float *&out, int &sampleCount);
    static bool checkMp3File(const QString &file);

    // The prompt set: ids 0..10 in the registry, from the "sound" group or compiled-in files.
    static void loadPrompts(QSettings *settings);
    static void writeDefaultSettings(QSettings *settings);

    // The process-wide registry. Prompts have ids 0..10, sounds created at run time ids from
    // 1000000 up; an id that is not registered makes each operation a no-op.
    static int create(const int &kind, const QString &path, const int &frequencyType,
                      const bool &loop, const int &converterType);
    static void remove(const int &id);
    static int typeOf(const int &id);
    static bool loadSound(const int &id);
    static bool openSound(const int &id);
    static bool closeSound(const int &id);
    static void readFrame(const int &id, QByteArray &frame, quint64 &position);
    static void readFrame16(const int &id, QByteArray &frame, quint64 &position);
    static void readMp3Frame(const int &id, QString &file, int &frameNumber, qint64 &position,
                             QByteArray &frame);
    static void readMp3Frame16(const int &id, QString &file, int &frameNumber, qint64 &position,
                               QByteArray &frame);
    static QString playlistEntryOf(const int &id, const QString &file, const int &step);
    static void rescanSound(const int &id);
    static QString labelOf(const int &id);

private:
    void readWavLocked(QByteArray &frame, qint64 &position) const;
    void readCaptureLocked(QByteArray &frame);
    void readMp3Locked(QString &file, int &frameNumber, qint64 &position, QByteArray &frame);
    bool loadLocked();
    void rescanDirLocked();
    bool openLocked();
    void closeLocked();
    void closeMp3Locked();
    bool seekLocked(int &frameNumber);
    bool openMp3Locked(const QString &file);
    QByteArray decodeMp3Locked(int &frameNumber, bool *ok);
    QByteArray resampleLocked(const float *samples, int sampleCount, bool *ok);
    void resetResamplerLocked();
    void logResampleError(int error) const;
    QString nextFileLocked(const QString &file) const;

    // Serialises the decoder, cache, capture objects and reloads; WAV reads only share it.
    mutable QReadWriteLock m_Lock;

    const int m_Kind;
    const QString m_Path;
    const bool m_Loop;
    const int m_FrameSize;
    QString m_Label;
    const quint16 m_FrequencyType;
    const int m_ConverterType;
    QByteArray m_Data;
    int m_CachedFrameNumber = -1;
    QByteArray m_CachedFrame;
    QStringList m_Playlist;
    QAudioInput *m_CaptureInput = nullptr;
    QIODevice *m_CaptureSource = nullptr;
    AudioStream *m_CaptureStream = nullptr;
    mpg123_handle_struct *m_Decoder = nullptr;
    int m_FileChannels = 0;
    int m_FileSampleRate = 0;
    QString m_CurrentFile;
    // Carries the resampler's filter history from one MP3 frame to the next; reset on seeks.
    SRC_STATE_tag *m_Resampler = nullptr;
    // The frame the decoder delivers next, -1 when unknown: readers at other frames seek.
    int m_NextFrame = -1;
};
