#include "http/pages/velkrows.h"

#include "velk/velk.h"
#include "velk/velkdevice.h"

#include <algorithm>

bool parseDeviceNumber(const QString &text, quint16 *number)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    uint value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + uint(c.unicode() - '0');
    }
    if (value > 65534)
        return false;
    *number = quint16(value);
    return true;
}

QList<VelkDevice *> devicesInOrder(const Velk *velk)
{
    QList<VelkDevice *> devices;
    if (!velk)
        return devices;
    for (VelkDevice *device :
         velk->findChildren<VelkDevice *>(QString(), Qt::FindDirectChildrenOnly)) {
        // A removed device leaves the table at once, before it is deleted.
        if (!device->objectName().isEmpty())
            devices << device;
    }
    std::sort(devices.begin(), devices.end(),
              [](const VelkDevice *a, const VelkDevice *b) { return a->number() < b->number(); });
    return devices;
}

QString deviceIcon(const VelkDevice *device)
{
    if (!device->isRegistered())
        return QStringLiteral("status_gray");
    if (device->isFirmwareUpdating())
        return QStringLiteral("status_purple");
    // Status 3 and above: the device answers from its boot loader (firmware 0.0).
    if (device->status() >= 3)
        return QStringLiteral("status_red");
    return device->isBusy() ? QStringLiteral("status_yellow") : QStringLiteral("status_green");
}

QString deviceNote(const VelkDevice *device)
{
    if (device->isRegistered() && device->isFirmwareUpdating())
        return QStringLiteral("<br>%1 %").arg(device->firmwareProgress());
    return QString();
}

QString deviceLabel(const VelkDevice *device)
{
    const QString accounts = device->accounts();
    return accounts.isEmpty() ? QString::number(device->number())
                              : QStringLiteral("%1 (sip: %2)").arg(device->number()).arg(accounts);
}
