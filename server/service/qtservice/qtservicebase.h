#pragma once

#include <QString>

class QtServiceBasePrivate;

// The service wrapper: command line, pid file, control socket; one object per process.
class QtServiceBase
{
public:
    enum ServiceFlag { Default = 0x00, CanBeSuspended = 0x01, CannotBeStopped = 0x02 };

    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString &description);
    int startupType() const;
    void setStartupType(int type);
    int serviceFlags() const;
    void setServiceFlags(int flags);

    // Reads the first argument, prints the outcome and returns the process's exit status.
    int exec();

    static QtServiceBase *instance();

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    Q_DISABLE_COPY(QtServiceBase)
    friend class QtServiceBasePrivate;
    friend class QtServiceSysPrivate;
    friend class QtServiceStarter;
    QtServiceBasePrivate *d_ptr;
};
