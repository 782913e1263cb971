#include "sip/sipclientinvitedialog.h"

namespace {

void copyFirstValue(SipMessage &target, const SipMessage &source, const SipHeader::Type &type)
{
    const QStringList values = source.headerValues(type);
    if (!values.isEmpty())
        target.setHeader(type, values.first());
}

quint16 portOr5060(quint16 port)
{
    return port == 0 ? 5060 : port;
}

} // namespace

void SipClientInviteDialog::sendAck()
{
    // One construction for 2xx and non-2xx: the INVITE's top Via and destination, the last
    // response's dialog (m_Request.dialogHeaders) for the target, tags and route.
    SipMessage ack(SipMethod::Ack, m_Request.transport);
    ack.senderAddress = m_Request.senderAddress;
    ack.senderPort = portOr5060(m_Request.senderPort);
    ack.receiverAddress = m_Request.receiverAddress;
    ack.receiverPort = portOr5060(m_Request.receiverPort);
    copyFirstValue(ack, m_Request, SipHeader::Via);
    copyFirstValue(ack, m_Request, SipHeader::CallID);
    ack.setCSeq(m_Request.cseqNumber(), SipMethod::Ack);
    copyFirstValue(ack, m_Request, SipHeader::MaxForwards);
    // A response without From or To leaves the INVITE's own value in its place.
    copyFirstValue(ack, m_Request, SipHeader::From);
    copyFirstValue(ack, m_Request, SipHeader::To);
    m_Request.setRouteSet(ack, false);

    // The sender's own Contact, as the INVITE named it; the To stays the dialog's.
    if (m_OwnContact.isEmpty())
        ack.copyContact(KBaseContactAddress<1>(ack.headerValue(SipHeader::From)));
    else
        ack.setHeader(SipHeader::Contact, m_OwnContact);
    ack.valid = true;
    send(ack);
}
