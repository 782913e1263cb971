#include "http/pages/listenertrial.h"

#include "core/env.h"

#include <QEventLoop>
#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>
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

// The first IPv4 address of each text; a literal address stands for itself. Names are looked
// up side by side through this thread's event loop, which runs until every answer is in or
// waitMs have passed: a name still unanswered then gets no address.
QHash<QString, QHostAddress> lookUp(const QStringList &texts, int waitMs)
{
    QHash<QString, QHostAddress> found;
    QStringList names;
    for (const QString &text : texts) {
        QHostAddress literal;
        if (literal.setAddress(text))
            found.insert(text, literal);
        else if (!names.contains(text))
            names << text;
    }
    if (names.isEmpty())
        return found;
    QEventLoop loop;
    int pending = names.size();
    QList<int> ids;
    {
        // Answers after the wait find no receiver.
        QObject receiver;
        for (const QString &name : names) {
            ids << QHostInfo::lookupHost(name, &receiver, [&, name](const QHostInfo &info) {
                const QList<QHostAddress> addresses = info.addresses();
                for (const QHostAddress &address : addresses) {
                    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                        found.insert(name, address);
                        break;
                    }
                }
                if (--pending == 0)
                    loop.quit();
            });
        }
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        if (pending > 0)
            loop.exec();
    }
    for (const int id : ids)
        QHostInfo::abortHostLookup(id);
    return found;
}

// Whether the module's own socket on own may be what holds the port for address: the wildcard
// overlaps every address.
bool mayBeOwnSocket(const QHostAddress &address, const QHostAddress &own)
{
    const QHostAddress any(QHostAddress::AnyIPv4);
    return !own.isNull() && (own == address || own == any || address == any);
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

    const QHash<QString, QHostAddress> found
        = lookUp(current.transports ? QStringList { wanted.address, current.address }
                                    : QStringList { wanted.address },
                 kListenerLookupMs);
    const QHostAddress address = found.value(wanted.address);
    const QHostAddress own = found.value(current.address);
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
            && (current.transports & transport) && wanted.port == current.port
            && mayBeOwnSocket(address, own))
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
