#include "core/identifiers.h"

#include <QHostAddress>

#include <sys/random.h>

#include <cerrno>
#include <fstream>

const QString CORVANE_REALM = QStringLiteral("corvane");
const QString BRANCH_COOKIE = QStringLiteral("z9hG4bK");

namespace {

const int kFrequencies[6] = { 160, 480, 960, 8000, 24000, 48000 };

void fillRandom(unsigned char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = getrandom(buffer + done, length - done, 0);
        if (got > 0) {
            done += size_t(got);
        } else if (got < 0 && errno != EINTR) {
            // No getrandom (very old kernel): the device node serves the same pool.
            std::ifstream urandom("/dev/urandom", std::ios::binary);
            urandom.read(reinterpret_cast<char *>(buffer + done), std::streamsize(length - done));
            return;
        }
    }
}

} // namespace

QString randomHexId()
{
    unsigned char bytes[16];
    fillRandom(bytes, sizeof bytes);
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex());
}

QString newBranch()
{
    return QStringLiteral("%1%2").arg(BRANCH_COOKIE, randomHexId());
}

QByteArray randomBinaryId()
{
    QByteArray bytes(12, '\0');
    fillRandom(reinterpret_cast<unsigned char *>(bytes.data()), size_t(bytes.size()));
    return bytes;
}

QString realmOr(const QString &fallback)
{
    return CORVANE_REALM.isEmpty() ? fallback : CORVANE_REALM;
}

QString realmForAddress(const QHostAddress &address)
{
    return realmOr(address.toString());
}

quint32 fourCc(const QString &text)
{
    const QByteArray bytes = text.left(4).toLatin1();
    quint32 value = 0;
    for (int i = 0; i < bytes.size(); ++i)
        value |= quint32(quint8(bytes.at(i))) << (8 * i);
    return value;
}

QString dtmfKeyName(int key)
{
    switch (key) {
    case 10:
        return QStringLiteral("0");
    case 11:
        return QStringLiteral("*");
    case 12:
        return QStringLiteral("#");
    default:
        return QString::number(key);
    }
}

int frameSamplesForFrequency(const int &type)
{
    return (type >= 0 && type <= 2) ? kFrequencies[type] : 0;
}

int sampleRateForFrequency(const int &type)
{
    return (type >= 0 && type <= 2) ? kFrequencies[type + 3] : 0;
}
