#include "sip/sipservernoninvitedialog.h"

#include <QTimerEvent>

SipServerNonInviteDialog::SipServerNonInviteDialog(QObject *parent, const SipMessage &request)
    : SipDialog(parent, request)
{
    setState(Trying);
    startTimer(TimerUnanswered, UnansweredLimit);
}

void SipServerNonInviteDialog::sendResponse(const SipMessage &response)
{
    if (!response.isValid() || response.startLine.kind != 1)
        return;
    setMessage(response.startLine.status == SipStatus::Trying ? response
                                                              : withDialogToTag(response),
               false);
    send(m_LastMessage);
    if (m_State != Trying && m_State != Proceeding)
        return;
    const SipStatus::Type status = m_LastMessage.startLine.status;
    if (inRange(status, 200, 699)) {
        stopTimer(TimerUnanswered);
        if (m_Request.cseqMethod() == SipMethod::Register) {
            setState(Terminated);
        } else {
            startTimer(TimerJ, 64 * T1);
            setState(Completed);
        }
    } else if (inRange(status, 100, 199)) {
        setState(Proceeding);
    }
}

void SipServerNonInviteDialog::process(const SipMessage &msg)
{
    if (isSameRequest(msg) && (m_State == Proceeding || m_State == Completed))
        send(m_LastMessage);
}

void SipServerNonInviteDialog::terminate()
{
    if (m_State == Terminated)
        return;
    if (m_State != Completed)
        reportSynthetic(SipStatus::ServiceUnavailable);
    setState(Terminated);
}

void SipServerNonInviteDialog::timerEvent(QTimerEvent *event)
{
    switch (timerType(event)) {
    case TimerJ:
        setState(Terminated);
        break;
    case TimerUnanswered:
        endUnanswered(UnansweredLimit);
        break;
    default:
        break;
    }
}
