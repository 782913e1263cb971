// A door device's reports: registration, device information, outputs it lost, its events.
#include "common/sound/sound_wav/soundwav.h"
#include "core/env.h"
#include "core/identifiers.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

int bit(quint8 byte, int n)
{
    return (byte >> n) & 1;
}

// Contact type other than 0: the device reports the contact the other way round.
quint8 swapped(quint8 event, bool swap)
{
    if (!swap || (event != 1 && event != 2))
        return event;
    return event == 1 ? 2 : 1;
}

} // namespace

bool VelkDevice::checkReport(const QHostAddress &sender, quint16 senderPort,
                             const VelkProtocol::PanelReport &report)
{
    // Nothing of a refused report may touch the device: a stranger must not move its codec,
    // its address or its registration.
    if (report.head.password != Settings::passwordWord(this))
        return false;

    const quint8 bits = report.stateBits;
    QString trace = QStringLiteral("Device '%1' state: Call=%2, Microphone=%3, Speaker=%4, "
                                   "Relay1=%5, Relay2=%6, Relay3=%7, Sensor1=%8, Sensor2=%9, ")
                        .arg(m_Number)
                        .arg(bit(bits, 0))
                        .arg(bit(bits, 1))
                        .arg(bit(bits, 2))
                        .arg(bit(bits, 3))
                        .arg(bit(bits, 4))
                        .arg(bit(bits, 5))
                        .arg(bit(bits, 6))
                        .arg(bit(bits, 7));
    logLine(LogParams::VelkDebug,
            trace + QStringLiteral("Button=%1").arg(bit(report.buttonAndCodec, 0)));

    m_DeviceAddress = sender;
    m_DevicePort = senderPort;
    m_HardwareType = quint8(report.hardwareBytes.at(0));
    m_FirmwareMajor = quint8(report.hardwareBytes.at(1));
    m_FirmwareMinor = quint8(report.hardwareBytes.at(2));
    m_HardwareByte16 = quint8(report.hardwareBytes.at(3));
    m_ProtocolVersion = report.head.version;
    m_Codec = uchar(report.codec());
    emit setCodec(m_Codec);
    m_ReportedCall = bit(bits, 0);
    m_ReportedSpeaker = bit(bits, 2);
    m_SensorActive[0] = bit(bits, 6);
    m_SensorActive[1] = bit(bits, 7);

    saveDeviceInformation(report);

    if (m_State < 0) {
        if (Settings::boolValue(this, Key::Music)) {
            m_MusicSound = createMusicSound();
            if (m_MusicSound >= 0)
                SoundWAV::loadSound(m_MusicSound);
        }
        if (Settings::intValue(this, Key::Sensor1PressEvent, 0) == 4)
            createSensorMessage(1);
        if (Settings::intValue(this, Key::Sensor2PressEvent, 0) == 4)
            createSensorMessage(2);
        changeState(Ready);
        return true;
    }

    logLine(LogParams::Velk, QStringLiteral("Device '%1' confirmed register").arg(objectName()));
    firmwareReport(report.inBootloader());
    m_RegisterTimer.start(TimeScale::toRealInt(registerPeriodMs()));
    emit isRegisteredChanged(m_Number, true, QString());
    reassertOutputs(m_ReportedCall, m_ReportedSpeaker);
    return true;
}

void VelkDevice::saveDeviceInformation(const VelkProtocol::PanelReport &report)
{
    QMap<QString, QString> changes;
    if (Settings::ucharValue(this, Key::InfoVersion) != report.head.version)
        changes.insert(Settings::keyName(Key::InfoVersion), QString::number(report.head.version));
    if (Settings::ucharValue(this, Key::InfoHardware) != m_HardwareType)
        changes.insert(Settings::keyName(Key::InfoHardware), QString::number(m_HardwareType));
    const QString firmware = QStringLiteral("%1.%2").arg(m_FirmwareMajor).arg(m_FirmwareMinor);
    if (Settings::stringValue(this, Key::InfoFirmware) != firmware)
        changes.insert(Settings::keyName(Key::InfoFirmware), firmware);
    if (auto *velk = qobject_cast<Velk *>(parent()); velk && !changes.isEmpty())
        velk->saveDevice(m_Number, changes, true, true);
}

