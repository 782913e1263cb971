#include "velk/velk.h"

#include "core/env.h"
#include "core/modulehost.h"
#include "core/settingstext.h"
#include "velk/velkdevice.h"
#include "velk/velkdevicesettings.h"
#include "velk/velkobject.h"
#include "velk/velkpacket.h"
#include "velk/velkprotocol.h"
#include "velk/velksipservices.h"

#include <QNetworkInterface>

namespace {

const char *const kGroup = "velk";

const SettingDefault kKeys[VelkKey::Count] = {
    { "bind-address", "0.0.0.0" },     { "bind-port", "5757" },
    { "port-range-start", "50000" },   { "port-range-stop", "51000" },
    { "dialplan-relay1-on", "55" },    { "dialplan-relay1-off", "54" },
    { "dialplan-relay2-on", "65" },    { "dialplan-relay2-off", "64" },
    { "dialplan-relay3-on", "75" },    { "dialplan-relay3-off", "74" },
    { "dialplan-speaker-up", "2" },    { "dialplan-speaker-down", "1" },
    { "dialplan-microphone-up", "9" }, { "dialplan-microphone-down", "8" },
    { "dialplan-music", "0" },         { "dialplan-music-begin", "30" },
    { "dialplan-music-prev", "31" },   { "dialplan-music-next", "32" },
    { "log-protocol", "false" },
};

bool inTable(int index)
{
    return index >= 0 && index < VelkKey::Count;
}

} // namespace

Velk::Velk(QObject *parent)
    : AttendedThread(parent)
    , m_Devices(Env::configFilePath(QStringLiteral("velk-devices")), QSettings::IniFormat, this)
{
    m_Devices.setIniCodec("UTF-8");
    keepWrittenText(m_Devices, VelkDeviceSettings::isListKey);
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<VelkConnectionState>("VelkConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    setObjectName(QStringLiteral("Velk"));
}

QString Velk::keyName(int index)
{
    return inTable(index) ? QLatin1String(kKeys[index].key) : QString();
}

QVariant Velk::defaultValue(int index)
{
    return inTable(index) ? QString(QLatin1String(kKeys[index].value)) : QString();
}

int Velk::keyIndex(const QString &name)
{
    if (name.isEmpty())
        return -1;
    for (int i = 0; i < VelkKey::Count; ++i) {
        if (name.compare(QLatin1String(kKeys[i].key), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QVariant Velk::setting(int index) const
{
    if (!inTable(index))
        return QVariant();
    return moduleSetting(this, QLatin1String(kGroup), keyName(index), defaultValue(index));
}

QString Velk::stringValue(int index) const
{
    return setting(index).toString();
}

ushort Velk::ushortValue(int index) const
{
    return ushort(setting(index).toUInt());
}

bool Velk::boolValue(int index) const
{
    return setting(index).toBool();
}

void Velk::setSetting(int index, const QVariant &value)
{
    if (ModuleHost *host = hostOf(this); host && inTable(index))
        host->setValue(QLatin1String(kGroup), keyName(index), value);
}

void Velk::setDefaultSetting(int index, const QVariant &value)
{
    if (ModuleHost *host = hostOf(this); host && inTable(index))
        host->setDefaultValue(QLatin1String(kGroup), keyName(index), value);
}

void Velk::writeDefaults()
{
    for (int i = 0; i < VelkKey::Count; ++i)
        setDefaultSetting(i, defaultValue(i));
}

void Velk::init()
{
    logLine(LogParams::Velk, QStringLiteral("Initialization"));
    m_Devices.sync();
    writeDefaults();
    // The old worker's last word may still be queued: until the new one speaks, nothing listens.
    setConnectionState(VelkNotRunning);
    auto *worker = new VelkObject(stringValue(VelkKey::BindAddress), ushortValue(VelkKey::BindPort),
                                  boolValue(VelkKey::LogProtocol));
    connect(this, &Velk::sendDatagram, worker, &VelkObject::sendDatagram, Qt::QueuedConnection);
    connect(worker, &VelkObject::checkDatagram, this, &Velk::checkDatagram, Qt::QueuedConnection);
    connect(worker, &VelkObject::setConnectionState, this, &Velk::setConnectionState,
            Qt::QueuedConnection);
    setObject(worker);
    loadDevices();
}

void Velk::deinit()
{
    logLine(LogParams::Velk, QStringLiteral("Deinitialization"));
    m_Devices.sync();
    // Unregistered first, so each audio thread stops and the SIP side hears of it.
    const QList<VelkDevice *> devices = findChildren<VelkDevice *>();
    for (VelkDevice *device : devices)
        device->changeState(VelkDevice::Unregistered);
    processEvents();
    emit unloadDevices();
    processEvents();
    // Listening again only once the next worker has bound its socket.
    setConnectionState(VelkNotRunning, QAbstractSocket::UnknownSocketError, QString());
}

void Velk::checkDatagram(QHostAddress senderAddr, ushort senderPort, QByteArray datagram)
{
    const VelkProtocol::Received received = VelkProtocol::classify(datagram);
    switch (received.disposition) {
    case VelkProtocol::Received::Report: {
        const VelkProtocol::ReportReading reading = VelkProtocol::readReport(datagram);
        const VelkProtocol::PanelReport &report = reading.report;
        VelkDevice *device = reading.ok ? findDevice(report.head.device) : nullptr;
        if (!device || !device->checkReport(senderAddr, senderPort, report)) {
            emit sendDatagram(senderAddr, senderPort,
                              VelkProtocol::makeVelkAnswer(datagram, VelkProtocol::kRejected, 0));
            break;
        }
        // The answer goes before any command the report's events cause.
        emit sendDatagram(
            senderAddr, senderPort,
            VelkProtocol::makeVelkAnswer(datagram, VelkProtocol::kAccepted, device->audioPort()));
        if (report.hasEvents())
            device->checkEvents(report.power, report.button, report.sensor1, report.sensor2,
                                report.stateBits);
        break;
    }
    case VelkProtocol::Received::Answer:
        if (VelkPacket *packet = VelkPacket::find(this, datagram))
            packet->onAnswer(datagram);
        break;
    case VelkProtocol::Received::Drop:
        logLine(LogParams::VelkDebug,
                QStringLiteral("Dropped datagram from %1:%2: %3")
                    .arg(senderAddr.toString())
                    .arg(senderPort)
                    .arg(received.error));
        break;
    }
}

void Velk::setConnectionState(VelkConnectionState state, QAbstractSocket::SocketError error,
                              const QString &errorString)
{
    if (state != m_ConnectionState) {
        m_DisplayAddress = stringValue(VelkKey::BindAddress);
        m_DisplayPort = ushortValue(VelkKey::BindPort);
        if (state == VelkListening && m_DisplayAddress == QLatin1String("0.0.0.0")) {
            QStringList addresses;
            for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
                if (address.protocol() == QAbstractSocket::IPv4Protocol)
                    addresses << address.toString();
            }
            m_DisplayAddress
                = QStringLiteral("%1(%2)").arg(m_DisplayAddress, addresses.join(QLatin1Char(',')));
        }
    }
    m_ConnectionState = state;
    m_SocketError = int(error);
    m_ErrorString = errorString;
}

void Velk::intercepted(QString conversationName, QString fromUserName, QString fromCallId)
{
    if (m_Sip)
        m_Sip->callIntercepted(conversationName, fromUserName, fromCallId);
}
