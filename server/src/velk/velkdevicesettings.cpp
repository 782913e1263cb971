#include "velk/velkdevicesettings.h"

#include "core/identifiers.h"

#include <QObject>

#include <algorithm>

namespace {

struct Key
{
    const char *name;
    const char *value;
};

const Key kKeys[VelkDeviceKey::Count] = {
    { "description", "" },
    { "device-type", "0" },
    { "device-ip", "0.0.0.0" },
    { "device-subnet-mask", "255.255.255.0" },
    { "gateway-ip", "0.0.0.0" },
    { "device-port", "5757" },
    { "device-port-sound", "5758" },
    { "device-password", "" },
    { "server-ip", "0.0.0.0" },
    { "server-port", "5757" },
    { "register-timeout", "15" },
    { "call-timeout", "15" },
    { "relay1-mode", "1" },
    { "relay1-mode-value", "1" },
    { "relay1-contact-type", "0" },
    { "relay1-emergency", "false" },
    { "relay2-mode", "1" },
    { "relay2-mode-value", "1" },
    { "relay2-contact-type", "0" },
    { "relay3-mode", "1" },
    { "relay3-mode-value", "1" },
    { "relay3-contact-type", "0" },
    { "microphone-volume", "1" },
    { "speaker-volume", "1" },
    { "music-volume", "1" },
    { "echo-enable", "true" },
    { "echo-limit", "3" },
    { "echo-timeout", "100" },
    { "noise-enable", "false" },
    { "noise-limit", "3" },
    { "noise-timeout", "100" },
    { "button-account", "" },
    { "button-call-rule", "" },
    { "button-press-event", "1" },
    { "button-contact-type", "0" },
    { "sensor1-account", "" },
    { "sensor1-call-rule", "" },
    { "sensor1-press-event", "0" },
    { "sensor1-contact-type", "0" },
    { "sensor1-msg-file", "" },
    { "sensor2-account", "" },
    { "sensor2-call-rule", "" },
    { "sensor2-press-event", "0" },
    { "sensor2-contact-type", "0" },
    { "sensor2-msg-file", "" },
    { "dialplan-relay1-on", "55" },
    { "dialplan-relay1-off", "54" },
    { "dialplan-relay2-on", "65" },
    { "dialplan-relay2-off", "64" },
    { "dialplan-relay3-on", "75" },
    { "dialplan-relay3-off", "74" },
    { "dialplan-speaker-up", "2" },
    { "dialplan-speaker-down", "1" },
    { "dialplan-microphone-up", "9" },
    { "dialplan-microphone-down", "8" },
    { "dialplan-music", "0" },
    { "dialplan-music-begin", "30" },
    { "dialplan-music-prev", "31" },
    { "dialplan-music-next", "32" },
    { "info-version", "0" },
    { "info-firmware", "0" },
    { "info-hardware", "0" },
    { "dpm-mode", "0" },
    { "dpm-mode-list-code", "" },
    { "dpm-timeout-key", "3" },
    { "dpm-asterisk-use", "true" },
    { "dpm-hash-use", "true" },
    { "dpm-dtmf", "false" },
    { "speaker-om", "8" },
    { "speaker-power", "0.5" },
    { "music", "false" },
    { "music-quality", "0" },
    { "music-volume", "1" },
    { "music-type", "0" },
    { "music-source", "" },
    { "music-freq", "0" },
    { "music-block", "0" },
    { "music-index", "" },
    { "music-position", "0" },
    { "music-path", "" },
};

// Digits alone, blanks around them allowed: no sign, point or exponent, and no limit on length.
bool isDecimal(const QString &text)
{
    const QString digits = text.trimmed();
    return !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
}

bool isDecimalUpTo(const QString &text, uint max)
{
    bool ok = false;
    const uint value = isDecimal(text) ? text.trimmed().toUInt(&ok, 10) : 0;
    return ok && value <= max;
}

bool inTable(int index)
{
    return index >= 0 && index < VelkDeviceKey::Count;
}

// The device's property for a key, or an invalid variant when it has none worth reading.
template<typename T> QVariant usable(const QObject *device, const QString &name)
{
    const QString prop = name.trimmed().toLower();
    if (!device || prop.isEmpty())
        return {};
    const QVariant value = device->property(prop.toLocal8Bit().constData());
    return value.isValid() && !value.isNull() && value.canConvert<T>() ? value : QVariant();
}

template<typename T> QVariant valueOrDefault(const QObject *device, int index)
{
    const QVariant value = usable<T>(device, VelkDeviceSettings::keyName(index));
    return value.isValid() ? value : VelkDeviceSettings::defaultValue(index);
}

} // namespace

QString VelkDeviceSettings::keyName(int index)
{
    return inTable(index) ? QLatin1String(kKeys[index].name) : QString();
}

QVariant VelkDeviceSettings::defaultValue(int index)
{
    return inTable(index) ? QString(QLatin1String(kKeys[index].value)) : QString();
}

