#include "common/sound/samplestream.h"

SampleStream::SampleStream(QObject *parent)
    : QObject(parent)
{
}

void SampleStream::push(const quint64 &id, const QByteArray &frame)
{
    if (frame.size() != FrameBytes)
        return;
    // Late, duplicate and reordered frames are dropped rather than slotted in: the buffer
    // only ever grows at its newest end.
    if (!frames.isEmpty() && id <= frames.lastKey())
        return;
    frames.insert(id, frame);
    if (frames.size() > maxFrames)
        frames.erase(frames.begin());
    if (!started && frames.size() >= startFrames)
        started = true;
}

QByteArray SampleStream::take()
{
    if (!started || frames.isEmpty())
        return QByteArray();
    auto first = frames.begin();
    const QByteArray frame = first.value();
    frames.erase(first);
    return frame;
}

QByteArray SampleStream::takeOrSilence()
{
    const QByteArray frame = take();
    return frame.isEmpty() ? silenceFrame() : frame;
}

void SampleStream::clear()
{
    frames.clear();
    started = false;
}

QByteArray SampleStream::silenceFrame()
{
    return QByteArray(FrameBytes, '\0');
}
