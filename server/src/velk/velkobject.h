#pragma once

#include "core/attendedthreadobject.h"

#include <QString>

// The control-socket worker of the door-device module; runs in the module's thread.
class VelkObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    VelkObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
               QObject *parent = nullptr);

public slots:
    void run() override;

private:
    bool m_LogProtocol;
    QString m_BindAddress;
    quint16 m_BindPort;
};
