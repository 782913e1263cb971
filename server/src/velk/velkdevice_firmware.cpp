// A door device's firmware upload: bootloader on, every block written, every block read back and
// compared, bootloader off. Driven by the answers to its own requests and by the device's reports.
#include "core/env.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkfirmware.h"
#include "velk/velkpacket.h"

VelkDevice::FirmwareStart VelkDevice::startFirmwareUpdate()
{
    if (!isRegistered())
        return { false, QStringLiteral("Device '%1' is not registered").arg(objectName()),
                 NotRegistered };
    if (m_Update.running)
        return { false, QStringLiteral("Device '%1' is being updated").arg(objectName()),
                 AlreadyUpdating };
    // A missing or cut image would write empty or partial blocks into a door.
    const QByteArray image = firmwareImage();
    const int size = VelkFirmware::imageSize(m_HardwareType);
    if (size == 0 || image.size() != size) {
        const QString error
            = QStringLiteral("Device '%1' has no firmware image for hardware type %2")
                  .arg(objectName())
                  .arg(m_HardwareType);
        logLine(LogParams::Velk, error);
        return { false, error, NoFirmwareImage };
    }
    // Written and read back alike, a placeholder would pass the check and leave the panel
    // with no firmware to start.
    const auto *velk = qobject_cast<const Velk *>(parent());
    if (VelkFirmware::isPlaceholder(image, m_HardwareType)
        && !(velk && velk->placeholderFirmwareAllowed())) {
        const QString error
            = QStringLiteral("Device '%1' firmware update refused: this build holds a "
                             "placeholder image for hardware type %2, not panel firmware "
                             "(build with -DTARNHALL_FIRMWARE_DIR)")
                  .arg(objectName())
                  .arg(m_HardwareType);
        logLine(LogParams::Warning, error);
        return { false, error, PlaceholderImage };
    }
    clearFirmwareUpdate();
    m_Update.running = true;
    m_Update.phase = UpdateBootloaderOn;
    m_Update.image = image;
    m_Update.lastBlock = VelkFirmware::lastBlock(m_HardwareType);
    logLine(LogParams::Velk,
            QStringLiteral("Device '%1' firmware update to %2 started")
                .arg(objectName(),
                     VelkFirmware::versionText(VelkFirmware::versionCode(image, m_HardwareType))));
    sendUpdateRequest(sendBootloader(1), &VelkDevice::recvAnswerBootloaderOn);
    return { true, QString(), NotRefused };
}

int VelkDevice::firmwareProgress() const
{
    const int lastBlock = VelkFirmware::lastBlock(m_HardwareType);
    if (lastBlock < 0)
        return int(m_Update.steps / 0.01);
    return int(m_Update.steps / ((2 * lastBlock + 3) / 100.0));
}

QByteArray VelkDevice::firmwareImage() const
{
    return VelkFirmware::image(m_HardwareType);
}

int VelkDevice::firmwareFileVersionCode() const
{
    return VelkFirmware::versionCode(firmwareImage(), m_HardwareType);
}

QString VelkDevice::firmwareFileVersion() const
{
    return VelkFirmware::versionText(firmwareFileVersionCode());
}

VelkPacket *VelkDevice::sendBootloader(quint8 value)
{
    return newRequest(VelkProtocol::makeBootloader(nextAddressee(), value == 1));
}

VelkPacket *VelkDevice::sendReadBlock(quint8 block)
{
    return newRequest(VelkProtocol::makeReadBlock(nextAddressee(), block));
}

VelkPacket *VelkDevice::sendWriteBlock(quint8 block, const QByteArray &data)
{
    return newRequest(VelkProtocol::makeWriteBlock(nextAddressee(), block, data));
}

void VelkDevice::sendUpdateRequest(VelkPacket *packet,
                                   void (VelkDevice::*slot)(int, QByteArray, QByteArray))
{
    m_Update.request = packet->datagram();
    connect(packet, &VelkPacket::recvAnswer, this, slot);
    packet->send();
}

bool VelkDevice::isUpdateAnswer(int phase, const QByteArray &cmd) const
{
    // Only the answer to the request the update waits for: a late answer after an abort or a
    // time-out, or one of an earlier update, must not write anything.
    return m_Update.running && m_Update.phase == phase && cmd == m_Update.request;
}

void VelkDevice::writeBlock(int block)
{
    sendUpdateRequest(sendWriteBlock(quint8(block), VelkFirmware::block(m_Update.image, block)),
                      &VelkDevice::recvAnswerBootloaderUpload);
}

void VelkDevice::readBlock(int block)
{
    sendUpdateRequest(sendReadBlock(quint8(block)), &VelkDevice::recvAnswerBootloaderDownload);
}

void VelkDevice::firmwareReport(bool inBootloader)
{
    if (!m_Update.running)
        return;
    if (m_Update.phase == UpdateBootloaderOff) {
        logLine(LogParams::Velk,
                QStringLiteral("Device '%1' firmware update finished").arg(objectName()));
        const int steps = m_Update.steps; // the progress stays at its end
        clearFirmwareUpdate();
        m_Update.steps = steps;
    } else if (m_Update.phase == UpdateWaitBootloader && inBootloader) {
        // Later bootloader reports find the writes running and start no second chain.
        m_Update.phase = UpdateWriting;
        writeBlock(0);
    }
}

void VelkDevice::recvAnswerBootloaderOn(int result, QByteArray cmd, QByteArray)
{
    if (!isUpdateAnswer(UpdateBootloaderOn, cmd))
        return;
    if (result != 0) {
        clearFirmwareUpdate();
        return;
    }
    ++m_Update.steps;
    m_Update.phase = UpdateWaitBootloader;
    m_Update.request.clear();
}

void VelkDevice::recvAnswerBootloaderUpload(int result, QByteArray cmd, QByteArray)
{
    if (!isUpdateAnswer(UpdateWriting, cmd))
        return;
    if (result != 0) {
        clearFirmwareUpdate();
        return;
    }
    ++m_Update.steps;
    const int block = quint8(cmd.at(VelkProtocol::kRequestDataOffset));
    if (block < m_Update.lastBlock) {
        writeBlock(block + 1);
    } else {
        m_Update.phase = UpdateReading;
        readBlock(0);
    }
}

void VelkDevice::recvAnswerBootloaderDownload(int result, QByteArray cmd, QByteArray answer)
{
    if (!isUpdateAnswer(UpdateReading, cmd))
        return;
    if (result != 0) {
        clearFirmwareUpdate();
        return;
    }
    ++m_Update.steps;
    const int block = quint8(cmd.at(VelkProtocol::kRequestDataOffset));
    const VelkProtocol::AnswerReading reading = VelkProtocol::readAnswer(answer);
    if (!reading.ok || reading.answer.blockNumber != block) {
        logLine(LogParams::Velk,
                QStringLiteral("Device '%1' firmware update stopped: read-back of block %2: %3")
                    .arg(objectName())
                    .arg(block)
                    .arg(reading.ok ? QStringLiteral("the answer carries block %1")
                                          .arg(reading.answer.blockNumber)
                                    : reading.error));
        clearFirmwareUpdate();
        return;
    }
    // A block that differs leaves the device in its bootloader, ready for a new attempt.
    if (reading.answer.block != VelkFirmware::block(m_Update.image, block)) {
        clearFirmwareUpdate();
        return;
    }
    if (block < m_Update.lastBlock) {
        readBlock(block + 1);
        return;
    }
    sendBootloader(0)->send();
    m_Update.phase = UpdateBootloaderOff;
    m_Update.request.clear();
}
