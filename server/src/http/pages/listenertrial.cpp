#include "http/pages/listenertrial.h"

#include "core/env.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUdpSocket>

#include <memory>

namespace {

struct Trial
{
    bool bound = false;
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QString reason;
};

// Bound as the modules bind: UDP without sharing the address, TCP with the address reuse that
// QTcpServer sets, so connections still in TIME_WAIT do not count as a holder. The socket is
// released when it goes out of scope.
Trial bindOnce(const QHostAddress &address, quint16 port, ListenerTransport transport)
{
    std::unique_ptr<QAbstractSocket> socket;
    if (transport == ListenTcp)
        socket = std::make_unique<QTcpSocket>();
    else
        socket = std::make_unique<QUdpSocket>();
    Trial trial;
    trial.bound = socket->bind(address, port,
                               transport == ListenTcp ? QAbstractSocket::ReuseAddressHint
                                                      : QAbstractSocket::DontShareAddress);
    trial.error = socket->error();
    trial.reason = socket->errorString();
    return trial;
}

// A broadcast or multicast address binds, yet no peer can reach a listener there.
bool isUnicast(const QHostAddress &address)
{
    if (address.isMulticast() || address == QHostAddress(QHostAddress::Broadcast))
        return false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.broadcast() == address)
                return false;
        }
    }
    return true;
}

// Whether the module's own socket on the stored address may be what holds the port for the
// new one: the wildcard overlaps every address. A stored name is not resolved here, so it may.
bool mayBeOwnSocket(const QHostAddress &address, const QString &storedAddress)
{
    QHostAddress held;
    if (!held.setAddress(storedAddress))
        return true;
    const QHostAddress any(QHostAddress::AnyIPv4);
    return held == address || held == any || address == any;
}

quint16 portOf(const QString &text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    return ok && port <= 65535 ? quint16(port) : 0;
}

QString transportName(ListenerTransport transport)
{
    return transport == ListenTcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
}

} // namespace

SipFormError tryListener(const QHash<QString, QString> &form, const QString &addressKey,
                         const QString &portKey,
                         const std::function<QString(const QString &)> &stored, int transports)
{
    if (!form.contains(addressKey) && !form.contains(portKey))
        return {};
    const QString storedAddress = stored(addressKey);
    const quint16 storedPort = portOf(stored(portKey));
    const QString text = form.value(addressKey, storedAddress);
    const quint16 port = portOf(form.value(portKey, stored(portKey)));
    QHostAddress address;
    if (port == 0 || !address.setAddress(text)
        || address.protocol() != QAbstractSocket::IPv4Protocol)
        return {};
    QHostAddress storedLiteral;
    const bool sameAddress = storedLiteral.setAddress(storedAddress) ? storedLiteral == address
                                                                     : storedAddress == text;
    if (sameAddress && port == storedPort)
        return {};

    const SipFormError wrongIp { addressKey, QStringLiteral("wrong_ip") };
    if (!isUnicast(address)) {
        logLine(LogParams::Http,
                QStringLiteral("Unable to listen on %1: not a unicast address; settings not saved")
                    .arg(text));
        return wrongIp;
    }
    for (const ListenerTransport transport : { ListenUdp, ListenTcp }) {
        if (!(transports & transport))
            continue;
        Trial trial = bindOnce(address, port, transport);
        // Only the address is new on the module's own port: that much can be tried.
        if (!trial.bound && trial.error == QAbstractSocket::AddressInUseError && port == storedPort
            && mayBeOwnSocket(address, storedAddress))
            trial = bindOnce(address, 0, transport);
        if (trial.bound)
            continue;
        logLine(LogParams::Http,
                QStringLiteral("Unable to bind %1 socket %2:%3 (SocketError %4: %5); settings not "
                               "saved")
                    .arg(transportName(transport), text)
                    .arg(port)
                    .arg(int(trial.error))
                    .arg(trial.reason));
        const bool portTaken = trial.error == QAbstractSocket::AddressInUseError
            || trial.error == QAbstractSocket::SocketAccessError;
        return portTaken ? SipFormError { portKey, QStringLiteral("wrong_port") } : wrongIp;
    }
    return {};
}
