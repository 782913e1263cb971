#pragma once

#include "sip/sipdialog.h"

// One outgoing INVITE: sent, retransmitted over UDP (Timer A), given up with a synthetic 408
// (Timer B). Responses fix the stored INVITE's To tag and, for a 200, the peer's Contact, and
// go to the engine, which asks for the ACK (sendAck). In standalone mode a callee ringing too
// long is reported with a synthetic 480 every 90 s.
class SipClientInviteDialog : public SipDialog
{
    Q_OBJECT
public:
    SipClientInviteDialog(QObject *parent, const SipMessage &request);

    // The INVITE starts the transaction; then its responses arrive here.
    void process(const SipMessage &msg) override;
    // No final response has come yet.
    bool isPending() const { return m_State == Calling || m_State == Proceeding; }

    // Object name of the calling leg's server INVITE transaction; the engine's alone.
    QString m_CallerDialogName;
    // Whether a 200 joined the call and that answer's To tag; the engine's alone. A fork's other
    // branches answer with other tags.
    bool m_Answered = false;
    QString m_AnswerTag;
    // A blind transfer's INVITE to its target: a failure ends the target's leg alone, never the
    // call the transferee is in. The engine's alone.
    bool m_Transfer = false;

signals:
    void timeoutCall(SipMessage msg);

public slots:
    // The ACK for the last response, to where the INVITE went.
    void sendAck();
    // Before a final response the engine hears a synthetic 503.
    void terminate() override;
    // Only while no final response has come: a finished branch has nothing left to cancel.
    void intercept(const QString &uuid, const QString &callid) override;
    // Its CANCEL went out: a final response is still taken (a 200 that crossed it is
    // acknowledged), but one that has not come 64 x T1 later never will.
    void cancelSent();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void takeDialogFrom(const SipMessage &response);

    // The INVITE's own Contact, which a 200 replaces by the peer's in the stored INVITE.
    QString m_OwnContact;
};
