#include "sip/stunmessage.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr int kHeaderSize = 20;
constexpr quint16 kBindingRequest = 0x0001;
constexpr quint16 kBindingSuccess = 0x0101;
constexpr quint16 kMappedAddress = 0x0001;
constexpr quint16 kChangeRequest = 0x0003;
constexpr quint16 kXorMappedAddress = 0x0020;
constexpr quint8 kFamilyIPv4 = 1;

} // namespace

void stunBindingRequest(uchar *buffer, const uchar *transactionId)
{
    std::memset(buffer, 0, StunRequestSize);
    qToBigEndian<quint16>(kBindingRequest, buffer);
    qToBigEndian<quint16>(StunRequestSize - kHeaderSize, buffer + 2);
    qToBigEndian<quint32>(StunMagicCookie, buffer + 4);
    if (transactionId)
        std::memcpy(buffer + 8, transactionId, StunTransactionIdSize);
    qToBigEndian<quint16>(kChangeRequest, buffer + 20);
    qToBigEndian<quint16>(4, buffer + 22);
}

StunAnswer stunParseResponse(const uchar *bytes, int length)
{
    StunAnswer answer;
    if (!bytes || length < kHeaderSize)
        return answer;
    if (qFromBigEndian<quint16>(bytes) != kBindingSuccess
        || qFromBigEndian<quint32>(bytes + 4) != StunMagicCookie)
        return answer;
    answer.valid = true;
    answer.transactionId
        = QByteArray(reinterpret_cast<const char *>(bytes) + 8, StunTransactionIdSize);

    const int end = qMin(length, kHeaderSize + int(qFromBigEndian<quint16>(bytes + 2)));
    quint32 mapped = 0;
    for (int at = kHeaderSize; at + 4 <= end;) {
        const quint16 type = qFromBigEndian<quint16>(bytes + at);
        const int size = qFromBigEndian<quint16>(bytes + at + 2);
        const uchar *value = bytes + at + 4;
        const bool address = type == kMappedAddress || type == kXorMappedAddress;
        if (address && size == 8 && at + 4 + size <= end && value[1] == kFamilyIPv4) {
            const quint32 ip = qFromBigEndian<quint32>(value + 4);
            if (type == kXorMappedAddress && (ip ^ StunMagicCookie) != 0) {
                answer.address = ip ^ StunMagicCookie;
                return answer;
            }
            if (type == kMappedAddress && mapped == 0)
                mapped = ip;
        }
        at += 4 + ((size + 3) & ~3);
    }
    answer.address = mapped;
    return answer;
}
