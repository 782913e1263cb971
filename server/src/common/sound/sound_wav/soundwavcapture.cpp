#include "common/sound/sound_wav/audiostream.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "common/sound/sound_wav/soundwav.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioInput>
#include <QDebug>
#include <QThread>
#include <QWriteLocker>

namespace {

QAudioFormat captureFormat(int frequencyType)
{
    QAudioFormat format;
    format.setChannelCount(1);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setSampleSize(8);
    format.setSampleType(QAudioFormat::UnSignedInt);
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleRate(sampleRateForFrequency(frequencyType));
    return format;
}

QAudioDeviceInfo inputDevice(const QString &name)
{
    const QList<QAudioDeviceInfo> devices = QAudioDeviceInfo::availableDevices(QAudio::AudioInput);
    for (const QAudioDeviceInfo &device : devices) {
        if (device.deviceName() == name)
            return device;
    }
    return QAudioDeviceInfo::defaultInputDevice();
}

void describeDevice(const QAudioDeviceInfo &device)
{
    qDebug() << "Open audio device:" << device.deviceName();
    qDebug() << "Supported byte orders:" << device.supportedByteOrders();
    qDebug() << "Supported channel counts:" << device.supportedChannelCounts();
    qDebug() << "Supported codecs:" << device.supportedCodecs();
    qDebug() << "Supported sample rates:" << device.supportedSampleRates();
    qDebug() << "Supported sample sizes:" << device.supportedSampleSizes();
    qDebug() << "Supported sample types:" << device.supportedSampleTypes();
}

} // namespace

bool SoundWAV::open()
{
    QWriteLocker locker(&m_Lock);
    return openLocked();
}

bool SoundWAV::openLocked()
{
    if (m_Kind != Capture)
        return m_Kind == Wav;
    closeLocked();
    if (m_Path.isEmpty())
        return false;

    const QAudioFormat format = captureFormat(m_FrequencyType);
    m_CaptureStream = new AudioStream(m_FrequencyType);
    bool opened = m_CaptureStream->open(QIODevice::ReadWrite | QIODevice::Unbuffered);

    const AudioStream::SourceFactory factory = AudioStream::sourceFactory();
    m_CaptureSource = factory ? factory(m_Path, format) : nullptr;
    // A name that matches no device opens the default one: the messages name what was opened.
    QString deviceName = m_Path;
    if (m_CaptureSource) {
        qDebug() << "Open audio device:" << deviceName;
        if (!m_CaptureSource->isOpen())
            opened = opened && m_CaptureSource->open(QIODevice::ReadOnly);
        m_CaptureStream->feedFrom(m_CaptureSource);
    } else {
        const QAudioDeviceInfo device = inputDevice(m_Path);
        if (device.isNull()) {
            logLine(LogParams::Core,
                    QStringLiteral("No audio input device for sound '%1'.").arg(m_Path));
            closeLocked();
            return false;
        }
        deviceName = device.deviceName();
        describeDevice(device);
        m_CaptureInput = new QAudioInput(device, format);
        m_CaptureInput->setBufferSize(format.sampleRate());
        if (opened) {
            m_CaptureInput->start(m_CaptureStream);
            opened = m_CaptureInput->error() == QAudio::NoError;
        }
    }

    if (opened) {
        qDebug() << "Device is open" << deviceName;
        return true;
    }
    qDebug().nospace() << "Device is not open " << deviceName
                       << ". Error: " << m_CaptureStream->errorString();
    closeLocked();
    return false;
}

void SoundWAV::close()
{
    QWriteLocker locker(&m_Lock);
    closeLocked();
}

void SoundWAV::closeLocked()
{
    if (!m_CaptureStream && !m_CaptureInput && !m_CaptureSource)
        return;
    QAudioInput *input = m_CaptureInput;
    QIODevice *source = m_CaptureSource;
    AudioStream *stream = m_CaptureStream;
    m_CaptureInput = nullptr;
    m_CaptureSource = nullptr;
    m_CaptureStream = nullptr;
    if (input)
        input->stop();
    if (source)
        source->close();
    if (stream)
        stream->close();
    // The capture objects belong to the thread that opened them, where the input writes into
    // the stream: free them there, all together.
    QObject *owner = stream ? static_cast<QObject *>(stream)
                            : (input ? static_cast<QObject *>(input) : source);
    if (owner->thread() == QThread::currentThread()) {
        delete input;
        delete source;
        delete stream;
        return;
    }
    for (QObject *object : { static_cast<QObject *>(input), static_cast<QObject *>(source),
                             static_cast<QObject *>(stream) }) {
        if (object)
            object->deleteLater();
    }
}

void SoundWAV::readCaptureLocked(QByteArray &frame)
{
    if ((!m_CaptureInput && !m_CaptureSource) || !m_CaptureStream)
        return;
    frame.resize(m_FrameSize);
    const qint64 got = qMax<qint64>(0, m_CaptureStream->read(frame.data(), m_FrameSize));
    if (got < m_FrameSize)
        std::fill(frame.begin() + got, frame.end(), char(0x80));
}
