#pragma once

#include <QByteArray>
#include <QtGlobal>

// STUN Binding messages (RFC 5389) as the external-address client sends and reads them.
constexpr int StunRequestSize = 28;
constexpr int StunTransactionIdSize = 12;
constexpr quint32 StunMagicCookie = 0x2112A442;

// A Binding request with a CHANGE-REQUEST asking for no change, into buffer (28 bytes). Without
// an id the transaction id bytes stay 0.
void stunBindingRequest(uchar *buffer, const uchar *transactionId = nullptr);

struct StunAnswer
{
    // A Binding success response (type and magic cookie).
    bool valid = false;
    // The mapped IPv4 address; 0 when the response carries none that is usable.
    quint32 address = 0;
    // The transaction id the response answers.
    QByteArray transactionId;
};

// Reads a Binding success response of length bytes. XOR-MAPPED-ADDRESS is preferred over
// MAPPED-ADDRESS, whose payload address translators are known to rewrite. Every read stays
// inside both the datagram and the length the message announces.
StunAnswer stunParseResponse(const uchar *bytes, int length);
