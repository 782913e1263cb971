#pragma once

#include "http/hostlookup.h"
#include "http/pages/sipformcheck.h"

#include <QHash>
#include <QString>

// The transports a module listens on, as bits.
enum ListenerTransport : int { ListenUdp = 1, ListenTcp = 2 };

// What a module's settings make it bind: the transports (none for a socket whose port the
// system chooses), the address as written (the wildcard, an IPv4 address or a host name) and
// the port.
struct ListenerSettings
{
    int transports = 0;
    QString address;
    quint16 port = 0;
};

// The listener a settings form asks for: the posted address and port in place of current's.
ListenerSettings postedListener(ListenerSettings current, const QHash<QString, QString> &form,
                                const QString &addressKey, const QString &portKey);

// The longest a settings page waits for the look-up of a host name, in ms of the schedule.
constexpr int kListenerLookupMs = 5000;

// The host names tryListener needs the addresses of: none when the trial has nothing to bind, or
// when both listeners are written as addresses.
QStringList listenerNames(const ListenerSettings &wanted, const ListenerSettings &current);

// Whether the module can bind what a settings form asks for (wanted) in place of what it binds
// now (current; held when the module reports its sockets up), tried before anything is saved:
// each transport whose address or port is new is bound and released at once, what the module
// binds already is not tried. A host name stands for its address in found (listenerNames, looked
// up first); one without an IPv4 address there is wrong_ip. A busy port is excused only where
// the module's own socket is what holds it: the address is then tried on a free port. Not
// available -> wrong_ip on addressKey; in use or not permitted -> wrong_port on portKey; a
// refusal is logged with its reason. Expects values whose shape was checked already
// (checkListener, checkSipSettings).
SipFormError tryListener(const ListenerSettings &wanted, const ListenerSettings &current, bool held,
                         const HostAddresses &found, const QString &addressKey,
                         const QString &portKey);
