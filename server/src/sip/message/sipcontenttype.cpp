#include "sip/message/sipcontenttype.h"

namespace {

const char *const kNames[SipContentType::Count] = {
    "application/sdp",        "application/dtmf-relay",      "application/dtmf",
    "application/hook-flash", "message/sipfrag;version=2.0",
};

} // namespace

QString contentTypeName(const SipContentType::Type &kind)
{
    if (kind < 0 || kind >= SipContentType::Count)
        return QString();
    return QString::fromLatin1(kNames[kind]);
}

SipContentType::Type contentKind(const QString &text)
{
    for (int i = 0; i < SipContentType::Count; ++i) {
        if (text.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0)
            return SipContentType::Type(i);
    }
    return SipContentType::Unknown;
}
