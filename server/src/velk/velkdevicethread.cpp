#include "velk/velkdevicethread.h"

#include "core/env.h"
#include "core/timescale.h"
#include "velk/velkdevice.h"
#include "velk/velkdeviceobjectthread.h"
#include "velk/velkdevicesettings.h"

#include <QUdpSocket>

#include <memory>

VelkDeviceThread::VelkDeviceThread(QObject *device)
    : AttendedThread(device)
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
    if (device)
        setObjectName(QStringLiteral("VelkDeviceThread_%1").arg(device->objectName()));
}

void VelkDeviceThread::setPortRange(quint16 start, quint16 stop)
{
    m_PortRangeStart = start;
    m_PortRangeStop = stop;
}

void VelkDeviceThread::isRegisteredChanged(int, bool state)
{
    if (state)
        start();
    else
        stop();
}

void VelkDeviceThread::stop()
{
    // Qt 5 leaks the slot object of a signal queued at the moment its receiver is destroyed in
    // another thread: a worker told to end hears nothing more from the device, nor a second stop.
    if (m_Stopping)
        return;
    m_Stopping = object != nullptr;
    if (object)
        disconnect(parent(), nullptr, object, nullptr);
    AttendedThread::stop();
}

bool VelkDeviceThread::waitForOldWorker()
{
    if (!m_Stopping)
        return true;
    // Blocks the core thread, but only while a worker that was told to end winds down.
    if (!thread.wait(ulong(TimeScale::toReal(kOldWorkerWaitMs)))) {
        logLine(LogParams::Velk,
                QStringLiteral("Device '%1' audio worker did not end; no audio port")
                    .arg(parent() ? parent()->objectName() : QString()));
        m_AudioPort = 0;
        return false;
    }
    m_Stopping = false;
    return true;
}

void VelkDeviceThread::start()
{
    qRegisterMetaType<VelkMusic>("VelkMusic");
    if (!waitForOldWorker() || object)
        return;
    auto *device = qobject_cast<VelkDevice *>(parent());
    if (!device || m_PortRangeStart >= m_PortRangeStop)
        return;
    std::unique_ptr<QUdpSocket> socket;
    for (quint32 port = m_PortRangeStart; port < m_PortRangeStop; ++port) {
        socket = std::make_unique<QUdpSocket>();
        if (socket->bind(m_BindAddress, quint16(port), QAbstractSocket::DontShareAddress)
            && socket->state() == QAbstractSocket::BoundState)
            break;
        socket.reset();
    }
    if (!socket)
        return;
    m_AudioPort = socket->localPort();

    auto *worker = new VelkDeviceObjectThread(
        device->number(), VelkDeviceSettings::passwordWord(device), 1, socket.release());
    // The registering report set the codec before this worker existed.
    worker->setCodec(device->codec());
    const auto queued = Qt::QueuedConnection;
    connect(worker, &VelkDeviceObjectThread::fromDevice, device, &VelkDevice::fromDevice, queued);
    connect(worker, &VelkDeviceObjectThread::endFinishing, device, &VelkDevice::endFinishing,
            queued);
    connect(worker, &VelkDeviceObjectThread::resetVelkOutputType, device,
            &VelkDevice::onResetVelkOutputType, queued);
    connect(device, &VelkDevice::toDevice, worker, &VelkDeviceObjectThread::toDevice, queued);
    connect(device, &VelkDevice::setRecvFromDevice, worker,
            &VelkDeviceObjectThread::setRecvFromDevice, queued);
    connect(device, &VelkDevice::setVelkOutputType, worker,
            &VelkDeviceObjectThread::setVelkOutputType, queued);
    connect(device, &VelkDevice::controlMusic, worker, &VelkDeviceObjectThread::controlMusic,
            queued);
    connect(device, &VelkDevice::setCodec, worker, &VelkDeviceObjectThread::setCodec, queued);
    setObject(worker);
    AttendedThread::start();
}
