#pragma once

#include <QList>
#include <QString>

class Velk;
class VelkDevice;

// A door-device number as a form or query gives it: decimal digits only, 0..65534 (65535 is
// the number of "no device"). The canonical text is what is looked up and stored.
bool parseDeviceNumber(const QString &text, quint16 *number);

// The devices of the module in ascending number.
QList<VelkDevice *> devicesInOrder(const Velk *velk);

// The state icon of a device and the note beside it (the upload progress while one runs).
QString deviceIcon(const VelkDevice *device);
QString deviceNote(const VelkDevice *device);
// "7 (sip: 101,102)", or the bare number without accounts.
QString deviceLabel(const VelkDevice *device);
