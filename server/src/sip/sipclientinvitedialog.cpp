#include "sip/sipclientinvitedialog.h"

#include <QTimerEvent>

namespace {

const int kMaxRetransmitDoublings = 5;

} // namespace

SipClientInviteDialog::SipClientInviteDialog(QObject *parent, const SipMessage &request)
    : SipDialog(parent, request)
    , m_OwnContact(request.headerValue(SipHeader::Contact))
{
    setState(Initial);
}

void SipClientInviteDialog::process(const SipMessage &msg)
{
    if (msg.startLine.kind != 1) {
        if (m_State != Initial)
            return;
        startTimer(TimerB, 64 * T1);
        send(m_Request);
        if (m_Request.transport == SipTransport::UDP) {
            startTimer(TimerA, T1);
            m_RetransmitCount = 0;
        }
        setState(Calling);
        return;
    }

    // A provisional answer that crossed the final one on the way is out of date: heard now, it
    // would tell the engine that the callee still rings after it answered.
    if (inRange(msg.startLine.status, 100, 199) && (m_State == Completed || m_State == Terminated))
        return;
    stopTimer(TimerB);
    setMessage(msg, false);
    takeDialogFrom(msg);
    // The engine's handler runs inside this emission and may send the ACK.
    emit receiveResponse(m_LastMessage);

    const SipStatus::Type status = m_LastMessage.startLine.status;
    if (m_State == Calling) {
        if (inRange(status, 100, 199)) {
            stopTimer(TimerA);
            if (m_IsStandalone)
                startTimer(TimerCall, T1 * TIMEOUT_CALL * 2);
            setState(Proceeding);
        } else if (inRange(status, 200, 699)) {
            stopTimer(TimerA);
            stopTimer(TimerB);
            stopTimer(TimerCall);
            startTimer(TimerD, 64 * T1);
            setState(Completed);
        }
    } else if (m_State == Proceeding && inRange(status, 200, 699)) {
        stopTimer(TimerB);
        startTimer(TimerD, 64 * T1);
        setState(Completed);
    }
}

void SipClientInviteDialog::takeDialogFrom(const SipMessage &response)
{
    const SipStatus::Type status = response.startLine.status;
    const QString tag = toTagOf(response);
    // The first tagged answer fixes the dialog; later branches of a fork do not move it.
    if (status != SipStatus::Trying && !tag.isEmpty() && toTagOf(m_Request).isEmpty())
        setToTag(tag);
    if (status != SipStatus::OK)
        return;
    // Only a single readable Contact names the peer; without one the stored Contact stays, so
    // in-dialog requests are not sent to an empty target.
    const KBaseContactAddress<1> contact = response.contact();
    if (contact.valid)
        m_Request.setHeader(SipHeader::Contact, contact.toString());
}

void SipClientInviteDialog::terminate()
{
    if (m_State == Terminated)
        return;
    if (m_State != Completed)
        reportSynthetic(SipStatus::ServiceUnavailable);
    setState(Terminated);
}

void SipClientInviteDialog::intercept(const QString &uuid, const QString &callid)
{
    // The transaction outlives its final response by Timer D, still linked to the door's
    // next answers; a CANCEL then would name an INVITE long finished.
    if (m_State == Completed || m_State == Terminated)
        return;
    SipDialog::intercept(uuid, callid);
}

void SipClientInviteDialog::cancelSent()
{
    if (isPending())
        startTimer(TimerCancelled, 64 * T1);
}

void SipClientInviteDialog::timerEvent(QTimerEvent *event)
{
    switch (timerType(event)) {
    case TimerA:
        if (m_State != Calling)
            break;
        send(m_Request);
        ++m_RetransmitCount;
        // Past the last doubling the timer keeps its period; Timer B ends first.
        if (m_RetransmitCount <= kMaxRetransmitDoublings)
            startTimer(TimerA, T1 << m_RetransmitCount);
        break;
    case TimerB:
        reportSynthetic(SipStatus::RequestTimeout);
        stopAllTimers();
        setState(Terminated);
        break;
    case TimerD:
        if (m_State != Completed)
            break;
        stopTimer(TimerD);
        setState(Terminated);
        break;
    case TimerCancelled:
        stopTimer(TimerCancelled);
        if (isPending())
            terminate();
        break;
    case TimerCall:
        if (m_State != Proceeding)
            break;
        reportSynthetic(SipStatus::TemporarilyUnavailable);
        emit timeoutCall(m_LastMessage);
        startTimer(TimerCall, T1 * TIMEOUT_CALL * 2);
        break;
    default:
        break;
    }
}
