// The device table of the door-device module and the stores of "velk-devices" and "velk".
#include "core/env.h"
#include "core/modulehost.h"
#include "core/settingsfile.h"
#include "core/settingstext.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velksipservices.h"

using Settings = VelkDeviceSettings;
namespace Key = VelkDeviceKey;

namespace {

// The number a group name or form field names; false for anything but a decimal u16.
bool deviceNumber(const QString &text, quint16 *number)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 0xffff)
        return false;
    *number = quint16(value);
    return true;
}

// Keys a whole form stores as false when they are missing: unticked check boxes.
const int kCheckBoxes[]
    = { Key::Relay1Emergency, Key::EchoEnable, Key::NoiseEnable, Key::DpmAsteriskUse,
        Key::DpmHashUse,      Key::DpmDtmf,    Key::Music };
// Keys a whole form stores with their defaults when they are missing.
const int kFormDefaults[]
    = { Key::DialplanMusic, Key::DpmMode,       Key::DpmModeListCode, Key::DpmTimeoutKey,
        Key::MusicVolume,   Key::MusicType,     Key::MusicSource,     Key::MusicFreq,
        Key::MusicIndex,    Key::MusicPosition, Key::MusicPath };

const QString kRelayModeRule
    = QStringLiteral("a relay mode is 0, 1 or 2, with an optional value from 0 to 255");

const char *const kSmdrSlot
    = "smdrLog(QDateTime,QString,QString,qlonglong,QSmdrAction::Type,QString)";

} // namespace

VelkDevice *Velk::findDevice(quint16 number) const
{
    return findChild<VelkDevice *>(QString::number(number));
}

VelkDevice *Velk::findDeviceByName(const QString &number) const
{
    quint16 value = 0;
    return deviceNumber(number, &value) ? findDevice(value) : nullptr;
}

void Velk::readDeviceSettings(VelkDevice *device, bool loading)
{
    m_Devices.beginGroup(device->objectName());
    for (int i = 0; i < Key::Count; ++i) {
        const QString key = Settings::keyName(i);
        QVariant stored = m_Devices.value(key, Settings::defaultValue(i));
        if (!stored.isValid())
            stored = Settings::defaultValue(i);
        else if (stored.type() == QVariant::StringList)
            stored = settingsText(stored);
        device->setProperty(key.trimmed().toLower().toLatin1().constData(), stored);
    }
    m_Devices.endGroup();
    // A relay code is taken from the mode: a value beyond a byte would wrap into another code,
    // and what is no mode at all reads as mode 0, the latched relay.
    for (int index : Settings::kRelayModes) {
        const QString mode = Settings::stringValue(device, index);
        const QString usable = Settings::usableRelayMode(mode);
        if (usable == mode)
            continue;
        device->setProperty(Settings::keyName(index).toLatin1().constData(), usable);
        if (loading)
            logLine(LogParams::Warning,
                    QStringLiteral("Device '%1': %2 \"%3\" read as \"%4\": %5")
                        .arg(device->objectName(), Settings::keyName(index), mode, usable,
                             kRelayModeRule));
    }
}

VelkDevice *Velk::loadDevice(const QString &number)
{
    quint16 value = 0;
    if (!deviceNumber(number, &value))
        return nullptr;
    delete findDevice(value);
    auto *device = new VelkDevice(value, this);
    connect(this, &Velk::unloadDevices, device, &QObject::deleteLater, Qt::QueuedConnection);
    connect(device, &VelkDevice::isRegisteredChanged, this, [this](int number, bool state) {
        if (m_Sip)
            m_Sip->isDeviceRegisteredChanged(number, state);
    });
    connect(device, &VelkDevice::isBusyChanged, this, [this](int number, bool state) {
        if (m_Sip)
            m_Sip->isDeviceBusyChanged(number, state);
    });
    connect(device, &VelkDevice::sendDatagram, this, &Velk::sendDatagram);
    // The SMDR file belongs to the module's owner, when it keeps one.
    QObject *host = parent();
    if (host && host->metaObject()->indexOfSlot(kSmdrSlot) >= 0)
        connect(device,
                SIGNAL(smdrLog(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString)),
                host,
                SLOT(smdrLog(QDateTime, QString, QString, qlonglong, QSmdrAction::Type, QString)),
                Qt::QueuedConnection);
    readDeviceSettings(device, true);
    device->updateKeypadCodeLength();
    return device;
}

void Velk::loadDevices()
{
    const QStringList groups = m_Devices.childGroups();
    for (const QString &group : groups)
        loadDevice(group);
}

bool Velk::deviceExists(const QString &number)
{
    return m_Devices.childGroups().contains(number);
}

