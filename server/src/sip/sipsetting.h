#pragma once

#include "sip/message/siptransport.h"

#include <QString>
#include <QVariant>

// The keys of the "sip" group of the main settings, in group order.
namespace SipSetting {
enum Type : int {
    Unknown = -1,
    Standalone = 0,
    StandaloneBindAddress,
    StandaloneBindPort,
    StandaloneTransport,
    ServerProxyUse,
    ServerProxyAddress,
    ServerProxyPort,
    ServerAddress,
    ServerPort,
    ServerTransport,
    ServerBindPort,
    ServerBindRandom,
    PortRangeStart,
    PortRangeStop,
    LogSip,
    LogRtsp,
    EnableCallDuration,
    TypeExtAddress,
    ExtAddressStatic,
    ExtAddressStun,
    Codec1,
    Codec2,
    Codec3,
    Codec4,
    CallDuration,
};
constexpr int Count = 25;
} // namespace SipSetting

// Key text and default text of an index; empty outside the table.
QString sipSettingName(const SipSetting::Type &key);
QVariant sipSettingDefault(const SipSetting::Type &key);
// Compared without regard to case; -1 for an empty or unknown text.
int sipSettingFromName(const QString &name);

// "UDP" 1, "TCP" 2 without regard to case; anything else -1.
SipTransport::Type transportFromString(const QString &text);

// Conversions of a stored text, base 10; a text that is no number in range gives 0.
quint16 settingTextToPort(const QVariant &value);
qint64 settingTextToInt64(const QVariant &value);
// Empty, "0" and "false" in any case are false; any other text is true.
bool settingTextToBool(const QVariant &value);
