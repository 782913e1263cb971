#pragma once

#include <QByteArray>

// The bytes with their bit order mirrored (bit 7 becomes bit 0). Only the first count bytes
// are mirrored (all for -1); the rest of the result is zero. Empty when data is empty or
// count is out of range.
QByteArray reverseBits(const QByteArray &data, int count = -1);
