#include "velk/velkdeviceobjectthread.h"

#include "common/codecs/audiocodec.h"
#include "common/sound/sound_wav/soundwav.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

namespace {

constexpr int kFirstSoundId = 1000000;
constexpr quint8 kAlaw = 8;

// The prompt an output type plays; -1 for the types that are no prompt.
int promptOf(int type)
{
    static const int kPrompts[] = { 0, 1, 2, 3, 4, 5, 6, 7, 9, 8 }; // types 2..11
    return type >= 2 && type <= 11 ? kPrompts[type - 2] : -1;
}

qint64 nowMs()
{
    return VelkFrameClock::nowUs() / 1000;
}

} // namespace

VelkDeviceObjectThread::VelkDeviceObjectThread(quint16 number, quint32 password, quint8 version,
                                               QUdpSocket *socket, QObject *parent)
    : AttendedThreadObject(parent)
    , m_Number(number)
    , m_Password(password)
    , m_Version(version)
    , m_Socket(socket)
    , m_Timer(this)
    , m_Stream(this)
{
    setObjectName(QStringLiteral("VelkDeviceObjectThread_%1").arg(number));
    // One wake-up per frame at its deadline, re-armed each time: nothing runs while idle.
    m_Timer.setSingleShot(true);
    m_Timer.setTimerType(Qt::PreciseTimer);
    connect(&m_Timer, &QTimer::timeout, this, &VelkDeviceObjectThread::tick);
    if (m_Socket) {
        m_Socket->setParent(this);
        connect(m_Socket, &QUdpSocket::readyRead, this, &VelkDeviceObjectThread::readyRead,
                Qt::DirectConnection);
    }
}

quint16 VelkDeviceObjectThread::localPort() const
{
    return m_Socket ? m_Socket->localPort() : 0;
}

void VelkDeviceObjectThread::queryTerminate()
{
    m_Timer.stop();
    AttendedThreadObject::queryTerminate();
}

void VelkDeviceObjectThread::readyRead()
{
    while (m_Socket && m_Socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_Socket->receiveDatagram();
        const QByteArray d = datagram.data();
        if (d.size() < kMinDatagram || d.at(1) != 0 || d.at(2) != 0
            || qFromLittleEndian<quint16>(d.constData() + 7) != m_Number
            || qFromLittleEndian<quint32>(d.constData() + 9) != m_Password)
            continue;
        const bool peerWasKnown = m_PeerPort != 0;
        m_PeerAddress = datagram.senderAddress();
        m_PeerPort = quint16(datagram.senderPort());
        const QByteArray payload = d.mid(13, kPayloadBytes);
        QByteArray frame;
        if (!m_RecvFromDevice)
            frame = SampleStream::silenceFrame();
        else if (m_Codec == 1)
            frame = AudioCodec::decode(kAlaw, payload, nullptr);
        else
            frame = AudioCodec::pcm8To16(payload);
        emit fromDevice(qFromLittleEndian<quint32>(d.constData() + 3), frame);
        // Whatever was selected before the device was heard starts now, not in a burst.
        if (!peerWasKnown && m_OutputType != 0) {
            m_Clock.restart(VelkFrameClock::nowUs());
            tick();
        }
    }
}

void VelkDeviceObjectThread::toDevice(qulonglong id, QByteArray array)
{
    if (m_OutputType == 1)
        m_Stream.push(id, array);
}

void VelkDeviceObjectThread::setVelkOutputType(int type, QString index, qint64 block,
                                               qulonglong pos)
{
    const QString oldIndex = m_SourceIndex;
    const qint64 oldBlock = m_SourceBlock;
    const qulonglong oldPosition = m_SourcePosition;
    const bool changed = type != m_OutputType;
    m_OutputType = type;
    if (changed) {
        m_LastPositionReportMs = nowMs();
        m_Stream.clear();
        m_SourceIndex = index;
        m_SourceBlock = block;
        m_SourcePosition = pos;
        m_Clock.stop();
        m_Timer.stop();
    }
    emit resetVelkOutputType(type, oldIndex, oldBlock, oldPosition);
    if (changed && type != 0 && m_PeerPort != 0) {
        m_Clock.restart(VelkFrameClock::nowUs());
        tick();
    }
}

