#include "http/httpobject.h"

HttpObject::HttpObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
                       QObject *parent)
    : AttendedThreadObject(parent)
    , m_BindAddress(bindAddress)
    , m_BindPort(bindPort)
    , m_LogProtocol(logProtocol)
{
    setObjectName(QStringLiteral("HttpObject"));
}

void HttpObject::run()
{
    // No listener yet: the thread idles in its event loop until the module stops it.
}