bool Velk::removeDevice(quint16 number)
{
    const QString group = QString::number(number);
    if (!deviceExists(group))
        return true;
    m_Devices.remove(group);
    // A deletion lost to a crash would bring the device back.
    const bool written = writeSettingsFile(m_Devices);
    if (VelkDevice *device = findDevice(number)) {
        device->releasePanel();
        device->setObjectName(QString()); // out of the table at once
        device->deleteLater();
    }
    return written;
}

bool Velk::removeDeviceByName(const QString &number)
{
    quint16 value = 0;
    return !deviceNumber(number, &value) || removeDevice(value);
}

bool Velk::saveSettings(const QMap<QString, QString> &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const int index = keyIndex(it.key());
        if (index >= 0 && keyName(index) == it.key())
            setSetting(index, it.value());
    }
    // A form without the check box ticked sends no field: the trace goes off.
    if (!values.contains(keyName(VelkKey::LogProtocol)))
        setSetting(VelkKey::LogProtocol, false);
    ModuleHost *host = hostOf(this);
    return !host || host->syncSettings();
}

QString Velk::refusedDeviceKey(quint16 number, const QMap<QString, QString> &values)
{
    // The keypad codes are stored as "code>callee;code>callee": a code or callee holding either
    // separator would corrupt the whole list.
    const QString listKey = Settings::keyName(Key::DpmModeListCode);
    if (values.contains(listKey)) {
        for (const QString &row :
             values.value(listKey).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            for (const QString &field : { QStringLiteral("%1_code"), QStringLiteral("%1_value") }) {
                const QString text = values.value(field.arg(row));
                if (text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('>'))) {
                    logLine(LogParams::Warning,
                            QStringLiteral("Device '%1': keypad code '%2' refused: ';' and '>' "
                                           "separate the stored list")
                                .arg(number)
                                .arg(text));
                    return listKey;
                }
            }
        }
    }
    const QString relayMode = Settings::badRelayMode(values);
    if (!relayMode.isEmpty())
        logLine(LogParams::Warning,
                QStringLiteral("Device '%1': %2 \"%3\" refused: %4")
                    .arg(number)
                    .arg(relayMode, values.value(relayMode), kRelayModeRule));
    return relayMode;
}

bool Velk::saveDevice(quint16 number, const QMap<QString, QString> &values, bool partial, bool push)
{
    if (!refusedDeviceKey(number, values).isEmpty())
        return false;
    m_Devices.beginGroup(QString::number(number));
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const int index = Settings::keyIndex(it.key());
        if (index < 0 || Settings::keyName(index) != it.key())
            continue;
        if (index != Key::DpmModeListCode) {
            m_Devices.setValue(it.key(), it.value());
            continue;
        }
        QStringList pairs;
        for (const QString &row : it.value().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString code = values.value(QStringLiteral("%1_code").arg(row));
            const QString value = values.value(QStringLiteral("%1_value").arg(row));
            if (!code.trimmed().isEmpty() && !value.trimmed().isEmpty())
                pairs << QStringLiteral("%1>%2").arg(code, value);
        }
        m_Devices.setValue(it.key(), pairs.join(QLatin1Char(';')));
    }
    if (!partial) {
        for (int index : kCheckBoxes) {
            if (!values.contains(Settings::keyName(index)))
                m_Devices.setValue(Settings::keyName(index), false);
        }
        for (int index : kFormDefaults) {
            if (!values.contains(Settings::keyName(index)))
                m_Devices.setValue(Settings::keyName(index), Settings::defaultValue(index));
        }
    }
    m_Devices.endGroup();
    const bool written = writeSettingsFile(m_Devices);

    VelkDevice *device = findDevice(number);
    if (!device) {
        loadDevice(QString::number(number));
        return written;
    }
    readDeviceSettings(device, false);
    device->updateKeypadCodeLength();
    if (push && device->isRegistered())
        device->sendSettings(-1, -1);
    return written;
}

void Velk::applyDeviceMusic(quint16 number)
{
    if (VelkDevice *device = findDevice(number))
        emit device->toggleMusic(Settings::boolValue(device, Key::Music));
}

QString Velk::deviceTitle(const QString &number) const
{
    const VelkDevice *device = findDeviceByName(number);
    if (!device)
        return QStringLiteral("-");
    const QString description = Settings::stringValue(device, Key::Description);
    return description.isEmpty() ? device->objectName()
                                 : QStringLiteral("%1 (%2)").arg(device->objectName(), description);
}

QString Velk::deviceTypeName()
{
    return deviceTypeName(m_Devices.value(Settings::keyName(Key::DeviceType), 0).toUInt());
}

QString Velk::deviceTypeName(uint type)
{
    static const char *const kNames[]
        = { "Tarnhall1", "Tarnhall2", "TarnhallM1", "TarnhallM2", "Ostrel1" };
    const uint model = type & 255;
    return model < std::size(kNames) ? QLatin1String(kNames[model])
                                     : QStringLiteral("Unknown Tarnhall type %1").arg(model);
}
