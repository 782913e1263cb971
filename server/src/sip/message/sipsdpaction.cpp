#include "sip/message/sipsdpaction.h"

namespace {

const char *const kNames[SipSdpAction::Count] = { "inactive", "sendrecv", "sendonly", "recvonly" };

} // namespace

QString sdpActionName(const SipSdpAction::Type &action)
{
    if (action < 0 || action >= SipSdpAction::Count)
        return QString();
    return QString::fromLatin1(kNames[action]);
}

SipSdpAction::Type sdpActionType(const QString &name)
{
    if (name.isEmpty())
        return SipSdpAction::Unknown;
    for (int i = 0; i < SipSdpAction::Count; ++i) {
        if (name.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0)
            return SipSdpAction::Type(i);
    }
    return SipSdpAction::Unknown;
}
