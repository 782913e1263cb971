#include "velkpanel.h"

#include "common/codecs/audiocodec.h"
#include "core/identifiers.h"
#include "core/timescale.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

#include <chrono>

namespace {

void setBit(quint8 &bits, int bit, quint8 code, quint8 on, quint8 off)
{
    if (code == on)
        bits |= quint8(1 << bit);
    else if (code == off)
        bits &= quint8(~(1 << bit));
}

} // namespace

VelkPanel::VelkPanel(const Config &config, QObject *parent)
    : QObject(parent)
    , m_Config(config)
    , m_Socket(new QUdpSocket(this))
{
    connect(m_Socket, &QUdpSocket::readyRead, this, &VelkPanel::readPending);
    connect(&m_ReportTimer, &QTimer::timeout, this, &VelkPanel::sendReport);
    m_AudioTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_AudioTimer, &QTimer::timeout, this, &VelkPanel::sendAudioFrame);
}

bool VelkPanel::start(const QHostAddress &server, quint16 serverPort, int reportIntervalMs)
{
    m_Server = server;
    m_ServerPort = serverPort;
    if (!m_Socket->bind(QHostAddress(QHostAddress::LocalHost), 0))
        return false;
    if (reportIntervalMs > 0)
        m_ReportTimer.start(TimeScale::toRealInt(reportIntervalMs));
    sendReport();
    return true;
}

QByteArray VelkPanel::head(quint32 sequence) const
{
    QByteArray d(13, '\0');
    d[0] = 1;
    qToLittleEndian<quint32>(sequence, d.data() + 3);
    qToLittleEndian<quint16>(m_Config.number, d.data() + 7);
    qToLittleEndian<quint32>(fourCc(m_Config.password), d.data() + 9);
    return d;
}

void VelkPanel::sendReport()
{
    QByteArray d = head(++m_Sequence) + QByteArray(30, '\0');
    d[1] = 1;
    d[2] = 1;
    d[13] = char(m_Config.hardware);
    d[14] = char(m_Bootloader ? 0 : m_Config.firmwareMajor);
    d[15] = char(m_Bootloader ? 0 : m_Config.firmwareMinor);
    d.replace(17, m_Settings.size(), m_Settings); // the server does not read these bytes
    d.replace(37, 4, m_Events);
    d[41] = char(m_State);
    d[42] = char((m_Config.codec & 3) << 1); // button not held
    m_Events.fill('\0');
    m_LastReport = d;
    m_Socket->writeDatagram(d, m_Server, m_ServerPort);
}

void VelkPanel::readPending()
{
    while (m_Socket->hasPendingDatagrams()) {
        const QByteArray d = m_Socket->receiveDatagram().data();
        if (d.size() >= 13 && d.at(1) == 3) {
            onRequest(d);
        } else if (d.size() == 16 && d.at(1) == 2 && d.mid(3, 10) == m_LastReport.mid(3, 10)) {
            m_AudioPort = d.at(13) == 0 ? qFromLittleEndian<quint16>(d.constData() + 14) : 0;
            emit answered(quint8(d.at(13)), m_AudioPort);
        } else {
            emit protocolError(QStringLiteral("unexpected datagram %1").arg(QString(d.toHex())));
        }
    }
}

void VelkPanel::onRequest(const QByteArray &request)
{
    const int command = quint8(request.at(2));
    const int sizes[] = { 0, 0, 0, 0, 0, 0, 29, 22, 278, 278, 0, 0, 30 };
    if (command >= int(std::size(sizes)) || request.size() != sizes[command]
        || request.mid(7, 6) != m_LastReport.mid(7, 6)) { // another panel's or password
        emit protocolError(QStringLiteral("bad request %1").arg(QString(request.toHex())));
        return;
    }
    if (m_Seen.size() > 1024)
        m_Seen.clear();
    const quint32 sequence = qFromLittleEndian<quint32>(request.constData() + 3);
    const int seen = ++m_Seen[quint64(command) << 32 | sequence];
    emit requestReceived(command, sequence, seen, quint8(request.at(21)));

    const Policy policy = m_Policies.value(command);
    if (policy.reply == Reply::Never
        || (policy.reply == Reply::AfterResends && seen <= policy.value))
        return;
    if (policy.reply == Reply::Refuse) {
        answer(request, quint8(policy.value), QByteArray(), policy);
        return;
    }
    QByteArray block;
    // Every command is idempotent, so a resend is carried out again.
    QByteArray carried = request;
    if (policy.reply == Reply::OtherBlock)
        carried[21] = char(carried.at(21) + policy.value);
    const quint8 result = apply(carried, &block);
    if (policy.reply == Reply::Corrupt && block.size() > 1 && quint8(block.at(0)) == policy.value)
        block[1] = char(~block.at(1));
    if (policy.reply == Reply::Late) {
        QTimer::singleShot(TimeScale::toRealInt(policy.value), this,
                           [=] { answer(request, result, block, Policy()); });
        return;
    }
    answer(request, result, block, policy);
}