void VelkDevice::reassertOutputs(bool reportedCall, bool reportedSpeaker)
{
    const quint8 speaker = (m_IncomingFlags & Wiretap) ? 255 : 1;
    if (m_State >= IncomingCallRequire && !reportedCall) {
        switch (m_State) {
        case IncomingCallRequire:
        case IncomingCallWaitAnswer:
            setOutputs(1, speaker, 255);
            break;
        case IncomingCall:
            setOutputs(1, speaker, 1);
            break;
        case OutgoingCallRequire:
            setOutputs(1, 1, 255);
            break;
        case OutgoingCall:
            setOutputs(1, 1, 1);
            break;
        default:
            break;
        }
        return;
    }
    if ((m_State != Ready && m_State != Waiting) || (reportedCall && reportedSpeaker))
        return;
    for (int sensor : { 1, 2 }) {
        const int pressEvent = Settings::intValue(
            this, sensor == 1 ? Key::Sensor1PressEvent : Key::Sensor2PressEvent, 0);
        if (m_SensorActive[sensor - 1] && pressEvent == 4 && m_Sensor[sensor - 1].sound >= 0) {
            playSensorMessage(sensor);
            return;
        }
    }
    if (m_State == Ready) {
        if (Settings::boolValue(this, Key::Music) && m_MusicSound > 0)
            playMusic(true, false);
    } else {
        setOutputs(1, 1, 255);
    }
}

void VelkDevice::logEvent(const QString &what, const QString &dest, QSmdrAction::Type action)
{
    logLine(LogParams::VelkDebug, QStringLiteral("Device '%1' %2").arg(m_Number).arg(what));
    emit smdrLog(QDateTime::currentDateTime(), QString::number(m_Number), dest, 0, action,
                 QString());
}

void VelkDevice::checkEvents(quint8 power, quint8 button, quint8 sensor1, quint8 sensor2,
                             quint8 stateBits)
{
    // Events are taken in the order they came: what waits for its pause is done first.
    runPausedStep();
    button = swapped(button, Settings::intValue(this, Key::ButtonContactType) != 0);
    sensor1 = swapped(sensor1, Settings::intValue(this, Key::Sensor1ContactType) != 0);
    sensor2 = swapped(sensor2, Settings::intValue(this, Key::Sensor2ContactType) != 0);
    m_SensorActive[0] = bit(stateBits, 6);
    m_SensorActive[1] = bit(stateBits, 7);
    if (m_HardwareType == 1 || m_HardwareType == 3) { // no sensor inputs
        sensor1 = sensor2 = 0;
        m_SensorActive[0] = m_SensorActive[1] = false;
    }

    if (power == 1)
        logEvent(QStringLiteral("power 'ON'"), QStringLiteral("1"), QSmdrAction::PWR);
    const bool keypad = m_HardwareType == 5 || m_HardwareType == 6;
    if (keypad && button != 0) {
        const QString key = dtmfKeyName(button);
        logEvent(QStringLiteral("button '%1'").arg(key), key, QSmdrAction::BTO);
    } else if (!keypad && button == 1) {
        logEvent(QStringLiteral("button 'DOWN'"), QStringLiteral("1"), QSmdrAction::BTO);
    } else if (!keypad && button == 2) {
        logEvent(QStringLiteral("button 'UP'"), QStringLiteral("0"), QSmdrAction::BTC);
    }
    const struct
    {
        quint8 event;
        const char *name;
        QSmdrAction::Type down, up;
    } sensors[] = { { sensor1, "sensor1", QSmdrAction::S1O, QSmdrAction::S1C },
                    { sensor2, "sensor2", QSmdrAction::S2O, QSmdrAction::S2C } };
    for (const auto &sensor : sensors) {
        if (sensor.event == 1)
            logEvent(QStringLiteral("%1 'DOWN'").arg(QLatin1String(sensor.name)),
                     QStringLiteral("1"), sensor.down);
        else if (sensor.event == 2)
            logEvent(QStringLiteral("%1 'UP'").arg(QLatin1String(sensor.name)), QStringLiteral("0"),
                     sensor.up);
    }
    const bool keyEvent = keypad ? button != 0 : button == 1;
    actOnEvents(keyEvent, button, sensor1 == 1, sensor2 == 1);
}
