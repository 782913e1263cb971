#pragma once

#include "sip/message/kbaseuri.h"

#include <QString>
#include <QStringList>

// A header line may list several addresses (Contact: <a>;expires=60, <b>;expires=3559): its
// entries, split at the commas that stand outside a quoted display name and outside <...>,
// each trimmed; empty entries are dropped.
QStringList addressListEntries(const QString &line);

// Whether two URIs name one binding: the same user, host (in any case), port (5060 when none)
// and transport (UDP when none). A registrar lists a contact as it holds it, with parameters
// of its own maybe added.
bool sameBinding(const KBaseUri<1> &a, const KBaseUri<1> &b);
