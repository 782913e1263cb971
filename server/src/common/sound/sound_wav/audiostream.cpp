#include "common/sound/sound_wav/audiostream.h"

#include "core/identifiers.h"

#include <QMutexLocker>

#include <cstring>

namespace {

QMutex g_factoryLock;
AudioStream::SourceFactory g_factory;

} // namespace

AudioStream::AudioStream(const int &frequencyType, QObject *parent)
    : QIODevice(parent)
    , m_FrequencyType(frequencyType)
    , m_FrameSize(frameSamplesForFrequency(frequencyType))
{
    clear();
}

void AudioStream::clear()
{
    QMutexLocker locker(&m_Lock);
    m_Queue.clear();
    m_Ready = false;
}

void AudioStream::feedFrom(QIODevice *source)
{
    connect(source, &QIODevice::readyRead, this, [this, source] {
        const QByteArray bytes = source->readAll();
        if (!bytes.isEmpty())
            write(bytes);
    });
}

void AudioStream::setSourceFactory(const SourceFactory &factory)
{
    QMutexLocker locker(&g_factoryLock);
    g_factory = factory;
}

AudioStream::SourceFactory AudioStream::sourceFactory()
{
    QMutexLocker locker(&g_factoryLock);
    return g_factory;
}

qint64 AudioStream::readData(char *data, qint64 maxSize)
{
    QMutexLocker locker(&m_Lock);
    if (m_FrameSize <= 0 || maxSize < m_FrameSize)
        return 0;
    if (!m_Ready || m_Queue.isEmpty()) {
        // Underrun: silence until about a second has queued up again.
        if (m_Queue.isEmpty())
            m_Ready = false;
        std::memset(data, 0x80, size_t(m_FrameSize));
        return m_FrameSize;
    }
    const QByteArray frame = m_Queue.takeFirst();
    std::memcpy(data, frame.constData(), size_t(frame.size()));
    return frame.size();
}

qint64 AudioStream::writeData(const char *data, qint64 size)
{
    QMutexLocker locker(&m_Lock);
    if (m_FrameSize <= 0)
        return size;
    m_Pending.append(data, int(size));
    int offset = 0;
    while (m_Pending.size() - offset >= m_FrameSize) {
        if (m_Queue.size() > MaxQueuedFrames - 1) {
            m_Ready = true;
            m_Queue.removeFirst();
        }
        m_Queue.append(m_Pending.mid(offset, m_FrameSize));
        offset += m_FrameSize;
    }
    m_Pending.remove(0, offset);
    return size;
}
