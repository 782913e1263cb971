#pragma once

#include "service/qtservice/qtlockedfile.h"
#include "service/qtservice/qtservicecontroller.h"

#include <QStringList>

#include <memory>
#include <vector>

class QtServiceBase;
class QtServiceSysPrivate;

// The wrapper's state and the steps of running the service in this process.
class QtServiceBasePrivate
{
public:
    QtServiceBasePrivate(QtServiceBase *owner, const QString &name, int argc, char **argv);
    ~QtServiceBasePrivate();

    int run(const QStringList &arguments);
    bool install();
    QString filePath() const;
    bool startInBackground();

    QtServiceBase *q_ptr;
    QtLockedFile pidFile;
    QString serviceDescription;
    int startupType = 1;
    int serviceFlags = 0;
    QStringList args;
    QtServiceController controller;
    QtServiceSysPrivate *sysd = nullptr;

private:
    bool claimPidFile();

    // argc/argv handed to the application object must outlive it.
    int appArgc = 0;
    std::vector<QByteArray> appArgStorage;
    std::vector<char *> appArgv;
};
