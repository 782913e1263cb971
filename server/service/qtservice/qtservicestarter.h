#pragma once

#include <QObject>

class QtServiceBasePrivate;

// Calls the service's start() once the event loop runs.
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBasePrivate *service);

public slots:
    void slotStart();

private:
    QtServiceBasePrivate *d_ptr;
};
