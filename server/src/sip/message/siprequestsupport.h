#pragma once

#include "sip/message/sipmessage.h"

class SipUser;

// Shared steps of the request builders of both modes.
namespace SipRequestSupport {

quint16 portOr5060(quint16 port);
// The user's "display-name" setting.
QString displayName(const SipUser *user);
// CSeq from the next number of SipMessage::SequenceID.
void takeCSeq(SipMessage &message, const SipMethod::Type &method);
// The text of a contact address with a display name and a SIP URI of user, host and port.
QString contactText(const QString &displayName, const QString &user, const QString &host,
                    quint16 port, const SipTransport::Type &transport);
QString tagOf(const KBaseContactAddress<1> &address);
// The common end of an out-of-dialog request: random Call-ID, CSeq, Max-Forwards, Allow
// unless ACK or CANCEL, the body once more; valid.
void finishNewRequest(SipMessage &message, const SipMethod::Type &method,
                      const QString &contentType, const QByteArray &body);

} // namespace SipRequestSupport
