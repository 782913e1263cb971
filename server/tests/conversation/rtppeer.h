#pragma once

#include "../toolkit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QUdpSocket>

// A far end on loopback: sends RTP the way a phone would and keeps what the conversation
// sends back, with arrival times.
class RtpPeer : public QObject
{
    Q_OBJECT
public:
    struct Packet
    {
        QByteArray data;
        qint64 arrivalMs;
    };

    RtpPeer();

    quint16 port() const { return m_Socket.localPort(); }
    void sendTo(quint16 port, const QByteArray &datagram);
    // One RTP packet with the given fields; the SSRC is fixed per peer.
    void sendRtp(quint16 port, quint8 payloadType, quint16 sequence, quint32 timestamp,
                 const QByteArray &payload, bool marker = false, quint32 ssrc = 0x11223344);

    QList<Packet> packets;
    // The payloads of the packets received, concatenated.
    QByteArray payloads() const;

private slots:
    void read();

private:
    QUdpSocket m_Socket;
    QElapsedTimer m_Clock;
};

// Writes what a peer received as a pcap file (synthetic IPv4/UDP around each datagram) so that
// tshark can dissect it as RTP.
bool writePcap(const QString &path, const QList<RtpPeer::Packet> &packets, quint16 srcPort,
               quint16 dstPort);

// The UDP payloads of every packet in a pcap file (Ethernet or Linux cooked capture).
QList<QByteArray> readPcapUdpPayloads(const QString &path);

// Signal-to-noise ratio in dB of 16-bit little-endian samples against the best-fitting
// sine of the given frequency at 8000 Hz.
double toneSnr(const QByteArray &pcm16, double frequency);
