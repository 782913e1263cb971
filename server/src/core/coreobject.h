#pragma once

#include <QObject>

// Common base of the module and model classes, so qobject_cast can find them.
class CoreObject : public QObject
{
    Q_OBJECT
public:
    explicit CoreObject(QObject *parent = nullptr);
};
