#pragma once

#include "core/attendedthread.h"

class Core;
class QSocketNotifier;

// Hosts Core in its own thread and turns SIGTERM and SIGHUP into a stop request.
class CoreThread : public AttendedThread
{
    Q_OBJECT
public:
    // Builds the thread and its Core; the caller starts it.
    static CoreThread *create(QObject *parent);

    explicit CoreThread(QObject *parent = nullptr);

    Core *core() const;

signals:
    void stopCore();

public slots:
    void handleSigHup();
    void handleSigTerm();

private:
    void handleSignal(QSocketNotifier *notifier, int fd, const char *name);

    QSocketNotifier *snHup;
    QSocketNotifier *snTerm;
};
