#include "rtppeer.h"

#include <QDataStream>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QtEndian>
#include <QtTest>

#include <cmath>

namespace {

void putBe(QByteArray &a, int at, quint32 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        a[at + i] = char(value >> (8 * (bytes - 1 - i)));
}

} // namespace

RtpPeer::RtpPeer()
{
    m_Socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    m_Clock.start();
    connect(&m_Socket, &QUdpSocket::readyRead, this, &RtpPeer::read);
}

void RtpPeer::sendTo(quint16 port, const QByteArray &datagram)
{
    m_Socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
}

void RtpPeer::sendRtp(quint16 port, quint8 payloadType, quint16 sequence, quint32 timestamp,
                      const QByteArray &payload, bool marker, quint32 ssrc)
{
    QByteArray p(12, '\0');
    p[0] = char(0x80);
    p[1] = char((marker ? 0x80 : 0) | payloadType);
    putBe(p, 2, sequence, 2);
    putBe(p, 4, timestamp, 4);
    putBe(p, 8, ssrc, 4);
    sendTo(port, p + payload);
}

QByteArray RtpPeer::payloads() const
{
    QByteArray all;
    for (const Packet &p : packets)
        all += p.data.mid(12);
    return all;
}

void RtpPeer::read()
{
    while (m_Socket.hasPendingDatagrams())
        packets.append({ m_Socket.receiveDatagram().data(), m_Clock.elapsed() });
}

bool writePcap(const QString &path, const QList<RtpPeer::Packet> &packets, quint16 srcPort,
               quint16 dstPort)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&f);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(0xa1b2c3d4) << quint16(2) << quint16(4) << qint32(0) << quint32(0)
        << quint32(65535) << quint32(101); // LINKTYPE_RAW: packets start at the IP header
    for (const RtpPeer::Packet &p : packets) {
        QByteArray ip(28, '\0');
        const int total = 28 + p.data.size();
        ip[0] = 0x45;
        putBe(ip, 2, quint32(total), 2);
        ip[8] = 64;
        ip[9] = 17;
        putBe(ip, 12, 0x7f000001, 4);
        putBe(ip, 16, 0x7f000001, 4);
        putBe(ip, 20, srcPort, 2);
        putBe(ip, 22, dstPort, 2);
        putBe(ip, 24, quint32(8 + p.data.size()), 2);
        const QByteArray frame = ip + p.data;
        out << quint32(p.arrivalMs / 1000) << quint32((p.arrivalMs % 1000) * 1000)
            << quint32(frame.size()) << quint32(frame.size());
        out.writeRawData(frame.constData(), frame.size());
    }
    return true;
}

QList<QByteArray> readPcapUdpPayloads(const QString &path)
{
    QList<QByteArray> result;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return result;
    const QByteArray all = f.readAll();
    if (all.size() < 24)
        return result;
    const bool swapped = qFromLittleEndian<quint32>(all.constData()) != 0xa1b2c3d4;
    auto u32 = [&](int at) {
        return swapped ? qFromBigEndian<quint32>(all.constData() + at)
                       : qFromLittleEndian<quint32>(all.constData() + at);
    };
    const quint32 link = u32(20);
    const int linkHeader = link == 1 ? 14 : link == 113 ? 16 : link == 101 ? 0 : -1;
    if (linkHeader < 0)
        return result;
    int at = 24;
    while (at + 16 <= all.size()) {
        const int caught = int(u32(at + 8));
        at += 16;
        if (caught < 0 || at + caught > all.size())
            break;
        const QByteArray frame = all.mid(at, caught);
        at += caught;
        if (frame.size() < linkHeader + 28)
            continue;
        const int ipLen = (uchar(frame[linkHeader]) & 0x0F) * 4;
        if (uchar(frame[linkHeader + 9]) != 17)
            continue;
        result.append(frame.mid(linkHeader + ipLen + 8));
    }
    return result;
}

double toneSnr(const QByteArray &pcm16, double frequency)
{
    const int n = pcm16.size() / 2;
    if (n < 160)
        return -100;
    const auto *s = reinterpret_cast<const qint16 *>(pcm16.constData());
    // Least squares fit of a*sin + b*cos + c; the residual is the noise.
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0, y = 0;
    for (int i = 0; i < n; ++i) {
        const double w = 2 * M_PI * frequency * i / 8000.0;
        const double si = std::sin(w), ci = std::cos(w);
        ss += si * si;
        cc += ci * ci;
        sc += si * ci;
        ys += s[i] * si;
        yc += s[i] * ci;
        y += s[i];
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    const double mean = y / n;
    double signal = 0, noise = 0;
    for (int i = 0; i < n; ++i) {
        const double w = 2 * M_PI * frequency * i / 8000.0;
        const double fit = a * std::sin(w) + b * std::cos(w);
        signal += fit * fit;
        const double e = s[i] - mean - fit;
        noise += e * e;
    }
    return 10 * std::log10(signal / std::max(noise, 1e-9));
}