int VelkDeviceSettings::keyIndex(const QString &name)
{
    if (name.isEmpty())
        return -1;
    for (int i = 0; i < VelkDeviceKey::Count; ++i) {
        if (name.compare(QLatin1String(kKeys[i].name), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QString VelkDeviceSettings::stringValue(const QObject *device, int index)
{
    return valueOrDefault<QString>(device, index).toString();
}

QString VelkDeviceSettings::stringValue(const QObject *device, const QString &name,
                                        const QString &defaultValue)
{
    const QVariant value = usable<QString>(device, name);
    return value.isValid() ? value.toString() : defaultValue;
}

int VelkDeviceSettings::intValue(const QObject *device, int index)
{
    return valueOrDefault<int>(device, index).toInt();
}

int VelkDeviceSettings::intValue(const QObject *device, int index, int defaultValue)
{
    const QVariant value = usable<int>(device, keyName(index));
    return value.isValid() ? value.toInt() : defaultValue;
}

uint VelkDeviceSettings::uintValue(const QObject *device, int index, uint defaultValue)
{
    const QVariant value = usable<uint>(device, keyName(index));
    return value.isValid() ? value.toUInt() : defaultValue;
}

uchar VelkDeviceSettings::ucharValue(const QObject *device, int index)
{
    return uchar(valueOrDefault<uint>(device, index).toUInt());
}

bool VelkDeviceSettings::boolValue(const QObject *device, int index)
{
    return valueOrDefault<bool>(device, index).toBool();
}

QStringList VelkDeviceSettings::stringListValue(const QObject *device, int index)
{
    const QVariant value = valueOrDefault<QStringList>(device, index);
    if (value.type() != QVariant::String)
        return value.toStringList();
    const QString text = value.toString();
    if (text.trimmed().isEmpty())
        return {};
    QStringList items = text.split(QLatin1Char(','));
    for (QString &item : items)
        item = item.trimmed();
    return items;
}

bool VelkDeviceSettings::isListKey(const QString &name)
{
    for (const int index : { VelkDeviceKey::Relay1Mode, VelkDeviceKey::Relay2Mode,
                             VelkDeviceKey::Relay3Mode, VelkDeviceKey::ButtonCallRule,
                             VelkDeviceKey::Sensor1CallRule, VelkDeviceKey::Sensor2CallRule }) {
        if (keyName(index) == name)
            return true;
    }
    return false;
}

bool VelkDeviceSettings::isRelayMode(const QString &mode)
{
    const QStringList items = mode.split(QLatin1Char(','));
    return items.size() <= 2 && isDecimalUpTo(items.at(0), 2)
        && (items.size() == 1 || isDecimalUpTo(items.at(1), 255));
}

QString VelkDeviceSettings::usableRelayMode(const QString &mode)
{
    if (isRelayMode(mode))
        return mode;
    const QStringList items = mode.split(QLatin1Char(','));
    if (items.size() == 2 && isRelayMode(items.at(0)) && isDecimal(items.at(1)))
        return items.at(0).trimmed() + QStringLiteral(",255");
    return defaultValue(VelkDeviceKey::Relay1Mode).toString();
}

QString VelkDeviceSettings::badRelayMode(const QMap<QString, QString> &values)
{
    for (int index : kRelayModes) {
        const QString key = keyName(index);
        if (values.contains(key) && !isRelayMode(values.value(key)))
            return key;
    }
    return QString();
}

int VelkDeviceSettings::timeoutSeconds(const QObject *device, int index)
{
    // The panel holds the timeout in one byte; the server's expiry timer must agree with it.
    return std::clamp(intValue(device, index), 1, 255);
}

quint32 VelkDeviceSettings::passwordWord(const QObject *device)
{
    return fourCc(stringValue(device, VelkDeviceKey::DevicePassword));
}

VelkProtocol::PanelSettings VelkDeviceSettings::panelSettings(const QObject *device,
                                                              quint8 microphone, quint8 speaker)
{
    using namespace VelkDeviceKey;
    VelkProtocol::PanelSettings s;
    s.registerTimeout = quint8(timeoutSeconds(device, RegisterTimeout));
    s.contactBits = quint8((ucharValue(device, Relay1ContactType) & 1)
                           | (ucharValue(device, Relay2ContactType) & 1) << 1
                           | (ucharValue(device, Relay3ContactType) & 1) << 2
                           | (boolValue(device, Relay1Emergency) ? 8 : 0));
    s.microphone = microphone != 0 ? microphone : ucharValue(device, MicrophoneVolume);
    s.speaker = speaker;
    s.echoLimit = boolValue(device, EchoEnable) ? ucharValue(device, EchoLimit) : 0;
    s.echoTimeout = quint8(quint16(valueOrDefault<uint>(device, EchoTimeout).toUInt()) / 100);
    s.noiseLimit = boolValue(device, NoiseEnable) ? ucharValue(device, NoiseLimit) : 0;
    s.noiseTimeout = quint8(quint16(valueOrDefault<uint>(device, NoiseTimeout).toUInt()) / 100);
    s.callTimeout = quint8(timeoutSeconds(device, CallTimeout));
    return s;
}
