#include "conversation/portblocks.h"

#include <QHostAddress>
#include <QMutex>
#include <QSet>
#include <QUdpSocket>

namespace {

QMutex g_Mutex;
QSet<quint16> g_Booked;
quint16 g_LastBase = 0;

bool bookedLocked(int base)
{
    for (int i = 0; i < PortBlocks::BlockSize; ++i) {
        if (g_Booked.contains(quint16(base + i)))
            return true;
    }
    return false;
}

bool tryBase(int base, QUdpSocket *sockets[PortBlocks::BlockSize])
{
    if (base < 1 || base + PortBlocks::BlockSize - 1 > 65535 || bookedLocked(base))
        return false;
    QUdpSocket *bound[PortBlocks::BlockSize] = {};
    for (int i = 0; i < PortBlocks::BlockSize; ++i) {
        bound[i] = new QUdpSocket;
        if (!bound[i]->bind(QHostAddress::AnyIPv4, quint16(base + i),
                            QAbstractSocket::DontShareAddress)) {
            for (int j = 0; j <= i; ++j)
                delete bound[j];
            return false;
        }
    }
    for (int i = 0; i < PortBlocks::BlockSize; ++i) {
        sockets[i] = bound[i];
        g_Booked.insert(quint16(base + i));
    }
    g_LastBase = quint16(base);
    return true;
}

int searchFrom(int start, int maxPort, QUdpSocket *sockets[PortBlocks::BlockSize])
{
    for (int base = start; base < maxPort && base + PortBlocks::BlockSize - 1 <= 65535;
         base += PortBlocks::BlockSize) {
        if (tryBase(base, sockets))
            return base;
    }
    return -1;
}

} // namespace

int PortBlocks::allocate(quint16 minPort, quint16 maxPort, QUdpSocket *sockets[BlockSize])
{
    for (int i = 0; i < BlockSize; ++i)
        sockets[i] = nullptr;
    QMutexLocker lock(&g_Mutex);
    // The range may have moved up since the last block: never search below its bottom.
    const int start = g_LastBase < minPort ? int(minPort) : int(g_LastBase) + BlockSize;
    int base = searchFrom(start, maxPort, sockets);
    if (base < 0)
        base = searchFrom(minPort, maxPort, sockets);
    return base;
}

void PortBlocks::release(quint16 base)
{
    QMutexLocker lock(&g_Mutex);
    for (int i = 0; i < BlockSize && int(base) + i <= 65535; ++i)
        g_Booked.remove(quint16(base + i));
}

bool PortBlocks::isBooked(quint16 port)
{
    QMutexLocker lock(&g_Mutex);
    return g_Booked.contains(port);
}

quint16 PortBlocks::lastBase()
{
    QMutexLocker lock(&g_Mutex);
    return g_LastBase;
}

void PortBlocks::resetForTest()
{
    QMutexLocker lock(&g_Mutex);
    g_Booked.clear();
    g_LastBase = 0;
}
