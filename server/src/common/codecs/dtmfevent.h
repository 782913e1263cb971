#pragma once

#include <QtGlobal>

// The DTMF character of an RFC 2833 telephone-event code; 0 for codes above 16.
char dtmfEventChar(quint8 event);
