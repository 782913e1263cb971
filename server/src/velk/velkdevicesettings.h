#pragma once

#include "velk/velkprotocol.h"

#include <QMap>
#include <QStringList>
#include <QVariant>

class QObject;

// Indexes of the per-device keys of "velk-devices", in file order.
namespace VelkDeviceKey {
enum Index : int {
    Description,
    DeviceType,
    DeviceIp,
    DeviceSubnetMask,
    GatewayIp,
    DevicePort,
    DevicePortSound,
    DevicePassword,
    ServerIp,
    ServerPort,
    RegisterTimeout,
    CallTimeout,
    Relay1Mode,
    Relay1ModeValue,
    Relay1ContactType,
    Relay1Emergency,
    Relay2Mode,
    Relay2ModeValue,
    Relay2ContactType,
    Relay3Mode,
    Relay3ModeValue,
    Relay3ContactType,
    MicrophoneVolume,
    SpeakerVolume,
    MusicVolume,
    EchoEnable,
    EchoLimit,
    EchoTimeout,
    NoiseEnable,
    NoiseLimit,
    NoiseTimeout,
    ButtonAccount,
    ButtonCallRule,
    ButtonPressEvent,
    ButtonContactType,
    Sensor1Account,
    Sensor1CallRule,
    Sensor1PressEvent,
    Sensor1ContactType,
    Sensor1MsgFile,
    Sensor2Account,
    Sensor2CallRule,
    Sensor2PressEvent,
    Sensor2ContactType,
    Sensor2MsgFile,
    DialplanRelay1On,
    DialplanRelay1Off,
    DialplanRelay2On,
    DialplanRelay2Off,
    DialplanRelay3On,
    DialplanRelay3Off,
    DialplanSpeakerUp,
    DialplanSpeakerDown,
    DialplanMicrophoneUp,
    DialplanMicrophoneDown,
    DialplanMusic,
    DialplanMusicBegin,
    DialplanMusicPrev,
    DialplanMusicNext,
    InfoVersion,
    InfoFirmware,
    InfoHardware,
    DpmMode,
    DpmModeListCode,
    DpmTimeoutKey,
    DpmAsteriskUse,
    DpmHashUse,
    DpmDtmf,
    SpeakerOm,
    SpeakerPower,
    Music,
    MusicQuality,
    MusicVolumeAlias,
    MusicType,
    MusicSource,
    MusicFreq,
    MusicBlock,
    MusicIndex,
    MusicPosition,
    MusicPath,
    Count
};
} // namespace VelkDeviceKey

// The key tables of a door device and its typed readers. A device carries its settings as
// dynamic properties named by the lower-case keys; a property that is absent, null or not
// convertible reads as the key's default.
class VelkDeviceSettings
{
public:
    // Empty for an index outside 0..79.
    static QString keyName(int index);
    // The default text; empty for an index outside the table.
    static QVariant defaultValue(int index);
    // First key equal to the name ignoring case; -1 for none.
    static int keyIndex(const QString &name);

    static QString stringValue(const QObject *device, int index);
    static QString stringValue(const QObject *device, const QString &name,
                               const QString &defaultValue);
    static int intValue(const QObject *device, int index);
    static int intValue(const QObject *device, int index, int defaultValue);
    static uint uintValue(const QObject *device, int index, uint defaultValue);
    // Low 8 bits of the number.
    static uchar ucharValue(const QObject *device, int index);
    static bool boolValue(const QObject *device, int index);
    // A text property is split at commas.
    static QStringList stringListValue(const QObject *device, int index);
    // A key whose value is a list of items: a relay mode and its value, a call rule.
    static bool isListKey(const QString &name);

    // A relay mode: 0, 1 or 2, then optionally a comma and a value from 0 to 255.
    static bool isRelayMode(const QString &mode);
    // A stored relay mode as it is used: a relay mode as it stands, one whose value is a number
    // beyond a byte with 255; anything else the default, a pulse rather than a latched relay.
    static QString usableRelayMode(const QString &mode);
    // The first relay mode key among the values that is no relay mode; empty when none.
    static QString badRelayMode(const QMap<QString, QString> &values);
    static constexpr int kRelayModes[]
        = { VelkDeviceKey::Relay1Mode, VelkDeviceKey::Relay2Mode, VelkDeviceKey::Relay3Mode };

    // "register-timeout" or "call-timeout" as the panel can be told it: 1..255 s.
    static int timeoutSeconds(const QObject *device, int index);
    // The password word of "device-password".
    static quint32 passwordWord(const QObject *device);
    // The SetSettings bytes from the device's settings; microphone is the runtime level
    // (0 when unchanged), speaker the level already worked out for the call state.
    static VelkProtocol::PanelSettings panelSettings(const QObject *device, quint8 microphone,
                                                     quint8 speaker);
};
