#pragma once

#include "core/attendedthreadobject.h"

// The transport worker of the SIP module; runs in the module's thread.
class SipObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    explicit SipObject(QObject *parent = nullptr);

public slots:
    void run() override;
};
