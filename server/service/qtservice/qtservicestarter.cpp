#include "service/qtservice/qtservicestarter.h"

#include "service/qtservice/qtservicebase.h"
#include "service/qtservice/qtservicebaseprivate.h"

QtServiceStarter::QtServiceStarter(QtServiceBasePrivate *service)
    : QObject()
    , d_ptr(service)
{
}

void QtServiceStarter::slotStart()
{
    d_ptr->q_ptr->start();
}
