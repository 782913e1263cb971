#include "qtservicestarter.h"

#include "qtservicebase.h"
#include "qtservicebaseprivate.h"

QtServiceStarter::QtServiceStarter(QtServiceBasePrivate *service)
    : QObject()
    , d_ptr(service)
{
}

void QtServiceStarter::slotStart()
{
    d_ptr->q_ptr->start();
}
