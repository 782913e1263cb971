#pragma once

#include "core/attendedthread.h"

#include <QSettings>

// The door-device module. Lives in the core thread; its worker VelkObject runs the control socket.
class Velk : public AttendedThread
{
    Q_OBJECT
public:
    explicit Velk(QObject *parent = nullptr);

    void init() override;
    void deinit() override;

    // Reads one key of the "velk" group of the main settings.
    QVariant setting(const QString &key, const QVariant &defaultValue) const;
    void writeDefaults();

signals:
    void unloadDevices();

private:
    // A child, so it moves into the core thread with the module that uses it.
    QSettings m_Devices;
};
