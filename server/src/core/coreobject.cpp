#include "core/coreobject.h"

CoreObject::CoreObject(QObject *parent)
    : QObject(parent)
{
}
