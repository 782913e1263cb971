#pragma once

#include <QByteArray>

// The fixed part of an RTP packet (RFC 3550) and where its payload lies. Parsing checks every
// offset against the datagram's length, so a short or lying packet never reads past its end.
struct RtpHeader
{
    static const int MinimumLength = 12;

    bool marker = false;
    quint8 payloadType = 0;
    quint16 sequence = 0;
    quint32 timestamp = 0;
    quint32 ssrc = 0;
    int payloadOffset = 0;
    int payloadLength = 0;

    // False for datagrams under 12 bytes, or whose CSRC list, header extension or padding
    // runs past the datagram.
    static bool parse(const QByteArray &datagram, RtpHeader *header);

    // Version 2, no padding, extension or CSRC; the SSRC bytes are written as given.
    static QByteArray build(bool marker, quint8 payloadType, quint16 sequence, quint32 timestamp,
                            const char ssrc[4], const QByteArray &payload);
};
