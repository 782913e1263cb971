#include "sip/sipserverinvitedialog.h"

#include <QTimerEvent>

#include <algorithm>

SipServerInviteDialog::SipServerInviteDialog(QObject *parent, const SipMessage &request)
    : SipDialog(parent, request)
{
    setState(Proceeding);
    startTimer(TimerUnanswered, UnansweredLimit);
}

void SipServerInviteDialog::sendResponse(const SipMessage &response)
{
    if (!response.isValid() || response.startLine.kind != 1 || m_State != Proceeding)
        return;
    const SipStatus::Type status = response.startLine.status;
    SipMessage copy = status == SipStatus::Trying ? response : withDialogToTag(response);
    if (status == SipStatus::OK) {
        const QString host
            = m_DefExtAddress.isEmpty() ? m_Request.receiverAddress : m_DefExtAddress;
        copy.copyContact(
            nameAddress(QString(), m_Request.to().address.user, host, m_Request.receiverPort));
    }
    setMessage(copy, false);
    send(m_LastMessage);

    if (inRange(status, 200, 699)) {
        stopTimer(TimerUnanswered);
        startTimer(TimerH, 64 * T1);
        if (m_Request.transport == SipTransport::UDP) {
            startTimer(TimerG, T1);
            m_RetransmitCount = 0;
        }
        setState(Completed);
    } else if (inRange(status, 100, 199)) {
        setState(Proceeding);
    }
}

void SipServerInviteDialog::process(const SipMessage &msg)
{
    if (msg.cseqMethod() == SipMethod::Ack) {
        if (m_State != Completed)
            return;
        stopTimer(TimerH);
        stopTimer(TimerG);
        startTimer(TimerI, T4);
        setState(Confirmed);
        emit ack(objectName());
        return;
    }
    if (isSameRequest(msg) && (m_State == Proceeding || m_State == Completed)
        && m_LastMessage.startLine.status != SipStatus::Unknown)
        send(m_LastMessage);
}

void SipServerInviteDialog::terminate()
{
    if (m_State != Terminated)
        setState(Terminated);
}

void SipServerInviteDialog::timerEvent(QTimerEvent *event)
{
    switch (timerType(event)) {
    case TimerH:
    case TimerI:
        setState(Terminated);
        break;
    case TimerG:
        send(m_LastMessage);
        ++m_RetransmitCount;
        startTimer(TimerG, std::min(T1 << std::min<qint64>(m_RetransmitCount, 16), T2));
        break;
    case TimerUnanswered:
        endUnanswered(UnansweredLimit);
        break;
    default:
        break;
    }
}
