#pragma once

#include <QtGlobal>

// G.711 for single samples. The encoders truncate (they never round), so the codes match
// the classic reference tables that peers and the door devices use.
quint8 alawEncode(qint16 sample);
quint8 ulawEncode(qint16 sample);
qint16 alawDecode(quint8 code);
qint16 ulawDecode(quint8 code);

// The same for 8-bit unsigned samples (128 is silence).
quint8 alawEncode8(quint8 sample);
quint8 ulawEncode8(quint8 sample);
quint8 alawDecode8(quint8 code);
quint8 ulawDecode8(quint8 code);
