#include "samplestream.h"

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
    if (!m_Frames.isEmpty() && id <= m_Frames.lastKey())
        return;
    m_Frames.insert(id, frame);
    if (m_Frames.size() > m_MaxFrames)
        m_Frames.erase(m_Frames.begin());
    if (!m_Started && m_Frames.size() >= m_StartFrames)
        m_Started = true;
}

QByteArray SampleStream::take()
{
    if (!m_Started || m_Frames.isEmpty())
        return QByteArray();
    auto first = m_Frames.begin();
    const QByteArray frame = first.value();
    m_Frames.erase(first);
    return frame;
}

QByteArray SampleStream::takeOrSilence()
{
    const QByteArray frame = take();
    return frame.isEmpty() ? silenceFrame() : frame;
}

void SampleStream::clear()
{
    m_Frames.clear();
    m_Started = false;
}

QByteArray SampleStream::silenceFrame()
{
    return QByteArray(FrameBytes, '\0');
}
