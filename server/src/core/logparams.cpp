#include "core/logparams.h"

QString LogParams::name(int type)
{
    static const char *const names[] = {
        "LOG",        "SERVICE",   "SERVICE-DEBUG", "CORE",       "CORE-DEBUG",
        "SIP",        "SIP-DEBUG", "STUN",          "STUN-DEBUG", "RTSP",
        "RTSP-DEBUG", "VELK",      "VELK-DEBUG",    "HTTP",       "HTTP-DEBUG",
        "DEBUG",      "WARNING",   "SYSTEM",        "FATAL",
    };
    if (type < 0 || type >= int(sizeof(names) / sizeof(names[0])))
        return QString();
    return QString::fromLatin1(names[type]);
}

bool LogParams::isFilteredDebug(int type)
{
    // Bit n of the mask stands for kind n + 2; unsigned so negative kinds never match.
    const unsigned int shifted = unsigned(type) - 2u;
    return shifted <= 13u && ((0x3515u >> shifted) & 1u);
}
