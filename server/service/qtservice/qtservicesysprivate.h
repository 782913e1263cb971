#pragma once

#include <QHash>
#include <QLocalServer>

class QLocalSocket;
class QtServiceBase;

// The control socket: one command per CR LF line, answered "true" or "false" without terminator.
class QtServiceSysPrivate : public QLocalServer
{
    Q_OBJECT
public:
    explicit QtServiceSysPrivate(QtServiceBase *service, QObject *parent = nullptr);

    void setServiceFlags(int flags) { serviceFlags = flags; }

    // Longest text a connection may leave without a complete command behind it.
    static const int MaxPendingText = 1024;

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private slots:
    void slotReady();
    void slotClosed();

private:
    bool answer(const QString &command);

    QtServiceBase *service;
    int serviceFlags = 0;
    QHash<QLocalSocket *, QString> pending;
};
