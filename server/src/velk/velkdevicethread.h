#pragma once

#include "core/attendedthread.h"

#include <QHostAddress>

// The audio thread of one door device. Starts when the device registers and stops when it
// unregisters; each start binds the first free port of the range in the calling thread, so the
// answer to the registering report already carries a port somebody listens on.
class VelkDeviceThread : public AttendedThread
{
    Q_OBJECT
public:
    // How long a start waits for the worker of a previous registration to end.
    static constexpr qint64 kOldWorkerWaitMs = 3000;

    explicit VelkDeviceThread(QObject *device = nullptr);

    void setBindAddress(const QHostAddress &address) { m_BindAddress = address; }
    void setPortRange(quint16 start, quint16 stop);
    // The port of the last bound socket; 0 while none was ever bound, or while an old worker
    // would not end.
    quint16 audioPort() const { return m_AudioPort; }

public slots:
    void isRegisteredChanged(int device, bool state);
    void start() override;
    void stop() override;

private:
    bool waitForOldWorker();

    QHostAddress m_BindAddress { QHostAddress::AnyIPv4 };
    quint16 m_PortRangeStart = 50000;
    quint16 m_PortRangeStop = 51000;
    quint16 m_AudioPort = 0;
    bool m_Stopping = false;
};
