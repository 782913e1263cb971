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

QString transportName(ListenerTransport transport)
{
    return transport == ListenTcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
}

} // namespace

ListenerSettings postedListener(ListenerSettings current, const QHash<QString, QString> &form,
                                const QString &addressKey, const QString &portKey)
{
    current.address = form.value(addressKey, current.address);
    if (form.contains(portKey))
        current.port = quint16(form.value(portKey).toUInt());
    return current;
}

SipFormError tryListener(const ListenerSettings &wanted, const ListenerSettings &current,
                         const QString &addressKey, const QString &portKey)
{
    if (wanted.transports == 0 || wanted.port == 0)
        return {};
    if (wanted.transports == current.transports && wanted.address == current.address
        && wanted.port == current.port)
        return {};

    QHostAddress address;
    if (!address.setAddress(wanted.address) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return {};
    QHostAddress own;
    own.setAddress(current.address);
    const SipFormError wrongIp { addressKey, QStringLiteral("wrong_ip") };
    if (!isUnicast(address)) {
        logLine(LogParams::Http,
                QStringLiteral("Unable to listen on %1: not a unicast address; settings not saved")
                    .arg(wanted.address));
        return wrongIp;
    }
    for (const ListenerTransport transport : { ListenUdp, ListenTcp }) {
        if (!(wanted.transports & transport))
            continue;
        if ((current.transports & transport) && address == own && wanted.port == current.port)
            continue;
        Trial trial = bindOnce(address, wanted.port, transport);
        // Only the address is new to the module's own socket: that much can be tried.
        if (!trial.bound && trial.error == QAbstractSocket::AddressInUseError
            && (current.transports & transport) && wanted.port == current.port
            && mayBeOwnSocket(address, current.address))
            trial = bindOnce(address, 0, transport);
        if (trial.bound)
            continue;
        logLine(LogParams::Http,
                QStringLiteral("Unable to bind %1 socket %2:%3 (SocketError %4: %5); settings not "
                               "saved")
                    .arg(transportName(transport), wanted.address)
                    .arg(wanted.port)
                    .arg(int(trial.error))
                    .arg(trial.reason));
        const bool portTaken = trial.error == QAbstractSocket::AddressInUseError
            || trial.error == QAbstractSocket::SocketAccessError;
        return portTaken ? SipFormError { portKey, QStringLiteral("wrong_port") } : wrongIp;
    }
    return {};
}
