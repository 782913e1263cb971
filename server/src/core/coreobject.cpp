#include "coreobject.h"

CoreObject::CoreObject(QObject *parent)
    : QObject(parent)
{
}
