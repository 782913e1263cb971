#include "common/codecs/reversebits.h"

namespace {
const quint8 NIBBLE_REVERSED[16] = { 0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15 };
}

QByteArray reverseBits(const QByteArray &data, int count)
{
    if (data.isEmpty() || count < -1 || count > data.size())
        return QByteArray();
    const int n = count == -1 ? data.size() : count;
    QByteArray result(data.size(), '\0');
    for (int i = 0; i < n; ++i) {
        const quint8 b = quint8(data.at(i));
        result[i] = char(NIBBLE_REVERSED[b >> 4] | NIBBLE_REVERSED[b & 15] << 4);
    }
    return result;
}
