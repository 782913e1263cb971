#include "velk/velkobject.h"

VelkObject::VelkObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
                       QObject *parent)
    : AttendedThreadObject(parent)
    , m_LogProtocol(logProtocol)
    , m_BindAddress(bindAddress)
    , m_BindPort(bindPort)
{
    setObjectName(QStringLiteral("VelkObject"));
}

void VelkObject::run()
{
    // No socket yet: the thread idles in its event loop until the module stops it.
}
