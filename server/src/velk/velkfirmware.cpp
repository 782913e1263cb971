#include "velk/velkfirmware.h"

#include <QFile>
#include <QFileInfo>

static void initFirmwareResources()
{
    // The images live in a static library, whose resources the linker keeps only when named.
    Q_INIT_RESOURCE(firmware);
}

namespace VelkFirmware {

namespace {

struct Family
{
    quint8 firstType;
    quint8 lastType;
    const char *resource;
    int size;
};

const Family kFamilies[] = {
    { 1, 2, ":/firmware/tarnhall_1_2.bin", 32768 },
    { 3, 4, ":/firmware/tarnhall_3_4.bin", 65536 },
    { 5, 6, ":/firmware/tarnhall_5_6.bin", 65536 },
    { 7, 7, ":/firmware/tarnhall_7.bin", 65536 },
};

const Family *familyOf(quint8 hardwareType)
{
    for (const Family &family : kFamilies) {
        if (hardwareType >= family.firstType && hardwareType <= family.lastType)
            return &family;
    }
    return nullptr;
}

} // namespace

QString resourcePath(quint8 hardwareType)
{
    const Family *family = familyOf(hardwareType);
    return family ? QLatin1String(family->resource) : QString();
}

int imageSize(quint8 hardwareType)
{
    const Family *family = familyOf(hardwareType);
    return family ? family->size : 0;
}

int lastBlock(quint8 hardwareType)
{
    return imageSize(hardwareType) / kBlockSize - 1;
}

QByteArray image(quint8 hardwareType)
{
    const QString path = resourcePath(hardwareType);
    if (path.isEmpty())
        return {};
    initFirmwareResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool isPlaceholder(const QByteArray &image, quint8 hardwareType)
{
    // The text server/cmake/FirmwarePlaceholder.cmake begins each placeholder with.
    const QString path = resourcePath(hardwareType);
    return !path.isEmpty()
        && image.startsWith(QFileInfo(path).completeBaseName().toLatin1()
                            + " placeholder, not door-panel firmware, block 0\n");
}

int versionCode(const QByteArray &image, quint8 hardwareType)
{
    const int size = imageSize(hardwareType);
    if (size == 0 || image.size() != size)
        return 0;
    return quint8(image.at(size - 2)) * 256 + quint8(image.at(size - 1));
}

QString versionText(int code)
{
    return QStringLiteral("%1.%2").arg((code >> 8) & 0xff).arg(code & 0xff);
}

QByteArray block(const QByteArray &image, int number)
{
    return number < 0 ? QByteArray() : image.mid(number * kBlockSize, kBlockSize);
}

} // namespace VelkFirmware