void VelkDeviceObjectThread::controlMusic(int src, VelkMusic control, QString index)
{
    if (m_OutputType < kFirstSoundId || m_OutputType != src)
        return;
    const QString entry = SoundWAV::playlistEntryOf(src, index, int(control));
    if (entry.isEmpty())
        return;
    m_SourceIndex = entry;
    m_SourceBlock = 0;
    m_SourcePosition = 0;
    m_LastPositionReportMs = nowMs();
    emit resetVelkOutputType(-1, entry, 0, 0);
}

void VelkDeviceObjectThread::tick()
{
    if (!m_Socket || m_PeerPort == 0 || m_OutputType == 0)
        return;
    for (qint64 due = m_Clock.due(VelkFrameClock::nowUs()); due > 0; --due) {
        const QByteArray frame = nextFrame();
        if (frame.isEmpty()) {
            setVelkOutputType(0, QString(), 0, 0);
            emit endFinishing();
            return;
        }
        send(frame);
        m_Clock.produced();
    }
    schedule();
}

void VelkDeviceObjectThread::schedule()
{
    if (!m_Clock.isRunning() || m_OutputType == 0)
        return;
    const qint64 waitUs = m_Clock.nextDeadlineUs() - VelkFrameClock::nowUs();
    m_Timer.start(int(qMax<qint64>(0, (waitUs + 999) / 1000)));
}

QByteArray VelkDeviceObjectThread::nextFrame()
{
    if (m_OutputType == 1) {
        const QByteArray frame = m_Stream.takeOrSilence();
        return m_Codec == 1 ? AudioCodec::encode(kAlaw, frame, nullptr)
                            : AudioCodec::pcm16To8(frame);
    }
    if (m_OutputType == -1)
        return {};
    QByteArray frame;
    const int prompt = promptOf(m_OutputType);
    if (prompt >= 0 || SoundWAV::typeOf(m_OutputType) == SoundWAV::Wav) {
        quint64 position = m_SourcePosition;
        SoundWAV::readFrame(prompt >= 0 ? prompt : m_OutputType, frame, position);
        m_SourcePosition = position;
    } else {
        const QString indexBefore = m_SourceIndex;
        int block = int(m_SourceBlock);
        qint64 position = qint64(m_SourcePosition);
        SoundWAV::readMp3Frame(m_OutputType, m_SourceIndex, block, position, frame);
        m_SourceBlock = block;
        m_SourcePosition = qulonglong(position);
        reportPosition(indexBefore);
    }
    return m_Codec == 1 && !frame.isEmpty() ? AudioCodec::pcm8ToG711(kAlaw, frame) : frame;
}

void VelkDeviceObjectThread::reportPosition(const QString &indexBefore)
{
    const qint64 now = nowMs();
    if (m_SourceIndex == indexBefore
        && (m_LastPositionReportMs <= 0 || now - m_LastPositionReportMs <= kPositionReportMs))
        return;
    m_LastPositionReportMs = now;
    emit resetVelkOutputType(-1, m_SourceIndex, m_SourceBlock, m_SourcePosition);
}

void VelkDeviceObjectThread::send(const QByteArray &payload)
{
    QByteArray d(13, '\0');
    d[0] = char(m_Version);
    qToLittleEndian<quint32>(m_Counter++, d.data() + 3);
    qToLittleEndian<quint16>(m_Number, d.data() + 7);
    qToLittleEndian<quint32>(m_Password, d.data() + 9);
    m_Socket->writeDatagram(d + payload, m_PeerAddress, m_PeerPort);
}
