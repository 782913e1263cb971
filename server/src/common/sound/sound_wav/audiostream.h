#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QMutex>

#include <functional>

class QAudioFormat;

// Captured audio cut into whole 20 ms frames of 8-bit unsigned PCM and queued for playing.
// Playing begins once about a second is queued; the oldest frames go when capture runs ahead.
// The capture side writes from the thread that opened the capture, the player reads from its
// own thread: both run under the stream's lock. The device is sequential, so QIODevice keeps
// no position that the two threads would share.
class AudioStream : public QIODevice
{
    Q_OBJECT
public:
    // Stands in for the sound card: given the wanted device name and format it may return a
    // device whose bytes are captured instead (tests, machines without a sound card). The
    // capture source takes ownership of the returned device.
    using SourceFactory
        = std::function<QIODevice *(const QString &deviceName, const QAudioFormat &format)>;

    static constexpr int MaxQueuedFrames = 51;

    explicit AudioStream(const int &frequencyType, QObject *parent = nullptr);

    void clear();
    int frequencyType() const { return m_FrequencyType; }
    bool isSequential() const override { return true; }

    // Feeds every byte that becomes readable on source into this stream.
    void feedFrom(QIODevice *source);

    static void setSourceFactory(const SourceFactory &factory);
    static SourceFactory sourceFactory();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QMutex m_Lock;
    const int m_FrequencyType;
    const int m_FrameSize;
    bool m_Ready = false;
    QList<QByteArray> m_Queue;
    QByteArray m_Pending;
};
