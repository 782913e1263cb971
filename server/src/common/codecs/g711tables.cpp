#include "common/codecs/g711tables.h"

#include "common/codecs/g711.h"

namespace {

G711Tables makeTables()
{
    G711Tables t;
    for (int i = 0; i < 8192; ++i)
        t.alawBySample[i] = alawEncode(qint16((i - 4096) * 8));
    for (int i = 0; i < 16384; ++i)
        t.ulawBySample[i] = ulawEncode(qint16((i - 8192) * 4));
    for (int i = 0; i < 256; ++i) {
        const quint8 b = quint8(i);
        t.alawToSample[i] = alawDecode(b);
        t.ulawToSample[i] = ulawDecode(b);
        t.alawByPcm8[i] = alawEncode8(b);
        t.ulawByPcm8[i] = ulawEncode8(b);
        t.alawToPcm8[i] = alawDecode8(b);
        t.ulawToPcm8[i] = ulawDecode8(b);
    }
    return t;
}

} // namespace

const G711Tables &g711Tables()
{
    static const G711Tables tables = makeTables();
    return tables;
}
