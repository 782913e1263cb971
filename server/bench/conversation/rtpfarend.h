#pragma once

#include <QVector>

// The far ends of many two-leg calls, run in a child process so that their work does not
// count against the conversations: 2N loopback sockets, each sending one G.711 packet every
// 20 ms to its call's RTP port and timing, by kernel receive stamps, what comes back.
int runFarEnds(const QVector<quint16> &conversationPorts, int warmupMs, int windowMs);
