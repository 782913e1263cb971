#pragma once

#include "http/pages/sipformcheck.h"

#include <QHash>
#include <QString>

#include <functional>

// The transports a module listens on, as bits.
enum ListenerTransport : int { ListenUdp = 1, ListenTcp = 2 };

// Whether the listener a settings form asks for can be had now: the posted address and port (a
// field the form lacks keeps its stored value, stored gives it by key) are bound on each
// transport and released at once, before anything is saved. The stored pair is not tried: the
// running module holds it itself. Only literal addresses are tried, a name is left to the
// module that resolves it, as no look-up may block this thread. Expects values whose shape was
// checked already (checkListener, checkSipSettings); a refusal is logged with its reason.
SipFormError tryListener(const QHash<QString, QString> &form, const QString &addressKey,
                         const QString &portKey,
                         const std::function<QString(const QString &)> &stored, int transports);
