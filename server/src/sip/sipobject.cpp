#include "sip/sipobject.h"

SipObject::SipObject(QObject *parent)
    : AttendedThreadObject(parent)
{
    setObjectName(QStringLiteral("SipObject"));
}

void SipObject::run()
{
    // No sockets yet: the thread idles in its event loop until the module stops it.
}
