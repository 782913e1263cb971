#pragma once

#include "service/qtservice/qtservice.h"

#include <QCoreApplication>

class CoreThread;

// The service object: creates the core when the wrapper starts it and asks it to stop on
// "terminate"; the application quits once the core has finished.
class ServiceVoIP : public QtService<QCoreApplication>
{
public:
    ServiceVoIP(int argc, char **argv);
    ~ServiceVoIP() override;

protected:
    void start() override;
    void stop() override;

private:
    CoreThread *thread;
    // Kept past stop() so the finished core thread can be awaited and released at exit.
    CoreThread *ownedThread;
};
