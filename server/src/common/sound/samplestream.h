#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>

// The small jitter buffer of the media path: 320-byte frames of 16-bit PCM keyed by frame
// number, kept in order, newest-only, bounded, and silent until first filled up.
// Not locked: each stream belongs to the one thread that pushes and takes.
class SampleStream : public QObject
{
    Q_OBJECT
public:
    static constexpr int FrameBytes = 320;

    explicit SampleStream(QObject *parent = nullptr);

    void push(const quint64 &id, const QByteArray &frame);
    QByteArray take();
    QByteArray takeOrSilence();
    void clear();
    static QByteArray silenceFrame();

    int count() const { return frames.size(); }
    bool isStarted() const { return started; }
    QList<quint64> ids() const { return frames.keys(); }

private:
    QMap<quint64, QByteArray> frames;
    qint64 maxFrames = 10;
    qint64 startFrames = 10;
    bool started = false;
};
