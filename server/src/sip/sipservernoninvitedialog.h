#pragma once

#include "sip/sipdialog.h"

// One incoming request other than INVITE. The engine answers it through sendResponse; every
// response but 100 gets the dialog's To tag, the last one answers retransmissions, and the
// transaction ends at once after a final response to REGISTER, otherwise after Timer J.
class SipServerNonInviteDialog : public SipDialog
{
    Q_OBJECT
public:
    // How long the engine may leave the request without a final response: the peer gave up
    // after 64 x T1, and as long again is waited before the transaction ends with a log line.
    static constexpr qint64 UnansweredLimit = 128 * T1;

    SipServerNonInviteDialog(QObject *parent, const SipMessage &request);

    void sendResponse(const SipMessage &response) override;
    // A retransmission of the request.
    void process(const SipMessage &msg) override;

public slots:
    // Before a final response the engine hears a synthetic 503; the peer hears nothing.
    void terminate() override;

protected:
    void timerEvent(QTimerEvent *event) override;
};
