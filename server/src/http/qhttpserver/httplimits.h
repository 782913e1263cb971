#pragma once

#include <QtGlobal>

// Bounds of what one peer may make the listener hold.
namespace HttpLimits {
// Request line target.
const int maxUrlBytes = 8 * 1024;
// Header names and values of one request together, and their count.
const int maxHeaderBytes = 32 * 1024;
const int maxHeaderCount = 100;
// Body of one request; the largest administration form is far below this.
const qint64 maxBodyBytes = 1024 * 1024;
// Open connections of the listener; further ones get a 503 and are closed.
const int maxConnections = 128;
// A connection that sends no complete request head within this time is closed.
const qint64 idleMs = 30000;
// Bytes taken from the socket per read while parsing.
const qint64 readChunk = 64 * 1024;
} // namespace HttpLimits
