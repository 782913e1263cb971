#pragma once

#include <QString>

class QtServiceControllerPrivate;

// Registry-file queries and control-socket requests for one service name.
class QtServiceController
{
public:
    explicit QtServiceController(const QString &name);
    virtual ~QtServiceController();

    QString serviceName() const;

    bool isInstalled() const;
    QString serviceFilePath() const;
    QString serviceDescription() const;
    int startupType() const;
    bool uninstall();

    bool isRunning() const;
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

    // Path of the registry file and of the control socket of a service name.
    static QString registryFilePath();
    static QString socketPath(const QString &serviceName);

    // How long a request waits to connect and then for its answer (ms of the schedule).
    static const int ConnectTimeout = 30000;
    static const int AnswerTimeout = 10000;

private:
    Q_DISABLE_COPY(QtServiceController)
    QtServiceControllerPrivate *d_ptr;
};