quint8 VelkPanel::apply(const QByteArray &r, QByteArray *block)
{
    const auto at = [&r](int i) { return quint8(r.at(i)); };
    switch (at(2)) {
    case 6:
        setBit(m_State, 0, at(21), 1, 255);
        setBit(m_State, 2, at(22), 1, 255);
        setBit(m_State, 1, at(23), 1, 255);
        for (int relay = 0; relay < 3; ++relay) {
            const quint8 code = at(24 + relay);
            setBit(m_State, 3 + relay, code == 0 || code == 255 ? code : 254, 254, 255);
        }
        break;
    case 7:
        m_Bootloader = at(21) == 1;
        break;
    case 8:
    case 9:
        if (!m_Bootloader)
            return 1;
        if (at(2) == 9)
            m_Image.replace(at(21) * 256, 256, r.mid(22, 256));
        else
            *block = char(at(21)) + m_Image.mid(at(21) * 256, 256);
        break;
    case 12:
        m_Settings = r.mid(21, 9);
        break;
    }
    emit applied(at(2));
    return 0;
}

void VelkPanel::answer(const QByteArray &request, quint8 result, const QByteArray &block,
                       Policy policy)
{
    QByteArray d = request.left(13) + char(result) + QByteArray(8, '\0');
    d[1] = 4;
    if (!block.isEmpty())
        d = d.left(22) + block;
    if (policy.reply == Reply::Cut)
        d.truncate(policy.value);
    m_Socket->writeDatagram(d, m_Server, m_ServerPort);
    emit answerSent(quint8(request.at(2)));
}

bool VelkPanel::startAudio(const QByteArray &tone, int frameBytes)
{
    if (m_AudioPort == 0 || tone.size() < 160)
        return false;
    if (!m_Audio) {
        m_Audio = new QUdpSocket(this);
        if (!m_Audio->bind(QHostAddress(QHostAddress::LocalHost), 0))
            return false;
        connect(m_Audio, &QUdpSocket::readyRead, this, &VelkPanel::readAudio);
    }
    m_Tone = tone;
    m_FrameBytes = frameBytes;
    m_AudioTimer.start(20); // media cadence: real time, not the schedule's
    sendAudioFrame();
    return true;
}

QByteArray VelkPanel::audioFrame(quint32 counter) const
{
    const int frames = m_Tone.size() / 160;
    const QByteArray pcm = m_Tone.mid(int(counter % quint32(frames)) * 160, 160);
    return m_Config.codec == 1 ? AudioCodec::pcm8ToG711(8, pcm) : pcm;
}

void VelkPanel::sendAudioFrame()
{
    QByteArray d = head(m_AudioCounter) + audioFrame(m_AudioCounter);
    d = d.leftJustified(m_FrameBytes, '\x55', true);
    ++m_AudioCounter;
    m_Audio->writeDatagram(d, m_Server, m_AudioPort);
}

void VelkPanel::readAudio()
{
    using namespace std::chrono;
    int count = 0;
    while (m_Audio->hasPendingDatagrams()) {
        const QByteArray d = m_Audio->receiveDatagram().data();
        const qint64 at
            = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
        if (d.size() <= 13 || d.at(0) != 1 || d.at(1) != 0 || d.at(2) != 0
            || d.mid(7, 6) != m_LastReport.mid(7, 6)) {
            emit protocolError(QStringLiteral("bad audio %1").arg(QString(d.left(13).toHex())));
            continue;
        }
        m_AudioIn.append({ qFromLittleEndian<quint32>(d.constData() + 3), at, d.mid(13) });
        ++count;
    }
    if (count)
        emit audioArrived(m_AudioIn.size());
}
