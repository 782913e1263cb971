#include "sip/message/kurischemes.h"

namespace KUriSchemes {

QString pattern(Type scheme)
{
    return scheme == Sip ? QStringLiteral("[Ss][Ii][Pp]") : QString();
}

QString patternPrefix(Type scheme)
{
    return scheme == Sip ? QStringLiteral("%1:").arg(pattern(scheme)) : QString();
}

QString outputPrefix(Type scheme)
{
    return scheme == Sip ? QStringLiteral("sip:") : QString();
}

} // namespace KUriSchemes
