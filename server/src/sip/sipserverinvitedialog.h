#pragma once

#include "sip/sipdialog.h"

// One incoming INVITE. The engine answers it through sendResponse; responses get the dialog's
// To tag and a 200 the system's Contact; a repeated INVITE gets the last response again; a final
// response is repeated over UDP (Timer G) until the ACK, or until Timer H gives up.
class SipServerInviteDialog : public SipDialog
{
    Q_OBJECT
public:
    // How long the engine may leave the INVITE without a final response: twice the shortest
    // time (3 min) after which RFC 3261 proxies give up on a ringing call.
    static constexpr qint64 UnansweredLimit = 720 * T1;

    SipServerInviteDialog(QObject *parent, const SipMessage &request);

    // Only in Proceeding: a response after the final one is dropped.
    void sendResponse(const SipMessage &response) override;
    // A repeated INVITE or the ACK.
    void process(const SipMessage &msg) override;

signals:
    void ack(QString dialogName);

public slots:
    // Ends the transaction without sending or reporting anything.
    void terminate() override;

protected:
    void timerEvent(QTimerEvent *event) override;
};
