// The enabled-codec list of AudioCodec.
#include "common/codecs/audiocodec.h"

#include <QReadWriteLock>

namespace {

struct CodecTableEntry
{
    AudioCodec::Type type;
    quint8 payload;
};

const CodecTableEntry CODEC_TABLE[] = {
    { AudioCodec::PCMA, 8 },
    { AudioCodec::PCMU, 0 },
    { AudioCodec::GSM, 3 },
    { AudioCodec::G722, 9 },
    { AudioCodec::TelephoneEvent, 101 },
};

const quint8 NO_PAYLOAD = 255;

// The web side may set the list while SDP code and media threads read it: every reader
// copies the whole list under the lock (the copy is a reference count, not a deep copy).
struct EnabledCodecs
{
    QReadWriteLock lock;
    QList<AudioCodec::Type> list;
};

EnabledCodecs &enabled()
{
    static EnabledCodecs codecs;
    return codecs;
}

int typeOfPayload(quint8 payload)
{
    for (const CodecTableEntry &entry : CODEC_TABLE) {
        if (entry.payload == payload)
            return entry.type;
    }
    return -1;
}

quint8 payloadOfType(AudioCodec::Type type)
{
    for (const CodecTableEntry &entry : CODEC_TABLE) {
        if (entry.type == type)
            return entry.payload;
    }
    return NO_PAYLOAD;
}

QList<AudioCodec::Type> buildList(const QStringList &payloadNumbers)
{
    QList<AudioCodec::Type> list;
    if (payloadNumbers.isEmpty())
        list << AudioCodec::PCMA << AudioCodec::PCMU << AudioCodec::G722 << AudioCodec::GSM;
    for (const QString &text : payloadNumbers) {
        // Not a number counts as 0 (PCMU), as the settings have always been read.
        const quint8 payload = quint8(text.toLongLong() & 0xFF);
        if (payload == NO_PAYLOAD)
            continue;
        const int type = typeOfPayload(payload);
        if (type < 0 || list.contains(AudioCodec::Type(type)))
            continue;
        list.append(AudioCodec::Type(type));
    }
    if (!list.contains(AudioCodec::TelephoneEvent))
        list.append(AudioCodec::TelephoneEvent);
    return list;
}

} // namespace

QList<AudioCodec::Type> AudioCodec::setCodecs(const QStringList &payloadNumbers)
{
    const QList<Type> list = buildList(payloadNumbers);
    QWriteLocker locker(&enabled().lock);
    enabled().list = list;
    return list;
}

QList<AudioCodec::Type> AudioCodec::codecs()
{
    QReadLocker locker(&enabled().lock);
    return enabled().list;
}

bool AudioCodec::isEnabled(quint8 payload)
{
    if (payload == NO_PAYLOAD)
        return false;
    const int type = typeOfPayload(payload);
    return type >= 0 && codecs().contains(Type(type));
}

int AudioCodec::codecAt(int index)
{
    const QList<Type> list = codecs();
    return index >= 0 && index < list.size() ? list.at(index) : -1;
}

QString AudioCodec::payloadListSip()
{
    QStringList numbers;
    for (Type type : codecs())
        numbers << QString::number(payloadOfType(type));
    return numbers.join(QLatin1Char(' '));
}

QString AudioCodec::payloadList()
{
    return payloadListSip();
}
