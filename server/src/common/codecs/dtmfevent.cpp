#include "common/codecs/dtmfevent.h"

namespace {
const char EVENT_CHARS[] = "0123456789*#abcdf";
}

char dtmfEventChar(quint8 event)
{
    return event < sizeof(EVENT_CHARS) - 1 ? EVENT_CHARS[event] : '\0';
}
