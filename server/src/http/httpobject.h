#pragma once

#include "core/attendedthreadobject.h"

#include <QString>

// The listener worker of the web module; runs in the module's thread.
class HttpObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    HttpObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
               QObject *parent = nullptr);

public slots:
    void run() override;

private:
    QString m_BindAddress;
    quint16 m_BindPort;
    bool m_LogProtocol;
};
