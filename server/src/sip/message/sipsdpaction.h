#pragma once

#include <QMetaType>
#include <QString>

namespace SipSdpAction {
// SDP media direction attribute.
enum Type : int {
    Unknown = -1,
    Inactive = 0,
    SendRecv,
    SendOnly,
    RecvOnly,
};
constexpr int Count = 4;
} // namespace SipSdpAction

Q_DECLARE_METATYPE(SipSdpAction::Type)

QString sdpActionName(const SipSdpAction::Type &action);
SipSdpAction::Type sdpActionType(const QString &name);
