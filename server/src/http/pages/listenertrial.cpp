#include "http/pages/listenertrial.h"

#include "core/env.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>

#include <cstring>
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

// The address a text stands for: a literal itself, a name what its look-up found (null if none).
QHostAddress addressOf(const QString &text, const HostAddresses &found)
{
    QHostAddress literal;
    return literal.setAddress(text) ? literal : found.value(text);
}

// Whether wanted binds anything that current does not.
bool isTried(const ListenerSettings &wanted, const ListenerSettings &current)
{
    if (wanted.transports == 0 || wanted.port == 0)
        return false;
    return wanted.transports != current.transports || wanted.address != current.address
        || wanted.port != current.port;
}

// An IPv4 address as the kernel lists it, also one mapped into IPv6; null for any other. Each
// 32-bit word is written as a number in host byte order.
QHostAddress kernelAddress(const QByteArray &hex)
{
    if (hex.size() != 8 && hex.size() != 32)
        return QHostAddress();
    quint8 bytes[16];
    for (int word = 0; word < hex.size() / 8; ++word) {
        bool ok = false;
        const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return QHostAddress();
        std::memcpy(bytes + word * 4, &value, sizeof value);
    }
    const quint8 *ipv4 = bytes;
    if (hex.size() == 32) {
        static const quint8 mapped[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
        if (std::memcmp(bytes, mapped, sizeof mapped) != 0)
            return QHostAddress();
        ipv4 = bytes + 12;
    }
    return QHostAddress(qFromBigEndian<quint32>(ipv4));
}

// Whether a socket on another address than own holds the port, by the kernel's socket lists (a
// TCP connection in TIME_WAIT holds nothing). Lists that cannot be read leave it unknown, which
// counts as held.
bool heldBesides(const QHostAddress &own, quint16 port, ListenerTransport transport)
{
    const QString list = transport == ListenTcp ? QStringLiteral("/proc/net/tcp")
                                                : QStringLiteral("/proc/net/udp");
    bool read = false;
    for (const QString &path : { list, list + QLatin1Char('6') }) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        read = true;
        file.readLine(); // the heading
        while (!file.atEnd()) {
            // "sl local-address:port remote-address:port state ..."
            const QList<QByteArray> columns = file.readLine().simplified().split(' ');
            const QList<QByteArray> local = columns.value(1).split(':');
            bool ok = false;
            if (columns.size() < 4 || local.size() != 2 || local[1].toUInt(&ok, 16) != port || !ok)
                continue;
            if (transport == ListenTcp && columns[3] == "06")
                continue;
            const QHostAddress address = kernelAddress(local[0]);
            if (!address.isNull() && address != own)
                return true;
        }
    }
    return !read;
}

// Whether the module's own socket (on own, held) is what keeps address from the port. Its
// socket on the wildcard leaves no other socket room on the port; its socket on one address
// leaves the others to anyone, and the wildcard overlaps all of them.
bool ownSocketHolds(const ListenerSettings &current, const QHostAddress &own, bool held,
                    const QHostAddress &address, quint16 port, ListenerTransport transport)
{
    if (!held || !(current.transports & transport) || current.port != port || own.isNull())
        return false;
    const QHostAddress any(QHostAddress::AnyIPv4);
    if (own == any)
        return true;
    return address == any && !heldBesides(own, port, transport);
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

QStringList listenerNames(const ListenerSettings &wanted, const ListenerSettings &current)
{
    if (!isTried(wanted, current))
        return {};
    const QStringList texts = current.transports ? QStringList { wanted.address, current.address }
                                                 : QStringList { wanted.address };
    QStringList names;
    for (const QString &text : texts) {
        if (addressOf(text, {}).isNull() && !names.contains(text))
            names << text;
    }
    return names;
}

SipFormError tryListener(const ListenerSettings &wanted, const ListenerSettings &current, bool held,
                         const HostAddresses &found, const QString &addressKey,
                         const QString &portKey)
{
    if (!isTried(wanted, current))
        return {};

    const QHostAddress address = addressOf(wanted.address, found);
    const QHostAddress own = addressOf(current.address, found);
    const SipFormError wrongIp { addressKey, QStringLiteral("wrong_ip") };
    if (address.protocol() != QAbstractSocket::IPv4Protocol) {
        logLine(LogParams::Http,
                QStringLiteral("Unable to look up host %1: no IPv4 address; settings not saved")
                    .arg(wanted.address));
        return wrongIp;
    }
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
            && ownSocketHolds(current, own, held, address, wanted.port, transport))
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
