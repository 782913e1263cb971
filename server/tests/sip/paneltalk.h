#pragma once

// A phone's RTP socket and a simulated panel talking through a call's conversation, as the
// suites of both modes check a door call's media.

#include "velkpanel.h"

#include <QByteArray>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>

// A frame the panel heard that is a steady loud signal, as a phone's or another panel's voice
// in these suites.
inline bool loud(const VelkPanel::AudioIn &in)
{
    return !in.payload.isEmpty() && in.payload.count(in.payload.at(0)) == in.payload.size()
        && qAbs(uchar(in.payload.at(0)) - 0x80) > 0x40;
}

// Audio both ways between the phone's socket and the panel through the conversation's port
// that sdp names: the panel's voice reaches the phone, and the phone's loud one the panel.
inline bool talk(QUdpSocket &phone, const QByteArray &sdp, VelkPanel &panel)
{
    const quint16 port
        = QRegularExpression("m=audio (\\d+)").match(QString::fromUtf8(sdp)).captured(1).toUShort();
    QByteArray rtp(172, char(0x2a));
    rtp[1] = char(8); // PCMA
    quint16 sequence = 0;
    bool heard = false;
    return port != 0 && panel.startAudio(QByteArray(1600, char(0x90)))
        && QTest::qWaitFor(
               [&] {
                   rtp[0] = char(0x80);
                   qToBigEndian(++sequence, rtp.data() + 2);
                   phone.writeDatagram(rtp, QHostAddress::LocalHost, port);
                   while (phone.hasPendingDatagrams())
                       heard |= phone.receiveDatagram().data().size() > 12;
                   return heard
                       && std::any_of(panel.audioReceived().cbegin(), panel.audioReceived().cend(),
                                      loud);
               },
               10000);
}
