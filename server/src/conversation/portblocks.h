#pragma once

#include <QtGlobal>

class QUdpSocket;

// The process-wide book of UDP port quadruples held by live conversations. A quadruple is
// bound without address sharing and stays booked until its sockets are closed, so no two
// calls ever receive on the same port.
class PortBlocks
{
public:
    static const int BlockSize = 4;

    // Binds BlockSize consecutive ports on the IPv4 any-address, searching from the block after
    // the last one handed out, then once more from minPort. Bases run while below maxPort and
    // never past the top of the port space. Returns the base, or -1 with sockets left null.
    static int allocate(quint16 minPort, quint16 maxPort, QUdpSocket *sockets[BlockSize]);

    // Frees the booking of the block at base (after its sockets are closed).
    static void release(quint16 base);

    static bool isBooked(quint16 port);
    static quint16 lastBase();
    // Forgets every booking and the last base; for tests that start from a clean slate.
    static void resetForTest();
};
