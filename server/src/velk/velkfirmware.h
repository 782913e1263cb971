#pragma once

#include <QByteArray>
#include <QString>

// The firmware images compiled into the service, one per family of panel hardware, and what the
// upload needs of them: their size, their 256-byte blocks and their version in the last two bytes.
namespace VelkFirmware {

constexpr int kBlockSize = 256;

// Resource of the hardware type's image; empty for types without one.
QString resourcePath(quint8 hardwareType);
// Size an image of the hardware type must have; 0 for types without one.
int imageSize(quint8 hardwareType);
// Number of the image's last block; -1 for types without an image.
int lastBlock(quint8 hardwareType);
// The image read whole; empty when the type has none or the resource cannot be read.
QByteArray image(quint8 hardwareType);
// True for a placeholder compiled in for want of the real image: it must never reach a panel.
bool isPlaceholder(const QByteArray &image, quint8 hardwareType);
// Major × 256 + minor of an image of the type's size; 0 for any other image.
int versionCode(const QByteArray &image, quint8 hardwareType);
QString versionText(int code);
// Block n of the image: its bytes n × 256 to n × 256 + 255.
QByteArray block(const QByteArray &image, int number);

} // namespace VelkFirmware
