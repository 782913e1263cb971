#include "sip/sipclientnoninvitedialog.h"

#include <QTimerEvent>

#include <algorithm>

SipClientNonInviteDialog::SipClientNonInviteDialog(QObject *parent, const SipMessage &request)
    : SipDialog(parent, request)
{
    setState(Initial);
}

void SipClientNonInviteDialog::process(const SipMessage &msg)
{
    if (msg.startLine.kind != 1) {
        if (m_State != Initial)
            return;
        startTimer(TimerF, 64 * T1);
        if (m_Request.transport == SipTransport::UDP) {
            startTimer(TimerE, T1);
            m_RetransmitCount = 0;
        }
        send(m_Request);
        setState(Trying);
        return;
    }

    setMessage(msg, false);
    emit receiveResponse(m_LastMessage);
    if (m_State == Trying || m_State == Proceeding) {
        const SipStatus::Type status = m_LastMessage.startLine.status;
        if (inRange(status, 100, 199)) {
            setState(Proceeding);
        } else if (inRange(status, 200, 699)) {
            stopTimer(TimerE);
            stopTimer(TimerF);
            startTimer(TimerK, T4);
            setState(Completed);
        }
    }
}

void SipClientNonInviteDialog::terminate()
{
    if (m_State == Terminated)
        return;
    if (m_State != Completed)
        reportSynthetic(SipStatus::ServiceUnavailable);
    setState(Terminated);
}

void SipClientNonInviteDialog::timerEvent(QTimerEvent *event)
{
    switch (timerType(event)) {
    case TimerE:
        if (m_State == Trying) {
            send(m_Request);
            ++m_RetransmitCount;
            startTimer(TimerE, std::min(T1 << std::min<qint64>(m_RetransmitCount, 16), T2));
        } else if (m_State == Proceeding) {
            send(m_Request);
            startTimer(TimerE, T2);
        }
        break;
    case TimerF:
        reportSynthetic(SipStatus::RequestTimeout);
        stopTimer(TimerE);
        stopTimer(TimerF);
        setState(Terminated);
        break;
    case TimerK:
        stopTimer(TimerK);
        setState(Terminated);
        break;
    default:
        break;
    }
}
